// The whole touch road per packet: a port read, framing, correction, mouse mode and both frame writes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>

#include "quilmod.h"

namespace {

constexpr int PACKETS_PER_READ = 10;

void BM_WholeRoadPerPacket(benchmark::State &state)
{
    int port[2];
    if (pipe(port) != 0)
        return state.SkipWithError("pipe");
    static TouchPanel panel{};
    panel.fd = port[0];
    panel._25Mode = 4;
    panel.mapping = {51, 729, 972, 729, 51, 38, 972, 38};  // LL, LR, UL, UR
    panel.screen_width_4 = 1024;
    panel.screen_high_4 = 768;
    fdOuts[0] = open("/dev/null", O_WRONLY);
    fdOuts[1] = open("/dev/null", O_WRONLY);
    TouchSetting.mode = (int)state.range(0);
    TouchSetting.dblClickSpeed = 18;
    TouchSetting.dblClickArea = 30;
    TouchSetting.drag_delay = 18;
    TouchSetting.cursorMode = 2;  // no xsetroot in the measurement
    std::array<unsigned char, 10 * PACKETS_PER_READ> bytes{};
    for (int k = 0; k < PACKETS_PER_READ; k++) {
        const unsigned char packet[10] = {0x55, 0x54, (unsigned char)(k == 9 ? 0x84 : 0x81),
                                          (unsigned char)(40 + k), 0x02, 0x20, 0x01, 0, 0, 0};
        std::copy(packet, packet + 10, bytes.begin() + 10 * k);
    }
    for (auto _ : state) {
        if (write(port[1], bytes.data(), bytes.size()) != (ssize_t)bytes.size())
            return state.SkipWithError("write");
        ProcessPanel(&panel);
    }
    state.SetItemsProcessed(state.iterations() * PACKETS_PER_READ);
    close(port[0]);
    close(port[1]);
    close(fdOuts[0]);
    close(fdOuts[1]);
}
BENCHMARK(BM_WholeRoadPerPacket)->Arg(0)->Arg(1)->ArgName("desktop");

}  // namespace
