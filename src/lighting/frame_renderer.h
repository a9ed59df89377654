#pragma once

#include <cstdint>

#include "device/key_report.h"
#include "lighting/key_grid.h"

class Visualizer;
class ScreenLight;
struct EffectParams;

// Per grid column, how high the lit part reaches, counted in keys from the
// bottom row (bottom row = 1); 0 when nothing is lit.
struct ColumnLevels {
    uint8_t level[kMaxKeyCols] = {};
};

struct Rgb {
    int red;
    int green;
    int blue;
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
    int32_t activeDeviceMode;  // 1: column-level report; otherwise per-key packets
};

// Where a frame goes: the window to repaint and the keyboard. Results of the
// sends are not looked at: a failed report never repeats or shortens a frame.
class FrameOutput {
public:
    virtual void Invalidate() = 0;
    // Around the reports of a frame that passed the send conditions.
    virtual void BeginDeviceFrame() = 0;
    virtual void EndDeviceFrame() = 0;
    virtual void SendCommand(uint8_t (&report)[kReportBytes]) = 0;
    virtual void SendKeyPacket(uint8_t (&payload)[kPacketBytes]) = 0;
    // True while shutting down: the rest of a frame's packets is dropped, so a
    // silent keyboard (500 ms per packet) cannot hold the shutdown for seconds.
    virtual bool Stopping() const = 0;

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
    static constexpr int kMaxSendCols = 23;
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
    void SendFrame(const FrameSources& sources, const SendState& state, int rows, int cols, int32_t mode,
                   FrameOutput& output);

    // The ripple's phases run on across frames and mode changes.
    double m_phaseA = 0.0;
    double m_phaseB = 0.0;
    ColumnLevels m_levels;
    RippleFrame m_ripple;
    uint32_t m_ringColor[kMaxRings] = {};
    KeyColourTable m_table;
};
