// The black-box sandbox: a private root, pseudo-terminal controllers and the real daemon.
#include "fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_in(int ms)
{
    return Clock::now() + std::chrono::milliseconds(ms);
}

int ms_left(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : (int)left;
}

void make_dirs(const std::string &root, const std::vector<std::string> &dirs)
{
    for (const auto &d : dirs)
        ASSERT_EQ(mkdir((root + d).c_str(), 0755), 0) << d << ": " << strerror(errno);
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// Starts quilmod with args in the sandbox, in its own process group; output goes to *outFd.
pid_t spawn_daemon(const Sandbox &sb, const std::vector<std::string> &args, int *outFd)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
        if (getppid() == 1)
            _exit(127);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        setenv("QUILMOD_ROOT", sb.root.c_str(), 1);
        if (chdir(sb.root.c_str()) != 0)  // a working directory the tests can look into
            _exit(127);
        std::vector<char *> argv;
        for (const auto &w : sb.wrapper)
            argv.push_back(const_cast<char *>(w.c_str()));
        std::string bin = QUILMOD_BIN_DIR "/quilmod";
        argv.push_back(bin.data());
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid > 0)
        setpgid(pid, pid);
    close(pipeFds[1]);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    *outFd = pipeFds[0];
    return pid;
}

// Reads what fd has into text; false at end of file.
bool drain_into(int fd, std::string &text)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, n);
            continue;
        }
        return !(n == 0);
    }
}

bool wait_readable(int fd, int ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

void kill_group(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace

void SandboxCreate(Sandbox &sb)
{
    char tmpl[] = "/tmp/qlmbb.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    sb.root = tmpl;
    chmod(tmpl, 0755);
    make_dirs(sb.root, {"/etc", "/var", "/var/run", "/dev", "/tmp", "/usr", "/usr/bin", "/usr/local",
                        "/usr/local/Qelvanto", "/usr/local/Qelvanto/image", "/usr/local/Qelvanto/diag"});
}

std::string SandboxPath(const Sandbox &sb, const std::string &path)
{
    return sb.root + path;
}

void SandboxDisplay(const Sandbox &sb, const std::string &server)
{
    std::string dir = SandboxPath(sb, DISPLAY_SOCKET.substr(0, DISPLAY_SOCKET.rfind('/')));
    std::string path = SandboxPath(sb, DISPLAY_SOCKET);
    mkdir(dir.c_str(), 01777);
    if (!server.empty()) {
        ASSERT_EQ(symlink(server.c_str(), path.c_str()), 0) << path << ": " << strerror(errno);
        return;
    }
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path) << path;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0) << path << ": " << strerror(errno);
    close(fd);  // the file stays, with nobody behind it
}

void SandboxInstallRButton(const Sandbox &sb)
{
    const std::string src = std::string(QUILMOD_SOURCE_DIR) + "/tools/rbutton/";
    std::vector<std::string> parts;
    if (DIR *d = opendir(src.c_str())) {
        while (struct dirent *e = readdir(d))
            if (std::string name = e->d_name; name.rfind("rbutton", 0) == 0 && name.size() > 4 &&
                                               name.compare(name.size() - 4, 4, ".tcl") == 0)
                parts.push_back(name);
        closedir(d);
    }
    ASSERT_FALSE(parts.empty()) << src;
    for (const std::string &name : parts)
        SandboxWriteFile(sb, "/usr/local/Qelvanto/diag/" + name, ReadWholeFile(src + name), 0755);
    for (const char *image : {"lbutton.gif", "rbutton.gif"})
        SandboxWriteFile(sb, std::string("/usr/local/Qelvanto/image/") + image, ReadWholeFile(src + image));
}

void SandboxWriteFile(const Sandbox &sb, const std::string &path, const std::string &text, int mode)
{
    std::string full = SandboxPath(sb, path);
    std::ofstream f(full, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    ASSERT_TRUE(f) << full;
    chmod(full.c_str(), mode);
}

std::string SandboxReadFile(const Sandbox &sb, const std::string &path)
{
    return ReadWholeFile(SandboxPath(sb, path));
}

bool SandboxExists(const Sandbox &sb, const std::string &path)
{
    struct stat st;
    return lstat(SandboxPath(sb, path).c_str(), &st) == 0;
}

void SandboxWriteConfig(Sandbox &sb, const std::vector<std::string> &devices, const std::string &extra)
{
    std::string text;
    for (const auto &d : devices)
        text += "Port = " + d + "\n";
    SandboxWriteFile(sb, "/etc/quilmod.conf", text + extra);
}

FakePort &SandboxAddPort(Sandbox &sb, const std::string &device)
{
    FakePort port;
    port.device = device;
    char name[256];
    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    EXPECT_EQ(openpty(&port.master, &port.slave, name, &raw, nullptr), 0) << strerror(errno);
    fcntl(port.master, F_SETFD, FD_CLOEXEC);
    fcntl(port.master, F_SETFL, O_NONBLOCK);
    fcntl(port.slave, F_SETFD, FD_CLOEXEC);
    std::string link = SandboxPath(sb, device);
    unlink(link.c_str());
    EXPECT_EQ(symlink(name, link.c_str()), 0) << link << ": " << strerror(errno);
    sb.ports.push_back(port);
    return sb.ports.back();
}

FakePort &SandboxPort(Sandbox &sb, const std::string &device)
{
    for (auto &p : sb.ports)
        if (p.device == device)
            return p;
    ADD_FAILURE() << "no port " << device;
    return sb.ports.front();
}

bool WaitPortDrained(const FakePort &port, int ms)
{
    // Our slave descriptor sees the same input queue as the daemon's.
    auto deadline = deadline_in(ms);
    int pending = -1;
    while ((ioctl(port.slave, FIONREAD, &pending) != 0 || pending > 0) && ms_left(deadline) > 0)
        usleep(500);
    return pending == 0;
}

void SendToPort(FakePort &port, const Bytes &bytes)
{
    WriteBytes(port.master, bytes);
    EXPECT_TRUE(WaitPortDrained(port)) << "daemon did not read " << Hex(bytes);
}

int OpenFifo(const Sandbox &sb, const std::string &fifo, int flags)
{
    return open(SandboxPath(sb, fifo).c_str(), flags | O_NONBLOCK | O_CLOEXEC);
}

static void open_readers(Sandbox &sb)
{
    auto deadline = deadline_in(WAIT_MS);
    while (!SandboxExists(sb, "/dev/qvdat1") && ms_left(deadline) > 0 && SandboxAlive(sb))
        usleep(2000);
    close_fd(sb.dat[0]);
    close_fd(sb.dat[1]);
    close_fd(sb.cmdOut);
    close_fd(sb.shrOut);
    sb.dat[0] = OpenFifo(sb, "/dev/qvdat0", O_RDONLY);
    sb.dat[1] = OpenFifo(sb, "/dev/qvdat1", O_RDONLY);
    sb.cmdOut = OpenFifo(sb, "/dev/qvcmdout", O_RDONLY);
    sb.shrOut = OpenFifo(sb, "/dev/qvshrout", O_RDONLY);
}

void SandboxStart(Sandbox &sb, const std::vector<std::string> &args, bool waitReady)
{
    if (sb.pid > 0) {
        sb.others.push_back(sb.pid);  // a second instance; the first is cleaned up at the end
        close_fd(sb.out);
    }
    sb.log.clear();
    sb.seen = 0;
    sb.exitStatus = -1;
    sb.pid = spawn_daemon(sb, args, &sb.out);
    ASSERT_GT(sb.pid, 0);
    if (!waitReady)
        return;
    open_readers(sb);
    Sync(sb);
}

int SandboxRunOnce(Sandbox &sb, const std::vector<std::string> &args, std::string *output)
{
    int fd;
    pid_t pid = spawn_daemon(sb, args, &fd);
    std::string text;
    auto deadline = deadline_in(WAIT_MS);
    int status = -1;
    while (ms_left(deadline) > 0) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            break;
        wait_readable(fd, 10);
        drain_into(fd, text);
    }
    if (status == -1) {
        ADD_FAILURE() << "second start did not end";
        kill_group(pid);
    }
    drain_into(fd, text);
    close(fd);
    if (output)
        *output = text;
    return status;
}

void SandboxStop(Sandbox &sb)
{
    for (pid_t p : sb.others)
        kill_group(p);
    sb.others.clear();
    if (sb.pid > 0 && sb.exitStatus == -1)
        kill_group(sb.pid);
    sb.pid = -1;
    close_fd(sb.out);
    for (int &fd : sb.dat)
        close_fd(fd);
    close_fd(sb.cmdOut);
    close_fd(sb.shrOut);
    for (auto &p : sb.ports) {
        close_fd(p.master);
        close_fd(p.slave);
    }
    sb.ports.clear();
    if (!sb.root.empty() && !getenv("QUILMOD_KEEP_SANDBOX"))
        nftw(sb.root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    sb.root.clear();
}

bool SandboxWaitExit(Sandbox &sb, int ms)
{
    if (sb.exitStatus != -1)
        return true;
    auto deadline = deadline_in(ms);
    do {
        int status;
        if (waitpid(sb.pid, &status, WNOHANG) == sb.pid) {
            sb.exitStatus = status;
            ReadOutput(sb, 0);
            return true;
        }
        ReadOutput(sb, 10);
    } while (ms_left(deadline) > 0);
    return false;
}

bool SandboxAlive(const Sandbox &sb)
{
    return sb.pid > 0 && sb.exitStatus == -1 && waitpid(sb.pid, nullptr, WNOHANG) == 0;
}

void ReadOutput(Sandbox &sb, int ms)
{
    if (sb.out < 0)
        return;
    if (ms > 0)
        wait_readable(sb.out, ms);
    drain_into(sb.out, sb.log);
}

bool WaitLine(Sandbox &sb, const std::string &text, int ms)
{
    auto deadline = deadline_in(ms);
    for (;;) {
        size_t at = sb.log.find(text, sb.seen);
        if (at != std::string::npos) {
            size_t end = sb.log.find('\n', at);
            if (end != std::string::npos) {
                sb.seen = end + 1;
                return true;
            }
        }
        if (ms_left(deadline) == 0)
            return false;
        ReadOutput(sb, std::min(ms_left(deadline), 50));
    }
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int CountLines(Sandbox &sb, const std::string &text)
{
    ReadOutput(sb, 0);
    int count = 0;
    for (size_t at = sb.log.find(text); at != std::string::npos; at = sb.log.find(text, at + 1))
        count++;
    return count;
}

static int fifo_pending(int fd)
{
    int pending = 0;
    return ioctl(fd, FIONREAD, &pending) == 0 ? pending : -1;
}

bool WaitFifoDrained(const Sandbox &sb, const std::string &fifo, int ms)
{
    int fd = OpenFifo(sb, fifo, O_RDONLY);
    if (fd < 0)
        return false;
    auto deadline = deadline_in(ms);
    bool drained;
    while (!(drained = fifo_pending(fd) == 0) && ms_left(deadline) > 0)
        usleep(1000);
    close(fd);
    return drained;
}

void Command(Sandbox &sb, const std::string &text)
{
    auto deadline = deadline_in(WAIT_MS);
    int fd;
    while ((fd = OpenFifo(sb, "/dev/qvcmdin", O_WRONLY)) < 0 && ms_left(deadline) > 0)
        usleep(2000);  // the daemon may not have opened it yet
    ASSERT_GE(fd, 0) << "cannot open /dev/qvcmdin";
    std::string line = text + "\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), (ssize_t)line.size());
    // Only the first command of one read counts: wait until the daemon has taken this one.
    while (fifo_pending(fd) > 0 && ms_left(deadline) > 0)
        usleep(500);
    EXPECT_EQ(fifo_pending(fd), 0) << "daemon did not read " << text;
    close(fd);
}

bool WaitReply(Sandbox &sb, const std::string &text, int ms)
{
    auto deadline = deadline_in(ms);
    for (;;) {
        size_t at = sb.replies.find(text);
        if (at != std::string::npos) {
            sb.replies.erase(0, at + text.size());
            return true;
        }
        if (ms_left(deadline) == 0 || sb.cmdOut < 0)
            return false;
        wait_readable(sb.cmdOut, std::min(ms_left(deadline), 50));
        drain_into(sb.cmdOut, sb.replies);
    }
}

std::string ModeReply(Sandbox &sb)
{
    Command(sb, "[7192]x");
    auto deadline = deadline_in(WAIT_MS);
    for (;;) {
        size_t m = sb.replies.find('M');
        size_t end = m == std::string::npos ? m : sb.replies.find('\n', m);
        if (end != std::string::npos) {
            std::string mode = sb.replies.substr(m + 1, end - m - 1);
            sb.replies.erase(m, end - m + 1);  // other replies stay for the test
            return mode;
        }
        if (ms_left(deadline) == 0 || sb.cmdOut < 0) {
            ADD_FAILURE() << "no reply to [7192]x";
            return "";
        }
        wait_readable(sb.cmdOut, std::min(ms_left(deadline), 50));
        drain_into(sb.cmdOut, sb.replies);
    }
}

void Sync(Sandbox &sb)
{
    ModeReply(sb);
}

Bytes ReadBytes(int fd, size_t n, int ms)
{
    Bytes got;
    auto deadline = deadline_in(ms);
    while (got.size() < n) {
        unsigned char buf[4096];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r > 0) {
            got.insert(got.end(), buf, buf + r);
            continue;
        }
        if (ms_left(deadline) == 0)
            break;
        wait_readable(fd, std::min(ms_left(deadline), 50));
    }
    return got;
}

Bytes ReadAvailable(int fd)
{
    Bytes got;
    unsigned char buf[4096];
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0)
        got.insert(got.end(), buf, buf + r);
    return got;
}

void WriteBytes(int fd, const Bytes &bytes)
{
    size_t done = 0;
    auto deadline = deadline_in(WAIT_MS);
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN) && ms_left(deadline) > 0) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 50);
            continue;
        }
        ASSERT_GT(n, 0) << strerror(errno);
        done += n;
    }
}

Bytes Packet(unsigned char status, int x, int y)
{
    return {0x55, 0x54, status, (unsigned char)(x & 0xFF), (unsigned char)(x >> 8),
            (unsigned char)(y & 0xFF), (unsigned char)(y >> 8), 0, 0, 0};
}

Bytes Frame(unsigned char flags, int x, int y)
{
    return {flags, (unsigned char)(x >> 8), (unsigned char)(x & 0xFF), (unsigned char)(y >> 8),
            (unsigned char)(y & 0xFF)};
}

Bytes ReadFrames(Sandbox &sb, int pipe, size_t count, int ms)
{
    return ReadBytes(sb.dat[pipe], 5 * count, ms);
}

std::string Hex(const Bytes &bytes)
{
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02X ", c);
        s += b;
    }
    if (!s.empty())
        s.pop_back();
    return s;
}

int CountOpenFds(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    int count = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            count++;
    closedir(d);
    return count;
}

std::vector<std::string> OpenFdTargets(pid_t pid)
{
    std::vector<std::string> targets;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return targets;
    while (struct dirent *e = readdir(d)) {
        char target[256];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (e->d_name[0] != '.' && n > 0)
            targets.emplace_back(target, (size_t)n);
    }
    closedir(d);
    return targets;
}

void SetPortCooked(FakePort &port)
{
    // A terminal's defaults as the kernel gives them to a fresh line: canonical, echoing.
    struct termios tio;
    ASSERT_EQ(tcgetattr(port.slave, &tio), 0) << strerror(errno);
    tio.c_iflag = ICRNL | IXON;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_cflag = CS8 | CREAD | HUPCL;
    tio.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    tio.c_cc[VMIN] = 1;
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    ASSERT_EQ(tcsetattr(port.slave, TCSANOW, &tio), 0) << strerror(errno);
}

std::string PortNode(const Sandbox &sb, const std::string &device)
{
    char target[256];
    ssize_t n = readlink(SandboxPath(sb, device).c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, (size_t)n) : std::string();
}

std::string PreloadAsanOptions()
{
    const char *asan = getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0";
}
