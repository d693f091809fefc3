// quilmoctl's view of the daemon's input devices: the status file, sysfs, and the binding lines.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devdesc.h"
#include "edid.h"
#include "inputdev.h"
#include "portopts.h"
#include "rootpath.h"
#include "safefile.h"
#include "turn.h"

constexpr size_t STATUS_MAX = 64 * 1024;  // 32 ports of a few hundred bytes fit many times
constexpr size_t FIELDS = 7;

static std::vector<std::string> split(const std::string &line, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); i++)
        if (i == line.size() || line[i] == sep) {
            out.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    return out;
}

static bool pair(const std::string &s, char sep, int base, unsigned *a, unsigned *b)
{
    char *end;
    const char *p = s.c_str();
    unsigned long x = strtoul(p, &end, base);
    if (end == p || *end != sep)
        return false;
    const char *q = end + 1;
    unsigned long y = strtoul(q, &end, base);
    if (end == q || *end || x > 0xFFFFF || y > 0xFFFFF)
        return false;
    *a = (unsigned)x;
    *b = (unsigned)y;
    return true;
}

static bool parse_line(const std::string &line, InputDevState *d)
{
    std::vector<std::string> f = split(line, '\t');
    unsigned w, h, wmm, hmm;
    if (f.size() != FIELDS || f[0].empty() || f[1].empty() || f[1].size() >= DEV_NAME_SIZE ||
        !pair(f[2], ':', 16, &d->vendor, &d->product) || !pair(f[3], 'x', 10, &w, &h) ||
        !pair(f[4], 'x', 10, &wmm, &hmm) || (f[6] != "touch" && f[6] != "pointer") ||
        (f[5] != "-" && !ValidConnector(f[5])))
        return false;
    d->port = f[0];
    d->name = f[1];
    d->width = (int)w, d->height = (int)h, d->widthMm = (int)wmm, d->heightMm = (int)hmm;
    d->output = f[5] == "-" ? "" : f[5];
    d->kind = f[6];
    return true;
}

std::vector<InputDevState> ParseInputDevices(const std::string &text)
{
    std::vector<InputDevState> out;
    for (const std::string &line : split(text, '\n')) {
        InputDevState d;
        if (parse_line(line, &d))
            out.push_back(d);
    }
    return out;
}

// A small sysfs or run file, whole (up to size bytes); "" when it cannot be read.
static std::string small_file(const std::string &path, size_t size)
{
    int fd = OpenRegular(path.c_str());
    if (fd < 0)
        return "";
    std::string buf(size, '\0');
    long n = ReadUpTo(fd, buf.data(), size);
    close(fd);
    buf.resize(n < 0 ? 0 : (size_t)n);
    while (!buf.empty() && buf.back() == '\n')
        buf.pop_back();
    return buf;
}

static std::string event_child(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return "";
    std::string found;
    while (const dirent *e = readdir(d))
        if (strncmp(e->d_name, "event", 5) == 0 && strlen(e->d_name) < 16)
            found = std::string("/dev/input/") + e->d_name;
    closedir(d);
    return found;
}

std::string FindEventNode(unsigned vendor, unsigned product, const std::string &name)
{
    char base[QLM_PATH];
    if (RootPath(base, sizeof base, "/sys/class/input"))
        return "";
    DIR *d = opendir(base);
    if (!d)
        return "";
    std::string found;
    while (const dirent *e = readdir(d)) {
        if (strncmp(e->d_name, "input", 5) != 0)
            continue;
        std::string dir = std::string(base) + "/" + e->d_name;
        unsigned v = 0, p = 0;
        if (!pair(small_file(dir + "/id/vendor", 16) + ":" + small_file(dir + "/id/product", 16), ':', 16, &v, &p) ||
            v != vendor || p != product || small_file(dir + "/name", DEV_NAME_SIZE) != name)
            continue;
        found = event_child(dir);
        break;
    }
    closedir(d);
    return found;
}

std::vector<InputDevState> ReadInputDevices()
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, DEVICES_STATUS_FILE))
        return {};
    std::vector<InputDevState> devs = ParseInputDevices(small_file(path, STATUS_MAX) + "\n");
    for (InputDevState &d : devs)
        d.event = FindEventNode(d.vendor, d.product, d.name);
    return devs;
}

// Characters that would end a quoted word in the printed lines become '?'.
static std::string quotable(std::string s)
{
    for (char &c : s)
        if (c == '"' || c == '\'' || c == '\\' || c == '`' || c == '$')
            c = '?';
    return s;
}

static std::string sway_id(unsigned vendor, unsigned product, const std::string &name)
{
    std::string n = quotable(name);
    for (char &c : n)
        if (c == ' ')
            c = '_';
    return std::to_string(vendor) + ":" + std::to_string(product) + ":" + n;
}

struct Both {
    std::string name[2];
    unsigned product[2];
    int count;
};

// The device and, for a touchscreen, its companion pointer.
static Both both(const InputDevState &d)
{
    bool touch = d.kind == "touch";
    return Both{{d.name, d.name + " (right button)"}, {d.product, d.product | COMPANION_BIT}, touch ? 2 : 1};
}

static void gnome_line(const InputDevState &d)
{
    EdidInfo e;
    if (ReadConnectorEdid(d.output.c_str(), &e) != CONNECTOR_OK) {
        printf("# GNOME: no EDID on %s here; GNOME binds by the monitor's size\n", d.output.c_str());
        return;
    }
    char product[EDID_TEXT + 8], serial[EDID_TEXT + 8];
    EdidMonitorWords(e, product, serial);
    printf("gsettings set org.gnome.desktop.peripherals.touchscreen:/org/gnome/desktop/peripherals/touchscreens/"
           "%04x:%04x/ output \"['%s', '%s', '%s']\"\n",
           d.vendor, d.product, quotable(e.vendor).c_str(), quotable(product).c_str(), quotable(serial).c_str());
}

static void device_lines(const InputDevState &d, const std::string &desktop)
{
    auto want = [&](const char *name) { return desktop.empty() || desktop == name; };
    Both b = both(d);
    std::string name = quotable(d.name);
    printf("# %s: \"%s\" %04x:%04x on %s\n", d.port.c_str(), name.c_str(), d.vendor, d.product, d.output.c_str());
    if (want("sway")) {
        printf("# sway (its config, or swaymsg while it runs):\n");
        for (int i = 0; i < b.count; i++)
            printf("input \"%s\" map_to_output %s\n", sway_id(d.vendor, b.product[i], b.name[i]).c_str(), d.output.c_str());
    }
    if (want("gnome")) {
        printf("# GNOME (as the session's user):\n");
        gnome_line(d);
    }
    if (want("kde")) {
        printf("# KDE Plasma (as the session's user; KWin also binds by the monitor's size):\n");
        std::string sys = d.event.empty() ? "eventN" : d.event.substr(d.event.rfind('/') + 1);
        printf("dbus-send --session --print-reply --dest=org.kde.KWin /org/kde/KWin/InputDevice/%s "
               "org.freedesktop.DBus.Properties.Set string:org.kde.KWin.InputDevice string:outputName variant:string:%s\n",
               sys.c_str(), d.output.c_str());
    }
    if (want("x11")) {
        printf("# X with the libinput driver (the modesetting driver's output name; xrandr lists them):\n");
        for (int i = 0; i < b.count; i++)
            printf("xinput map-to-output \"%s\" %s\n", quotable(b.name[i]).c_str(), XOutputName(d.output).c_str());
    }
    if (want("weston"))
        printf("# weston: nothing to do; the udev rule gives the device WL_OUTPUT=%s\n", d.output.c_str());
}

void PrintBindLines(const std::vector<InputDevState> &devs, const std::string &desktop)
{
    for (const InputDevState &d : devs) {
        if (d.output.empty())
            printf("# %s: \"%s\": no output= on its Port line, nothing to bind\n", d.port.c_str(), quotable(d.name).c_str());
        else
            device_lines(d, desktop);
    }
}
