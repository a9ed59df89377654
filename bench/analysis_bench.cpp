// One whole analysis frame (AnalyseStep, both style fills, ComposeFrame) per
// bar and background style, and the per-pixel fill it replaced, for the ratio.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "audio/fill_oracle.h"
#include "audio/visualizer.h"

namespace {

// Feeds one 10 ms stereo packet of a chord per frame, as a live stream would.
class ToneCapture : public CaptureBackend {
public:
    ToneCapture()
    {
        for (int n = 0; n < 480; ++n) {
            const double t = n / 48000.0;
            const auto s = static_cast<float>(0.4 * std::sin(2 * M_PI * 110 * t) + 0.3 * std::sin(2 * M_PI * 440 * t) +
                                              0.2 * std::sin(2 * M_PI * 3000 * t));
            m_packet.push_back(s);
            m_packet.push_back(s);
        }
    }
    void SetPaused(bool) override {}
    RecordingState Recorded() override { return {true, "Chord"}; }

    bool Drain(CapturePacketSink& sink) override
    {
        sink.OnPacket(m_packet.data(), m_packet.size(), 480);
        return true;
    }

private:
    std::vector<float> m_packet;
};

void BM_AnalysisFrame(benchmark::State& state)
{
    auto vis = std::make_unique<Visualizer>();
    vis->InitVisualizer(std::make_unique<ToneCapture>());
    const auto barStyle = static_cast<int32_t>(state.range(0));
    const auto backStyle = static_cast<int32_t>(state.range(1));
    vis->SetGain(1200);
    vis->SetBarStyle(barStyle);
    vis->SetBackStyle(backStyle);
    for (auto _ : state) {
        vis->AnalyseStep();
        vis->FillStyle(backStyle, 100, vis->m_background);
        vis->FillStyle(barStyle, barStyle != 0 ? 100 : 0, vis->m_bars);
        vis->ComposeFrame();
        benchmark::DoNotOptimize(vis->m_pBackFrame->pixels[kPicturePixels - 1].load());
    }
}
BENCHMARK(BM_AnalysisFrame)
    ->ArgNames({"bars", "back"})
    ->ArgsProduct({{0, 1, 4, 18, 19, 20}, {0, 4}})
    ->Unit(benchmark::kMicrosecond);

void BM_FastFill(benchmark::State& state)
{
    const auto styles = std::make_unique<ColorStyles>();
    const auto image = std::make_unique<VisualizerImage>();
    for (auto _ : state) {
        styles->Fill(static_cast<int32_t>(state.range(0)), 100, 45.0f, *image);
        benchmark::DoNotOptimize(image->pixels[0]);
    }
}
BENCHMARK(BM_FastFill)->ArgName("style")->Arg(1)->Arg(4)->Arg(18)->Arg(19)->Arg(20)->Unit(benchmark::kMicrosecond);

void BM_OracleFill(benchmark::State& state)
{
    const auto image = std::make_unique<VisualizerImage>();
    for (auto _ : state) {
        oracle::Fill(static_cast<int>(state.range(0)), 100, 45.0f, *image);
        benchmark::DoNotOptimize(image->pixels[0]);
    }
}
BENCHMARK(BM_OracleFill)->ArgName("style")->Arg(1)->Arg(4)->Arg(18)->Arg(19)->Arg(20)->Unit(benchmark::kMicrosecond);

}  // namespace
