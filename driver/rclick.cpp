// Right-click tool: its child process, the pipe to its standard input, and a left-over tool's end.
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quilmod.h"

int RClickPid = 0;
int MsgPipe[2] = {-1, -1};
int RClickWanted = 0;

constexpr char ENV_PROGRAM[] = "/usr/bin/env";
constexpr char TOOL[] = "/usr/local/Qelvanto/diag/rbutton.tcl";
constexpr char LEFT_IMAGE[] = "/usr/local/Qelvanto/image/lbutton.gif";
constexpr char RIGHT_IMAGE[] = "/usr/local/Qelvanto/image/rbutton.gif";
constexpr char LOCK_FILE[] = "/tmp/rclick.lock";
constexpr size_t LOCK_TEXT = 64;          // a pid needs a dozen characters
constexpr size_t CMDLINE_READ = 16384;    // enough for the tool's command line
constexpr size_t NUMBER_TEXT = 20;
constexpr int RETIRED_MAX = 8;
constexpr int END_WAIT_MS = 500;  // per step (input closed, SIGTERM, SIGKILL), for a replaced tool to end
constexpr int END_POLL_US = 1000;

// A replaced tool that did not end in time (say, stopped): reaped once it does.
struct RetiredTool {
    int pid;
    int fd;
};
static std::array<RetiredTool, RETIRED_MAX> retired;
static int startWhenEnded = 0;  // the display came anew while the last tool was still ending
static int tool_alive();

struct ToolArgs {
    char env[QLM_PATH];
    char tool[QLM_PATH];
    char left[QLM_PATH];
    char right[QLM_PATH];
    char ppid[NUMBER_TEXT];
    char mode[NUMBER_TEXT];
};

static char *arg(const char *text)
{
    return const_cast<char *>(text);  // execv's argv is not written to
}

// 1 when pid, a child of ours, has ended; it is reaped then.
static int child_ended(int pid)
{
    int r;
    while ((r = waitpid(pid, nullptr, WNOHANG)) < 0 && errno == EINTR) {
    }
    return r == pid || (r < 0 && errno == ECHILD);
}

static void close_msg_pipe()
{
    if (MsgPipe[1] >= 0)
        close(MsgPipe[1]);
    MsgPipe[1] = -1;
}

static void retire(int pid, int fd)
{
    for (auto &r : retired)
        if (r.pid == 0) {
            r = {pid, fd};
            return;
        }
    if (fd >= 0)
        close(fd);  // table full: the pid stays a zombie until the daemon ends, the pipe does not
}

// 1 when pid ended within the wait and was reaped.
static int ended_within(int pid, int ms)
{
    for (int waited = 0; waited < ms * 1000; waited += END_POLL_US) {
        if (child_ended(pid))
            return 1;
        usleep(END_POLL_US);
    }
    return child_ended(pid);
}

// At most one tool runs: the one we talk to ends, and is reaped, before another starts. The
// end of its input is its word to end, and it clears its lock file then; a tool that does not
// end of its own gets SIGTERM, then SIGKILL.
static void end_current_tool()
{
    int pid = RClickPid;
    if (pid <= 0)
        return;
    close_msg_pipe();
    RClickPid = 0;
    if (ended_within(pid, END_WAIT_MS))
        return;
    kill(pid, SIGTERM);
    if (ended_within(pid, END_WAIT_MS))
        return;
    kill(pid, SIGKILL);
    if (!ended_within(pid, END_WAIT_MS))
        retire(pid, -1);
}

static void reap_retired()
{
    for (auto &r : retired)
        if (r.pid && child_ended(r.pid)) {
            if (r.fd >= 0)
                close(r.fd);
            r = {0, -1};
        }
}

void undertaker(int)
{
    int saved = errno;
    int pid = RClickPid;
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
        RClickPid = 0;
        int fd = MsgPipe[1];
        MsgPipe[1] = -1;
        if (fd >= 0)
            close(fd);
    }
    errno = saved;
}

// 0 = every path fitted.
static int tool_args(ToolArgs *a)
{
    if (RootPath(a->env, sizeof a->env, ENV_PROGRAM) || RootPath(a->tool, sizeof a->tool, TOOL) ||
        RootPath(a->left, sizeof a->left, LEFT_IMAGE) || RootPath(a->right, sizeof a->right, RIGHT_IMAGE))
        return 1;
    snprintf(a->ppid, sizeof a->ppid, "%d", (int)getpid());  // the child's getppid()
    snprintf(a->mode, sizeof a->mode, "%d", TouchSetting.mode);
    return 0;
}

// In the child. Ports and FIFOs are close-on-exec; the tool keeps its standard
// output and error and the console.
[[noreturn]] static void exec_tool(ToolArgs *a, int On, int readEnd)
{
    ChildSignalDefaults();
    if (readEnd == 0)
        fcntl(0, F_SETFD, 0);  // dup2 onto itself would leave close-on-exec set
    else if (dup2(readEnd, 0) == 0)
        close(readEnd);
    char *const argv[] = {arg("env"), arg("DISPLAY=:0.0"), a->tool, a->left, a->right, a->ppid,
                          arg(On ? "1" : "0"), a->mode, nullptr};
    execv(a->env, argv);
    int err = errno;
    perror("exec");
    SayWhy(a->env, err);  // which program: env, which runs the tool
    fflush(stdout);
    _exit(0);
}

// The new tool becomes the one we talk to.
static void adopt(int pid, int writeEnd)
{
    close_msg_pipe();
    RClickPid = pid;
    MsgPipe[0] = -1;
    MsgPipe[1] = writeEnd;
}

static void start_tool(int On)
{
    static ToolArgs a;
    if (tool_args(&a))
        return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        perror("pipe");
        return;
    }
    // Only the daemon's end: a tool that stops reading must never block the daemon.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);  // undertaker must find RClickPid already set
    pid_t pid = fork();
    if (pid == 0)
        exec_tool(&a, On, fds[0]);
    close(fds[0]);
    if (pid < 0) {
        perror("fork");
        close(fds[1]);
    } else {
        adopt(pid, fds[1]);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Without its display the tool could only fail: it is started when the display's socket comes.
static int display_missing()
{
    static bool told = false;
    DisplayWatchStart();
    if (DisplaySocketPresent()) {
        told = false;
        return 0;
    }
    if (!told)
        puts("right-click tool: no X display :0 yet; it starts when the display comes");
    told = true;
    return 1;
}

void RClickToolNew(int On)
{
    RClickWanted = On;
    startWhenEnded = 0;
    struct sigaction reaper = {}, before;
    reaper.sa_handler = undertaker;
    reaper.sa_flags = SA_RESTART;
    sigemptyset(&reaper.sa_mask);
    sigaction(SIGCHLD, &reaper, &before);
    reap_retired();
    end_current_tool();
    if (!display_missing())
        start_tool(On);
    sigaction(SIGCHLD, &before, nullptr);  // the loop's own handler, which wakes it
}

// A socket made anew means a new server: the old one is gone, and its tool with it. That tool
// may still be ending (a process whose threads are still exiting cannot be reaped yet), and
// nothing else would start the new server's tool once it has.
void RClickToolDisplayCame()
{
    if (!RClickToolExist())
        RClickToolNew(RClickWanted);
    else
        startWhenEnded = 1;
}

void RClickToolChildService(int woken)
{
    if (!startWhenEnded || !woken || tool_alive())
        return;
    startWhenEnded = 0;
    if (DisplaySocketPresent())
        RClickToolNew(RClickWanted);
}

// The pid a lock file names, or 0. Anyone may write to /tmp: only a regular file of our
// own user with a single name counts, and never a pid that means a group, init or us.
static int lock_file_pid()
{
    char path[QLM_PATH], text[LOCK_TEXT + 1];
    if (RootPath(path, sizeof path, LOCK_FILE))
        return 0;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1)
        n = read(fd, text, LOCK_TEXT);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    const char *s = text;
    int pid;
    if (!ScanInt(&s, &pid) || pid <= 1 || pid == getpid())
        return 0;
    return pid;
}

// A lock file outlives its tool, and the pid may by now be another program's:
// only a process whose arguments name the tool is one.
static int runs_the_tool(int pid)
{
    static char args[CMDLINE_READ + 1];
    char tool[QLM_PATH], path[64];
    if (ProcPath(path, sizeof path, pid, "cmdline") || RootPath(tool, sizeof tool, TOOL))
        return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t len = 0;
    ssize_t n;
    while (len < CMDLINE_READ && (n = read(fd, args + len, CMDLINE_READ - len)) > 0)
        len += (size_t)n;
    close(fd);
    args[len] = '\0';
    for (size_t at = 0; at < len; at += strlen(args + at) + 1)
        if (strcmp(args + at, tool) == 0)
            return 1;
    return 0;
}

void RClickToolKillOld()
{
    int pid = lock_file_pid();
    if (pid && runs_the_tool(pid))
        kill(pid, SIGKILL);
}

// 1 while our tool runs; once it has ended it is reaped and forgotten.
static int tool_alive()
{
    if (RClickPid == 0)
        return 0;
    if (!child_ended(RClickPid))
        return 1;
    RClickPid = 0;
    close_msg_pipe();
    return 0;
}

int RClickToolExist()
{
    reap_retired();
    if (RClickPid == 0) {
        RClickToolKillOld();
        return 0;
    }
    return tool_alive();
}

void RClickToolOn()
{
    RClickWanted = 1;
    if (RClickToolExist())
        PipeWrite(MsgPipe[1], "ON\n", 3);
    else
        RClickToolNew(1);
}

void RClickToolOff()
{
    RClickWanted = 0;
    if (RClickPid)
        PipeWrite(MsgPipe[1], "OFF\n", 4);
}

// "R<hold ms> <tool> <display>\n": the tool shown, hidden or none (not running), the display's
// socket answering, silent (there, nobody listens) or absent. Only what the daemon can tell.
void RClickReply()
{
    const char *tool = !tool_alive() ? "none" : RClickWanted ? "shown" : "hidden";
    const char *display = DisplayAnswers() ? "answers" : DisplaySocketPresent() ? "silent" : "absent";
    char reply[64];
    int n = snprintf(reply, sizeof reply, "R%d %s %s\n", TouchSetting.rClickHold, tool, display);
    PipeWrite(fdCmdOut, reply, n);
}
