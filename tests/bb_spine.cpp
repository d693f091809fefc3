// Start-up, single instance, pid file, configuration, named pipes and SIGHUP, seen from outside.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <string_view>

#include "fixture.h"

namespace {

const std::string DEFAULT_CONFIG =
    " MouseMode = DRAWING\n\rDblClickSpeed = 18\n\rDblClickArea = 30\n\rRClickTool = 0\n\r"
    "Sound = 0\n\rCursor = 0\n\rPort = /dev/Serial_Port_0\n\rPort = /dev/Serial_Port_1\n\r"
    "Port = /dev/USB_Port_0\n\rPort = /dev/USB_Port_1\n\r\n";

int file_mode(const Sandbox &sb, const std::string &path)
{
    struct stat st;
    if (lstat(SandboxPath(sb, path).c_str(), &st) != 0)
        return -1;
    return st.st_mode;
}

std::string pid_line(pid_t pid)
{
    return std::to_string(pid) + "\n";
}

// A live process that is not quilmod, reaped by the caller.
pid_t start_bystander()
{
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sleep", "sleep", "60", (char *)nullptr);
        _exit(127);
    }
    return pid;
}

bool alive(pid_t pid)
{
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

}  // namespace

TEST_F(DaemonTest, FirstStartWritesDefaultsAndPipesWhateverTheUmask)
{
    SandboxWriteFile(sb, "/qlm_not_ours", "keep");  // in the daemon's working directory
    mode_t old = umask(077);
    SandboxStart(sb);
    umask(old);
    EXPECT_EQ(SandboxReadFile(sb, "/etc/quilmod.conf"), DEFAULT_CONFIG);
    EXPECT_EQ(file_mode(sb, "/etc/quilmod.conf"), S_IFREG | 0644);  // the tools read it as other users
    for (const char *fifo : {"/dev/qvcmdin", "/dev/qvshrin"})
        EXPECT_EQ(file_mode(sb, fifo), S_IFIFO | 0620) << fifo;
    for (const char *fifo : {"/dev/qvcmdout", "/dev/qvshrout", "/dev/qvdat1"})
        EXPECT_EQ(file_mode(sb, fifo), S_IFIFO | 0640) << fifo;
    EXPECT_EQ(file_mode(sb, "/dev/qvdat0"), S_IFIFO | 0600);
    EXPECT_EQ(SandboxReadFile(sb, "/var/run/quilmod.pid"), pid_line(sb.pid));
    for (const char *line : {"the computer beep device no /dev/console", "***********ReadDataFromCfgFile***********",
                             "Mouse Mode: DRAWING", "Drag Delay time: 18", "Dbl-Click Area: 30", "R-Click Tool: 0",
                             "Sound Mode: None", "Cursor Mode: Display", "Test /dev/Serial_Port_0....open failed",
                             "Test /dev/USB_Port_1....open failed", "Real Mouse Mode: DRAWING",
                             "warning: no panel found"})
        EXPECT_TRUE(WaitLine(sb, line)) << line << "\n" << sb.log;
    // The pid file went through a scratch file that is gone again; nothing else was removed.
    EXPECT_EQ(system(("ls " + sb.root + "/var/run | grep -q '^qlm'").c_str()) == 0, false);
    EXPECT_EQ(SandboxReadFile(sb, "/qlm_not_ours"), "keep");
}

TEST_F(DaemonTest, ExistingConfigurationIsReadNeverRewritten)
{
    const std::string text =
        "mousemode = desktop\n"
        "  # Sound = Down\n"
        "Sound Up\n"
        "SOUND = Up trailing words\n"
        "Cursor = None\r\n"
        "DblClickSpeed = 25\n"
        "DblClickArea=-7xyz\n"
        "RClickTool = \n"
        "Port =\n"
        "Unknown = 5\n";
    SandboxWriteFile(sb, "/etc/quilmod.conf", text);
    SandboxStart(sb);
    for (const char *line : {"Mouse Mode: DESKTOP", "Sound Mode: Up", "Cursor Mode: None", "Drag Delay time: 25",
                             "Dbl-Click Area: -7", "R-Click Tool: 0", "Real Mouse Mode: DESKTOP"})
        EXPECT_TRUE(WaitLine(sb, line)) << line << "\n" << sb.log;
    EXPECT_EQ(CountLines(sb, "Sound Mode:"), 1);  // the commented and the '='-less lines do nothing
    EXPECT_EQ(SandboxReadFile(sb, "/etc/quilmod.conf"), text);
}

TEST_F(DaemonTest, HostileConfigurationLinesAreSurvived)
{
    std::string text = std::string(10000, 'A') + "=DESKTOP\n";                  // key far past 99 characters
    text += "MouseMode = " + std::string(150, 'D') + "\n";                      // value word cut, matches nothing
    text += std::string(99, 'M') + "MouseMode = DESKTOP\n";                     // 99-character cut never matches
    text += std::string("Sound = Up\0Down\n", 16);                              // NUL inside a line
    text += "\xff\xfe\x01=\x80\x81\n";                                           // binary
    text += "DblClickArea = 99999999999999999999\n";                             // saturates
    text += "Port = /dev/" + std::string(400, 'p') + "\n";                        // taken in pieces
    SandboxWriteFile(sb, "/etc/quilmod.conf", text);
    SandboxStart(sb);
    EXPECT_TRUE(WaitLine(sb, "Mouse Mode: DRAWING"));
    EXPECT_TRUE(WaitLine(sb, "Sound Mode: Up"));
    EXPECT_TRUE(WaitLine(sb, "Dbl-Click Area: 2147483647"));
    EXPECT_TRUE(WaitLine(sb, "Real Mouse Mode: DRAWING"));
    Sync(sb);
    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(DaemonTest, SecondStartAsksTheRunningInstanceToReset)
{
    SandboxStart(sb);
    std::string before = SandboxReadFile(sb, "/var/run/quilmod.pid");
    std::string output;
    int status = SandboxRunOnce(sb, {"-d"}, &output);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(output.find("Reset Sent in main\n"), std::string::npos) << output;
    EXPECT_TRUE(WaitLine(sb, "Real Mouse Mode"));  // the first load
    EXPECT_TRUE(WaitLine(sb, "***********ReadDataFromCfgFile***********"));  // the reset
    EXPECT_EQ(SandboxReadFile(sb, "/var/run/quilmod.pid"), before);
    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(DaemonTest, ForcedStartReplacesTheRunningInstance)
{
    SandboxStart(sb);
    pid_t first = sb.pid;
    SandboxStart(sb, {"-d", "-f"});
    int status;
    ASSERT_EQ(waitpid(first, &status, 0), first);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    Sync(sb);  // answered by the new instance alone now
    EXPECT_EQ(SandboxReadFile(sb, "/var/run/quilmod.pid"), pid_line(sb.pid));
    EXPECT_TRUE(SandboxAlive(sb));
}

TEST_F(DaemonTest, UnusablePidFilesMeanAFirstStartAndNobodyIsSignalled)
{
    pid_t bystander = start_bystander();
    for (const std::string &content : {std::string(""), std::string("abc\n"), std::string("1\n"),
                                       std::string("0\n"), std::string("-1\n"), std::string("\x01\x02\xff"),
                                       std::string("99999999999999999999\n"), pid_line(bystander)}) {
        for (const char *force : {"", "-f"}) {
            SandboxWriteFile(sb, "/var/run/quilmod.pid", content);
            std::vector<std::string> args = {"-d"};
            if (*force)
                args.push_back(force);
            SandboxStart(sb, args);
            EXPECT_EQ(SandboxReadFile(sb, "/var/run/quilmod.pid"), pid_line(sb.pid)) << content;
            EXPECT_TRUE(alive(bystander)) << "pid file " << content;
            kill(sb.pid, SIGKILL);
            waitpid(sb.pid, nullptr, 0);
            sb.exitStatus = 0;
        }
    }
    kill(bystander, SIGKILL);
    waitpid(bystander, nullptr, 0);
}

TEST_F(DaemonTest, SighupReloadsTheConfiguration)
{
    SandboxWriteConfig(sb, {}, "MouseMode = DRAWING\n");
    SandboxStart(sb);
    EXPECT_TRUE(WaitLine(sb, "Real Mouse Mode: DRAWING"));
    SandboxWriteConfig(sb, {}, "MouseMode = DESKTOP\n");
    kill(sb.pid, SIGHUP);
    EXPECT_TRUE(WaitLine(sb, "qlm_killed 's DaemonReset"));
    EXPECT_TRUE(WaitLine(sb, "Real Mouse Mode: DESKTOP"));
    // A burst of hang-ups while it works never loses the last one nor ends the daemon.
    for (int i = 0; i < 50; i++)
        kill(sb.pid, SIGHUP);
    EXPECT_TRUE(WaitLine(sb, "qlm_killed 's DaemonReset"));
    Sync(sb);
    EXPECT_TRUE(SandboxAlive(sb));
}

// Ending there would leave the panels without touch input until somebody restarted the daemon.
TEST_F(DaemonTest, ResetWithAnUnopenableConfigurationKeepsWhatIsInForce)
{
    FakePort &port = SandboxAddPort(sb, "/dev/ttyS0");
    SandboxWriteConfig(sb, {"/dev/ttyS0"}, "MouseMode = DESKTOP\n");
    SandboxStart(sb);
    std::string conf = SandboxPath(sb, "/etc/quilmod.conf");
    unlink(conf.c_str());
    ASSERT_EQ(symlink(conf.c_str(), conf.c_str()), 0);  // a loop: neither readable nor creatable
    kill(sb.pid, SIGHUP);
    EXPECT_TRUE(WaitLine(sb, "reset: cannot open /etc/quilmod.conf: Too many levels of symbolic links; "
                             "the settings and ports in force are kept"))
        << sb.log;
    EXPECT_EQ(ModeReply(sb), "1");
    SendToPort(port, Packet(0x81, 100, 100));
    EXPECT_EQ(ReadFrames(sb, 0, 1).size(), 5u);  // the port still serves
    unlink(conf.c_str());
    SandboxWriteConfig(sb, {"/dev/ttyS0"}, "MouseMode = DRAWING\n");
    kill(sb.pid, SIGHUP);
    EXPECT_TRUE(WaitLine(sb, "Real Mouse Mode: DRAWING"));
    EXPECT_TRUE(SandboxAlive(sb));
}

// Whether text holds pattern, in which '?' stands for a letter or digit.
static bool has_line_like(const std::string &text, std::string_view pattern)
{
    auto fits = [&](size_t at) {
        for (size_t i = 0; i < pattern.size(); i++)
            if (pattern[i] == '?' ? !isalnum(static_cast<unsigned char>(text[at + i])) : text[at + i] != pattern[i])
                return false;
        return true;
    };
    for (size_t at = 0; at + pattern.size() <= text.size(); at++)
        if (fits(at))
            return true;
    return false;
}

TEST_F(DaemonTest, StartUpFailuresEndWithStatusOne)
{
    struct Case {
        const char *remove;
        const char *message;  // '?' stands for any letter or digit
    };
    // The scratch pid file is named as mkstemp filled in the template, not as the template.
    for (Case c : {Case{"/var/run", "Cannot open file /var/run/qlm??????\n"}, Case{"/etc", "reopen: "},
                   Case{"/dev", "Failed to CreateCmdPipe"}}) {
        Sandbox local;
        SandboxCreate(local);
        ASSERT_EQ(rmdir(SandboxPath(local, c.remove).c_str()), 0);
        SandboxStart(local, {"-d"}, false);
        ASSERT_TRUE(SandboxWaitExit(local)) << c.remove;
        EXPECT_TRUE(WIFEXITED(local.exitStatus) && WEXITSTATUS(local.exitStatus) == 1) << c.remove;
        EXPECT_TRUE(has_line_like(local.log, c.message)) << c.remove << ": " << local.log;
        EXPECT_EQ(local.log.find("qlmXXXXXX"), std::string::npos) << local.log;
        SandboxStop(local);
    }
}

TEST_F(DaemonTest, WrongThingsAtFifoPaths)
{
    SandboxWriteFile(sb, "/dev/qvshrin", "not a pipe");
    ASSERT_EQ(mkfifo(SandboxPath(sb, "/dev/qvcmdin").c_str(), 0600), 0);
    chmod(SandboxPath(sb, "/dev/qvcmdin").c_str(), 0600);
    SandboxStart(sb);
    EXPECT_EQ(CountLines(sb, "/dev/qvshrin should be a pipe.\nDelete it and try again...\n"), 1) << sb.log;
    EXPECT_EQ(file_mode(sb, "/dev/qvshrin"), S_IFIFO | 0620);
    EXPECT_EQ(file_mode(sb, "/dev/qvcmdin"), S_IFIFO | 0600);  // an existing FIFO is used as it is

    Sandbox other;
    SandboxCreate(other);
    ASSERT_EQ(mkdir(SandboxPath(other, "/dev/qvcmdout").c_str(), 0755), 0);
    SandboxStart(other, {"-d"}, false);
    ASSERT_TRUE(SandboxWaitExit(other));
    EXPECT_EQ(WEXITSTATUS(other.exitStatus), 1);
    EXPECT_NE(other.log.find("Failed to CreateCmdPipe"), std::string::npos);
    EXPECT_EQ(other.log.find("should be a pipe"), std::string::npos);
    SandboxStop(other);
}

TEST_F(DaemonTest, OptionsRAndUnknownLetters)
{
    SandboxStart(sb, {"-d", "-r", "-x", "operand"});
    EXPECT_TRUE(WaitLine(sb, "invalid option -- 'x'"));
    EXPECT_TRUE(SandboxAlive(sb));
}

// The same daemon with QUILMOD_ROOT unset, at its real paths, in a private user and mount namespace.
TEST(RealPaths, SmokeInPrivateNamespace)
{
    if (system("unshare -Urm true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "this machine does not allow an unprivileged user and mount namespace (unshare -Urm)";
    std::string script =
        "set -e\n"
        "for d in /etc /var/run /dev /usr/local; do mount -t tmpfs none $d; done\n"
        "cp \"$0\" /usr/local/quilmod\n"  // the build may itself lie under /tmp
        "mount -t tmpfs none /tmp\n"
        "mkdir -p /usr/local/Qelvanto\n"
        "unset QUILMOD_ROOT\n"
        ": > /tmp/in\n"  // an explicit input: the new /dev has no null for bash's default
        "/usr/local/quilmod -d < /tmp/in > /tmp/out 2>&1 &\n"
        "pid=$!\n"
        "for i in $(seq 1 2000); do [ -p /dev/qvdat1 ] && break; sleep 0.01; done\n"
        "exec 3<>/dev/qvcmdout\n"
        "printf '[7192]x\\n' > /dev/qvcmdin\n"
        "read -t 10 reply <&3\n"
        "echo \"reply=$reply\"\n"
        "echo \"pid=$(cat /var/run/quilmod.pid) expected=$pid\"\n"
        "head -c 20 /etc/quilmod.conf; echo\n"
        "ls -l /dev/qvdat0 | cut -c1-10\n"
        "kill -9 $pid\n";
    std::string cmd = "unshare -Urm --fork bash -c '" + script + "' " QUILMOD_BIN_DIR "/quilmod 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p))
        out += buf;
    pclose(p);
    EXPECT_NE(out.find("reply=M0"), std::string::npos) << out;
    EXPECT_NE(out.find(" MouseMode = DRAWING"), std::string::npos) << out;
    EXPECT_NE(out.find("prw-------"), std::string::npos) << out;  // made by the daemon: closed to others
    size_t at = out.find("pid=");
    ASSERT_NE(at, std::string::npos) << out;
    std::string pids = out.substr(at, out.find('\n', at) - at);
    EXPECT_EQ(pids.substr(4, pids.find(' ') - 4), pids.substr(pids.find("expected=") + 9)) << out;
}

// However the daemon is started (by hand, without the package's tmpfiles entry), the FIFOs it
// makes are closed to others: the group quilmod when the group file has it, root's otherwise.
// FIFOs it finds keep their owner, group and mode, even when open to everyone.
TEST_F(DaemonTest, FifosItMakesAreClosedToOthersAndFoundOnesKeptAsTheyAre)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the FIFOs a group";
    constexpr gid_t GROUP = 4321;
    struct Case {
        const char *groupFile;  // nullptr: none
        gid_t gid;
    } cases[] = {
        {"root:x:0:\nquilmod:x:4321:\n", GROUP},
        {"root:x:0:\nwheel:x:10:\n", 0},
        {nullptr, 0},
    };
    const char *const fifos[] = {"/dev/qvcmdin", "/dev/qvcmdout", "/dev/qvshrin", "/dev/qvshrout", "/dev/qvdat0",
                                 "/dev/qvdat1"};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.groupFile ? c.groupFile : "no group file");
        SandboxStop(sb);
        sb = Sandbox();
        SandboxCreate(sb);
        if (c.groupFile)
            SandboxWriteFile(sb, "/etc/group", c.groupFile);
        mode_t old = umask(0);
        SandboxStart(sb);
        umask(old);
        for (const char *fifo : fifos) {
            struct stat st;
            ASSERT_EQ(stat(SandboxPath(sb, fifo).c_str(), &st), 0) << fifo;
            EXPECT_EQ(st.st_mode & 07, 0u) << fifo;
            EXPECT_EQ(st.st_gid, c.gid) << fifo;
            EXPECT_EQ(st.st_uid, 0u) << fifo;
        }
    }
    // Found as someone left them: kept.
    SandboxStop(sb);
    sb = Sandbox();
    SandboxCreate(sb);
    SandboxWriteFile(sb, "/etc/group", "quilmod:x:4321:\n");
    for (const char *fifo : fifos) {
        ASSERT_EQ(mkfifo(SandboxPath(sb, fifo).c_str(), 0600), 0) << fifo;
        ASSERT_EQ(chmod(SandboxPath(sb, fifo).c_str(), 0666), 0) << fifo;
        ASSERT_EQ(chown(SandboxPath(sb, fifo).c_str(), 0, 7), 0) << fifo;
    }
    SandboxStart(sb);
    for (const char *fifo : fifos) {
        struct stat st;
        ASSERT_EQ(stat(SandboxPath(sb, fifo).c_str(), &st), 0) << fifo;
        EXPECT_EQ(st.st_mode & 07777, 0666u) << fifo;
        EXPECT_EQ(st.st_gid, 7u) << fifo;
    }
}
