#include "lighting/frame_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/visualizer.h"
#include "lighting/effect_params.h"
#include "screen/screen_light.h"

namespace {

constexpr uint32_t kGlowBackground = 0x000A0A0A;  // red 10, green 10, blue 10

// In screen mode every key of the largest layout has a screen cell of its own.
static_assert(ScreenLight::kGridColumns >= kMaxKeyCols && ScreenLight::kGridRows >= kMaxKeyRows);

int SamplePoint(int32_t value, int limit)
{
    return std::clamp<int32_t>(value, 0, limit - 1);
}

uint32_t Pack(const Rgb& rgb)
{
    return static_cast<uint32_t>(rgb.red) + static_cast<uint32_t>(rgb.green) * 256u +
           static_cast<uint32_t>(rgb.blue) * 65536u;
}

// (int)(t x 360) mod 360 for a non-negative t.
int HueOf(double t)
{
    return static_cast<int>(t * 360.0) % 360;
}

// The 360 colours a frame can ask for, computed once with HsvToRgb.
struct HueTable {
    uint32_t color[360];

    HueTable()
    {
        for (int hue = 0; hue < 360; ++hue) {
            color[hue] = Pack(HsvToRgb(hue, 1.0, 1.0));
        }
    }
};

}  // namespace

Rgb HsvToRgb(int hue, double saturation, double value)
{
    const double c = value * saturation;
    const double x = c * (1.0 - std::fabs(std::fmod(hue / 60.0, 2.0) - 1.0));
    const double m = value - c;
    double r = c;
    double g = 0.0;
    double b = x;
    if (hue >= 0 && hue < 60) {
        r = c, g = x, b = 0.0;
    } else if (hue >= 60 && hue < 120) {
        r = x, g = c, b = 0.0;
    } else if (hue >= 120 && hue < 180) {
        r = 0.0, g = c, b = x;
    } else if (hue >= 180 && hue < 240) {
        r = 0.0, g = x, b = c;
    } else if (hue >= 240 && hue < 300) {
        r = x, g = 0.0, b = c;
    }
    return {static_cast<int>((r + m) * 255.0), static_cast<int>((g + m) * 255.0), static_cast<int>((b + m) * 255.0)};
}

uint32_t HueColor(int hue)
{
    static const HueTable table;
    return table.color[((hue % 360) + 360) % 360];
}

void FrameRenderer::RenderFrame(const FrameSources& sources, const SendState& state, FrameOutput& output)
{
    std::memset(m_levels.level, 0, sizeof m_levels.level);
    // One size for the whole frame, whatever a layout upload changes meanwhile.
    const int rows = sources.grid.ActiveRows();
    const int cols = sources.grid.ActiveCols();
    const int32_t mode = sources.effect.mode;

    if (mode == kRippleMode) {
        if (!ColourRipple(sources, rows, cols)) {
            output.Invalidate();
            return;
        }
    } else if (mode == kScreenMode) {
        ColourScreen(sources, rows, cols);
    } else {
        SampleBackground(sources, rows, cols, true);
    }
    output.Invalidate();

    const bool fresh = state.now - state.lastRequestTick < kRequestFreshMs;
    const bool screenWithheld = mode == kScreenMode && sources.effect.screenToDevice == 0;
    const KeyFrame frame{sources.grid.cells, rows, cols, m_levels.level,
                         mode, sources.effect.backMode, sources.effect.backModeBrightness};
    KeyboardProtocol& protocol = m_families.Protocol(state.family);
    if (fresh && !screenWithheld && protocol.Accepts(frame)) {
        output.BeginDeviceFrame();
        protocol.Send(frame, output);
        output.EndDeviceFrame();
    }
}

void FrameRenderer::RaiseLevel(int rows, int row, int col)
{
    const int height = rows - row;
    if (m_levels.level[col] < height) {
        m_levels.level[col] = static_cast<uint8_t>(height);
    }
}

void FrameRenderer::SampleBackground(const FrameSources& sources, int rows, int cols, bool levelsFromMask)
{
    const SharedVisualizerImage& front = sources.visualizer.FrontFrame();
    const SharedVisualizerImage& mask = sources.visualizer.BarMask();
    for (int r = 0; r < rows; ++r) {
        const int pictureRow = SamplePoint(sources.grid.m_rowSample[r], kPictureHeight);
        for (int c = 0; c < cols; ++c) {
            const int pictureColumn = SamplePoint(sources.grid.m_colSample[c], kPictureWidth);
            sources.grid.Cell(r, c).color = front.At(pictureRow, pictureColumn);
            if (levelsFromMask && mask.At(pictureRow, pictureColumn) >= 2) {
                RaiseLevel(rows, r, c);
            }
        }
    }
}

void FrameRenderer::ColourScreen(const FrameSources& sources, int rows, int cols)
{
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const uint32_t color = sources.screen.ColorAt(c, r);
            sources.grid.Cell(r, c).color = color;
            if (color >= 2) {
                RaiseLevel(rows, r, c);
            }
        }
    }
}

bool FrameRenderer::ColourRipple(const FrameSources& sources, int rows, int cols)
{
    SampleBackground(sources, rows, cols, false);

    const int32_t level = sources.visualizer.Level();
    float reach = static_cast<float>(level) * (1.0f / 256.0f) * 11.0f;
    if (!(reach > 0.0f)) {
        return false;
    }
    if (reach <= 2.0f) {
        reach = 2.0f;
    }
    const float ratio = reach / 11.0f;
    // A byte: a loud frame is the fullest level, never one wrapped past 255.
    m_levels.level[0] = static_cast<uint8_t>(std::min(static_cast<int>(reach), 255));

    RippleFrame& ripple = m_ripple;
    int cx = cols / 2;
    int cy = 2;
    if (rows == 7) {
        cy = 3;
        cx = cols / 2 - 1;
    }
    ripple.centreCol = cx;
    ripple.centreRow = cy;
    ripple.ratio = ratio;

    float maxDist = 0.0f;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const auto dx = static_cast<float>(c - cx);
            const auto dy = static_cast<float>(r - cy);
            const float squares = dx * dx + dy * dy;
            const auto distance = static_cast<float>(std::sqrt(static_cast<double>(squares)));
            ripple.distance[r][c] = distance;
            maxDist = std::max(maxDist, distance);
        }
    }
    ripple.maxDist = maxDist;
    const int ringCount = std::clamp(static_cast<int>(std::ceil(maxDist)), 4, kMaxRings);
    ripple.ringCount = ringCount;

    // Each cell remembers its ring instead of rings listing their cells: the
    // colours come out the same, without per-frame lists.
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            int8_t ring = RippleFrame::kNoRing;
            if (r != cy || c != cx) {
                const float share = ripple.distance[r][c] / maxDist;
                const auto index = static_cast<int>(static_cast<double>(share) * (ringCount - 0.01));
                if (index >= 0 && index < ringCount) {
                    ring = static_cast<int8_t>(index);
                }
            }
            ripple.ring[r][c] = ring;
        }
    }

    m_phaseA += 0.03;
    if (m_phaseA >= 1.0) {
        m_phaseA = 0.0;
    }
    m_phaseB += 0.005;
    if (m_phaseB >= 1.0) {
        m_phaseB = 0.0;
    }

    const int litRings = std::max(std::min(ringCount, static_cast<int>(static_cast<float>(ringCount) * ratio)), 2);
    ripple.litRings = litRings;

    if (cx >= 0 && cx < cols && cy < rows) {
        sources.grid.Cell(cy, cx).color = HueColor(HueOf(m_phaseB));
    }

    for (int i = 0; i < litRings; ++i) {
        double phase = std::fmod(m_phaseA - static_cast<double>(i) / ringCount, 1.0);
        if (phase < 0.0) {
            phase += 1.0;
        }
        m_ringColor[i] = HueColor(HueOf(phase + m_phaseB));
    }
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const int ring = ripple.ring[r][c];
            if (ring >= 0 && ring < litRings) {
                sources.grid.Cell(r, c).color = m_ringColor[ring];
            }
        }
    }

    // A grid holding only the centre has no distances to compare.
    if (maxDist > 0.0f) {
        const auto glowReach = static_cast<float>(static_cast<double>(ratio) * 0.7 + 0.3);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                KeyCell& cell = sources.grid.Cell(r, c);
                const float share = ripple.distance[r][c] / maxDist;
                if (cell.color == kGlowBackground && share <= glowReach) {
                    cell.color = HueColor(HueOf(static_cast<double>(share) + m_phaseA + m_phaseB));
                }
            }
        }
    }
    return true;
}
