// RenderFrame: the three ways of colouring, column levels, the send
// conditions and what reaches the keyboard.
#include "lighting/frame_renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/visualizer.h"
#include "audio/visualizer_probe.h"
#include "device/column_level_protocol.h"
#include "lighting/effect_params.h"
#include "screen/screen_light.h"

namespace {

constexpr uint64_t kNow = 5'000'000;

uint32_t Packed(const Rgb& rgb)
{
    return static_cast<uint32_t>(rgb.red | rgb.green << 8 | rgb.blue << 16);
}

// Records every report written, whole as the keyboard receives it, sorted by
// its command byte; answers none of them.
struct Recorder final : FrameOutput {
    void Invalidate() override { ++invalidates; }
    void BeginDeviceFrame() override { ++begins; }
    void EndDeviceFrame() override { ++ends; }
    WriteOutcome Write(const uint8_t (&report)[kReportBytes]) override
    {
        (report[2] == kColumnLevelsCommand ? commands : packets).emplace_back(report, report + kReportBytes);
        return WriteOutcome::Written;
    }
    void Read(uint8_t (&)[kReportBytes], int) override { ++reads; }
    bool Stopping() const override { return stopping; }

    bool Sent() const { return !commands.empty() || !packets.empty(); }

    int invalidates = 0;
    int begins = 0;
    int ends = 0;
    int reads = 0;
    bool stopping = false;
    std::vector<std::vector<uint8_t>> commands;
    std::vector<std::vector<uint8_t>> packets;
};

class RendererTest : public ::testing::Test {
protected:
    void SetUp() override { VisualizerProbe::ShowFrame(visualizer, &VisualizerProbe::Frame(visualizer, 0)); }

    void Grid(int rows, int cols)
    {
        grid.m_nKeyRows = rows;
        grid.m_nKeyCols = cols;
        grid.ComputeSampleCoordinates();
    }

    void Background(int r, int c, uint32_t color)
    {
        VisualizerProbe::Frame(visualizer, 0).pixels[grid.m_rowSample[r] * kPictureWidth + grid.m_colSample[c]] = color;
    }

    void Lit(int r, int c)
    {
        VisualizerProbe::BarMask(visualizer).pixels[grid.m_rowSample[r] * kPictureWidth + grid.m_colSample[c]] = 2;
    }

    void Key(int r, int c, int32_t code, int32_t index)
    {
        grid.Cell(r, c).keyCode = code;
        grid.Cell(r, c).keyIndex = index;
    }

    void Render(uint64_t sinceRequest = 0, ReportFamily family = ReportFamily::PerKeyPackets)
    {
        renderer.RenderFrame({grid, effect, visualizer, screen}, {kNow, kNow - sinceRequest, family}, out);
    }

    uint32_t Color(int r, int c) const { return grid.Cell(r, c).color; }

    KeyGrid grid;
    EffectParams effect;
    Visualizer visualizer;
    ScreenLight screen;
    FrameRenderer renderer;
    Recorder out;
};

TEST(HsvToRgb, SectorsAndTruncation)
{
    const auto rgb = [](int hue) {
        const Rgb c = HsvToRgb(hue, 1.0, 1.0);
        return std::vector<int>{c.red, c.green, c.blue};
    };
    EXPECT_EQ(rgb(0), (std::vector<int>{255, 0, 0}));
    EXPECT_EQ(rgb(30), (std::vector<int>{255, 127, 0}));
    EXPECT_EQ(rgb(60), (std::vector<int>{255, 255, 0}));
    EXPECT_EQ(rgb(90), (std::vector<int>{127, 255, 0}));
    EXPECT_EQ(rgb(150), (std::vector<int>{0, 255, 127}));
    EXPECT_EQ(rgb(210), (std::vector<int>{0, 127, 255}));
    EXPECT_EQ(rgb(270), (std::vector<int>{127, 0, 255}));
    EXPECT_EQ(rgb(359), (std::vector<int>{255, 0, 4}));
    const Rgb dim = HsvToRgb(120, 0.5, 0.5);
    EXPECT_EQ(dim.red, 63);
    EXPECT_EQ(dim.green, 127);
    EXPECT_EQ(dim.blue, 63);
}

TEST(HueColor, MatchesTheFormulaForEveryHue)
{
    for (int hue = 0; hue < 360; ++hue) {
        const uint32_t color = HueColor(hue);
        ASSERT_EQ(color, Packed(HsvToRgb(hue, 1.0, 1.0))) << hue;
        const int channels[] = {static_cast<int>(color & 0xFF), static_cast<int>(color >> 8 & 0xFF),
                                static_cast<int>(color >> 16 & 0xFF)};
        int full = 0;
        int empty = 0;
        for (const int channel : channels) {
            full += channel == 255;
            empty += channel == 0;
        }
        ASSERT_GE(full, 1) << hue;
        ASSERT_GE(empty, 1) << hue;
    }
}

TEST_F(RendererTest, SpectrumTakesPictureColoursAndColumnHeights)
{
    Grid(6, 21);
    Background(0, 0, 0x00112233);
    Background(5, 20, 0x00445566);
    Lit(5, 3);  // bottom row only
    Lit(0, 5);  // top row
    Lit(2, 7);
    Lit(4, 7);
    Render();
    EXPECT_EQ(Color(0, 0), 0x00112233u);
    EXPECT_EQ(Color(5, 20), 0x00445566u);
    EXPECT_EQ(Color(1, 1), 0u);
    EXPECT_EQ(renderer.Levels().level[3], 1);
    EXPECT_EQ(renderer.Levels().level[5], 6);
    EXPECT_EQ(renderer.Levels().level[7], 4);
    EXPECT_EQ(renderer.Levels().level[0], 0);
    EXPECT_EQ(out.invalidates, 1);
    // Nothing is lit in columns 0 to 2: not worth sending.
    EXPECT_FALSE(out.Sent());
}

TEST_F(RendererTest, FrameGoesToTheKeyboardOnlyUnderAllFourConditions)
{
    Grid(6, 21);
    Key(0, 0, 1, 1);
    Lit(5, 2);

    Render(999);
    EXPECT_EQ(out.packets.size(), 1u);
    EXPECT_EQ(out.begins, 1);
    EXPECT_EQ(out.ends, 1);

    Render(1000);
    EXPECT_EQ(out.packets.size(), 1u);
    // A request stamp from the future counts as stale, not as fresh.
    renderer.RenderFrame({grid, effect, visualizer, screen}, {kNow, kNow + 5, ReportFamily::PerKeyPackets}, out);
    EXPECT_EQ(out.packets.size(), 1u);

    Grid(6, 24);
    Lit(5, 2);
    Render();
    EXPECT_EQ(out.packets.size(), 1u);

    Grid(6, 23);
    VisualizerProbe::BarMask(visualizer).pixels[grid.m_rowSample[5] * kPictureWidth + grid.m_colSample[2]] = 1;
    Lit(5, 3);
    Render();
    EXPECT_EQ(renderer.Levels().level[3], 1);
    EXPECT_EQ(out.packets.size(), 1u);

    Lit(0, 1);
    Render();
    EXPECT_EQ(out.packets.size(), 2u);
    EXPECT_EQ(out.begins, out.ends);
    EXPECT_EQ(out.invalidates, 6);
}

TEST_F(RendererTest, TwentySixKeysMakeTwoPacketsOfTheirColours)
{
    Grid(6, 21);
    int index = 1;
    for (int c = 0; c < 5 && index <= 26; ++c) {
        for (int r = 0; r < 6 && index <= 26; ++r, ++index) {
            Key(r, c, 50 + index, index);
            Background(r, c, 0x00010203u * static_cast<uint32_t>(index));
        }
    }
    // Coloured but never sent.
    Key(0, 10, 0, 40);
    Key(1, 10, -2, 41);
    Background(0, 10, 0x00ABCDEF);
    Lit(5, 0);
    Render();

    EXPECT_EQ(Color(0, 10), 0x00ABCDEFu);
    ASSERT_EQ(out.packets.size(), 2u);
    // Whole reports: report ID 0, then the packet.
    EXPECT_EQ(out.packets[0][0], 0);
    EXPECT_EQ(out.packets[0][3], 56);
    EXPECT_EQ(out.packets[1][3], 48);
    EXPECT_EQ(out.packets[1][4], 56);
    EXPECT_EQ(out.packets[1][5], 0);
    EXPECT_EQ(out.reads, 2);
    std::vector<uint8_t> table(out.packets[0].begin() + 9, out.packets[0].end());
    table.insert(table.end(), out.packets[1].begin() + 9, out.packets[1].end());
    for (int k = 0; k < 26; ++k) {
        const uint32_t color = 0x00010203u * static_cast<uint32_t>(k + 1);
        ASSERT_EQ(table[4 * k], k + 1);
        ASSERT_EQ(table[4 * k + 1], color & 0xFF);
        ASSERT_EQ(table[4 * k + 2], color >> 8 & 0xFF);
        ASSERT_EQ(table[4 * k + 3], color >> 16 & 0xFF);
    }
    EXPECT_EQ(table[104], 0xAA);
    EXPECT_EQ(table[105], 0x55);
    EXPECT_EQ(table[108], 0x7F);
}

TEST_F(RendererTest, DeviceModeOneSendsTheColumnLevels)
{
    Grid(6, 21);
    Key(0, 0, 1, 1);
    effect.mode = 0x107;
    effect.backMode = 2;
    effect.backModeBrightness = 300;
    Lit(5, 0);
    Lit(0, 1);
    Lit(3, 24 - 4);
    Render(0, ReportFamily::ColumnLevels);
    EXPECT_TRUE(out.packets.empty());
    ASSERT_EQ(out.commands.size(), 1u);
    const auto& report = out.commands[0];
    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(report[1], 0xAA);
    EXPECT_EQ(report[2], 0x35);
    EXPECT_EQ(report[4], 0x07);
    EXPECT_EQ(report[5], 2);
    EXPECT_EQ(report[6], 300 & 0xFF);
    EXPECT_EQ(report[7], 1);
    EXPECT_EQ(report[8], 6);
    EXPECT_EQ(report[7 + 20], 3);
    EXPECT_EQ(report[32], 0x1E);  // the low byte of the sum of every other byte
    EXPECT_EQ(std::vector<uint8_t>(report.begin() + 33, report.end()), std::vector<uint8_t>(32, 0));
}

TEST_F(RendererTest, ScreenColoursAndTheirSendSwitch)
{
    Grid(10, 23);
    effect.mode = kScreenMode;
    for (int c = 0; c < ScreenLight::kGridColumns; ++c) {
        for (int r = 0; r < ScreenLight::kGridRows; ++r) {
            screen.m_colors.Set(c, r, 1);
        }
    }
    screen.m_colors.Set(0, 7, 0x00FF0000);
    screen.m_colors.Set(4, 2, 0x00000010);
    screen.m_colors.Set(22, 9, 0x0000FF00);  // the bottom right key of a 10-row layout has a cell too
    Key(0, 0, 1, 1);
    Render();
    EXPECT_EQ(Color(7, 0), 0x00FF0000u);
    EXPECT_EQ(Color(2, 4), 0x00000010u);
    EXPECT_EQ(Color(3, 3), 1u);
    EXPECT_EQ(Color(8, 0), 1u);
    EXPECT_EQ(Color(9, 22), 0x0000FF00u);
    EXPECT_EQ(renderer.Levels().level[0], 3);
    EXPECT_EQ(renderer.Levels().level[4], 8);
    EXPECT_EQ(renderer.Levels().level[22], 1);
    EXPECT_EQ(renderer.Levels().level[3], 0);  // a value of 1 does not light a key
    EXPECT_FALSE(out.Sent());

    effect.screenToDevice = 1;
    Render();
    EXPECT_EQ(out.packets.size(), 1u);
}

TEST_F(RendererTest, RippleCentres)
{
    effect.mode = kRippleMode;
    VisualizerProbe::SetLevel(visualizer, 100);
    Grid(6, 21);
    Render();
    EXPECT_EQ(renderer.Ripple().centreRow, 2);
    EXPECT_EQ(renderer.Ripple().centreCol, 10);
    EXPECT_EQ(Color(2, 10), HueColor(static_cast<int>(renderer.PhaseB() * 360) % 360));
    Grid(7, 21);
    Render();
    EXPECT_EQ(renderer.Ripple().centreRow, 3);
    EXPECT_EQ(renderer.Ripple().centreCol, 9);
}

TEST_F(RendererTest, RippleRingsOnSixByTwentyOne)
{
    effect.mode = kRippleMode;
    Grid(6, 21);
    VisualizerProbe::SetLevel(visualizer, 128);
    Render();
    const RippleFrame& ripple = renderer.Ripple();
    EXPECT_FLOAT_EQ(ripple.maxDist, static_cast<float>(std::sqrt(109.0)));
    EXPECT_EQ(ripple.ringCount, 11);
    EXPECT_EQ(ripple.litRings, 5);
    EXPECT_EQ(renderer.Levels().level[0], 5);
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 21; ++c) {
            ASSERT_NE(ripple.ring[r][c], 0) << r << "," << c;
        }
    }
    EXPECT_EQ(ripple.ring[2][10], RippleFrame::kNoRing);
    EXPECT_EQ(ripple.ring[2][11], 1);
    EXPECT_EQ(ripple.ring[1][9], 1);
    // Lit rings take ring colours; farther rings keep the background.
    Background(0, 0, 0x00123456);
    Render();
    EXPECT_EQ(ripple.ring[0][0], 10);
    EXPECT_EQ(Color(0, 0), 0x00123456u);

    VisualizerProbe::SetLevel(visualizer, 256);
    Render();
    EXPECT_EQ(renderer.Ripple().litRings, 11);
    EXPECT_NE(Color(0, 0), 0x00123456u);
    VisualizerProbe::SetLevel(visualizer, 100000);
    Render();
    EXPECT_EQ(renderer.Ripple().litRings, 11);

    for (const int32_t quiet : {1, 46}) {
        VisualizerProbe::SetLevel(visualizer, quiet);
        Render();
        EXPECT_FLOAT_EQ(renderer.Ripple().ratio, 2.0f / 11.0f);
        EXPECT_EQ(renderer.Ripple().litRings, 2);
        EXPECT_EQ(renderer.Levels().level[0], 2);
    }
}

TEST_F(RendererTest, LoudRippleLevelStaysAtTheTopInsteadOfWrapping)
{
    effect.mode = kRippleMode;
    Grid(6, 21);
    // level x 11 / 256 passes 255 at 5958; a wrapped byte would read 0, and no frame would go out.
    for (const auto& [level, expected] :
         {std::pair{5934, 254}, {5957, 255}, {5958, 255}, {5981, 255}, {100000, 255}, {INT32_MAX, 255}}) {
        out.commands.clear();
        VisualizerProbe::SetLevel(visualizer, level);
        Render(0, ReportFamily::ColumnLevels);
        EXPECT_EQ(renderer.Levels().level[0], expected) << level;
        ASSERT_EQ(out.commands.size(), 1u) << level;
        EXPECT_EQ(out.commands[0][7], expected) << level;
    }
}

TEST_F(RendererTest, RippleOnASmallGridHasFourRings)
{
    effect.mode = kRippleMode;
    VisualizerProbe::SetLevel(visualizer, 128);
    Grid(3, 3);
    Render();
    EXPECT_LT(renderer.Ripple().maxDist, 4.0f);
    EXPECT_EQ(renderer.Ripple().ringCount, 4);
}

TEST_F(RendererTest, RippleGlowsOnlyOnExactlyTenTenTen)
{
    effect.mode = kRippleMode;
    VisualizerProbe::SetLevel(visualizer, 1);  // two lit rings, glow up to 0.427 of the reach
    Grid(6, 21);
    Background(2, 13, 0x000A0A0A);  // distance 3: ring 3, unlit
    Background(2, 7, 0x000B0A0A);
    Background(0, 0, 0x000A0A0A);  // the far corner: beyond the glow
    Render();
    ASSERT_EQ(renderer.Ripple().ring[2][13], 3);
    const float share = 3.0f / renderer.Ripple().maxDist;
    const int hue = static_cast<int>((static_cast<double>(share) + renderer.PhaseA() + renderer.PhaseB()) * 360) % 360;
    EXPECT_EQ(Color(2, 13), HueColor(hue));
    EXPECT_EQ(Color(2, 7), 0x000B0A0Au);
    EXPECT_EQ(Color(0, 0), 0x000A0A0Au);
}

TEST_F(RendererTest, SilenceShowsTheBackgroundAndSendsNothing)
{
    effect.mode = kRippleMode;
    Grid(6, 21);
    Key(0, 0, 1, 1);
    Background(2, 10, 0x00000C0D);
    VisualizerProbe::SetLevel(visualizer, 0);
    Render();
    EXPECT_EQ(Color(2, 10), 0x00000C0Du);
    EXPECT_EQ(renderer.PhaseA(), 0.0);
    EXPECT_EQ(out.invalidates, 1);
    EXPECT_FALSE(out.Sent());

    VisualizerProbe::SetLevel(visualizer, 128);
    Render();
    EXPECT_EQ(out.packets.size(), 1u);
}

TEST_F(RendererTest, PhasesAdvanceOnlyInRippleFramesAndWrap)
{
    Grid(6, 21);
    VisualizerProbe::SetLevel(visualizer, 50);
    effect.mode = kRippleMode;
    Render();
    EXPECT_DOUBLE_EQ(renderer.PhaseA(), 0.03);
    EXPECT_DOUBLE_EQ(renderer.PhaseB(), 0.005);
    effect.mode = 19;
    Render();
    effect.mode = kScreenMode;
    Render();
    EXPECT_DOUBLE_EQ(renderer.PhaseA(), 0.03);
    effect.mode = kRippleMode;
    for (int frame = 1; frame < 33; ++frame) {
        Render();
    }
    EXPECT_GT(renderer.PhaseA(), 0.98);
    Render();
    EXPECT_EQ(renderer.PhaseA(), 0.0);
    EXPECT_GT(renderer.PhaseB(), 0.16);
}

TEST_F(RendererTest, ShutdownDropsTheRestOfAFrame)
{
    Grid(6, 21);
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 21; ++c) {
            Key(r, c, 1, r * 21 + c + 1);
        }
    }
    Lit(5, 0);
    Render();
    EXPECT_EQ(out.packets.size(), 10u);
    out.stopping = true;
    Render();
    EXPECT_EQ(out.packets.size(), 10u);
    EXPECT_EQ(out.begins, out.ends);
}

// The ripple computed the plain way: ring lists rebuilt every frame and every
// colour straight from HsvToRgb. The renderer must match it bit for bit.
struct ReferenceRipple {
    double phaseA = 0.0;
    double phaseB = 0.0;

    // Returns false when the frame ends at the background (silence).
    bool Frame(std::vector<std::vector<uint32_t>>& colors, int rows, int cols, int32_t level)
    {
        float m = static_cast<float>(level) * (1.0f / 256.0f) * 11.0f;
        if (m <= 0.0f) {
            return false;
        }
        if (m <= 2.0f) {
            m = 2.0f;
        }
        const float ratio = m / 11.0f;
        int cx = cols / 2;
        int cy = 2;
        if (rows == 7) {
            cy = 3;
            cx = cols / 2 - 1;
        }
        const auto distance = [&](int r, int c) {
            const float dx = static_cast<float>(c - cx);
            const float dy = static_cast<float>(r - cy);
            return static_cast<float>(std::sqrt(static_cast<double>(dx * dx + dy * dy)));
        };
        float maxDist = 0.0f;
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                maxDist = std::max(maxDist, distance(r, c));
            }
        }
        int ringCount = static_cast<int>(std::ceil(maxDist));
        if (ringCount < 4) {
            ringCount = 4;
        }
        std::vector<std::vector<std::pair<int, int>>> rings(static_cast<size_t>(ringCount));
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                if (r == cy && c == cx) {
                    continue;
                }
                const int index = static_cast<int>(static_cast<double>(distance(r, c) / maxDist) * (ringCount - 0.01));
                if (index >= 0 && index < ringCount) {
                    rings[static_cast<size_t>(index)].emplace_back(c, r);
                }
            }
        }
        phaseA += 0.03;
        if (phaseA >= 1.0) {
            phaseA = 0.0;
        }
        phaseB += 0.005;
        if (phaseB >= 1.0) {
            phaseB = 0.0;
        }
        std::vector<double> ringPhase;
        for (int i = 0; i < ringCount; ++i) {
            double phase = std::fmod(phaseA - static_cast<double>(i) / ringCount, 1.0);
            ringPhase.push_back(phase < 0.0 ? phase + 1.0 : phase);
        }
        int litRings = std::min(ringCount, static_cast<int>(static_cast<float>(ringCount) * ratio));
        if (litRings < 2) {
            litRings = 2;
        }
        const auto hsv = [](double t) { return Packed(HsvToRgb(static_cast<int>(t * 360) % 360, 1.0, 1.0)); };
        if (cx >= 0 && cx < cols && cy < rows) {
            colors[static_cast<size_t>(cy)][static_cast<size_t>(cx)] = hsv(phaseB);
        }
        for (int i = 0; i < litRings; ++i) {
            for (const auto& [c, r] : rings[static_cast<size_t>(i)]) {
                colors[static_cast<size_t>(r)][static_cast<size_t>(c)] = hsv(ringPhase[static_cast<size_t>(i)] + phaseB);
            }
        }
        const float reach = static_cast<float>(static_cast<double>(ratio) * 0.7 + 0.3);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                const float share = distance(r, c) / maxDist;
                auto& color = colors[static_cast<size_t>(r)][static_cast<size_t>(c)];
                if (color == 0x000A0A0A && share <= reach) {
                    color = hsv(static_cast<double>(share) + phaseA + phaseB);
                }
            }
        }
        return true;
    }
};

TEST_F(RendererTest, RippleMatchesThePlainComputation)
{
    effect.mode = kRippleMode;
    ReferenceRipple reference;
    const std::pair<int, int> sizes[] = {{6, 21}, {7, 21}, {10, 23}, {3, 3}, {1, 1}, {7, 1}, {2, 5}, {10, 100}, {4, 65}};
    const int32_t levels[] = {1, 46, 47, 100, 128, 200, 256, 700, 0, 5000};
    int frame = 0;
    for (const auto& [rows, cols] : sizes) {
        Grid(rows, cols);
        for (int i = 0; i < kPicturePixels; ++i) {
            VisualizerProbe::Frame(visualizer, 0).pixels[i] =
                (i % 3 == 0) ? 0x000A0A0Au : 0x00203040u + static_cast<uint32_t>(i % 7);
        }
        for (const int32_t level : levels) {
            for (int repeat = 0; repeat < 4; ++repeat, ++frame) {
                VisualizerProbe::SetLevel(visualizer, level);
                std::vector<std::vector<uint32_t>> expected(static_cast<size_t>(rows), std::vector<uint32_t>(static_cast<size_t>(cols)));
                for (int r = 0; r < rows; ++r) {
                    for (int c = 0; c < cols; ++c) {
                        expected[static_cast<size_t>(r)][static_cast<size_t>(c)] =
                            VisualizerProbe::Frame(visualizer, 0).At(grid.m_rowSample[r], grid.m_colSample[c]);
                    }
                }
                reference.Frame(expected, rows, cols, level);
                Render();
                ASSERT_EQ(renderer.PhaseA(), reference.phaseA) << "frame " << frame;
                for (int r = 0; r < rows; ++r) {
                    for (int c = 0; c < cols; ++c) {
                        ASSERT_EQ(Color(r, c), expected[static_cast<size_t>(r)][static_cast<size_t>(c)])
                            << rows << "x" << cols << " level " << level << " cell " << r << "," << c;
                    }
                }
            }
        }
    }
}

}  // namespace
