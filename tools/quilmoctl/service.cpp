// quilmoctl's service side: configured ports, the hot-plug hook and the status report.
#include "service.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calformat.h"
#include "client.h"
#include "conffile.h"
#include "inputdev.h"
#include "portlines.h"

constexpr int LINE_SIZE = 200;  // the daemon reads the file in pieces of 199 characters
constexpr int MODE_DRAWING = 0;

// The first white-space-delimited word of text into word; false when there is none.
static bool first_word(const char *text, std::string *word)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    size_t n = 0;
    while (text[n] && !isspace(static_cast<unsigned char>(text[n])))
        n++;
    word->assign(text, n);
    return n > 0;
}

// A Port line's value: the daemon's rules (comments, the key before the first "=", any case).
static bool port_value(char *line, std::string *value)
{
    if (IsComment(line))
        return false;
    char *eq = strchr(line, '=');
    if (!eq)
        return false;
    *eq = '\0';
    std::string key;
    return first_word(line, &key) && strcasecmp(key.c_str(), "Port") == 0 && first_word(eq + 1, value);
}

bool ReadConfiguredPorts(std::vector<std::string> *ports)
{
    char path[QLM_PATH];
    if (!ClientRootPath(path, CONFIG_FILE))
        return false;
    FILE *fp = fopen(path, "re");
    if (!fp) {
        Complain(EXIT_FAIL, "cannot read %s: %s", CONFIG_FILE, strerror(errno));
        return false;
    }
    char line[LINE_SIZE];
    std::string value;
    while (fgets(line, sizeof line, fp) && ports->size() < MAX_PORTS)
        if (port_value(line, &value))
            ports->push_back(value);
    fclose(fp);
    return true;
}

// The node a path leads to; false when there is none (yet, or any more).
static bool node_of(const std::string &path, struct stat *st)
{
    char full[QLM_PATH];
    return RootPath(full, sizeof full, path.c_str()) == 0 && stat(full, st) == 0;
}

static bool same_node(const struct stat &a, const struct stat &b)
{
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string MatchConfiguredPort(const std::vector<std::string> &ports, const char *devnode)
{
    struct stat node, port;
    bool present = node_of(devnode, &node);
    for (const std::string &p : ports)
        if (p == devnode || (present && node_of(p, &port) && same_node(node, port)))
            return p;
    return "";
}

int DaemonHoldsPort(const std::vector<std::string> &ports, const char *device)
{
    if (std::find(ports.begin(), ports.end(), device) == ports.end())
        return 0;  // the daemon names its ports by their Port lines
    struct stat st;
    if (!node_of(device, &st))
        return 0;
    return S_ISCHR(st.st_mode) ? DaemonHolds(st) : -1;
}

std::string WhyNotShared(const char *device)
{
    std::vector<std::string> ports;
    struct stat st;
    if (!node_of(device, &st))
        return "it does not exist";
    if (!ReadConfiguredPorts(&ports))
        return "";
    std::string known = MatchConfiguredPort(ports, device);
    if (known.empty())
        return "quilmod does not hold it (no Port line names it)";
    if (known != device)
        return "quilmod knows it as " + Escaped(known) + ": share that name";
    return "quilmod does not hold it (closed, or it could not be opened): 'quilmoctl reset' opens it again";
}

// SIGHUP makes the daemon reset at once, without the command channel's waits; a technician who
// may not signal root's process goes through the command FIFO instead.
static int reset_daemon(pid_t pid)
{
    if (kill(pid, SIGHUP) == 0 || errno == ESRCH)  // gone meanwhile: it opens its ports when it starts
        return EXIT_OK;
    if (errno != EPERM)
        return Complain(EXIT_FAIL, "cannot signal quilmod (pid %d): %s", static_cast<int>(pid), strerror(errno));
    return RunCommand(CMD_RESET, "x");
}

int RunHotplug(const char *devnode)
{
    std::vector<std::string> ports;
    if (!ReadConfiguredPorts(&ports))
        return EXIT_OK;  // no configuration: no port of ours came back
    std::string port = MatchConfiguredPort(ports, devnode);
    if (port.empty())
        return EXIT_OK;
    pid_t pid = DaemonPid();
    if (pid == 0)
        return EXIT_OK;  // it opens its ports itself when it starts
    printf("quilmoctl: %s is configured as %s: quilmod (pid %d) reopens its ports\n", Escaped(devnode).c_str(),
           Escaped(port).c_str(),
           static_cast<int>(pid));
    return reset_daemon(pid);
}

// ---- status ----

struct PortState {
    std::string device;
    bool exists = false;
    int held = 0;  // 1 held by the daemon, 0 not, -1 unknown (its descriptors are not ours to see)
    std::string line;  // the line's settings while held ("raw 9600 8N1"), "not a terminal", or ""
    CalState cal{};
};

static const char *values_word(const CalState &c)
{
    if (!c.present)
        return "missing";  // the daemon writes the defaults when it opens the port
    if (!c.valid)
        return "malformed";  // replaced by the defaults when it opens the port
    return c.isDefault ? "default" : "calibrated";
}

// Whether a user may look into the daemon's descriptors: root's process is closed to others.
static bool fds_visible(pid_t pid)
{
    char dir[64];
    if (ProcPath(dir, sizeof dir, static_cast<int>(pid), "fd") != 0)
        return false;
    DIR *d = opendir(dir);
    if (!d)
        return false;
    closedir(d);
    return true;
}

struct Status {
    pid_t pid = 0;
    int mode = MODE_DRAWING;
    bool modeKnown = false;
    bool rclickKnown = false;
    RClickState rclick;
    std::vector<PortState> ports;
    std::vector<PortState> extra;  // held, not configured
    std::vector<InputDevState> inputs;  // the daemon's input devices
};

static const InputDevState *input_of(const Status &s, const std::string &port)
{
    for (const InputDevState &d : s.inputs)
        if (d.port == port)
            return &d;
    return nullptr;
}

static void print_input_json(const InputDevState *d)
{
    if (!d) {
        printf(",\"input\":null");
        return;
    }
    printf(",\"input\":{\"event\":");
    JsonStringOrNull(d->event);
    printf(",\"name\":");
    JsonString(d->name);
    printf(",\"id\":\"%04x:%04x\",\"kind\":\"%s\",\"width\":%d,\"height\":%d,\"width_mm\":%d,\"height_mm\":%d,"
           "\"output\":",
           d->vendor, d->product, d->kind.c_str(), d->width, d->height, d->widthMm, d->heightMm);
    JsonStringOrNull(d->output);
    printf("}");
}

static void print_input_text(const InputDevState *d)
{
    if (!d)
        return;
    std::string size = d->widthMm ? std::to_string(d->widthMm) + "x" + std::to_string(d->heightMm) + " mm" : "size unknown";
    printf("  input device %s: \"%s\" %04x:%04x (%s), %dx%d px, %s, output %s\n",
           d->event.empty() ? "(no event node)" : Escaped(d->event).c_str(), Escaped(d->name).c_str(), d->vendor, d->product,
           d->kind.c_str(), d->width, d->height, size.c_str(), d->output.empty() ? "not bound" : Escaped(d->output).c_str());
}

static const HeldNode *held_node(const std::vector<HeldNode> &held, dev_t rdev)
{
    for (const HeldNode &h : held)
        if (h.rdev == rdev)
            return &h;
    return nullptr;
}

static void port_state(const std::string &device, pid_t pid, const std::vector<HeldNode> *held, PortState *ps)
{
    ps->device = device;
    struct stat st;
    ps->exists = node_of(device, &st);
    if (ps->exists && S_ISCHR(st.st_mode) && pid) {
        const HeldNode *h = held ? held_node(*held, st.st_rdev) : nullptr;
        ps->held = !held ? -1 : h ? 1 : 0;
        if (h)
            ps->line = LineState(h->fdPath);
    } else if (ps->exists && !S_ISCHR(st.st_mode)) {
        ps->line = NotTerminalText(st);  // the daemon reads it as it is
    }
    ReadCalState(device.c_str(), &ps->cal);
}

// Nodes the daemon holds more often than Port lines lead to them: a Port line renamed or
// dropped since the daemon opened it (it keeps serving it until it restarts). Renamed to a
// link of the same node, the old record holds the node a second time.
static std::vector<PortState> unconfigured(const std::vector<HeldNode> &held, const std::vector<PortState> &ports)
{
    std::vector<dev_t> named;  // one entry per held configured port
    for (const PortState &p : ports) {
        struct stat st;
        if (p.held > 0 && node_of(p.device, &st) && S_ISCHR(st.st_mode))
            named.push_back(st.st_rdev);
    }
    std::vector<PortState> extra;
    for (const HeldNode &h : held) {
        auto at = std::find(named.begin(), named.end(), h.rdev);
        if (at != named.end()) {
            named.erase(at);  // this descriptor is that port's
            continue;
        }
        bool listed = false;
        for (const PortState &e : extra)
            listed = listed || e.device == h.name;
        if (!listed)
            extra.push_back({h.name, true, 1, LineState(h.fdPath), {}});
    }
    return extra;
}

static const char *held_text(int held)
{
    return held > 0 ? ", held by quilmod" : held < 0 ? ", held: unknown (no access to quilmod's descriptors)" : "";
}

static const char *held_json(int held)
{
    return held > 0 ? "true" : held < 0 ? "null" : "false";
}

void JsonString(const std::string &s)
{
    putchar('"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            printf("\\%c", c);
        else if (c < 0x20)
            printf("\\u%04x", c);
        else
            putchar(c);
    }
    putchar('"');
}

void JsonStringOrNull(const std::string &s)
{
    if (s.empty())
        printf("null");
    else
        JsonString(s);
}

static void print_json(const Status &s)
{
    printf("{\"running\":%s,\"pid\":%d,\"mode\":", s.pid ? "true" : "false", static_cast<int>(s.pid));
    if (s.modeKnown)
        printf("\"%s\"", s.mode == MODE_DRAWING ? "DRAWING" : "DESKTOP");
    else
        printf("null");
    if (s.pid) {
        printf(",\"right_click\":");
        PrintRClickJson(s.rclickKnown ? &s.rclick : nullptr);
    }
    printf(",\"ports\":[");
    for (size_t i = 0; i < s.ports.size(); i++) {
        const PortState &p = s.ports[i];
        printf("%s{\"device\":", i ? "," : "");
        JsonString(p.device);
        printf(",\"exists\":%s,\"held\":%s,\"line\":", p.exists ? "true" : "false", held_json(p.held));
        JsonStringOrNull(p.line);
        printf(",\"calibration\":%d,\"values\":\"%s\",\"width\":%d,\"height\":%d", p.cal.mode,
               values_word(p.cal), p.cal.width, p.cal.height);
        print_input_json(input_of(s, p.device));
        printf("}");
    }
    printf("],\"held_not_configured\":[");
    for (size_t i = 0; i < s.extra.size(); i++) {
        printf("%s{\"device\":", i ? "," : "");
        JsonString(s.extra[i].device);
        printf(",\"line\":");
        JsonStringOrNull(s.extra[i].line);
        printf("}");
    }
    printf("]}\n");
}

static void print_text(const Status &s)
{
    if (s.pid)
        printf("quilmod: running, pid %d\n", static_cast<int>(s.pid));
    else
        printf("quilmod: not running\n");
    if (s.modeKnown)
        printf("mode: %s\n", s.mode == MODE_DRAWING ? "DRAWING" : "DESKTOP");
    if (s.pid)
        PrintRClickText(s.rclickKnown ? &s.rclick : nullptr);
    for (const PortState &p : s.ports) {
        printf("port %s: %s%s%s%s; %d-point calibration, %s; screen %dx%d\n", Escaped(p.device).c_str(),
               p.exists ? "present" : "missing", held_text(p.held), p.line.empty() ? "" : ", line ", p.line.c_str(),
               p.cal.mode, values_word(p.cal), p.cal.width, p.cal.height);
        print_input_text(input_of(s, p.device));
    }
    for (const PortState &p : s.extra)
        printf("port %s: held, not configured, line %s\n", Escaped(p.device).c_str(), p.line.c_str());
}

int RunStatus(bool json)
{
    std::vector<std::string> devices;
    bool configured = ReadConfiguredPorts(&devices);
    Status s;
    s.pid = DaemonPid();
    if (s.pid) {
        Channel ch;
        if (ChannelOpen(&ch, true)) {
            s.modeKnown = QueryMode(ch, &s.mode);
            s.rclickKnown = s.modeKnown && AskRClick(ch, &s.rclick);
            ChannelClose(&ch);
        }
    }
    bool visible = s.pid && fds_visible(s.pid);
    std::vector<HeldNode> held = visible ? DaemonHeldNodes(s.pid) : std::vector<HeldNode>();
    s.ports.resize(devices.size());
    for (size_t i = 0; i < devices.size(); i++)
        port_state(devices[i], s.pid, visible ? &held : nullptr, &s.ports[i]);
    s.extra = unconfigured(held, s.ports);
    if (s.pid)
        s.inputs = ReadInputDevices();  // a status left by a daemon that ended says nothing
    (json ? print_json : print_text)(s);
    return configured && (!s.pid || s.modeKnown) ? EXIT_OK : EXIT_FAIL;
}
