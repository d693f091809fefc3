// End-to-end latency harness: the real daemon in a scratch sandbox root beside the bare relay,
// run in interleaved rounds over pseudo-terminals, from a packet's write on the controller side
// to its frame's read on the first data FIFO. Prints one table; bench/plot-latency draws it.
// Usage: quilmod_e2e [--rounds N] [--idle SECONDS]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "childproc.h"  // ExecArgs, StartXvfb, StopXvfb, VoluntarySwitches

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned char DOWN = 0x81, LIFT = 0x84;
constexpr int PACED_PACKETS = 250;  // a quarter second at 1,000 packets/s: short turns share the load alike
constexpr int FLOOD_PACKETS = 1250;
constexpr auto PACED_PERIOD = std::chrono::microseconds(1000);
constexpr int DRAG_PACKETS = 300;  // three seconds at 100 packets/s
constexpr auto DRAG_PERIOD = std::chrono::milliseconds(10);
constexpr int FRAME_WAIT_MS = 10000;  // a frame later than this counts as lost

struct Target {
    std::string name;  // "daemon" or "relay"
    pid_t pid = -1;
    std::vector<int> masters;           // controller side of each port
    std::vector<int> slaves;            // held open beside the reader's
    std::vector<std::string> links;     // where each port's slave is linked
    int dat[2] = {-1, -1};              // readers of the two data FIFOs
    std::map<int, int> portOfY;         // frame y -> port, learnt at warm-up
};

struct Figures {
    std::vector<double> us;  // latencies of delivered packets
    int lost = 0;
    double cpuNsPerPacket = 0;
};

std::string root;  // the scratch sandbox root

void fail(const std::string &why)
{
    fprintf(stderr, "quilmod_e2e: %s\n", why.c_str());
    exit(1);
}

void write_file(const std::string &path, const std::string &text, int mode = 0644)
{
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// A raw pseudo-terminal whose slave is linked at link (so bytes written before the reader has
// set its modes are neither echoed nor held for a line end); the master, non-blocking.
// *slave stays open, so the port never hangs up between readers.
int make_port(const std::string &link, int *slave)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || symlink(ptsname(m), link.c_str()) != 0)
        fail("cannot make a pseudo-terminal at " + link);
    *slave = open(ptsname(m), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (*slave < 0 || tcgetattr(*slave, &t) != 0)
        fail("cannot open the pseudo-terminal at " + link);
    cfmakeraw(&t);
    tcsetattr(*slave, TCSANOW, &t);
    return m;
}

std::vector<unsigned char> packet(unsigned char status, int x, int y)
{
    return {0x55, 0x54, status, (unsigned char)(x & 0xFF), (unsigned char)(x >> 8),
            (unsigned char)(y & 0xFF), (unsigned char)(y >> 8), 0, 0, 0};
}

int port_y(int port)
{
    return 100 + 100 * port;  // apart enough to stay apart after calibration, inside the screen
}

pid_t spawn(const std::vector<std::string> &args, const std::string &log)
{
    pid_t pid = fork();
    if (pid == 0) {
        setenv("QUILMOD_ROOT", root.c_str(), 1);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        ExecArgs(args);
    }
    return pid;
}

int open_reader(const std::string &fifo)
{
    int fd = -1;
    auto end = Clock::now() + std::chrono::seconds(10);
    while ((fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (fd < 0)
        fail("no FIFO at " + fifo);
    return fd;
}

void drain(int fd)
{
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

// Reads one whole frame within ms; false when none came.
bool read_frame(int fd, unsigned char frame[5], int ms)
{
    size_t got = 0;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (got < 5 && Clock::now() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, 10);
        ssize_t n = read(fd, frame + got, 5 - got);
        got += n > 0 ? (size_t)n : 0;
    }
    return got == 5;
}

// One packet per port, so frames can be told apart by their y in a flood.
void warm_up(Target &t)
{
    for (size_t port = 0; port < t.masters.size(); port++) {
        auto p = packet(DOWN, 100, port_y((int)port));
        unsigned char f[5];
        if (write(t.masters[port], p.data(), p.size()) != (ssize_t)p.size() || !read_frame(t.dat[0], f, FRAME_WAIT_MS))
            fail(t.name + " gave no frame at warm-up; see " + root);
        int y = f[3] * 256 + f[4];
        if (t.portOfY.count(y))
            fail(t.name + ": two ports gave the same y");
        t.portOfY[y] = (int)port;
    }
    drain(t.dat[1]);
}

void start_target(Target &t, bool daemon, int ports, const std::string &extra)
{
    t.name = daemon ? "daemon" : "relay";
    std::string dir = daemon ? root : root + "/relay";
    std::string conf;
    std::vector<std::string> args = {std::string(QUILMOD_BIN_DIR) + "/quilmod_relay", dir + "/dev/qvdat0",
                                     dir + "/dev/qvdat1"};
    for (int i = 0; i < ports; i++) {
        std::string dev = "/dev/ttyS" + std::to_string(i);
        int slave;
        t.masters.push_back(make_port(dir + dev, &slave));
        t.slaves.push_back(slave);
        t.links.push_back(dir + dev);
        conf += "Port = " + dev + "\n";
        args.push_back(dir + dev);
    }
    if (daemon) {
        write_file(root + "/etc/quilmod.conf", conf + extra);
        t.pid = spawn({std::string(QUILMOD_BIN_DIR) + "/quilmod", "-d"}, root + "/daemon.log");
    } else {
        for (int i = 0; i < 2; i++)
            mkfifo((dir + "/dev/qvdat" + std::to_string(i)).c_str(), 0600);
        t.pid = spawn(args, root + "/relay.log");
    }
    for (int i = 0; i < 2; i++)
        t.dat[i] = open_reader(dir + "/dev/qvdat" + std::to_string(i));
    warm_up(t);
}

void stop_target(Target &t)
{
    if (t.pid > 0) {
        kill(t.pid, SIGTERM);
        waitpid(t.pid, nullptr, 0);
    }
    for (int fd : t.masters)
        close(fd);
    for (int fd : t.slaves)
        close(fd);
    for (const auto &l : t.links)
        unlink(l.c_str());
    close(t.dat[0]);
    close(t.dat[1]);
    // So the next start's readers wait for FIFOs made after its ports were opened.
    for (const char *dir : {"", "/relay"})
        for (const char *fifo : {"/dev/qvdat0", "/dev/qvdat1"})
            unlink((root + dir + fifo).c_str());
    t = Target();
}

// Nanoseconds the process has run on a CPU (/proc/PID/schedstat), or -1.
long long cpu_ns(pid_t pid)
{
    std::istringstream f(ReadWholeFile("/proc/" + std::to_string(pid) + "/schedstat"));
    long long ns = -1;
    f >> ns;
    return ns;
}

// Packets on a fixed schedule (period 0: as fast as the ports take them) while frames are read
// as they come; each frame is matched to the oldest packet of its port.
struct Stream {
    std::vector<Clock::time_point> sent;
    std::vector<std::deque<int>> waiting;  // per port, packets whose frame has not come
    std::vector<unsigned char> carry;      // a frame cut by a read
    Figures *out;
    int received = 0;
};

void take_frames(Target &t, Stream &s)
{
    unsigned char buf[4096];
    ssize_t n;
    while ((n = read(t.dat[0], buf, sizeof buf)) > 0) {
        auto now = Clock::now();
        s.carry.insert(s.carry.end(), buf, buf + n);
        size_t at = 0;
        for (; s.carry.size() - at >= 5; at += 5) {
            auto port = t.portOfY.find(s.carry[at + 3] * 256 + s.carry[at + 4]);
            if (port == t.portOfY.end() || s.waiting[port->second].empty())
                continue;  // not one of ours: left over from a lost frame
            int i = s.waiting[port->second].front();
            s.waiting[port->second].pop_front();
            s.out->us[i] = std::chrono::duration<double, std::micro>(now - s.sent[i]).count();
            s.received++;
        }
        s.carry.erase(s.carry.begin(), s.carry.begin() + (long)at);
    }
    drain(t.dat[1]);
}

// Writes all of p, waiting for room only once part of it is in.
// 1 = written, 0 = the port is full for now (nothing written).
int write_packet(int fd, const std::vector<unsigned char> &p)
{
    size_t done = 0;
    while (done < p.size()) {
        ssize_t n = write(fd, p.data() + done, p.size() - done);
        if (n > 0) {
            done += (size_t)n;
        } else if (done == 0) {
            return 0;
        } else {
            struct pollfd w = {fd, POLLOUT, 0};
            poll(&w, 1, 100);
        }
    }
    return 1;
}

int send_packet(Target &t, Stream &s, int i, int count, bool liftLast)
{
    int port = i % (int)t.masters.size();
    auto p = packet(liftLast && i == count - 1 ? LIFT : DOWN, 100 + i % 800, port_y(port));
    if (!write_packet(t.masters[port], p))
        return 0;
    s.sent[i] = Clock::now();
    s.waiting[port].push_back(i);
    return 1;
}

Figures stream(Target &t, int count, Clock::duration period, bool liftLast = false)
{
    Figures f;
    f.us.assign(count, -1);
    Stream s{std::vector<Clock::time_point>(count), std::vector<std::deque<int>>(t.masters.size()), {}, &f};
    long long cpu0 = cpu_ns(t.pid);
    auto start = Clock::now(), progress = start;
    int next = 0;
    while (s.received < count) {
        bool full = false;
        while (next < count && Clock::now() >= start + next * period && !full)
            next += (full = !send_packet(t, s, next, count, liftLast)) ? 0 : 1;
        std::vector<pollfd> fds = {{t.dat[0], POLLIN, 0}};
        if (full)
            fds.push_back({t.masters[next % t.masters.size()], POLLOUT, 0});
        auto wait = std::chrono::milliseconds(100);
        auto due = next < count && !full ? start + next * period - Clock::now() : Clock::duration(wait);
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(due, Clock::duration(0)));
        struct timespec ts = {(time_t)(ns.count() / 1000000000), (long)(ns.count() % 1000000000)};
        ppoll(fds.data(), fds.size(), &ts, nullptr);
        int before = s.received;
        take_frames(t, s);
        if (s.received != before || next < count)
            progress = Clock::now();
        else if (Clock::now() - progress > std::chrono::milliseconds(FRAME_WAIT_MS))
            break;
    }
    f.lost = count - s.received;
    f.cpuNsPerPacket = (double)(cpu_ns(t.pid) - cpu0) / count;
    return f;
}

// All rounds of one figure for one target.
struct Series {
    std::vector<double> us;
    int lost = 0;
    double cpuNs = 0;
    int packets = 0;
};

void add(Series &s, const Figures &f)
{
    for (double v : f.us)
        if (v >= 0)
            s.us.push_back(v);
    s.lost += f.lost;
    s.cpuNs += f.cpuNsPerPacket * (double)f.us.size();
    s.packets += (int)f.us.size();
}

double quantile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(q * (double)v.size()))];
}

void row(const std::string &name, const std::string &figure, double daemon, double relay)
{
    if (relay > 0)
        printf("%-14s %-18s %12.1f %12.1f %7.2f\n", name.c_str(), figure.c_str(), daemon, relay, daemon / relay);
    else
        printf("%-14s %-18s %12.1f %12.1f %7s\n", name.c_str(), figure.c_str(), daemon, relay, "-");
    fflush(stdout);
}

void report(const std::string &name, const Series &d, const Series &r)
{
    row(name, "p50_us", quantile(d.us, 0.5), quantile(r.us, 0.5));
    row(name, "p99_us", quantile(d.us, 0.99), quantile(r.us, 0.99));
    row(name, "max_us", quantile(d.us, 1), quantile(r.us, 1));
    row(name, "cpu_us_per_packet", d.cpuNs / d.packets / 1000, r.cpuNs / r.packets / 1000);
    if (d.lost || r.lost)
        row(name, "lost_packets", d.lost, r.lost);
}

// Paced and flood rounds over ports ports, daemon and relay taking turns.
void road_case(int ports, int rounds)
{
    Target d, r;
    start_target(d, true, ports, "");
    start_target(r, false, ports, "");
    Series paced[2], flood[2];
    for (int round = 0; round < rounds; round++)
        for (int k = 0; k < 2; k++) {
            int which = (round + k) % 2;  // who goes first alternates
            Target &t = which ? r : d;
            add(paced[which], stream(t, PACED_PACKETS, PACED_PERIOD));
            add(flood[which], stream(t, FLOOD_PACKETS, Clock::duration(0)));
        }
    std::string name = std::to_string(ports) + (ports == 1 ? "port" : "ports");
    report(name + "-paced", paced[0], paced[1]);
    report(name + "-flood", flood[0], flood[1]);
    stop_target(d);
    stop_target(r);
}

// Cursor = None with the real xsetroot on a real X server, against Cursor = Display and the
// relay: a drag of 300 packets at 100/s; the figure is the last frame's lag after the lift.
void cursor_case(int rounds)
{
    std::string display;
    int xvfb = access("/usr/bin/xsetroot", X_OK) == 0 ? StartXvfb("640x480x24", &display) : -1;
    if (xvfb < 0) {
        printf("%-14s skipped: needs Xvfb and xsetroot (Debian packages xvfb, x11-xserver-utils)\n", "cursor");
        return;
    }
    // The daemon's fixed display :0.0 is turned into the harness's own server.
    write_file(root + "/usr/bin/xsetroot", "#!/bin/sh\nshift 2\nexec /usr/bin/xsetroot -display :" + display +
                                               " \"$@\"\n", 0755);
    write_file(root + "/usr/local/Qelvanto/image/empty.xbm",
               "#define e_width 1\n#define e_height 1\nstatic unsigned char e_bits[] = { 0x00 };\n");
    const char *configs[] = {"Cursor = None\n", "Cursor = Display\n", nullptr};
    Series lift[3], drag[3];
    for (int round = 0; round < rounds; round++)
        for (int k = 0; k < 3; k++) {
            Target t;
            start_target(t, configs[k] != nullptr, 1, configs[k] ? configs[k] : "");
            Figures f = stream(t, DRAG_PACKETS, DRAG_PERIOD, true);
            lift[k].us.push_back(f.us.back() < 0 ? FRAME_WAIT_MS * 1000.0 : f.us.back());
            add(drag[k], f);
            stop_target(t);
        }
    row("cursor-none", "lift_lag_us_max", quantile(lift[0].us, 1), quantile(lift[2].us, 1));
    row("cursor-none", "drag_p99_us", quantile(drag[0].us, 0.99), quantile(drag[2].us, 0.99));
    row("cursor-display", "lift_lag_us_max", quantile(lift[1].us, 1), quantile(lift[2].us, 1));
    row("cursor-display", "drag_p99_us", quantile(drag[1].us, 0.99), quantile(drag[2].us, 0.99));
    StopXvfb(xvfb);
}

// Wake-ups of an idle process after one touch (the daemon sounds a tone on it).
double idle_wakeups(Target &t, int seconds)
{
    auto p = packet(DOWN, 100, port_y(0)), l = packet(LIFT, 100, port_y(0));
    p.insert(p.end(), l.begin(), l.end());
    unsigned char f[5];
    if (write(t.masters[0], p.data(), p.size()) != (ssize_t)p.size() || !read_frame(t.dat[0], f, FRAME_WAIT_MS))
        fail(t.name + " gave no frame for the idle case");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the tone ends after 100 ms
    long before = VoluntarySwitches(t.pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (double)(VoluntarySwitches(t.pid) - before) / seconds;
}

void idle_case(int seconds)
{
    write_file(root + "/dev/console", "");  // opens, so the tone timer runs; the tone request fails
    Target d, r;
    start_target(d, true, 1, "Sound = Down\n");
    start_target(r, false, 1, "");
    double dw = idle_wakeups(d, seconds), rw = idle_wakeups(r, seconds);
    printf("%-14s %-18s %12.1f %12.1f %7s\n", "idle", "wakeups_per_s", dw, rw, "-");
    stop_target(d);
    stop_target(r);
}

// The first three figures of /proc/loadavg: how busy the machine was around the run.
std::string load_average()
{
    std::istringstream f(ReadWholeFile("/proc/loadavg"));
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

// A whole number from lo to hi, or exit with a usage message.
int number_arg(const char *text, int lo, int hi)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < lo || v > hi) {
        fprintf(stderr, "quilmod_e2e: '%s' is not a number from %d to %d\n", text, lo, hi);
        exit(2);
    }
    return (int)v;
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = 20, idle = 10;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = number_arg(argv[++i], 1, 100);
        else if (a == "--idle" && i + 1 < argc)
            idle = number_arg(argv[++i], 1, 600);
        else {
            fprintf(stderr, "usage: quilmod_e2e [--rounds N] [--idle SECONDS]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/quilmod-e2e.XXXXXX";
    if (!mkdtemp(tmpl))
        fail("cannot make a scratch directory in /tmp");
    root = tmpl;
    for (const char *d : {"/etc", "/var/run", "/dev", "/tmp", "/usr/bin", "/usr/local/Qelvanto/image", "/relay/dev"})
        std::filesystem::create_directories(root + d);
    printf("# quilmod_e2e: the daemon against a bare relay, %d interleaved rounds; %d cores online\n", rounds,
           (int)sysconf(_SC_NPROCESSORS_ONLN));
    printf("# per round and target: %d packets paced at 1,000/s, a flood of %d; latency from the packet's write to the frame's read\n",
           PACED_PACKETS, FLOOD_PACKETS);
    printf("# load average at the start: %s\n", load_average().c_str());
    printf("%-14s %-18s %12s %12s %7s\n", "case", "figure", "daemon", "relay", "ratio");
    road_case(1, rounds);
    road_case(8, rounds);
    cursor_case(std::min(rounds, 5));
    idle_case(idle);
    printf("# load average at the end: %s\n", load_average().c_str());
    std::filesystem::remove_all(root);
    return 0;
}
