// The API's per-request work without sockets: the effect-state JSON and one
// dispatch of each route.
#include <benchmark/benchmark.h>

#include <memory>

#include "api/routes.h"
#include "app/kolvex_dlg.h"
#include "lighting/effect_params.h"

namespace {

std::unique_ptr<CKolvexDlg> DlgWithGrid(int rows, int cols)
{
    auto dlg = std::make_unique<CKolvexDlg>();
    KeyGrid& grid = dlg->Api().keyGrid;
    grid.m_nKeyRows = rows;
    grid.m_nKeyCols = cols;
    int code = 1;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c, ++code) {
            KeyCell& cell = grid.Cell(r, c);
            cell.row = r;
            cell.col = c;
            cell.keyCode = code;
            cell.keyIndex = code % 200;
            cell.color = static_cast<uint32_t>(code * 2654435761u) & 0xFFFFFF;
        }
    }
    return dlg;
}

void BM_BuildEffectJson(benchmark::State& state)
{
    auto dlg = DlgWithGrid(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const ApiTargets api = dlg->Api();
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildEffectJson(api.keyGrid, api.effect, api.visualizer, api.screenLight));
    }
}
BENCHMARK(BM_BuildEffectJson)->Args({6, 21})->Args({10, 100})->Unit(benchmark::kMicrosecond);

void BM_Dispatch(benchmark::State& state, const std::string& target)
{
    auto dlg = DlgWithGrid(6, 21);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (auto _ : state) {
        benchmark::DoNotOptimize(DispatchRequest(dlg->Api(), request));
    }
}

const std::string kLayout =
    "%7B%22layouts%22%3A%7B%22rows%22%3A6%2C%22cols%22%3A21%2C%22keys%22%3A%5B%7B%22row%22%3A5%2C%22col%22%3A20%2C"
    "%22code%22%3A41%2C%22index%22%3A3%7D%5D%7D%7D";

BENCHMARK_CAPTURE(BM_Dispatch, base64_layout, std::string("/api/keyboard/layout/base64?data=eyJsYXlvdXRzIjp7fX0%3D"))
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Dispatch, close, std::string("/api/keyboard/musiceffect/close"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Dispatch, hardware, std::string("/api/hardware/info"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Dispatch, layout, "/api/keyboard/musiceffect/layout?layout=" + kLayout)
    ->Unit(benchmark::kMicrosecond);
// Without "param=": the 150 ms pause of new parameters is not the route's own cost.
BENCHMARK_CAPTURE(BM_Dispatch, effect, std::string("/api/keyboard/musiceffect"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Dispatch, amplitude, std::string("/api/audio/amplitude"))->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Dispatch, invalid, std::string("/api/unknown"))->Unit(benchmark::kMicrosecond);

}  // namespace
