// Screen sampling: the portable reduction of the 480 x 270 picture to the
// grid, the same for a full-size frame of a portal's stream, and one whole
// pass of the X11 sampler (grab, scaling, reduction) on a private 1920 x 1080
// Xvfb, each with a count of heap allocations per pass after the first (there
// should be none).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "e2e/x_server.h"
#include "screen/grid_reducer.h"
#include "screen/screen_sampler.h"
#include "screen/video_frame.h"

namespace {

void ReduceToGrid(benchmark::State& state)
{
    const int columns = static_cast<int>(state.range(0));
    const int rows = static_cast<int>(state.range(1));
    constexpr int kWidth = ScreenSampler::kPictureWidth;
    constexpr int kHeight = ScreenSampler::kPictureHeight;
    std::vector<uint32_t> pixels(kWidth * kHeight);
    std::mt19937 random(3);
    for (auto& pixel : pixels) {
        pixel = static_cast<uint32_t>(random());
    }
    const PictureView picture{pixels.data(), kWidth, kHeight, kWidth};
    auto grid = std::make_unique<ScreenGrid>();
    auto reducer = std::make_unique<GridReducer>();
    reducer->Reduce(picture, columns, rows, *grid);
    const uint64_t before = AllocationCount();
    for (auto _ : state) {
        reducer->Reduce(picture, columns, rows, *grid);
        benchmark::DoNotOptimize(grid->cells[0]);
    }
    state.counters["allocs/pass"] =
        static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(ReduceToGrid)->Args({22, 6})->Args({100, 10})->Unit(benchmark::kMicrosecond);

// One frame of a portal's screen stream, 1920 x 1080 BGRx with rows padded
// to 1936 pixels, reduced in place to the grid as the stream's consumer does.
void ReduceStreamFrame(benchmark::State& state)
{
    const int columns = static_cast<int>(state.range(0));
    const int rows = static_cast<int>(state.range(1));
    constexpr int kWidth = 1920;
    constexpr int kHeight = 1080;
    constexpr size_t kStride = 1936;
    std::vector<uint32_t> pixels(kStride * kHeight);
    std::mt19937 random(5);
    for (auto& pixel : pixels) {
        pixel = static_cast<uint32_t>(random());
    }
    const VideoFrame frame{pixels.data(), pixels.size() * 4, kWidth, kHeight, kStride * 4, VideoFormat::Bgrx};
    auto grid = std::make_unique<ScreenGrid>();
    auto reducer = std::make_unique<GridReducer>();
    reducer->Reduce(*PictureOf(frame), columns, rows, *grid);
    const uint64_t before = AllocationCount();
    for (auto _ : state) {
        reducer->Reduce(*PictureOf(frame), columns, rows, *grid);
        benchmark::DoNotOptimize(grid->cells[0]);
    }
    state.counters["allocs/pass"] =
        static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(ReduceStreamFrame)->Args({22, 6})->Args({100, 10})->Unit(benchmark::kMicrosecond);

// One pass of the platform sampler for a 22 x 6 layout, on a server started
// with the given options (none: RENDER scaling and MIT-SHM).
void WholePassOnXvfb(benchmark::State& state, std::vector<std::string> options)
{
    XServer server(std::move(options));
    if (!server.Start() || !server.PaintHalves("#FF0000", "#0000FF")) {
        state.SkipWithError("Xvfb did not start");
        return;
    }
    ::setenv("DISPLAY", server.Display().c_str(), 1);
    // The X11 sampler even when the benchmark runs in a Wayland session.
    ::setenv("XDG_SESSION_TYPE", "x11", 1);
    auto grid = std::make_unique<ScreenGrid>();
    const auto sampler = OpenScreenSampler();
    if (sampler->Sample(*grid, 22, 6) != ScreenSampler::Result::Sampled) {
        state.SkipWithError("the first pass did not sample the screen");
        return;
    }
    const uint64_t before = AllocationCount();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sampler->Sample(*grid, 22, 6));
    }
    state.counters["allocs/pass"] =
        static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(WholePassOnXvfb, scaled_by_server_shm, std::vector<std::string>{})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(WholePassOnXvfb, scaled_by_server_no_shm, std::vector<std::string>{"-extension", "MIT-SHM"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(WholePassOnXvfb, whole_root_shm, std::vector<std::string>{"-extension", "RENDER"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
