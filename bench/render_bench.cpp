// RenderFrame for common grid sizes and the per-key table build and cut, with
// a count of heap allocations on the per-key path (there should be none).
#include <benchmark/benchmark.h>

#include <memory>

#include "alloc_counter.h"
#include "audio/visualizer.h"
#include "audio/visualizer_probe.h"
#include "device/key_colour_table.h"
#include "device/per_key_packet_protocol.h"
#include "lighting/effect_params.h"
#include "lighting/frame_renderer.h"
#include "lighting/key_grid.h"
#include "screen/screen_light.h"

namespace {

// Swallows the frame; only the cost of producing it is measured.
struct NullOutput final : FrameOutput {
    void Invalidate() override {}
    void BeginDeviceFrame() override {}
    void EndDeviceFrame() override {}
    WriteOutcome Write(const uint8_t (&report)[kReportBytes]) override
    {
        benchmark::DoNotOptimize(report);
        return WriteOutcome::Written;
    }
    void Read(uint8_t (&reply)[kReportBytes], int) override { benchmark::DoNotOptimize(reply); }
    bool Stopping() const override { return false; }
};

// A layout of rows x cols with up to `keys` keyed cells over a busy picture.
struct Scene {
    KeyGrid grid;
    EffectParams effect;
    Visualizer visualizer;
    ScreenLight screen;
    FrameRenderer renderer;
    NullOutput output;

    Scene(int rows, int cols, int keys, int32_t mode)
    {
        grid.m_nKeyRows = rows;
        grid.m_nKeyCols = cols;
        grid.ComputeSampleCoordinates();
        int index = 1;
        for (int c = 0; c < cols; ++c) {
            for (int r = 0; r < rows && index <= keys; ++r, ++index) {
                grid.Cell(r, c).keyCode = 100 + index;
                grid.Cell(r, c).keyIndex = index;
            }
        }
        for (int i = 0; i < kPicturePixels; ++i) {
            VisualizerProbe::Frame(visualizer, 1).pixels[i] =
                (i % 5 == 0) ? 0x000A0A0Au : 0x00204060u + static_cast<uint32_t>(i);
            VisualizerProbe::BarMask(visualizer).pixels[i] = (i % 256) < 128 ? 2u : 0u;
        }
        VisualizerProbe::SetLevel(visualizer, 180);
        effect.mode = mode;
    }
};

void RenderBench(benchmark::State& state, int32_t mode, bool send)
{
    const int rows = static_cast<int>(state.range(0));
    const int cols = static_cast<int>(state.range(1));
    auto scene = std::make_unique<Scene>(rows, cols, 104, mode);
    const uint64_t now = 100000;
    const SendState sendState{now, send ? now : 0, ReportFamily::PerKeyPackets};
    const uint64_t before = AllocationCount();
    for (auto _ : state) {
        scene->renderer.RenderFrame({scene->grid, scene->effect, scene->visualizer, scene->screen}, sendState,
                                    scene->output);
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(AllocationCount() - before);
}

void BM_RenderSpectrum(benchmark::State& state)
{
    RenderBench(state, 19, false);
}

void BM_RenderRipple(benchmark::State& state)
{
    RenderBench(state, kRippleMode, false);
}

// The whole per-key path: colouring, table, cut and hand-over of every packet.
void BM_RenderSpectrumPerKeySend(benchmark::State& state)
{
    RenderBench(state, 19, true);
}

void BM_KeyTableAndCut104(benchmark::State& state)
{
    auto scene = std::make_unique<Scene>(6, 21, 104, 19);
    KeyColourTable table;
    uint8_t report[kReportBytes];
    const uint64_t before = AllocationCount();
    for (auto _ : state) {
        BuildKeyColourTable(scene->grid.cells, 6, 21, table);
        const int packets = KeyPacketCount(table);
        for (int i = 0; i < packets; ++i) {
            CutKeyPacket(table, i, report);
            benchmark::DoNotOptimize(report);
        }
    }
    state.counters["allocations"] = static_cast<double>(AllocationCount() - before);
}

BENCHMARK(BM_RenderSpectrum)->Args({6, 21})->Args({10, 23});
BENCHMARK(BM_RenderRipple)->Args({6, 21})->Args({10, 23});
BENCHMARK(BM_RenderSpectrumPerKeySend)->Args({6, 21})->Args({10, 23});
BENCHMARK(BM_KeyTableAndCut104);

}  // namespace
