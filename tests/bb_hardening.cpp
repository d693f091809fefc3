// Hostile and failing surroundings seen from outside: FIFO creation, two starts at once, the
// pid file's text, ports that always read nothing, descriptors used up by ports, and a storm of
// right-click tools.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "childproc.h"
#include "fixture.h"

namespace {

constexpr unsigned char DOWN = 0x81, LIFT = 0x84;

// How many children pid has, ended or not, as long as it has not reaped them.
int children(pid_t pid)
{
    std::istringstream f(ReadWholeFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    int n = 0;
    for (int child; f >> child;)
        n++;
    return n;
}

// Whether pid has the file that our descriptor fd names open.
bool holds(pid_t pid, int fd)
{
    char mine[256] = {}, theirs[256];
    if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), mine, sizeof mine - 1) <= 0)
        return false;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    DIR *d = opendir(dir.c_str());
    bool found = false;
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        ssize_t n = readlink((dir + e->d_name).c_str(), theirs, sizeof theirs - 1);
        found |= n > 0 && std::string(theirs, n) == mine;
    }
    if (d)
        closedir(d);
    return found;
}

}  // namespace

// An opener racing the daemon must never find a FIFO open to others before it has its final
// mode: each is made owner-only, whatever the umask, and only then given its mode.
TEST_F(DaemonTest, FifosAreOwnerOnlyUntilTheyHaveTheirModes)
{
    if (system("/usr/bin/strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed or may not trace here";
    const std::string log = "/tmp/strace.log";
    sb.wrapper = {"/usr/bin/strace", "-qq", "-e", "trace=mknod,mknodat", "-o", SandboxPath(sb, log)};
    mode_t old = umask(0);
    SandboxStart(sb);
    umask(old);
    std::string trace = SandboxReadFile(sb, log);
    int fifos = 0;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("S_IFIFO|");
        if (at == std::string::npos)
            continue;
        fifos++;
        EXPECT_EQ(line.substr(at + 8, 4), "0600") << line;
    }
    EXPECT_EQ(fifos, 6) << trace;
    struct stat st;
    ASSERT_EQ(stat(SandboxPath(sb, "/dev/qvdat0").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(SandboxPath(sb, "/dev/qvcmdin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0620u);
}

// The pid file's scratch file: its start is between making it and renaming it.
static bool pid_file_pending(const Sandbox &sb)
{
    DIR *d = opendir(SandboxPath(sb, "/var/run").c_str());
    bool found = false;
    while (struct dirent *e = d ? readdir(d) : nullptr)
        found |= std::string(e->d_name).rfind("qlm", 0) == 0;
    if (d)
        closedir(d);
    return found;
}

// The lock decides before the pid file is written: of two starts a moment apart exactly one
// serves, and the other asks it to reset and ends. The first start is held in the rename that
// writes its pid file, so the second comes while the file does not name it yet.
TEST_F(DaemonTest, TwoStartsAtOnceLeaveOneInstance)
{
    if (system("/usr/bin/strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed or may not trace here";
    Sandbox second;
    second.root = sb.root;
    sb.wrapper = {"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2",
                  "-e", "inject=rename,renameat,renameat2:delay_enter=2000000"};
    SandboxStart(sb, {"-d"}, false);
    ASSERT_TRUE(Eventually([&] { return pid_file_pending(sb); }));
    SandboxStart(second, {"-d"}, false);
    Sandbox *ended = nullptr;
    ASSERT_TRUE(Eventually([&] {
        for (Sandbox *s : {&sb, &second})
            if (waitpid(s->pid, &s->exitStatus, WNOHANG) == s->pid)
                ended = s;
        return ended != nullptr;
    })) << "both run";
    ASSERT_EQ(ended, &second) << "the first start holds the lock";
    Sandbox &serving = sb;
    ReadOutput(*ended, 0);
    EXPECT_TRUE(WIFEXITED(ended->exitStatus) && WEXITSTATUS(ended->exitStatus) == 0);
    EXPECT_NE(ended->log.find("Reset Sent in main"), std::string::npos) << ended->log;
    // The reset request reaches the one that serves: it reads the configuration a second time.
    EXPECT_TRUE(Eventually([&] {
        ReadOutput(serving, 0);
        return CountLines(serving, "***********ReadDataFromCfgFile***********") == 2;
    })) << serving.log;
    EXPECT_TRUE(SandboxAlive(serving));
    second.root.clear();  // the tree is sb's to remove
    SandboxStop(second);
}

// "%d" skips white space and blank lines before the number: such a pid file names the
// running instance, which a forced start replaces.
TEST_F(DaemonTest, PidFileNumberAfterWhiteSpaceIsTheRunningInstance)
{
    // A process whose command name is the daemon's, holding no lock (an instance of old).
    std::string fake = SandboxPath(sb, "/tmp/quilmod");
    ASSERT_EQ(system(("cp /bin/sleep " + fake).c_str()), 0);
    for (const char *layout : {"\n%d\n", "  %d", "\n\n\t %d \n"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(layout)));
        pid_t old = fork();
        if (old == 0) {
            execl(fake.c_str(), "quilmod", "60", (char *)nullptr);
            _exit(127);
        }
        ASSERT_TRUE(Eventually([&] {
            std::istringstream comm(ReadWholeFile("/proc/" + std::to_string(old) + "/comm"));
            std::string name;
            return std::getline(comm, name) && name == "quilmod";
        }));
        char text[64];
        snprintf(text, sizeof text, layout, (int)old);
        SandboxWriteFile(sb, "/var/run/quilmod.pid", text);
        SandboxStart(sb, {"-d", "-f"});
        int status = 0;
        EXPECT_EQ(waitpid(old, &status, 0), old);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        kill(sb.pid, SIGKILL);  // the next round finds no instance but the fake one
        waitpid(sb.pid, nullptr, 0);
        sb.exitStatus = 0;
    }
}

// A Port line naming a regular file (left by an echo while the adapter was out) reads nothing
// for ever. The self-reset stays, but backs off: 1 s, then 2 s, ... while other ports serve.
TEST_F(DaemonTest, PortThatReadsNothingBacksOffTheSelfReset)
{
    SandboxWriteFile(sb, "/dev/ttyUSB0", "x\n");
    FakePort &good = SandboxAddPort(sb, "/dev/ttyS0");
    SandboxWriteConfig(sb, {"/dev/ttyUSB0", "/dev/ttyS0"});
    SandboxStart(sb);
    ASSERT_TRUE(WaitLine(sb, "self-reset held back 1 s: /dev/ttyUSB0 reads nothing")) << sb.log;
    // Held back: the good port's frames flow meanwhile.
    SendToPort(good, Packet(DOWN, 51, 38));
    EXPECT_EQ(ReadFrames(sb, 0, 1).size(), 5u);
    ASSERT_TRUE(WaitLine(sb, "self-reset held back 2 s: /dev/ttyUSB0 reads nothing")) << sb.log;
    EXPECT_EQ(CountLines(sb, "kill(getpid(),SIGUP) in DoRead"), 2);
    SendToPort(good, Packet(LIFT, 51, 38));
    EXPECT_EQ(ReadFrames(sb, 0, 1).size(), 5u);

    // The adapter is back: its first packet returns the rule to normal, so once it reads
    // nothing again the next self-reset comes at once and the back-off starts from 1 s.
    FakePort &back = SandboxAddPort(sb, "/dev/ttyUSB0");
    ASSERT_TRUE(Eventually([&] { return holds(sb.pid, back.slave); })) << sb.log;  // the held-back reset
    SendToPort(back, Packet(DOWN, 51, 38));
    EXPECT_EQ(ReadFrames(sb, 0, 1).size(), 5u);
    unlink(SandboxPath(sb, "/dev/ttyUSB0").c_str());
    SandboxWriteFile(sb, "/dev/ttyUSB0", "x\n");
    kill(sb.pid, SIGHUP);
    EXPECT_TRUE(WaitLine(sb, "self-reset held back 1 s: /dev/ttyUSB0 reads nothing")) << sb.log;
    EXPECT_TRUE(SandboxAlive(sb));
}

// Read calls pid has made so far (/proc/PID/io), or -1 when that cannot be read here.
static long ReadCalls(pid_t pid)
{
    std::istringstream io(ReadWholeFile("/proc/" + std::to_string(pid) + "/io"));
    std::string key;
    long value;
    while (io >> key >> value)
        if (key == "syscr:")
            return value;
    return -1;
}

// A port that yields bytes that are never packets (here /dev/zero, a line at the wrong speed
// alike) gets the back-off of one that yields nothing: while held back the daemon does not read
// it, so it sleeps instead of reading zeros at full speed; the good port serves meanwhile.
TEST_F(DaemonTest, PortThatYieldsNoPacketsBacksOffLikeOneThatReadsNothing)
{
    ASSERT_EQ(symlink("/dev/zero", SandboxPath(sb, "/dev/zero").c_str()), 0);
    FakePort &good = SandboxAddPort(sb, "/dev/ttyS0");
    SandboxWriteConfig(sb, {"/dev/zero", "/dev/ttyS0"});
    SandboxStart(sb);
    ASSERT_TRUE(WaitLine(sb, "self-reset held back 1 s: /dev/zero reads no packets")) << sb.log;
    SendToPort(good, Packet(DOWN, 51, 38));
    EXPECT_EQ(ReadFrames(sb, 0, 1).size(), 5u);
    ASSERT_TRUE(WaitLine(sb, "self-reset held back 2 s: /dev/zero reads no packets")) << sb.log;
    EXPECT_EQ(CountLines(sb, "kill(getpid(),SIGUP) in DoRead"), 2);
    if (ReadCalls(sb.pid) < 0)
        GTEST_SKIP() << "/proc/PID/io is not readable here";
    // Held back for 2 s from the last self-reset: a while of that in which it must sleep. A loop
    // that read the zeros makes thousands of calls in it; the bound leaves room for a reset's
    // reading of its files, should one fall into the while on a slow machine.
    constexpr long MAX_READS = 200;
    long before = ReadCalls(sb.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(ReadCalls(sb.pid) - before, MAX_READS);
    SendToPort(good, Packet(LIFT, 51, 38));
    EXPECT_EQ(ReadFrames(sb, 0, 1).size(), 5u);
    EXPECT_TRUE(SandboxAlive(sb));
}

// Ports that use up every descriptor are refused one by one; the FIFOs still open and serve.
TEST_F(DaemonTest, FifosOpenWhateverDescriptorsThePortsTook)
{
    if (access("/usr/bin/prlimit", X_OK) != 0)
        GTEST_SKIP() << "prlimit (util-linux) is not installed";
    constexpr int LIMIT = 48, PORTS = 60;
    std::vector<std::string> devices;
    for (int i = 0; i < PORTS; i++) {
        devices.push_back("/dev/qport" + std::to_string(i));
        ASSERT_EQ(mkfifo(SandboxPath(sb, devices.back()).c_str(), 0600), 0);  // opens, never readable
    }
    FakePort &last = SandboxAddPort(sb, "/dev/ttyS0");
    devices.insert(devices.begin() + 10, "/dev/ttyS0");
    SandboxWriteConfig(sb, devices);
    sb.wrapper = {"/usr/bin/prlimit", "--nofile=" + std::to_string(LIMIT), "--"};
    SandboxStart(sb);
    EXPECT_GT(CountLines(sb, "....open failed"), 0) << sb.log;
    EXPECT_EQ(CountLines(sb, "Failed to Create"), 0) << sb.log;
    SendToPort(last, Packet(DOWN, 51, 38));
    EXPECT_EQ(ReadFrames(sb, 0, 1).size(), 5u);
    EXPECT_EQ(ReadFrames(sb, 1, 1).size(), 5u);
}

// Every "new" replaces the running tool: one tool and a flat descriptor count, however many come.
TEST_F(DaemonTest, RightClickNewStormKeepsOneTool)
{
    ASSERT_EQ(symlink("/usr/bin/env", SandboxPath(sb, "/usr/bin/env").c_str()), 0);
    SandboxWriteFile(sb, "/usr/local/Qelvanto/diag/rbutton.tcl",
                     "#!/bin/sh\nwhile read -r line; do :; done\n", 0755);
    SandboxDisplay(sb);
    SandboxWriteConfig(sb, {}, "RClickTool = 0\n");
    SandboxStart(sb);
    ASSERT_TRUE(Eventually([&] { return children(sb.pid) == 1; }));
    int fds = CountOpenFds(sb.pid);
    for (int i = 0; i < 30; i++)
        Command(sb, "[7191]x");
    Sync(sb);
    EXPECT_EQ(CountOpenFds(sb.pid), fds);
    EXPECT_EQ(children(sb.pid), 1);
}
