// Fuzz target: configuration lines. The settings and the open ports after a load are those of an
// independent reading of the file's rules, each opened port settles once, and closing the ports
// leaves no descriptor behind.
#include <dirent.h>

#include <algorithm>
#include <set>
#include <string>

#include "confmodel.h"
#include "device.h"
#include "fuzzhelp.h"
#include "quilmod.h"

namespace {

// The one device node in the private root; every other Port line names nothing that opens.
constexpr char PORT_DEVICE[] = "/dev/p0";
constexpr useconds_t NO_PAUSE = 0;

bool port_opens(const std::string &device)
{
    int fd = open((FuzzRoot() + device).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Each opened port lets its line settle before it is read. The pause is counted, not waited:
// waiting made 10 ms of every port the fuzzer opened.
int settles = 0;
int count_settle(useconds_t usec)
{
    if (usec == NO_PAUSE)
        FuzzFail("a port settles for no time");
    settles++;
    return 0;
}

int count_fds()
{
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n;
}

// Port lines open real files: nothing may climb out of the private root.
std::string confined(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    for (char &c : text)
        if (c == '.')
            c = '_';
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    PrivateRoot();
    std::string node = FuzzRoot() + PORT_DEVICE;
    int fd = open(node.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        FuzzFail("create %s: %s", node.c_str(), strerror(errno));
    close(fd);
    devUsleep = count_settle;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return -1;
    std::string text = confined(data, size);
    FILE *fp = fmemopen(text.data(), text.size(), "r");
    if (!fp)
        return 0;  // an empty buffer
    int fds = count_fds();
    settles = 0;
    TouchSetting = Setting{};
    ReadDataFromCfgFile(fp);
    fclose(fp);
    ConfModel want = ConfModelFile(text);
    std::set<std::string> ports;
    int opened = 0;  // Port lines whose node opens: each one opens it anew
    for (const std::string &device : want.portValues)
        if (port_opens(device)) {
            ports.insert(device);
            opened++;
        }
    const Setting &s = TouchSetting;
    if (s.mode != want.mode || s.soundMode != want.sound || s.cursorMode != want.cursor ||
        s.drag_delay != want.drag || s.dblClickArea != want.area || s.rClickTool != want.rclick)
        FuzzFail("settings %d %d %d %d %d %d, expected %d %d %d %d %d %d", s.mode, s.soundMode, s.cursorMode,
                 s.drag_delay, s.dblClickArea, s.rClickTool, want.mode, want.sound, want.cursor, want.drag,
                 want.area, want.rclick);
    if (s.dblClickSpeed != 18)
        FuzzFail("dblClickSpeed %d", s.dblClickSpeed);
    std::multiset<std::string> open;
    for (TouchPanel *p = panelList; p; p = p->next)
        open.insert(p->device);
    if (open != std::multiset<std::string>(ports.begin(), ports.end()))
        FuzzFail("%zu ports open where %zu were due", open.size(), ports.size());
    if (settles != opened)
        FuzzFail("%d pauses to settle after %d opens", settles, opened);
    for (const std::string &device : ports)
        ClosePort(const_cast<char *>(device.c_str()));
    if (panelList || count_fds() != fds)
        FuzzFail("ports left open after closing them all");
    return 0;
}
