// Benchmarks of the touch road: framing per packet, mouse-mode frames per frame.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

#include "quilmod.h"

namespace {

constexpr int PACKETS_PER_READ = 10;  // a full 100-byte read

// Ten packets filling one 100-byte read.
std::array<unsigned char, PANEL_BUF> full_read()
{
    std::array<unsigned char, PANEL_BUF> b{};
    for (int k = 0; k < PACKETS_PER_READ; k++) {
        unsigned char *pkt = b.data() + 10 * k;
        const unsigned char bytes[10] = {0x55, 0x54, 0x81, (unsigned char)k, 0x02, 0x20, 0x03, 0, 0, 0};
        memcpy(pkt, bytes, sizeof bytes);
    }
    return b;
}

void BM_DataFilterPerPacket(benchmark::State &state)
{
    static TouchPanel panel{};
    const auto data = full_read();
    for (auto _ : state) {
        memcpy(panel.buf, data.data(), data.size());
        panel.len = PANEL_BUF;
        panel.buf[PANEL_BUF] = 0;
        while (panel.len > 9)
            benchmark::DoNotOptimize(DataFilter(&panel));
    }
    state.SetItemsProcessed(state.iterations() * PACKETS_PER_READ);
}
BENCHMARK(BM_DataFilterPerPacket);

// One touch of `frames` frames and its release, repeated.
void run_touches(benchmark::State &state, int mode)
{
    static TouchPanel panel{};
    const Setting saved = TouchSetting;
    TouchSetting.mode = mode;
    TouchSetting.dblClickSpeed = 18;
    TouchSetting.dblClickArea = 30;
    TouchSetting.count = 0;
    const int frames = 40;
    unsigned char dest[30];
    int len = 0;
    int n = 0;
    for (auto _ : state) {
        bool lift = ++n % (frames + 1) == 0;
        GenFrameWithMouseMode(&panel, lift ? 7 : 1, 500 + n % 64, 400 + n % 32, dest, &len);
        benchmark::DoNotOptimize(dest);
    }
    state.SetItemsProcessed(state.iterations());
    TouchSetting = saved;
}

void BM_GenFrameDrawing(benchmark::State &state) { run_touches(state, 0); }
BENCHMARK(BM_GenFrameDrawing);

void BM_GenFrameDesktop(benchmark::State &state) { run_touches(state, 1); }
BENCHMARK(BM_GenFrameDesktop);

}  // namespace
