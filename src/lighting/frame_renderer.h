#pragma once

#include <cstdint>

#include "audio/color_style.h"
#include "device/report_families.h"
#include "device/report_port.h"
#include "lighting/key_grid.h"

class Visualizer;
class ScreenLight;
struct EffectParams;

// Per grid column, how high the lit part reaches, counted in keys from the
// bottom row (bottom row = 1); 0 when nothing is lit.
struct ColumnLevels {
    uint8_t level[kMaxKeyCols] = {};
};

// Hue in degrees, saturation and value 0 to 1; each channel truncated to 0-255.
Rgb HsvToRgb(int hue, double saturation, double value);

// The fully saturated, full-value colour of a hue (0 to 359) as 0x00BBGGRR.
uint32_t HueColor(int hue);

// What a frame is rendered from; all of it may change while the frame runs.
struct FrameSources {
    KeyGrid& grid;
    const EffectParams& effect;
    const Visualizer& visualizer;
    const ScreenLight& screen;
};

// What decides whether and how the frame goes to the keyboard.
struct SendState {
    uint64_t now;              // ms of up-time
    uint64_t lastRequestTick;  // ms of up-time of the host's last effect or amplitude request
    ReportFamily family;       // chosen from the layout's device mode when lighting starts
};

// Where a frame goes: the window to repaint, and the keyboard as the port the
// frame's protocol writes its reports to. Results of the reports are not
// looked at: a failed report never repeats or shortens a frame.
class FrameOutput : public ReportPort {
public:
    virtual void Invalidate() = 0;
    // Around the reports of a frame that passed the send conditions.
    virtual void BeginDeviceFrame() = 0;
    virtual void EndDeviceFrame() = 0;

protected:
    ~FrameOutput() = default;
};

// The ripple geometry of the last ripple frame, kept for inspection.
struct RippleFrame {
    static constexpr int kNoRing = -1;

    int centreCol = 0;
    int centreRow = 0;
    float maxDist = 0.0f;
    int ringCount = 0;
    int litRings = 0;
    float ratio = 0.0f;
    float distance[kMaxKeyRows][kMaxKeyCols] = {};
    int8_t ring[kMaxKeyRows][kMaxKeyCols] = {};
};

// Colours every active key cell once per lighting tick and hands the frame to
// the keyboard while the host keeps polling. Lives on the lighting thread; all
// per-frame storage is held here, so a frame allocates nothing.
class FrameRenderer {
public:
    static constexpr uint64_t kRequestFreshMs = 1000;
    // The farthest cell of a 10 x 100 grid lies about 51 keys from the centre.
    static constexpr int kMaxRings = 128;

    void RenderFrame(const FrameSources& sources, const SendState& state, FrameOutput& output);

    const ColumnLevels& Levels() const { return m_levels; }
    const RippleFrame& Ripple() const { return m_ripple; }
    double PhaseA() const { return m_phaseA; }
    double PhaseB() const { return m_phaseB; }

private:
    void SampleBackground(const FrameSources& sources, int rows, int cols, bool levelsFromMask);
    void ColourScreen(const FrameSources& sources, int rows, int cols);
    bool ColourRipple(const FrameSources& sources, int rows, int cols);
    void RaiseLevel(int rows, int row, int col);

    // The ripple's phases run on across frames and mode changes.
    double m_phaseA = 0.0;
    double m_phaseB = 0.0;
    ColumnLevels m_levels;
    RippleFrame m_ripple;
    uint32_t m_ringColor[kMaxRings] = {};
    ReportFamilies m_families;
};
