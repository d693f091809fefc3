// Fuzz target: configuration lines. The settings and the open ports after a load are those of an
// independent reading of the file's rules, and closing the ports leaves no descriptor behind.
#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>

#include "fuzzhelp.h"
#include "quilmod.h"

namespace {

// The one device node in the private root; every other Port line names nothing that opens.
constexpr char PORT_DEVICE[] = "/dev/p0";
constexpr size_t PIECE = 199;  // a line is read 199 characters at a time
constexpr size_t WORD = 99;    // keys and word values are cut to 99 characters

struct Model {
    int mode = 0, sound = 0, cursor = 1, drag = 18, area = 30, rclick = 0;
    std::set<std::string> ports;
};

// The first white-space-delimited word of [s, end), cut to max characters.
std::string first_word(const char *s, const char *end, size_t max)
{
    while (s < end && isspace((unsigned char)*s))
        s++;
    const char *w = s;
    while (s < end && *s && !isspace((unsigned char)*s))
        s++;
    return std::string(w, std::min((size_t)(s - w), max));
}

void set_word(const char *value, int *field, std::initializer_list<const char *> names)
{
    std::string w = first_word(value, value + strlen(value), WORD);
    int k = 0;
    for (const char *name : names) {
        if (!w.empty() && strcasecmp(w.c_str(), name) == 0)
            *field = k;
        k++;
    }
}

bool port_opens(const std::string &device)
{
    int fd = open((FuzzRoot() + device).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// One line as fgets leaves it: a C string, whatever bytes followed a zero.
void model_line(Model &m, const char *line)
{
    const char *s = line;
    while (isspace((unsigned char)*s))
        s++;
    const char *eq = strchr(line, '=');
    if (*s == '#' || !eq)
        return;
    std::string key = first_word(line, eq, WORD);
    const char *value = eq + 1;
    int *number = nullptr;
    if (strcasecmp(key.c_str(), "MouseMode") == 0)
        set_word(value, &m.mode, {"DRAWING", "DESKTOP"});
    else if (strcasecmp(key.c_str(), "Sound") == 0)
        set_word(value, &m.sound, {"None", "Down", "Up"});
    else if (strcasecmp(key.c_str(), "Cursor") == 0)
        set_word(value, &m.cursor, {"None", "Display"});
    else if (strcasecmp(key.c_str(), "DblClickSpeed") == 0)
        number = &m.drag;
    else if (strcasecmp(key.c_str(), "DblClickArea") == 0)
        number = &m.area;
    else if (strcasecmp(key.c_str(), "RClickTool") == 0)
        number = &m.rclick;
    else if (strcasecmp(key.c_str(), "Port") == 0) {
        std::string device = first_word(value, value + strlen(value), PIECE);
        if (!device.empty() && port_opens(device))
            m.ports.insert(device);
    }
    if (number)
        ScanLong(value, number);
}

Model model_file(const std::string &text)
{
    Model m;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        size_t len = std::min(end == std::string::npos ? text.size() - pos : end + 1 - pos, PIECE);
        model_line(m, std::string(text, pos, len).c_str());
        pos += len;
    }
    return m;
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096 || std::count(data, data + size, '=') > 16)
        return -1;  // every opened port waits 10 ms: keep the runs quick
    std::string text = confined(data, size);
    FILE *fp = fmemopen(text.data(), text.size(), "r");
    if (!fp)
        return 0;  // an empty buffer
    int fds = count_fds();
    TouchSetting = Setting{};
    ReadDataFromCfgFile(fp);
    fclose(fp);
    Model want = model_file(text);
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
    if (open != std::multiset<std::string>(want.ports.begin(), want.ports.end()))
        FuzzFail("%zu ports open where %zu were due", open.size(), want.ports.size());
    for (const std::string &device : want.ports)
        ClosePort(const_cast<char *>(device.c_str()));
    if (panelList || count_fds() != fds)
        FuzzFail("ports left open after closing them all");
    return 0;
}
