// Start-up, single instance, pid file, SIGHUP and the reset.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quilmod.h"

int optNotDaemon = 0;
int optForce = 0;
volatile sig_atomic_t resetPending = 0;
unsigned resetCount = 0;

constexpr int CMD_RESET_CODE = 7178;
constexpr char PID_FILE[] = "/var/run/quilmod.pid";
constexpr char PID_SCRATCH[] = "/var/run/qlmXXXXXX";
// Locked (a record lock) for the daemon's whole life; never replaced, so every start locks the same file.
constexpr char LOCK_FILE[] = "/var/run/quilmod.lock";
constexpr int LOCK_FILE_MODE = 0644;
constexpr int READY_WAIT_MS = 5000;  // how long a second start waits for the running one's command pipe
constexpr int POLL_STEP_US = 10000;
constexpr char ROOT_MESSAGE[] = "You must have root permission to execute this program.";
constexpr int OLD_INSTANCE_WAIT_MS = 3000;  // how long a forced start waits for the old one to go

void GetOpt(int argc, char **argv)
{
    int c;
    optind = 1;
    while ((c = getopt(argc, argv, "dfr")) != -1) {
        if (c == 'd')
            optNotDaemon = 1;
        else if (c == 'f')
            optForce = 1;
    }
}

// Reads the start of a small file, at most size - 1 bytes, into buf as a string; 0 = read, -1 = not.
static int read_small_file(const char *path, char *buf, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    long n = ReadUpTo(fd, buf, size - 1);
    close(fd);
    if (n < 0)
        return -1;
    buf[n] = '\0';
    return 0;
}

// The process's command name as the kernel keeps it.
static int process_name(pid_t pid, char *buf, size_t size)
{
    char path[64];
    if (ProcPath(path, sizeof path, pid, "comm") || read_small_file(path, buf, size) != 0)
        return -1;
    buf[strcspn(buf, "\n")] = '\0';
    return 0;
}

// A live pid counts as the running instance only when it runs this program.
static int is_our_program(pid_t pid)
{
    char mine[64], theirs[64];
    return process_name(0, mine, sizeof mine) == 0 && process_name(pid, theirs, sizeof theirs) == 0 &&
           strcmp(mine, theirs) == 0;
}

int IsUnique(int *pid)
{
    char path[QLM_PATH], text[64];
    if (RootPath(path, sizeof path, PID_FILE) || read_small_file(path, text, sizeof text) != 0)
        return -1;
    const char *s = text;  // the number may follow white space and blank lines, as "%d" reads it
    int recorded;
    if (!ScanInt(&s, &recorded))
        return -1;
    *pid = recorded;
    // 0 and -1 would address process groups or every process; never ourselves either.
    if (recorded <= 1 || recorded == getpid())
        return -1;
    if (kill(recorded, 0) == 0)
        return is_our_program(recorded) ? 0 : 1;
    if (errno == ESRCH)
        return 1;
    if (errno == EPERM) {
        printf("%s", ROOT_MESSAGE);
        exit(1);
    }
    return -1;
}

// Gone, or a zombie waiting for its parent: either way it serves nothing any more.
static int process_gone(pid_t pid)
{
    if (kill(pid, 0) != 0)
        return 1;
    char path[64], stat_line[256];
    if (ProcPath(path, sizeof path, pid, "stat") || read_small_file(path, stat_line, sizeof stat_line) != 0)
        return 1;
    const char *paren = strrchr(stat_line, ')');
    return paren && paren[1] == ' ' && paren[2] == 'Z';
}

static void replace_instance(pid_t old)
{
    kill(old, SIGKILL);
    waitpid(old, nullptr, 0);
    for (int waited = 0; waited < OLD_INSTANCE_WAIT_MS && !process_gone(old); waited++)
        usleep(1000);
}

// The scratch name as messages show it: the template with the six characters mkstemp chose.
static void print_scratch_failure(const char *scratch)
{
    constexpr size_t CHOSEN = 6;
    size_t n = strlen(scratch);
    const char *chosen = n >= CHOSEN ? scratch + n - CHOSEN : "XXXXXX";
    printf("Cannot open file %.*s%s\n", static_cast<int>(sizeof PID_SCRATCH - 1 - CHOSEN), PID_SCRATCH, chosen);
}

void SetLock()
{
    char tmp_file[QLM_PATH] = "", pid_file[QLM_PATH], line[32];
    int n = snprintf(line, sizeof line, "%d\n", (int)getpid());
    int result = 1;
    if (RootPath(tmp_file, sizeof tmp_file, PID_SCRATCH) == 0 && RootPath(pid_file, sizeof pid_file, PID_FILE) == 0)
        result = ReplaceFile(pid_file, tmp_file, {line, (size_t)n}, 0644);
    if (result == 1) {
        if (getuid() != 0)
            printf("%s", ROOT_MESSAGE);
        else
            print_scratch_failure(tmp_file);
        exit(1);
    }
    if (result != 0) {
        printf("Cannot open file %s\n", PID_FILE);
        exit(1);
    }
}

// A record lock on the whole file. Unlike flock, it belongs to this process alone: a child
// between its fork and its exec never holds it, so an ended daemon never leaves it behind.
static int lock_whole_file(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &lock);
}

// Opens the lock file and tries to lock it. 0 = locked (*fd holds it), 1 = another instance
// holds it, -1 = it could not be opened or locked (the message says why).
static int try_instance_lock(int *fd)
{
    char path[QLM_PATH];
    if (*fd < 0) {
        if (RootPath(path, sizeof path, LOCK_FILE) == 0)
            *fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, LOCK_FILE_MODE);
        if (*fd < 0) {
            printf("Cannot open file %s: %s\n", LOCK_FILE, strerror(errno));
            return -1;
        }
    }
    if (lock_whole_file(*fd) == 0)
        return 0;
    if (errno == EAGAIN || errno == EACCES)
        return 1;
    printf("Cannot lock %s: %s\n", LOCK_FILE, strerror(errno));
    return -1;
}

// Asks the running instance to reset by the command pipe, as a shell's echo >> would.
static int send_reset_request()
{
    char path[QLM_PATH], line[32];
    if (RootPath(path, sizeof path, "/dev/qvcmdin"))
        return -1;
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    struct stat st;
    int n = snprintf(line, sizeof line, "[%d]x\n", CMD_RESET_CODE);
    int ok = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && PipeWrite(fd, line, n) == n;
    close(fd);
    return ok ? 0 : -1;
}

// A running instance may still be starting: its command pipe may have no reader yet.
static int send_reset_request_waiting()
{
    for (int waited = 0; send_reset_request() != 0; waited += POLL_STEP_US / 1000) {
        if (waited >= READY_WAIT_MS)
            return -1;
        usleep(POLL_STEP_US);
    }
    return 0;
}

void qlm_killed(int signo)
{
    if (signo == SIGHUP)
        resetPending = 1;  // the service loop resets before its next select
}

void DaemonReset()
{
    beep_off();
    // A reset that cannot read the file (EMFILE, a link loop) keeps what is in force: ending
    // here would leave the panels without touch input until somebody restarted the daemon.
    if (LoadPanelSetting() != 0) {
        printf("reset: cannot open %s: %s; the settings and ports in force are kept\n", CONFIG_FILE,
               strerror(errno));
        return;
    }
    if (PortShared[0]) {
        char copy[PORT_SHARED_SIZE];
        snprintf(copy, sizeof copy, "%s", PortShared);  // SharePort rewrites PortShared itself
        SharePort(copy);
    }
    resetCount++;
}

void ChildSignalDefaults()
{
    signal(SIGPIPE, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    signal(SIGALRM, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

static void open_console()
{
    char path[QLM_PATH];
    console = -1;
    if (RootPath(path, sizeof path, "/dev/console") == 0)
        console = open(path, O_RDWR | O_NOCTTY);  // inherited by the right-click tool on purpose
    if (console < 0)
        puts("the computer beep device no /dev/console");
    else
        signal(SIGALRM, beep_timer_routine);
}

// The pipes join the select set in this order; 0 = all open.
static int create_pipes()
{
    if (CreateCmdPipe() != 0 || WatchFd(fdCmdIn) != 0) {
        puts("Failed to CreateCmdPipe");
        return 1;
    }
    if (CreateSharePipe() != 0 || WatchFd(fdShrIn) != 0) {
        puts("Failed to CreateSharePipe");
        return 1;
    }
    if (CreateDatPipe() != 0) {
        puts("Failed to CreateDatPipe");
        return 1;
    }
    return 0;
}

// A second start while an instance runs: without -f, ask it to reset; 0 = asked.
static int ask_running_instance()
{
    if (send_reset_request_waiting() != 0) {
        printf("Cannot send the reset request to /dev/qvcmdin\n");
        return 1;
    }
    puts("Reset Sent in main");
    return 0;
}

// -f while the lock is held: end whoever the pid file names until the lock is ours. 0 = ours.
static int take_over(int lockFd)
{
    for (int waited = 0; waited < OLD_INSTANCE_WAIT_MS; waited += POLL_STEP_US / 1000) {
        int oldpid = 0;
        if (IsUnique(&oldpid) == 0)
            replace_instance(oldpid);
        if (lock_whole_file(lockFd) == 0)
            return 0;
        usleep(POLL_STEP_US);
    }
    printf("Cannot lock %s: another instance keeps it\n", LOCK_FILE);
    return 1;
}

// The single-instance rule: the lock first, then the pid file. 1 = this start ends with
// *status, 0 = it goes on to serve.
static int single_instance(int *status)
{
    static int lockFd = -1;  // open, and locked, for the daemon's whole life
    int locked = try_instance_lock(&lockFd);  // without a lock file the pid file alone decides
    *status = 1;
    if (locked == 1) {
        if (!optForce) {
            *status = ask_running_instance();
            return 1;
        }
        return take_over(lockFd);
    }
    // The lock was ours (or there is none); a pid file may still name an instance that runs without one.
    int oldpid = 0;
    int unique = IsUnique(&oldpid);
    if (unique == 0 && !optForce) {
        *status = ask_running_instance();
        return 1;
    }
    if (unique == 0)
        replace_instance(oldpid);
    return 0;
}

int QuilmodMain(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);  // every message reaches a log reader as printed
    signal(SIGPIPE, SIG_IGN);             // a peer that went away never ends the daemon
    GetOpt(argc, argv);
    if (!optNotDaemon && daemon(0, 0) != 0)
        perror("daemon");
    open_console();
    int status;
    if (single_instance(&status))
        return status;
    SetLock();
    signal(SIGHUP, qlm_killed);
    FD_ZERO(&fdSet);
    ReservePipeFds();
    if (GetPanelSetting() != 0)
        return 1;
    if (create_pipes() != 0)
        return 1;
    EndlessServiceLoop();
    return 0;
}
