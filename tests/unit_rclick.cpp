// Unit tests of the right-click tool: the lock file rule, reaping, pipes and the SIGCHLD handler.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "childproc.h"
#include "quilmod.h"

namespace {

constexpr char TOOL[] = "/usr/local/Qelvanto/diag/rbutton.tcl";

// Records its arguments, then reads its standard input until the end.
constexpr char TOOL_SCRIPT[] =
    "#!/bin/sh\n"
    "printf '%s|' \"DISPLAY=$DISPLAY\" \"$@\" >> \"$(dirname \"$0\")/args\"\n"
    "echo >> \"$(dirname \"$0\")/args\"\n"
    "while read -r line; do :; done\n";

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text, int mode = 0644)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    chmod(path.c_str(), mode);
}

// A socket file where the X server of display :0 keeps its own: the tool's display is there.
void make_display_socket(const std::string &root)
{
    std::string dir = root + "/tmp/.X11-unix", path = dir + "/X0";
    mkdir(dir.c_str(), 01777);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0) << path;
    close(fd);  // the file stays
}

int count_fds()
{
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the directory itself
}

struct RClick : testing::Test {
    std::string root;
    std::string savedRoot;
    bool hadRoot = false;
    Setting saved{};

    void SetUp() override
    {
        saved = TouchSetting;
        if (const char *r = getenv("QUILMOD_ROOT")) {
            hadRoot = true;
            savedRoot = r;
        }
        char tmpl[] = "/tmp/qlmrclick.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        for (const char *d : {"/tmp", "/usr", "/usr/bin", "/usr/local", "/usr/local/Qelvanto",
                              "/usr/local/Qelvanto/diag"})
            mkdir((root + d).c_str(), 0755);
        ASSERT_EQ(symlink("/usr/bin/env", (root + "/usr/bin/env").c_str()), 0);
        write_file(tool(), TOOL_SCRIPT, 0755);
        setenv("QUILMOD_ROOT", root.c_str(), 1);
        make_display_socket(root);
        DisplayWatchStart();  // the daemon's one watch, open before any descriptor is counted
        signal(SIGPIPE, SIG_IGN);  // as the daemon has it
        TouchSetting.mode = 0;
        RClickPid = 0;
        MsgPipe[0] = MsgPipe[1] = -1;
    }
    void TearDown() override
    {
        if (RClickPid > 0) {
            kill(RClickPid, SIGKILL);
            waitpid(RClickPid, nullptr, 0);
        }
        if (MsgPipe[1] >= 0)
            close(MsgPipe[1]);
        RClickPid = 0;
        MsgPipe[0] = MsgPipe[1] = -1;
        signal(SIGCHLD, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        TouchSetting = saved;
        if (hadRoot)
            setenv("QUILMOD_ROOT", savedRoot.c_str(), 1);
        else
            unsetenv("QUILMOD_ROOT");
        nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    std::string tool() const { return root + TOOL; }
    std::string lock() const { return root + "/tmp/rclick.lock"; }
    std::string tool_file(const char *name) const { return root + "/usr/local/Qelvanto/diag/" + name; }

    // A left-over tool from an earlier run: a process whose arguments name the tool.
    int leftover_tool(int *feed) { return SpawnFed({"/bin/sh", tool()}, feed); }

    // Runs RClickToolKillOld with this lock text naming pid; the signal that ended pid.
    int kill_old_with(int pid, const std::string &text)
    {
        write_file(lock(), text);
        RClickToolKillOld();
        return EndAndReap(pid);
    }
};

}  // namespace

TEST_F(RClick, LockFileKillsALeftOverToolOnly)
{
    int feed;
    int pid = leftover_tool(&feed);
    ASSERT_TRUE(Eventually([&] { return read_file(tool_file("args")) != ""; }));
    EXPECT_EQ(kill_old_with(pid, " " + std::to_string(pid) + "\nmore text"), SIGKILL);
    close(feed);

    // The pid may by now belong to another program: never killed.
    int other = SpawnFed({"/bin/cat"}, &feed);
    EXPECT_EQ(kill_old_with(other, std::to_string(other) + "\n"), SIGTERM);
    close(feed);
}

TEST_F(RClick, UntrustedLockFilesKillNothing)
{
    using Make = void (*)(const std::string &lock, const std::string &good, const std::string &pid);
    const std::pair<const char *, Make> cases[] = {
        {"empty", [](const std::string &l, const std::string &, const std::string &) { write_file(l, ""); }},
        {"binary",
         [](const std::string &l, const std::string &, const std::string &) {
             write_file(l, std::string("\x00\xff\x81\x7f", 4));
         }},
        {"symlink",
         [](const std::string &l, const std::string &g, const std::string &) {
             ASSERT_EQ(symlink(g.c_str(), l.c_str()), 0);
         }},
        {"hard link",
         [](const std::string &l, const std::string &g, const std::string &) {
             ASSERT_EQ(link(g.c_str(), l.c_str()), 0);
         }},
        {"fifo",  // an open for reading must not wait for a writer
         [](const std::string &l, const std::string &, const std::string &) {
             ASSERT_EQ(mkfifo(l.c_str(), 0600), 0);
         }},
        {"directory",
         [](const std::string &l, const std::string &, const std::string &) { ASSERT_EQ(mkdir(l.c_str(), 0700), 0); }},
        {"pid past a bounded read",
         [](const std::string &l, const std::string &, const std::string &pid) {
             write_file(l, std::string(100, ' ') + pid);
         }},
        {"another user's",
         [](const std::string &l, const std::string &, const std::string &pid) {
             write_file(l, pid);
             ASSERT_EQ(chown(l.c_str(), 65534, 65534), 0);
         }},
        {"pid 1", [](const std::string &l, const std::string &, const std::string &) { write_file(l, "1\n"); }},
        {"pid 0", [](const std::string &l, const std::string &, const std::string &) { write_file(l, "0\n"); }},
        {"huge",
         [](const std::string &l, const std::string &, const std::string &) {
             write_file(l, "99999999999999999999999\n");
         }},
    };
    std::string good = root + "/tmp/good";
    for (const auto &[what, make] : cases) {
        if (geteuid() != 0 && std::string(what) == "another user's")
            continue;  // chown needs root
        int feed;
        int pid = leftover_tool(&feed);
        std::string line = std::to_string(pid) + "\n";
        write_file(good, line);
        remove(lock().c_str());
        make(lock(), good, line);
        RClickToolKillOld();
        EXPECT_EQ(EndAndReap(pid), SIGTERM) << what;
        close(feed);
    }
}

// A storm of "new" keeps one tool and one pipe: each new tool ends, reaps and closes the one
// before it, also one that ignores SIGTERM.
TEST_F(RClick, NewToolReplacesTheRunningOne)
{
    struct Case {
        const char *what;
        const char *script;
        int storm;
    } cases[] = {
        {"reads its input", TOOL_SCRIPT, 12},
        {"ignores SIGTERM", "#!/bin/sh\ntrap '' TERM\nwhile read -r line; do :; done\n", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(tool(), c.script, 0755);
        int before = count_fds();
        std::vector<int> pids;
        for (int i = 0; i < c.storm; i++) {
            RClickToolNew(0);
            pids.push_back(RClickPid);
            EXPECT_EQ(count_fds(), before + 1);
        }
        for (size_t i = 0; i + 1 < pids.size(); i++) {
            EXPECT_NE(pids[i], pids.back());
            EXPECT_EQ(waitpid(pids[i], nullptr, WNOHANG), -1) << "tool " << i << " not reaped";
        }
        EXPECT_EQ(RClickToolExist(), 1);
        kill(RClickPid, SIGKILL);
        waitpid(RClickPid, nullptr, 0);
        RClickToolExist();
        EXPECT_EQ(count_fds(), before);
    }
}

TEST_F(RClick, ToolHoldsOnlyTheReadEndOfItsPipe)
{
    RClickToolNew(1);
    int pid = RClickPid;
    ASSERT_TRUE(Eventually([&] { return read_file(tool_file("args")) != ""; }));
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    char target[256] = {};
    ASSERT_GT(readlink((dir + "0").c_str(), target, sizeof target - 1), 0);
    std::string in = target;
    EXPECT_EQ(in.rfind("pipe:", 0), 0u) << in;
    int refs = 0;
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d)) {
        char link[256] = {};
        if (e->d_name[0] != '.' && readlink((dir + e->d_name).c_str(), link, sizeof link - 1) > 0)
            refs += in == link;
    }
    closedir(d);
    EXPECT_EQ(refs, 1);  // a write end of its own would keep it from ever seeing the end
    EXPECT_EQ(fcntl(MsgPipe[1], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);  // no later child gets it either
}

TEST_F(RClick, MessagesNeverBlockOnAToolThatStopsReading)
{
    write_file(tool(), "#!/bin/sh\nexec sleep 60\n", 0755);
    RClickToolNew(0);
    ASSERT_GT(RClickPid, 0);
    char fill[4096] = {};
    while (write(MsgPipe[1], fill, sizeof fill) > 0) {
    }
    RClickToolOff();  // would hang here with a blocking pipe
    RClickToolOn();
    EXPECT_EQ(RClickToolExist(), 1);
}

TEST_F(RClick, UndertakerReapsTheToolAlone)
{
    int feed;
    int bystander = SpawnFed({"/bin/true"}, &feed);
    close(feed);
    ASSERT_TRUE(Eventually([&] { return ProcState(bystander) == 'Z'; }));
    int toolFeed;
    int toolPid = SpawnFed({"/bin/cat"}, &toolFeed);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    RClickPid = toolPid;
    MsgPipe[1] = fds[1];

    undertaker(SIGCHLD);  // another child ended: nothing happens to the tool's records
    EXPECT_EQ(RClickPid, toolPid);
    EXPECT_EQ(MsgPipe[1], fds[1]);
    EXPECT_EQ(waitpid(bystander, nullptr, WNOHANG), bystander);

    close(toolFeed);
    ASSERT_TRUE(Eventually([&] { return ProcState(toolPid) == 'Z'; }));
    undertaker(SIGCHLD);
    EXPECT_EQ(RClickPid, 0);
    EXPECT_EQ(MsgPipe[1], -1);
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
    EXPECT_EQ(waitpid(toolPid, nullptr, WNOHANG), -1);
}

// A replaced tool is told to end by the end of its input, and ends before any signal comes:
// so it can clear its own lock file. One that stays past that is signalled.
TEST_F(RClick, ReplacedToolEndsByTheEndOfItsInput)
{
    struct Case {
        const char *what;
        const char *afterInput;  // what the tool does once its input has ended
        const char *record;      // what it wrote, ending
    } cases[] = {
        {"ends at the end of its input", "echo eof >> \"$(dirname \"$0\")/ends\"", "eof\n"},
        {"stays on", "echo eof >> \"$(dirname \"$0\")/ends\"; while :; do sleep 0.1; done", "eof\nterm\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        remove(tool_file("ends").c_str());
        write_file(tool(), std::string("#!/bin/sh\ntrap 'echo term >> \"$(dirname \"$0\")/ends\"; exit 1' TERM\n"
                                       "while read -r line; do :; done\n") + c.afterInput + "\n",
                   0755);
        RClickToolNew(0);
        int first = RClickPid;
        ASSERT_TRUE(Eventually([&] { return ProcState(first) == 'S'; }));
        RClickToolNew(0);
        EXPECT_EQ(read_file(tool_file("ends")), c.record);
        EXPECT_EQ(waitpid(first, nullptr, WNOHANG), -1) << "not reaped";
        kill(RClickPid, SIGKILL);  // the second tool, before its script is written anew
        waitpid(RClickPid, nullptr, 0);
        RClickToolExist();
    }
}
