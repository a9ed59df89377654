#pragma once

#include "audio/visualizer.h"

// What the frame thread alone writes, set up by hand: a test or benchmark
// renders from a picture, a bar mask and a level of its own.
struct VisualizerProbe {
    static SharedVisualizerImage& Frame(Visualizer& visualizer, int index) { return visualizer.m_frames[index]; }
    static SharedVisualizerImage& BarMask(Visualizer& visualizer) { return visualizer.m_barMask; }
    static void SetLevel(Visualizer& visualizer, int32_t level) { visualizer.m_nLevel = level; }
    static void ShowFrame(Visualizer& visualizer, const SharedVisualizerImage* front)
    {
        visualizer.m_pFrontFrame = front;
    }
};
