// Unit tests of the right-click tool: the lock file rule, reaping, pipes and the SIGCHLD handler.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "quilmod.h"

namespace {

constexpr int WAIT_MS = 10000;
constexpr char TOOL[] = "/usr/local/Qelvanto/diag/rbutton.tcl";

// Records its arguments and each line of its standard input; exits on the line "quit".
constexpr char TOOL_SCRIPT[] =
    "#!/bin/sh\n"
    "printf '%s|' \"DISPLAY=$DISPLAY\" \"$@\" >> \"$(dirname \"$0\")/args\"\n"
    "echo >> \"$(dirname \"$0\")/args\"\n"
    "while read -r line; do\n"
    "  printf '%s\\n' \"$line\" >> \"$(dirname \"$0\")/input\"\n"
    "  [ \"$line\" = quit ] && exit 0\n"
    "done\n";

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

int count_fds()
{
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the directory itself
}

template <typename Pred>
bool eventually(Pred pred)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Ended but not reaped: the state a tool is in when RClickToolExist looks.
bool is_zombie(int pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

// Starts argv with a pipe as standard input (held by *feed), in the test's own process.
int spawn(std::vector<std::string> args, int *feed)
{
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int pid = fork();
    if (pid == 0) {
        dup2(fds[0], 0);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[0]);
    *feed = fds[1];
    return pid;
}

// Ends pid with SIGTERM unless something ended it first; returns the signal that did.
int end_and_reap(int pid)
{
    kill(pid, SIGTERM);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
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
    int leftover_tool(int *feed) { return spawn({"/bin/sh", tool()}, feed); }

    // Runs RClickToolKillOld with this lock text naming pid; the signal that ended pid.
    int kill_old_with(int pid, const std::string &text)
    {
        write_file(lock(), text);
        RClickToolKillOld();
        return end_and_reap(pid);
    }

    bool input_is(const std::string &text)
    {
        return eventually([&] { return read_file(tool_file("input")) == text; });
    }
};

}  // namespace

TEST_F(RClick, LockFileKillsALeftOverToolOnly)
{
    int feed;
    int pid = leftover_tool(&feed);
    ASSERT_TRUE(eventually([&] { return read_file(tool_file("args")) != ""; }));
    EXPECT_EQ(kill_old_with(pid, " " + std::to_string(pid) + "\nmore text"), SIGKILL);
    close(feed);

    // The pid may by now belong to another program: never killed.
    int other = spawn({"/bin/cat"}, &feed);
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
        EXPECT_EQ(end_and_reap(pid), SIGTERM) << what;
        close(feed);
    }
}

TEST_F(RClick, ToolGetsItsCommandLineAndMessages)
{
    TouchSetting.mode = 7;
    RClickToolNew(0);
    ASSERT_GT(RClickPid, 0);
    ASSERT_GE(MsgPipe[1], 0);
    EXPECT_EQ(MsgPipe[0], -1);
    ASSERT_TRUE(eventually([&] { return read_file(tool_file("args")).find('\n') != std::string::npos; }));
    std::string image = root + "/usr/local/Qelvanto/image/";
    EXPECT_EQ(read_file(tool_file("args")), "DISPLAY=:0.0|" + image + "lbutton.gif|" + image + "rbutton.gif|" +
                                                std::to_string(getpid()) + "|0|7|\n");
    RClickToolOff();
    RClickToolOn();
    EXPECT_TRUE(input_is("OFF\nON\n"));
    EXPECT_EQ(fcntl(MsgPipe[1], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(MsgPipe[1], F_GETFL) & O_NONBLOCK, O_NONBLOCK);
}

TEST_F(RClick, EndedToolIsReapedItsPipeClosedAndRestartedOn)
{
    int before = count_fds();
    RClickToolNew(0);
    int first = RClickPid;
    ASSERT_GT(first, 0);
    EXPECT_EQ(RClickToolExist(), 1);
    ASSERT_EQ(write(MsgPipe[1], "quit\n", 5), 5);
    ASSERT_TRUE(eventually([&] { return is_zombie(first); }));
    EXPECT_EQ(RClickToolExist(), 0);
    EXPECT_EQ(RClickPid, 0);
    EXPECT_EQ(MsgPipe[1], -1);
    EXPECT_EQ(count_fds(), before);
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), -1);  // reaped, no zombie left

    RClickToolOn();  // gone and cleared: a new one, switched on
    ASSERT_GT(RClickPid, 0);
    EXPECT_NE(RClickPid, first);
    EXPECT_TRUE(eventually([&] { return read_file(tool_file("args")).find("|1|0|\n") != std::string::npos; }));
    EXPECT_EQ(count_fds(), before + 1);
}

TEST_F(RClick, SupersededToolKeepsItsPipeUntilItEnds)
{
    int before = count_fds();
    RClickToolNew(0);
    int first = RClickPid;
    int firstPipe = MsgPipe[1];
    RClickToolNew(0);
    ASSERT_NE(RClickPid, first);
    EXPECT_EQ(fcntl(firstPipe, F_GETFD) >= 0, true);  // still its pipe while it runs
    EXPECT_EQ(count_fds(), before + 2);
    kill(first, SIGTERM);
    ASSERT_TRUE(eventually([&] { return is_zombie(first); }));
    EXPECT_EQ(RClickToolExist(), 1);
    EXPECT_EQ(count_fds(), before + 1);
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), -1);
}

TEST_F(RClick, ToolHoldsOnlyTheReadEndOfItsPipe)
{
    RClickToolNew(1);
    int pid = RClickPid;
    ASSERT_TRUE(eventually([&] { return read_file(tool_file("args")) != ""; }));
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

TEST_F(RClick, MissingToolOrEnvEndsTheChildOnly)
{
    remove(tool().c_str());
    RClickToolNew(1);
    int pid = RClickPid;
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return RClickPid == 0 || is_zombie(pid); }));
    EXPECT_EQ(RClickToolExist(), 0);
    remove((root + "/usr/bin/env").c_str());
    RClickToolOn();
    pid = RClickPid;
    ASSERT_TRUE(eventually([&] { return RClickPid == 0 || is_zombie(pid); }));
    EXPECT_EQ(RClickToolExist(), 0);
    EXPECT_EQ(MsgPipe[1], -1);
}

TEST_F(RClick, UndertakerReapsTheToolAlone)
{
    int feed;
    int bystander = spawn({"/bin/true"}, &feed);
    close(feed);
    ASSERT_TRUE(eventually([&] { return is_zombie(bystander); }));
    int toolFeed;
    int toolPid = spawn({"/bin/cat"}, &toolFeed);
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
    ASSERT_TRUE(eventually([&] { return is_zombie(toolPid); }));
    undertaker(SIGCHLD);
    EXPECT_EQ(RClickPid, 0);
    EXPECT_EQ(MsgPipe[1], -1);
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
    EXPECT_EQ(waitpid(toolPid, nullptr, WNOHANG), -1);
}
