// What installing adds around the daemon: --help/--version that touch nothing, the shipped
// configuration file, the empty cursor bitmap, and FIFOs made by the tmpfiles entry, which
// let the group quilmod in and keep everybody else out.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "childproc.h"
#include "fixture.h"
#include "runprog.h"

namespace {

std::set<std::string> tree;
int note_entry(const char *path, const struct stat *, int, struct FTW *)
{
    tree.insert(path);
    return 0;
}

std::set<std::string> ListTree(const std::string &root)
{
    tree.clear();
    nftw(root.c_str(), note_entry, 16, FTW_PHYS);
    return tree;
}

std::string ReadWholeFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The settings and port lines a configuration load prints, from its first line to its last,
// without the right-click tool's own complaint, which comes whenever its process gets to it.
std::string LoadReport(const std::string &log)
{
    size_t from = log.find("***********ReadDataFromCfgFile");
    size_t to = log.find("Real Mouse Mode", from);
    if (from == std::string::npos || to == std::string::npos)
        return "";
    std::istringstream lines(log.substr(from, to - from));
    std::string line, report;
    while (std::getline(lines, line))
        if (line.rfind("exec:", 0) != 0)
            report += line + "\n";
    return report;
}

using InstallTest = DaemonTest;

TEST_F(InstallTest, InfoOptionsAnswerAndTouchNothing)
{
    struct Case {
        std::vector<std::string> args;
        std::string expect;
    } cases[] = {
        {{"--help"}, "usage: quilmod [-d] [-f] [-r]"},
        {{"-h"}, "usage: quilmod [-d] [-f] [-r]"},
        {{"--version"}, "quilmod " QUILMOD_VERSION "\n"},
        {{"-V"}, "quilmod " QUILMOD_VERSION "\n"},
        {{"-d", "--version"}, "quilmod " QUILMOD_VERSION "\n"},
    };
    auto before = ListTree(sb.root);
    for (const auto &c : cases) {
        std::vector<std::string> args = {QUILMOD_BIN_DIR "/quilmod"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome r = RunProgram(args, {"QUILMOD_ROOT=" + sb.root});
        EXPECT_EQ(r.status, 0) << c.args.back();
        EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.args.back() << ": " << r.out;
        EXPECT_EQ(ListTree(sb.root), before) << c.args.back() << " created files";
    }
    // The simulator answers the same way.
    for (std::string opt : {"--help", "--version"}) {
        Outcome r = RunProgram({QUILMOD_BIN_DIR "/quilmosim", opt}, {});
        EXPECT_EQ(r.status, 0) << opt;
        EXPECT_NE(r.out.find("quilmosim"), std::string::npos) << r.out;
    }
}

// The configuration file the package ships reads to the same settings and ports as the text the
// daemon writes when the file is missing.
TEST_F(InstallTest, ShippedConfigurationEqualsTheDefault)
{
    SandboxStart(sb);  // creates the default file
    ASSERT_TRUE(WaitLine(sb, "Real Mouse Mode"));
    std::string byDefault = LoadReport(sb.log);
    ASSERT_FALSE(byDefault.empty()) << sb.log;
    SandboxStop(sb);

    Sandbox shipped;
    SandboxCreate(shipped);
    SandboxWriteFile(shipped, "/etc/quilmod.conf", ReadWholeFile(QUILMOD_SOURCE_DIR "/data/quilmod.conf"));
    SandboxStart(shipped);
    ASSERT_TRUE(WaitLine(shipped, "Real Mouse Mode"));
    EXPECT_EQ(LoadReport(shipped.log), byDefault);
    SandboxStop(shipped);
}

TEST(InstallFiles, EmptyCursorBitmapIsAcceptedByXsetroot)
{
    if (access("/usr/bin/xsetroot", X_OK) != 0)
        GTEST_SKIP() << "xsetroot is not installed (x11-xserver-utils)";
    std::string display;
    int xvfb = StartXvfb("320x240x24", &display);
    if (xvfb < 0)
        GTEST_SKIP() << "Xvfb is not installed or did not start";
    std::string bad = "/tmp/qlm-bad-" + std::to_string(getpid()) + ".xbm";
    std::ofstream(bad) << "#define empty_width 16\nstatic unsigned char empty_bits[] = {\n";
    struct Case {
        std::string bitmap;
        bool accepted;
    } cases[] = {
        {QUILMOD_SOURCE_DIR "/data/empty.xbm", true},
        {bad, false},  // shows that xsetroot really reads the file
    };
    for (const auto &c : cases) {
        Outcome r = RunProgram({"/usr/bin/xsetroot", "-display", ":" + display, "-cursor", c.bitmap, c.bitmap}, {});
        EXPECT_EQ(r.status == 0, c.accepted) << c.bitmap << ": " << r.out;
    }
    unlink(bad.c_str());
    StopXvfb(xvfb);
}

constexpr gid_t GROUP_ID = 64123;  // numbers no account of this machine uses
constexpr uid_t USER_ID = 64124;
constexpr gid_t OTHER_GID = 64125;

TEST_F(InstallTest, TmpfilesFifosServeTheGroupOnly)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run clients under other user ids";
    if (access("/usr/bin/systemd-tmpfiles", X_OK) != 0)
        GTEST_SKIP() << "systemd-tmpfiles is not installed (systemd)";
    SandboxWriteFile(sb, "/etc/group", "root:x:0:\nquilmod:x:" + std::to_string(GROUP_ID) + ":\n");
    SandboxWriteFile(sb, "/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    SandboxAddPort(sb, "/dev/ttyS0");
    SandboxWriteConfig(sb, {"/dev/ttyS0"}, "RClickTool = 0\n");
    Outcome made = RunProgram({"/usr/bin/systemd-tmpfiles", "--root=" + sb.root, "--create",
                           QUILMOD_SOURCE_DIR "/dist/quilmod.tmpfiles"}, {});
    ASSERT_EQ(made.status, 0) << made.out;
    // The client runs as another user, who may not be able to enter the build folder.
    std::string ctl = CopyForOthers(QUILMOD_BIN_DIR "/quilmoctl", SandboxPath(sb, "/usr/bin"));
    ASSERT_FALSE(ctl.empty()) << "cannot copy quilmoctl into the sandbox";
    Outcome runs = RunProgram({ctl, "--version"}, {}, {USER_ID, OTHER_GID, {}});
    if (runs.status != 0)
        GTEST_SKIP() << "uid " << USER_ID << " cannot run " << ctl << " (status " << runs.status << "): " << runs.out;
    SandboxStart(sb);
    // The daemon opened them as they were: group quilmod, nothing for others.
    for (const char *fifo : {"qvcmdin", "qvcmdout", "qvshrin", "qvshrout", "qvdat0", "qvdat1"}) {
        struct stat st;
        ASSERT_EQ(stat(SandboxPath(sb, std::string("/dev/") + fifo).c_str(), &st), 0) << fifo;
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << fifo;
        EXPECT_EQ(st.st_gid, GROUP_ID) << fifo;
        EXPECT_EQ(st.st_mode & 07, 0u) << fifo;
    }
    struct Case {
        const char *who;
        std::vector<gid_t> groups;
        std::vector<std::string> args;
        int status;
        std::string expect;
    } cases[] = {
        {"outsider", {}, {"mode"}, 1, "Permission denied"},
        {"outsider", {}, {"stop"}, 1, "Permission denied"},
        {"outsider", {}, {"watch", "--count", "1", "--timeout", "1"}, 1, "Permission denied"},
        {"member", {GROUP_ID}, {"mode"}, 0, "DRAWING"},
        {"member", {GROUP_ID}, {"mode", "desktop"}, 0, ""},
        {"member", {GROUP_ID}, {"mode"}, 0, "DESKTOP"},
        // root's descriptors are closed to a member: status says so rather than "not held"
        {"member", {GROUP_ID}, {"status"}, 0, "port /dev/ttyS0: present, held: unknown"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {ctl};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome r = RunProgram(args, {"QUILMOD_ROOT=" + sb.root}, {USER_ID, OTHER_GID, c.groups});
        EXPECT_EQ(r.status, c.status) << c.who << " " << c.args[0] << ": " << r.out;
        EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.who << " " << c.args[0] << ": " << r.out;
        EXPECT_TRUE(SandboxAlive(sb)) << c.who << " " << c.args[0];
    }
}

}  // namespace
