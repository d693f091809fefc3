// The daemon's FIFOs, opened only when they are FIFOs, and the command channel: the lock other
// tools wait on, commands taken within a deadline, replies awaited within one.
#include "channel.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <initializer_list>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "process.h"
constexpr long long LOCK_MS = 10000;  // another tool's transaction
constexpr int WAIT_STEP_MS = 1;
constexpr size_t CMD_TEXT_MAX = 500;  // the daemon reads 500 bytes: a longer command is cut
constexpr size_t DRAIN_LIMIT = 1 << 22;

bool ValidWord(const char *s)
{
    size_t n = strlen(s);
    if (n == 0 || n > MAX_WORD)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (!isgraph(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

bool ClientRootPath(char (&out)[QLM_PATH], const char *path)
{
    if (RootPath(out, sizeof out, path) == 0)
        return true;
    Complain(EXIT_FAIL, "path of %s too long under QUILMOD_ROOT", path);
    return false;
}

constexpr char FIFO_GROUP[] = "quilmod";  // owns the FIFOs (the tmpfiles entry)

// The user's login name for the usermod line, or USER when the account cannot be looked up.
static const char *login_name()
{
    struct passwd *pw = getpwuid(getuid());
    return pw && ValidWord(pw->pw_name) ? pw->pw_name : "USER";
}

// A running daemon beside a FIFO it does not read: the FIFO was replaced after it made it.
static bool explain_replaced(const char *path, const char *what)
{
    pid_t pid = DaemonPid();
    if (pid > 0)
        Complain(EXIT_FAIL, "%s %s, yet quilmod runs (pid %d): the FIFO was replaced after quilmod made it; "
                 "restart quilmod to make it anew", path, what, static_cast<int>(pid));
    return pid > 0;
}

// Access denied: joining the FIFO's group helps only where that group may open it, and never
// for root's own group; otherwise only root can.
static void explain_access(const char *path, const struct stat *st, int flags)
{
    mode_t groupBit = (flags & O_ACCMODE) == O_RDONLY ? S_IRGRP : S_IWGRP;
    struct group *gr = st ? getgrgid(st->st_gid) : nullptr;
    const char *group = gr && ValidWord(gr->gr_name) ? gr->gr_name : nullptr;
    if (group && st->st_gid != 0 && (st->st_mode & groupBit) && strcmp(group, FIFO_GROUP) == 0)
        Complain(EXIT_FAIL, "cannot open %s: %s; the group %s has access: as root, 'usermod -aG %s %s', then log in anew",
                 path, strerror(EACCES), FIFO_GROUP, FIFO_GROUP, login_name());
    else if (group && st->st_gid != 0 && (st->st_mode & groupBit))
        Complain(EXIT_FAIL, "cannot open %s: %s; it belongs to the group %s, not %s: as root, 'usermod -aG %s %s' "
                 "(then log in anew), or run quilmoctl as root", path, strerror(EACCES), group, FIFO_GROUP, group,
                 login_name());
    else if (st)
        Complain(EXIT_FAIL, "cannot open %s: %s; its mode %04o lets only root in (group %s): run quilmoctl as root",
                 path, strerror(EACCES), static_cast<unsigned>(st->st_mode & 07777), group ? group : "?");
    else
        Complain(EXIT_FAIL, "cannot open %s: %s (its folder is closed to you): run quilmoctl as root", path,
                 strerror(EACCES));
}

static void explain_open_failure(const char *path, int err, const struct stat *st, int flags)
{
    if (err == EACCES)
        explain_access(path, st, flags);
    else if (err == ENXIO && !explain_replaced(path, "has no reader"))
        Complain(EXIT_FAIL, "quilmod is not running (nobody reads %s)", path);
    else if (err == ENOENT && !explain_replaced(path, "is missing"))
        Complain(EXIT_FAIL, "%s is missing: quilmod is not running here", path);
    else if (err != ENXIO && err != ENOENT)
        Complain(EXIT_FAIL, "cannot open %s: %s", path, strerror(err));
}

// A regular file in a FIFO's place is not written to or read as if the daemon had answered.
int OpenFifo(const char *path, int flags)
{
    char full[QLM_PATH];
    if (!ClientRootPath(full, path))
        return -1;
    struct stat st;
    if (stat(full, &st) != 0) {
        explain_open_failure(path, errno, nullptr, flags);
        return -1;
    }
    if (!S_ISFIFO(st.st_mode)) {
        if (!explain_replaced(path, "is not a named pipe"))
            Complain(EXIT_FAIL, "%s is not a named pipe", path);
        return -1;
    }
    int fd = open(full, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        explain_open_failure(path, errno, &st, flags);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        Complain(EXIT_FAIL, "%s is not a named pipe", path);
        return -1;
    }
    return fd;
}

static int fifo_pending(int fd)
{
    int pending = 0;
    return ioctl(fd, FIONREAD, &pending) == 0 ? pending : -1;
}

// true once nothing is left unread in the FIFO, false at the deadline.
static bool wait_drained(int fd, long long deadline)
{
    for (;;) {
        int pending = fifo_pending(fd);
        if (pending == 0)
            return true;
        if (pending < 0 || NowMs() >= deadline)
            return false;
        SleepMs(WAIT_STEP_MS);
    }
}

bool DrainFifo(int fd)
{
    std::array<unsigned char, IO_CHUNK> buf;
    for (size_t total = 0; total < DRAIN_LIMIT;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n > 0) {
            total += static_cast<size_t>(n);
            continue;
        }
        return n == 0 || errno == EAGAIN || errno == EINTR;
    }
    return true;
}

// ---- the command channel ----

void ChannelClose(Channel *ch)
{
    CloseFd(&ch->in);
    CloseFd(&ch->out);
}

// Two tools at once could land in one read of the daemon, or take each other's replies.
static bool lock_channel(int fd)
{
    long long deadline = NowMs() + LOCK_MS;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return true;  // no locks here: go on as a lone tool would
        if (NowMs() >= deadline) {
            Complain(EXIT_FAIL, "another quilmoctl keeps %s busy", CMD_IN);
            return false;
        }
        SleepMs(WAIT_STEP_MS * 10);
    }
    return true;
}

bool ChannelOpen(Channel *ch, bool reply)
{
    ch->in = OpenFifo(CMD_IN, O_WRONLY);
    if (ch->in < 0 || !lock_channel(ch->in)) {
        ChannelClose(ch);
        return false;
    }
    if (!reply)
        return true;
    ch->out = OpenFifo(CMD_OUT, O_RDONLY);
    if (ch->out < 0) {
        ChannelClose(ch);
        return false;
    }
    return true;
}

static bool write_command(int fd, const char *text, size_t len)
{
    ssize_t n;
    do
        n = write(fd, text, len);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(len))
        return true;
    if (n < 0 && errno == EPIPE)
        Complain(EXIT_FAIL, "quilmod is not running (nobody reads %s)", CMD_IN);
    else
        Complain(EXIT_FAIL, "cannot write to %s: %s", CMD_IN, n < 0 ? strerror(errno) : "short write");
    return false;
}

// The daemon acts on the first command of each read only: the FIFO must be empty before the
// command goes in, and the command must be taken before anything follows it. A command still
// in the FIFO at the deadline cannot be taken back: the daemon may yet run it.
bool SendCommand(const Channel &ch, int code, const char *word)
{
    char text[CMD_TEXT_MAX + 1];
    int len = snprintf(text, sizeof text, "[%d]%s\n", code, word);
    if (len < 0 || static_cast<size_t>(len) > CMD_TEXT_MAX) {
        Complain(EXIT_FAIL, "command too long");
        return false;
    }
    if (!wait_drained(ch.in, NowMs() + TAKE_MS)) {
        Complain(EXIT_FAIL, "quilmod does not take commands: %s stays full", CMD_IN);
        return false;
    }
    if (ch.out >= 0 && !DrainFifo(ch.out)) {
        Complain(EXIT_FAIL, "cannot read %s: %s", CMD_OUT, strerror(errno));
        return false;
    }
    if (!write_command(ch.in, text, static_cast<size_t>(len)))
        return false;
    if (!wait_drained(ch.in, NowMs() + TAKE_MS)) {
        Complain(EXIT_FAIL, "quilmod did not take the command within %lld s; it may still carry it out later",
                 TAKE_MS / 1000);
        return false;
    }
    return true;
}

// Takes whole lines out of buf; true with the first that starts with prefix in line.
static bool take_line(char *buf, size_t *len, std::string_view prefix, char *line, size_t size)
{
    for (;;) {
        char *nl = static_cast<char *>(memchr(buf, '\n', *len));
        if (!nl)
            return false;
        size_t n = static_cast<size_t>(nl - buf);
        bool found = n < size && std::string_view(buf, n).starts_with(prefix);
        if (found) {
            memcpy(line, buf, n);
            line[n] = '\0';
        }
        *len -= n + 1;
        memmove(buf, nl + 1, *len);
        if (found)
            return true;
    }
}

Reply AwaitReply(const Channel &ch, std::string_view prefix, char *line, size_t size)
{
    long long deadline = NowMs() + REPLY_MS;
    std::array<char, REPLY_LINE> buf;
    size_t len = 0;
    for (;;) {
        struct pollfd p = {ch.out, POLLIN, 0};
        if (poll(&p, 1, MsUntil(deadline)) < 0 && errno != EINTR) {
            Complain(EXIT_FAIL, "cannot wait for %s: %s", CMD_OUT, strerror(errno));
            return REPLY_FAILED;
        }
        if (len == buf.size())
            len = 0;  // a line this long is no reply of the daemon's
        ssize_t n = read(ch.out, buf.data() + len, buf.size() - len);
        if (n > 0) {
            len += static_cast<size_t>(n);
            if (take_line(buf.data(), &len, prefix, line, size))
                return REPLY_GOT;
        } else if (n == 0) {
            Complain(EXIT_FAIL, "quilmod ended while a reply was awaited");
            return REPLY_FAILED;
        }
        if (NowMs() >= deadline)
            return REPLY_NONE;
    }
}

int RunCommand(int code, const char *word)
{
    Channel ch;
    if (!ChannelOpen(&ch, false))
        return EXIT_FAIL;
    bool sent = SendCommand(ch, code, word);
    ChannelClose(&ch);
    return sent ? EXIT_OK : EXIT_FAIL;
}

// "M%d" from the daemon: true with the number.
static bool parse_mode_reply(const char *line, int *mode)
{
    long v;
    if (line[0] != 'M' || !ParseNumber(line + 1, INT_MIN, INT_MAX, &v))
        return false;
    *mode = static_cast<int>(v);
    return true;
}

bool QueryMode(const Channel &ch, int *mode)
{
    char line[REPLY_LINE];
    if (!SendCommand(ch, CMD_GET_MODE, "x"))
        return false;
    Reply r = AwaitReply(ch, "M", line, sizeof line);
    if (r == REPLY_NONE)
        Complain(EXIT_FAIL, "no reply from quilmod to the mode query within %lld s", REPLY_MS / 1000);
    if (r != REPLY_GOT)
        return false;
    if (parse_mode_reply(line, mode))
        return true;
    char shown[REPLY_LINE];
    Printable(line, strlen(line), shown, sizeof shown);
    Complain(EXIT_FAIL, "unexpected reply from quilmod: '%s'", shown);
    return false;
}

// One of words equal to text, as a view of the word itself; "" when none is.
static std::string_view known_word(std::string_view text, std::initializer_list<std::string_view> words)
{
    for (std::string_view w : words)
        if (text == w)
            return w;
    return {};
}

// "R<hold> <tool> <display>": true with its parts, all of them known.
static bool parse_rclick_reply(const char *line, RClickState *state)
{
    char hold[16], tool[16], display[16];
    long v;
    if (sscanf(line, "R%15s %15s %15s", hold, tool, display) != 3 || !ParseNumber(hold, 0, INT_MAX, &v))
        return false;
    state->hold = static_cast<int>(v);
    state->tool = known_word(tool, {"shown", "hidden", "none"});
    state->display = known_word(display, {"answers", "silent", "absent"});
    return !state->tool.empty() && !state->display.empty();
}

Reply QueryRClick(const Channel &ch, RClickState *state)
{
    char line[REPLY_LINE];
    if (!SendCommand(ch, CMD_GET_RCLICK, "x"))
        return REPLY_FAILED;
    Reply r = AwaitReply(ch, "R", line, sizeof line);
    if (r != REPLY_GOT || parse_rclick_reply(line, state))
        return r;
    char shown[REPLY_LINE];
    Printable(line, strlen(line), shown, sizeof shown);
    Complain(EXIT_FAIL, "unexpected reply from quilmod: '%s'", shown);
    return REPLY_FAILED;
}
