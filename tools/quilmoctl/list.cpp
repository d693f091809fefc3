// quilmoctl list: the serial nodes present (ttyS*, ttyUSB*, ttyACM*) and the links to them,
// which the configuration names, which the daemon holds, and with --probe which free ones
// answer the identification.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "client.h"
#include "ctl.h"
#include "portlines.h"
#include "service.h"

constexpr size_t MAX_NODES = 256;  // nodes listed, at most
constexpr size_t MAX_LINKS = 16;   // links shown for one node, at most
constexpr size_t MAX_SCAN = 4096;  // directory entries looked at, at most, in each directory

// Where udev's links to serial nodes are looked for: its by-id and by-path folders, and /dev.
static constexpr std::array<const char *, 3> linkDirs = {"/dev/serial/by-id", "/dev/serial/by-path", "/dev"};

enum Probe { PROBE_NOT, PROBE_SKIPPED, PROBE_FAILED, PROBE_ANSWERED };

struct Node {
    std::string device;  // as the daemon would name it: /dev/ttyUSB0
    std::vector<std::string> links;
    bool present = true;
    std::string notTerminal;  // a Port line's file or FIFO: what it is, as status says it
    dev_t rdev = 0;
    std::string configured;  // the Port line's name for it: itself, a link, or "" for none
    int held = 0;            // as DaemonHolds says
    Probe probe = PROBE_NOT;
    std::string ident;  // the controller's text, or why it was not probed or did not answer
};

// ttyS, ttyUSB or ttyACM and a number.
static bool serial_name(const char *name)
{
    for (const char *prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
        size_t n = strlen(prefix);
        if (strncmp(name, prefix, n) != 0 || name[n] == '\0')
            continue;
        for (const char *p = name + n; *p; p++)
            if (!isdigit(static_cast<unsigned char>(*p)))
                return false;
        return true;
    }
    return false;
}

// The character device a path leads to, beneath the sandbox root.
static bool char_node(const std::string &path, dev_t *rdev)
{
    char full[QLM_PATH];
    struct stat st;
    if (RootPath(full, sizeof full, path.c_str()) != 0 || stat(full, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    *rdev = st.st_rdev;
    return true;
}

static Node *node_by_rdev(std::vector<Node> *nodes, dev_t rdev)
{
    for (Node &n : *nodes)
        if (n.present && n.rdev == rdev)
            return &n;
    return nullptr;
}

// Calls take for each entry name of the folder dir (beneath the root), bounded.
template <typename F> static void each_entry(const char *dir, F take)
{
    char full[QLM_PATH];
    if (RootPath(full, sizeof full, dir) != 0)
        return;
    DIR *d = opendir(full);
    size_t seen = 0;
    while (struct dirent *e = d && seen++ < MAX_SCAN ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            take(e->d_name);
    if (d)
        closedir(d);
}

static void scan_nodes(std::vector<Node> *nodes)
{
    each_entry("/dev", [&](const char *name) {
        Node n;
        n.device = std::string("/dev/") + name;
        if (serial_name(name) && nodes->size() < MAX_NODES && char_node(n.device, &n.rdev))
            nodes->push_back(n);
    });
}

// A symbolic link, other than the nodes' own names, to one of the nodes.
static void scan_links(const char *dir, std::vector<Node> *nodes)
{
    each_entry(dir, [&](const char *name) {
        std::string path = std::string(dir) + "/" + name;
        char full[QLM_PATH];
        struct stat st;
        dev_t rdev;
        if (serial_name(name) || RootPath(full, sizeof full, path.c_str()) != 0 || lstat(full, &st) != 0 ||
            !S_ISLNK(st.st_mode) || !char_node(path, &rdev))
            return;
        Node *n = node_by_rdev(nodes, rdev);
        if (n && n->links.size() < MAX_LINKS)
            n->links.push_back(path);
    });
}

static bool version_less(const std::string &a, const std::string &b)
{
    return strverscmp(a.c_str(), b.c_str()) < 0;
}

// Each Port line's node, found by name or by link; a Port line naming none is listed as missing,
// one naming a file or a FIFO as present but no terminal.
static void mark_configured(std::vector<Node> *nodes, const std::vector<std::string> &ports)
{
    for (const std::string &p : ports) {
        dev_t rdev;
        bool present = char_node(p, &rdev);
        Node *n = present ? node_by_rdev(nodes, rdev) : nullptr;
        if (!n && nodes->size() < MAX_NODES) {  // gone, or a node of another name
            n = &nodes->emplace_back();
            n->device = p;
            n->present = present;
            n->rdev = present ? rdev : 0;
            char full[QLM_PATH];
            struct stat st;
            if (!present && RootPath(full, sizeof full, p.c_str()) == 0 && stat(full, &st) == 0) {
                n->present = true;
                n->notTerminal = NotTerminalText(st);
            }
        }
        if (n && n->configured.empty())
            n->configured = p;
    }
}

// Takes the node for the talk (lock, no other holder), asks who it is, gives it back.
static void probe_node(Node *n)
{
    PortClaim c;
    if (!ClaimPort(n->device.c_str(), &c)) {
        n->probe = PROBE_SKIPPED;
        n->ident = c.why;
        return;
    }
    char text[CMD_PACKET_LEN];
    Answer a = IdentifyController(c, text, sizeof text);
    ReleasePort(&c);
    n->probe = a == ANSWER_OK ? PROBE_ANSWERED : PROBE_FAILED;
    n->ident = a == ANSWER_OK ? text : AnswerText(a);
}

// Whether the daemon holds the node; with probe, a free one is asked who it is.
static void check_node(Node *n, bool probe)
{
    if (!n->present || !n->notTerminal.empty())
        return;
    struct stat st {};
    st.st_mode = S_IFCHR;
    st.st_rdev = n->rdev;
    n->held = DaemonHolds(st);
    if (probe && n->held == 0)
        probe_node(n);
}

static std::string configured_text(const Node &n)
{
    if (n.configured.empty())
        return "not configured";
    return n.configured == n.device ? "configured" : "configured as " + n.configured;
}

static const char *held_word(int held)
{
    return held > 0 ? "held by quilmod" : held < 0 ? "held: unknown (no access to quilmod's descriptors)" : "free";
}

static std::string probe_text(const Node &n, bool probe)
{
    switch (n.probe) {
    case PROBE_ANSWERED: return ", controller " + Escaped(n.ident);
    case PROBE_FAILED: return ", " + n.ident;
    case PROBE_SKIPPED: return ", not probed: " + n.ident;
    default: return probe && n.held ? ", not probed" : "";
    }
}

// Names are shown escaped: a node or a link named with control characters cannot drive the
// terminal.
static void print_text(const Node &n, bool probe)
{
    std::string device = Escaped(n.device), configured = Escaped(configured_text(n));
    if (!n.present)
        printf("%s: %s, missing\n", device.c_str(), configured.c_str());
    else if (!n.notTerminal.empty())
        printf("%s: %s, present, %s\n", device.c_str(), configured.c_str(), n.notTerminal.c_str());
    else
        printf("%s: %s, %s%s\n", device.c_str(), configured.c_str(), held_word(n.held), probe_text(n, probe).c_str());
    for (const std::string &link : n.present ? n.links : std::vector<std::string>())
        printf("  link %s\n", Escaped(link).c_str());
}

static void print_json_node(const Node &n)
{
    printf("{\"device\":");
    JsonString(n.device);
    printf(",\"links\":[");
    for (size_t i = 0; i < n.links.size(); i++) {
        printf("%s", i ? "," : "");
        JsonString(n.links[i]);
    }
    printf("],\"present\":%s,\"configured\":", n.present ? "true" : "false");
    JsonStringOrNull(n.configured);
    printf(",\"held\":%s,\"probed\":%s,\"controller\":", n.held > 0 ? "true" : n.held < 0 ? "null" : "false",
           n.probe == PROBE_FAILED || n.probe == PROBE_ANSWERED ? "true" : "false");
    JsonStringOrNull(n.probe == PROBE_ANSWERED ? n.ident : "");
    printf("}");
}

// Each node is printed as soon as it is done, so one slow node hides none before it. A stop
// signal ends the list after the node being probed has its line back.
int CtlList(const Subcommand &, const Args &args)
{
    std::vector<Node> nodes;
    scan_nodes(&nodes);
    std::sort(nodes.begin(), nodes.end(), [](const Node &a, const Node &b) { return version_less(a.device, b.device); });
    for (const char *dir : linkDirs)
        scan_links(dir, &nodes);
    for (Node &n : nodes)
        std::sort(n.links.begin(), n.links.end(), version_less);
    std::vector<std::string> ports;
    bool configured = ReadConfiguredPorts(&ports);
    mark_configured(&nodes, ports);
    if (args.json)
        printf("{\"running\":%s,\"nodes\":[", DaemonPid() ? "true" : "false");
    else if (nodes.empty())
        puts("no serial nodes (ttyS*, ttyUSB*, ttyACM*) in /dev, and no Port lines");
    bool stopped = false;
    for (size_t i = 0; i < nodes.size() && !stopped; i++) {
        check_node(&nodes[i], args.probe);
        stopped = stopRequested != 0;
        if (args.json) {
            printf("%s", i ? "," : "");
            print_json_node(nodes[i]);
        } else {
            print_text(nodes[i], args.probe);
        }
        fflush(stdout);
    }
    if (args.json)
        printf("]}\n");
    if (stopped)
        return Complain(EXIT_FAIL, "interrupted; every line probed is set back as it was");
    return configured ? EXIT_OK : EXIT_FAIL;
}
