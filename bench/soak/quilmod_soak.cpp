// Soak run: the real daemon in a scratch sandbox root with N pseudo-terminal ports fed at a steady
// packet rate, with periodic resets, shares and flushes; prints the daemon's descriptors, resident
// memory and CPU time every 10 s. Not a test: it asserts nothing, a person reads the columns.
//   quilmod_soak [--ports N] [--rate PACKETS_PER_S] [--seconds S] [--reset S] [--share S] [--flush S]
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "childproc.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int ports = 4;
    int rate = 50;  // packets per second on each port
    int seconds = 600;
    int reset = 30;  // seconds between resets, 0 = none
    int share = 7;   // seconds between share changes, 0 = none
    int flush = 11;  // seconds between flushes, 0 = none
};

struct Port {
    int master = -1, slave = -1;
    long sent = 0;
};

struct Run {
    std::string root;
    pid_t daemon = -1;
    std::vector<Port> ports;
    std::vector<int> readers;  // both data pipes, the reply pipe and the share pipe
    long frameBytes = 0, shareBytes = 0, commands = 0, skipped = 0;
};

volatile sig_atomic_t stopRequested = 0;

void on_stop(int) { stopRequested = 1; }

// A whole number from 0 to one day; -1 for anything else.
int option_value(const char *text)
{
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    return end == text || *end || errno || v < 0 || v > 86400 ? -1 : (int)v;
}

// 0 = options taken, 1 = a usage error.
int parse_options(int argc, char **argv, Options *o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        int v = option_value(argv[i + 1]);
        std::string key = argv[i];
        int *field = key == "--ports" ? &o->ports : key == "--rate" ? &o->rate : key == "--seconds" ? &o->seconds
                   : key == "--reset" ? &o->reset : key == "--share" ? &o->share : key == "--flush" ? &o->flush
                   : nullptr;
        if (!field || v < 0 || (field == &o->ports && (v < 1 || v > 64)) || (field == &o->rate && v > 1000))
            return 1;
        *field = v;
    }
    return argc % 2 == 0;
}

std::string bin_dir()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string s(path, n > 0 ? (size_t)n : 0);
    return s.substr(0, s.rfind('/'));
}

bool make_root(Run &r)
{
    char tmpl[] = "/tmp/qlmsoak.XXXXXX";
    if (!mkdtemp(tmpl))
        return false;
    r.root = tmpl;
    for (const char *d : {"/etc", "/var", "/var/run", "/dev", "/tmp", "/usr", "/usr/local", "/usr/local/Qelvanto"})
        if (mkdir((r.root + d).c_str(), 0755) != 0)
            return false;
    return true;
}

bool add_ports(Run &r, int count, std::string *config)
{
    for (int k = 0; k < count; k++) {
        Port p;
        char name[256];
        struct termios raw {};
        cfmakeraw(&raw);
        if (openpty(&p.master, &p.slave, name, &raw, nullptr) != 0)
            return false;
        fcntl(p.master, F_SETFL, O_NONBLOCK);
        fcntl(p.master, F_SETFD, FD_CLOEXEC);
        fcntl(p.slave, F_SETFD, FD_CLOEXEC);  // kept open so the port never hangs up
        std::string device = "/dev/ttyS" + std::to_string(k);
        if (symlink(name, (r.root + device).c_str()) != 0)
            return false;
        *config += "Port = " + device + "\n";
        r.ports.push_back(p);
    }
    return true;
}

pid_t start_daemon(const Run &r)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        setenv("QUILMOD_ROOT", r.root.c_str(), 1);
        std::string bin = bin_dir() + "/quilmod";
        execl(bin.c_str(), "quilmod", "-d", (char *)nullptr);
        _exit(127);
    }
    return pid;
}

bool open_readers(Run &r)
{
    for (const char *fifo : {"/dev/qvdat0", "/dev/qvdat1", "/dev/qvcmdout", "/dev/qvshrout"}) {
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < 1000; tries++) {
            fd = open((r.root + fifo).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                usleep(10000);
        }
        if (fd < 0)
            return false;
        r.readers.push_back(fd);
    }
    return true;
}

// One command, written only while the FIFO is empty: the daemon runs the first of each read.
void command(Run &r, const std::string &text)
{
    int fd = open((r.root + "/dev/qvcmdin").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    int pending = 0;
    if (fd >= 0 && ioctl(fd, FIONREAD, &pending) == 0 && pending == 0) {
        std::string line = text + "\n";
        if (write(fd, line.data(), line.size()) == (ssize_t)line.size())
            r.commands++;
    } else {
        r.skipped++;
    }
    if (fd >= 0)
        close(fd);
}

void drain(Run &r)
{
    char buf[8192];
    for (size_t k = 0; k < r.readers.size(); k++) {
        ssize_t n;
        while ((n = read(r.readers[k], buf, sizeof buf)) > 0)
            (k < 2 ? r.frameBytes : r.shareBytes) += n;
    }
}

// A touch of ten packets: down, eight moves, lift, wandering over the panel.
void send_packet(Port &p, int index)
{
    int step = (int)(p.sent % 10);
    unsigned char status = step == 0 ? 0x81 : step == 9 ? 0x84 : 0x82;
    int x = 60 + (int)((p.sent * 37 + index * 101) % 900), y = 40 + (int)((p.sent * 53) % 680);
    unsigned char pkt[10] = {0x55, 0x54, status, (unsigned char)x, (unsigned char)(x >> 8), (unsigned char)y,
                             (unsigned char)(y >> 8), 0, 0, 0};
    if (write(p.master, pkt, sizeof pkt) == (ssize_t)sizeof pkt)
        p.sent++;
}

std::string proc_field(pid_t pid, const char *file, const char *key)
{
    std::istringstream f(ReadWholeFile("/proc/" + std::to_string(pid) + "/" + file));
    std::string line;
    while (std::getline(f, line))
        if (line.compare(0, strlen(key), key) == 0)
            return line.substr(strlen(key));
    return "?";
}

int count_fds(pid_t pid)
{
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    int n = 0;
    while (struct dirent *e = d ? readdir(d) : nullptr)
        n += e->d_name[0] != '.';
    if (d)
        closedir(d);
    return d ? n : -1;
}

void report(const Run &r, double elapsed)
{
    long sent = 0;
    for (const Port &p : r.ports)
        sent += p.sent;
    std::string rss = proc_field(r.daemon, "status", "VmRSS:");
    // frames: 5-byte frames read from both data pipes together (two per packet).
    printf("%6.0f s  fds %3d  rss %s  cpu %6.2f s  packets %8ld  frames %8ld  share bytes %8ld  commands %5ld\n",
           elapsed, count_fds(r.daemon), rss.c_str() + rss.find_first_not_of(" \t"),
           (double)CpuTicks(r.daemon) / (double)sysconf(_SC_CLK_TCK), sent, r.frameBytes / 5, r.shareBytes,
           r.commands);
    fflush(stdout);
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

// Every period seconds (0: never) once the clock passes the next due time.
bool due(double elapsed, int period, double *next)
{
    if (period <= 0 || elapsed < *next)
        return false;
    *next += period;
    return true;
}

void soak(Run &r, const Options &o)
{
    const auto start = Clock::now();
    const double interval = o.rate > 0 ? 1.0 / o.rate : 0;
    double nextPacket = 0, nextReport = 10, nextReset = o.reset, nextShare = o.share, nextFlush = o.flush;
    int shares = 0;
    report(r, 0);
    while (!stopRequested) {
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (waitpid(r.daemon, nullptr, WNOHANG) != 0)
            break;
        if (elapsed >= o.seconds) {
            report(r, elapsed);
            break;
        }
        for (; o.rate > 0 && nextPacket <= elapsed; nextPacket += interval)
            for (size_t k = 0; k < r.ports.size(); k++)
                send_packet(r.ports[k], (int)k);
        if (due(elapsed, o.reset, &nextReset))
            command(r, "[7178]x");
        else if (due(elapsed, o.share, &nextShare))  // every third change ends sharing
            command(r, ++shares % 3 ? "[7173]/dev/ttyS" + std::to_string(shares % o.ports) : "[7173]x");
        else if (due(elapsed, o.flush, &nextFlush))
            command(r, "[7188]x");
        drain(r);
        if (elapsed < o.seconds && due(elapsed, 10, &nextReport))
            report(r, elapsed);
        poll(nullptr, 0, 5);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (parse_options(argc, argv, &o)) {
        fprintf(stderr, "usage: quilmod_soak [--ports 1-64] [--rate 0-1000] [--seconds S] [--reset S] "
                        "[--share S] [--flush S]\n");
        return 2;
    }
    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);
    signal(SIGPIPE, SIG_IGN);
    Run r;
    std::string config;
    if (!make_root(r) || !add_ports(r, o.ports, &config)) {
        perror("quilmod_soak: sandbox");
        return 1;
    }
    std::ofstream(r.root + "/etc/quilmod.conf") << config;
    printf("quilmod_soak: %d ports at %d packets/s each for %d s; reset every %d s, share every %d s, "
           "flush every %d s\n", o.ports, o.rate, o.seconds, o.reset, o.share, o.flush);
    r.daemon = start_daemon(r);
    int status = 0;
    if (r.daemon < 0 || !open_readers(r)) {
        fprintf(stderr, "quilmod_soak: the daemon did not start\n");
        status = 1;
    } else {
        soak(r, o);
        if (waitpid(r.daemon, nullptr, WNOHANG) != 0) {
            fprintf(stderr, "quilmod_soak: the daemon ended during the run\n");
            status = 1;
            r.daemon = -1;
        }
    }
    if (r.daemon > 0) {
        kill(r.daemon, SIGKILL);
        waitpid(r.daemon, nullptr, 0);
    }
    nftw(r.root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return status;
}
