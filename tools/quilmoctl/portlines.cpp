// The ports as the daemon holds them: which nodes it has open, and each one's line settings.
#include "portlines.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "client.h"

constexpr unsigned MEMORY_MAJOR = 1;   // /dev/null, /dev/zero, ...
constexpr unsigned TTYAUX_MAJOR = 5;   // /dev/tty, /dev/console, /dev/ptmx

// Not a port: the daemon's standard streams and the console it beeps on.
static bool is_port(const char *fdName, const struct stat &st)
{
    if (!S_ISCHR(st.st_mode) || atoi(fdName) <= STDERR_FILENO)
        return false;
    unsigned maj = major(st.st_rdev);
    if (maj == MEMORY_MAJOR || maj == TTYAUX_MAJOR)
        return false;
    char console[QLM_PATH];
    struct stat cs;
    return !(ClientRootPath(console, "/dev/console") && stat(console, &cs) == 0 && S_ISCHR(cs.st_mode) &&
             cs.st_rdev == st.st_rdev);
}

std::vector<HeldNode> DaemonHeldNodes(pid_t pid)
{
    std::vector<HeldNode> held;
    char dir[64];
    if (pid <= 0 || ProcPath(dir, sizeof dir, static_cast<int>(pid), "fd") != 0)
        return held;
    DIR *d = opendir(dir);
    if (!d)
        return held;
    while (struct dirent *e = readdir(d)) {
        std::string fdPath = std::string(dir) + "/" + e->d_name;
        std::array<char, QLM_PATH> name{};
        struct stat st;
        if (e->d_name[0] == '.' || stat(fdPath.c_str(), &st) != 0 || !is_port(e->d_name, st))
            continue;
        ssize_t n = readlink(fdPath.c_str(), name.data(), name.size() - 1);
        held.push_back({fdPath, n > 0 ? std::string(name.data(), (size_t)n) : fdPath, st.st_rdev});
    }
    closedir(d);
    return held;
}

static long baud_of(speed_t s)
{
    static constexpr std::array<std::pair<speed_t, long>, 10> speeds = {{{B1200, 1200}, {B2400, 2400},
        {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600},
        {B115200, 115200}, {B230400, 230400}, {B0, 0}}};
    for (const auto &[code, baud] : speeds)
        if (code == s)
            return baud;
    return -1;
}

static std::string describe(const struct termios &t)
{
    bool raw = !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP)) &&
               !(t.c_oflag & OPOST);
    int bits = (t.c_cflag & CSIZE) == CS5 ? 5 : (t.c_cflag & CSIZE) == CS6 ? 6 : (t.c_cflag & CSIZE) == CS7 ? 7 : 8;
    char parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    char text[64];
    long baud = baud_of(cfgetispeed(&t));
    if (baud >= 0)
        snprintf(text, sizeof text, "%s %ld %d%c%d", raw ? "raw" : "cooked", baud, bits, parity, t.c_cflag & CSTOPB ? 2 : 1);
    else
        snprintf(text, sizeof text, "%s (speed code %u) %d%c%d", raw ? "raw" : "cooked", (unsigned)cfgetispeed(&t), bits,
                 parity, t.c_cflag & CSTOPB ? 2 : 1);
    return text;
}

std::string LineState(const std::string &path)
{
    // O_NONBLOCK: no wait for a carrier; O_NOCTTY: never our controlling terminal.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::string("unknown (") + strerror(errno) + ")";
    struct termios t;
    std::string state = !isatty(fd) ? "not a terminal"
                        : tcgetattr(fd, &t) == 0 ? describe(t)
                                                 : std::string("unknown (") + strerror(errno) + ")";
    close(fd);
    return state;
}

// A regular file reads as end of file once read through, and the daemon takes a run of empty
// reads for a lost controller: it resets itself, reads the file again, and so on.
std::string NotTerminalText(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return "not a terminal (a regular file: at its end quilmod resets itself, again and again)";
    return "not a terminal";
}
