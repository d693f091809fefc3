// Cost per touch of the four-point and twenty-five-point corrections, hardware and integer arithmetic.
#include <benchmark/benchmark.h>

#include "correct.h"

constexpr int kColumns[5] = {51, 281, 512, 742, 972};
constexpr int kRows[5] = {38, 211, 384, 556, 729};
constexpr int kTouchSpan = 1024;  // touches sweep the raw range
constexpr int kTouchStep = 37;    // coprime with the span, so every call sees a new position

static TouchPanel bench_panel()
{
    TouchPanel panel{};
    panel.mapping = {51, 729, 972, 729, 51, 38, 972, 38};  // LL, LR, UL, UR
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c) {
            panel.coef.delta[0][r][c] = kColumns[c];
            panel.coef.delta[1][r][c] = kRows[r];
        }
    return panel;
}

template <void (*Correct)(TouchPanel *, int *, int *, int, int)>
static void BM_Correction(benchmark::State &state)
{
    TouchPanel panel = bench_panel();
    correctPortable = static_cast<int>(state.range(0));
    int raw = 0;
    for (auto _ : state) {
        raw = (raw + kTouchStep) % kTouchSpan;
        int x = raw, y = kTouchSpan - 1 - raw;
        Correct(&panel, &x, &y, 1024, 768);
        benchmark::DoNotOptimize(x);
        benchmark::DoNotOptimize(y);
    }
    correctPortable = 0;
    state.SetLabel(state.range(0) ? "integer model" : "hardware extended");
}

BENCHMARK(BM_Correction<Calibration4Pt>)->Arg(0)->Arg(1);
BENCHMARK(BM_Correction<Calibration25Pt>)->Arg(0)->Arg(1);
