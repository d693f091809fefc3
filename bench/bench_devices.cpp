// CPU per packet on the report road with each port's input device on against off. Here the
// device is /dev/null behind a stand-in for the uinput ioctls, so the writes cost a real system
// call; with QUILMOD_BENCH_UINPUT=1 (as root, uinput loaded) the kernel's uinput is measured.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "devdesc.h"
#include "quilmod.h"
#include "uidev.h"

namespace {

int accept_ioctl(int, unsigned long, void *)
{
    return 0;
}

// A panel on /dev/ttyB0 with the default four-point calibration on 1024x768.
TouchPanel *bench_panel()
{
    static char name[] = "/dev/ttyB0";
    static TouchPanel panel{};
    panel.device = name;
    panel.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    panel._25Mode = 4;
    panel.mapping = Mapping{51, 729, 972, 729, 51, 38, 972, 38};
    panel.screen_width_4 = 1024;
    panel.screen_high_4 = 768;
    panel.next = nullptr;
    return &panel;
}

void set_up(bool on)
{
    if (!getenv("QUILMOD_BENCH_UINPUT")) {
        static std::string root;
        if (root.empty()) {
            char tmpl[] = "/tmp/qlmbench.XXXXXX";
            root = mkdtemp(tmpl);
            mkdir((root + "/dev").c_str(), 0755);
            symlink("/dev/null", (root + "/dev/uinput").c_str());
        }
        setenv("QUILMOD_ROOT", root.c_str(), 1);
        UiDevIoctl = accept_ioctl;
    }
    for (int &fd : fdOuts)
        if (fd < 0)
            fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    TouchSetting.mode = 0;
    TouchSetting.soundMode = 0;
    TouchSetting.cursorMode = 0;
    TouchSetting.drag_delay = 0;
    panelList = bench_panel();
    NotePortOptions("/dev/ttyB0", " size=256x192");
    InputDeviceKind = on ? INPUT_TOUCH : INPUT_NONE;
    SyncDevices();
}

// Touches of 40 packets and their release, as the controller sends them at its rate, read one
// at a time (a line at its pace) or several to a read (a line faster than the daemon).
void BM_ReportPerPacket(benchmark::State &state)
{
    set_up(state.range(0) != 0);
    const int perRead = (int)state.range(1);
    int n = 0;
    unsigned char record[6] = {0, 0, 0, 0, 0, 0};
    for (auto _ : state) {
        bool lift = ++n % 41 == 0;
        record[1] = lift ? 4 : 1;
        int x = 100 + n % 700, y = 100 + n % 500;
        record[2] = (unsigned char)(x >> 8), record[3] = (unsigned char)x;
        record[4] = (unsigned char)(y >> 8), record[5] = (unsigned char)y;
        ReportFrame(panelList, record);
        if (n % perRead == 0)
            DevicesFlush();  // as ProcessPanel does when a read's packets are done
    }
    state.SetItemsProcessed(state.iterations());
    InputDeviceKind = INPUT_NONE;
    SyncDevices();
    close(panelList->fd);
    panelList = nullptr;
}
BENCHMARK(BM_ReportPerPacket)->ArgsProduct({{0, 1}, {1, 8}})->ArgNames({"devices", "perRead"});

}  // namespace
