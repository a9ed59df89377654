#pragma once

#include <cstdint>

#include "app/relaxed.h"
#include "audio/visualizer_image.h"

// Audio capture and the spectrum picture. The rest of the system reads the
// front frame, the bar mask and the level, and writes the style, gain,
// background and active members.
class Visualizer {
public:
    Visualizer() = default;
    Visualizer(const Visualizer&) = delete;
    Visualizer& operator=(const Visualizer&) = delete;

    // One-time set-up: the analysis defaults.
    void InitVisualizer();

    const SharedVisualizerImage& FrontFrame() const { return *m_pFrontFrame.load(); }

    Relaxed<int32_t> m_nGain{0};
    Relaxed<int32_t> m_nLevel{0};
    SharedVisualizerImage m_barMask;
    SharedVisualizerImage m_frames[2];
    Relaxed<const SharedVisualizerImage*> m_pFrontFrame{&m_frames[1]};
    Relaxed<int32_t> m_nBackBrightness{100};
    Relaxed<int32_t> m_nBackStyle{0};
    Relaxed<int32_t> m_nBarStyle{18};
    Relaxed<bool> m_bRunning{false};
    Relaxed<bool> m_bActive{false};
};
