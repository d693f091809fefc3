// quilmoctl's diagnostics against the real daemon in the sandbox: list (nodes, links, configured,
// held, probed), share --decode, watch --timestamps, the hint on a FIFO without access, and the
// bash completion.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "ctlhelp.h"
#include "runprog.h"

namespace {

void Link(const Sandbox &sb, const std::string &target, const std::string &path)
{
    std::filesystem::create_directories(std::filesystem::path(SandboxPath(sb, path)).parent_path());
    ASSERT_EQ(symlink(target.c_str(), SandboxPath(sb, path).c_str()), 0) << path;
}

// The stamp in front of a watch line and the frame's text after it; false when the stamp has
// not the shape: "%7lld ms  " or "HH:MM:SS.mmm  ".
bool SplitStamp(const std::string &line, bool wall, long *ms, std::string *rest)
{
    if (wall) {
        const std::string shape = "00:00:00.000  ";
        if (line.size() < shape.size())
            return false;
        for (size_t i = 0; i < shape.size(); i++)
            if (shape[i] == '0' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
                return false;
        *rest = line.substr(shape.size());
        return true;
    }
    int used = 0;
    if (sscanf(line.c_str(), "%7ld ms  %n", ms, &used) != 1 || used != 12)
        return false;
    *rest = line.substr(static_cast<size_t>(used));
    return true;
}

}  // namespace

using QuilmoctlList = QuilmoctlTest;

// Nodes of every kind and name, links by udev and by hand, Port lines by name, by link, for a
// node that is gone; before and while the daemon runs.
TEST_F(QuilmoctlList, ShowsNodesTheirLinksAndWhatTheDaemonDoes)
{
    for (const char *dev : {"/dev/ttyS0", "/dev/ttyS10", "/dev/ttyS2", "/dev/ttyUSB0", "/dev/ttyACM1", "/dev/ttyX0"})
        SandboxAddPort(sb, dev);
    SandboxWriteFile(sb, "/dev/ttyS5", "a file, no node");
    Link(sb, "../../ttyUSB0", "/dev/serial/by-id/usb-Test_Panel-if00-port0");
    Link(sb, "../../ttyUSB0", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    Link(sb, "ttyACM1", "/dev/touchpanel");
    Link(sb, "ttyS5", "/dev/notanode");
    SandboxWriteConfig(sb, {"/dev/ttyS0", "/dev/serial/by-id/usb-Test_Panel-if00-port0", "/dev/ttyUSB9"});
    const std::string links = "  link /dev/serial/by-id/usb-Test_Panel-if00-port0\n"
                              "  link /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n";
    auto listing = [&](const std::string &held) {
        return "/dev/ttyACM1: not configured, free\n  link /dev/touchpanel\n/dev/ttyS0: configured, " + held +
               "\n/dev/ttyS2: not configured, free\n/dev/ttyS10: not configured, free\n/dev/ttyUSB0: configured as "
               "/dev/serial/by-id/usb-Test_Panel-if00-port0, " + held + "\n" + links +
               "/dev/ttyUSB9: configured, missing\n";
    };
    ExpectOk(Ctl(sb, {"list"}), listing("free"));
    SandboxStart(sb);
    ExpectOk(Ctl(sb, {"list"}), listing("held by quilmod"));
    ExpectOk(Ctl(sb, {"list", "--json"}),
             "{\"running\":true,\"nodes\":["
             "{\"device\":\"/dev/ttyACM1\",\"links\":[\"/dev/touchpanel\"],\"present\":true,\"configured\":null,"
             "\"held\":false,\"probed\":false,\"controller\":null},"
             "{\"device\":\"/dev/ttyS0\",\"links\":[],\"present\":true,\"configured\":\"/dev/ttyS0\",\"held\":true,"
             "\"probed\":false,\"controller\":null},"
             "{\"device\":\"/dev/ttyS2\",\"links\":[],\"present\":true,\"configured\":null,\"held\":false,"
             "\"probed\":false,\"controller\":null},"
             "{\"device\":\"/dev/ttyS10\",\"links\":[],\"present\":true,\"configured\":null,\"held\":false,"
             "\"probed\":false,\"controller\":null},"
             "{\"device\":\"/dev/ttyUSB0\",\"links\":[\"/dev/serial/by-id/usb-Test_Panel-if00-port0\","
             "\"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\"],\"present\":true,"
             "\"configured\":\"/dev/serial/by-id/usb-Test_Panel-if00-port0\",\"held\":true,\"probed\":false,"
             "\"controller\":null},"
             "{\"device\":\"/dev/ttyUSB9\",\"links\":[],\"present\":false,\"configured\":\"/dev/ttyUSB9\","
             "\"held\":false,\"probed\":false,\"controller\":null}]}\n");
    unlink(SandboxPath(sb, "/etc/quilmod.conf").c_str());
    CtlResult r = Ctl(sb, {"list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quilmoctl: cannot read /etc/quilmod.conf: No such file or directory\n");
    EXPECT_NE(r.out.find("/dev/ttyS0: not configured, held by quilmod\n"), std::string::npos) << r.out;
}

// A simulated controller on a free node answers; a silent one does not; the held one is left be.
TEST_F(QuilmoctlList, ProbeAsksTheFreeNodesOnly)
{
    SimProc sim;
    ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim", {"--controller", SandboxPath(sb, "/dev/ttyUSB3")}));
    ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
    SandboxAddPort(sb, "/dev/ttyS1");
    StartWithPort();
    ExpectOk(Ctl(sb, {"list", "--probe"}), "/dev/ttyS0: configured, held by quilmod, not probed\n"
                                           "/dev/ttyS1: not configured, free, no controller answered\n"
                                           "/dev/ttyUSB3: not configured, free, controller VORTAN\n");
    CtlResult r = Ctl(sb, {"list", "--probe", "--json"});
    EXPECT_NE(r.out.find("{\"device\":\"/dev/ttyUSB3\",\"links\":[],\"present\":true,\"configured\":null,"
                         "\"held\":false,\"probed\":true,\"controller\":\"VORTAN\"}"), std::string::npos) << r.out;
    // The daemon's port was not touched: its frames still come.
    WriteBytes(SandboxPort(sb, "/dev/ttyS0").master, Packet(0x81, 51, 38));
    EXPECT_EQ(Hex(ReadFrames(sb, 0, 1)), Hex(Frame(0x81, 51, 38)));
    SimStop(sim);
}

using QuilmoctlDecode = QuilmoctlShareSim;

// Packets, stray bytes and the controller's reply to a command sent through the share.
TEST_F(QuilmoctlDecode, ShowsOnePacketALineAndTheReplyDecoded)
{
    StartWithSimulator();
    SimProc &s = Background({"share", "--decode", "--count", "31", "/dev/ttyS0"});
    ASSERT_TRUE(SimWaitForError(s, "quilmoctl: sharing /dev/ttyS0", WAIT_MS));
    SimSend(sim, "tap 51 38\n");
    ASSERT_EQ(ReadFrames(sb, 0, 2).size(), 10u);  // read, and so shared, by the daemon
    SimSend(sim, "hex FF 0A 00\necho sent\n");
    ASSERT_TRUE(SimWaitFor(sim, "sent", WAIT_MS));
    SimSend(s, std::string("Uoc\0\0\0\0\x27", 8));
    CtlResult r = CtlFinish(s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "55 54 81 33 00 26 00 00 00 00  down x=51 y=38\n"
                     "55 54 84 33 00 26 00 00 00 00  lift x=51 y=38\n"
                     "FF 0A 00                       (no packet)\n"
                     "55 56 4F 52 54 41 4E 2F        reply \"VORTAN\"\n");
}

using QuilmoctlTimestamps = QuilmoctlTest;

TEST_F(QuilmoctlTimestamps, StandBeforeEachFrame)
{
    SandboxStart(sb);
    const std::vector<std::string> frames = {"touch x=300 y=2", "touch x=300 y=2", "release x=300 y=2"};
    for (const std::string option : {"--timestamps", "--timestamps=ms", "--timestamps=wall"}) {
        SimProc &w = Background({"watch", option, "--count", "3"});
        ASSERT_TRUE(SimWaitForError(w, "quilmoctl: watching", WAIT_MS));
        int fd = OpenFifo(sb, "/dev/qvdat1", O_WRONLY);
        WriteBytes(fd, Frame(0x81, 300, 2));
        usleep(20000);  // a later read, so that the times may differ; no duration is asserted
        WriteBytes(fd, Frame(0x81, 300, 2));
        WriteBytes(fd, Frame(0x80, 300, 2));
        close(fd);
        CtlResult r = CtlFinish(w);
        EXPECT_EQ(r.status, 0) << option << ": " << r.err;
        std::vector<std::string> lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 3u) << option << ": " << r.out;
        long last = 0;
        for (size_t i = 0; i < lines.size(); i++) {
            long ms = 0;
            std::string rest;
            ASSERT_TRUE(SplitStamp(lines[i], option == "--timestamps=wall", &ms, &rest)) << option << ": " << lines[i];
            EXPECT_EQ(rest, frames[i]) << option;
            EXPECT_TRUE(i == 0 ? ms == 0 : ms >= last) << option << ": " << r.out;
            last = ms;
        }
    }
}

TEST_F(QuilmoctlTimestamps, NewOptionsRefuseWhatTheyDoNotTake)
{
    SandboxStart(sb);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"watch", "--timestamps=utc"}, "--timestamps takes no value, =ms or =wall, not 'utc'"},
        {{"watch", "--timestamps="}, "--timestamps takes no value"},
        {{"watch", "--decode"}, "unknown option '--decode'"},
        {{"share", "--raw", "--decode", "/dev/ttyS0"}, "--raw and --decode exclude each other"},
        {{"share", "--timestamps", "/dev/ttyS0"}, "unknown option '--timestamps'"},
        {{"list", "/dev/ttyS0"}, "too many arguments"},
        {{"list", "--raw"}, "unknown option '--raw'"},
        {{"status", "--probe"}, "unknown option '--probe'"},
    };
    for (const auto &[args, text] : cases)
        ExpectFailure(Ctl(sb, args), 2, text);
    for (const char *sub : {"list", "share", "watch"}) {
        CtlResult help = Ctl(sb, {sub, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind(std::string("usage: quilmoctl ") + sub + " ", 0), 0u) << help.out;
    }
    CtlResult help = Ctl(sb, {"--help"});
    EXPECT_NE(help.out.find("  list [--probe] [--json]"), std::string::npos) << help.out;
}

using QuilmoctlAccess = QuilmoctlTest;

// FIFOs of the group quilmod only, as the tmpfiles entry makes them: a user outside the group
// is told how to get in, whichever tool opens which FIFO first; a member gets on to the next
// question (nobody reads them here). FIFOs of another group name that group; root's own (as a
// daemon started by hand makes them) can only be opened by root, and the hint says so. The
// user runs beside a group file of the test's own (mounted over /etc/group for that run only).
TEST_F(QuilmoctlAccess, PermissionDeniedSaysHowToGetAccess)
{
    constexpr uid_t USER_ID = 54321;
    constexpr gid_t GROUP_ID = 54320, OTHER_GID = 54322, KIOSK_GID = 54330;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run quilmoctl under another user id";
    // The build may sit in a folder the user cannot enter: a copy in the sandbox, which it can.
    std::string program = SandboxPath(sb, "/usr/bin/quilmoctl");
    std::error_code ec;
    std::filesystem::copy_file(QUILMOD_BIN_DIR "/quilmoctl", program, ec);
    if (ec || chmod(program.c_str(), 0755) != 0)
        GTEST_SKIP() << "cannot copy quilmoctl to " << program << ": " << ec.message();
    std::string groups = SandboxPath(sb, "/tmp/group");
    SandboxWriteFile(sb, "/tmp/group", "root:x:0:\nquilmod:x:" + std::to_string(GROUP_ID) + ":\nkiosk:x:" +
                                          std::to_string(KIOSK_GID) + ":\n");
    auto run = [&](const std::vector<gid_t> &member, const std::vector<std::string> &args) {
        std::string list;
        for (gid_t g : member)
            list += (list.empty() ? "" : ",") + std::to_string(g);
        std::vector<std::string> all = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
            "mount --bind \"$0\" /etc/group || exit 125; exec setpriv --reuid=" + std::to_string(USER_ID) +
            " --regid=" + std::to_string(OTHER_GID) + (list.empty() ? " --clear-groups" : " --groups=" + list) +
            " \"$@\"", groups, program};
        all.insert(all.end(), args.begin(), args.end());
        return RunProgram(all, {"QUILMOD_ROOT=" + sb.root, "PATH=/usr/bin:/bin"});
    };
    Outcome runs = run({}, {"--version"});
    if (runs.status != 0)
        GTEST_SKIP() << "cannot run " << program << " as another user beside a group file here: " << runs.out;
    auto make_fifos = [&](gid_t gid, mode_t mode) {
        for (const char *fifo : {"qvcmdin", "qvcmdout", "qvshrin", "qvshrout", "qvdat0", "qvdat1"}) {
            std::string path = SandboxPath(sb, std::string("/dev/") + fifo);
            unlink(path.c_str());
            ASSERT_EQ(mkfifo(path.c_str(), mode), 0) << path;
            ASSERT_EQ(chown(path.c_str(), 0, gid), 0) << path;
            ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
        }
    };
    struct passwd *pw = getpwuid(USER_ID);
    std::string user = pw ? pw->pw_name : "USER";
    std::string hint = "Permission denied; the group quilmod has access: as root, 'usermod -aG quilmod " + user +
                       "', then log in anew";
    const struct {
        gid_t gid;
        mode_t mode;
        std::vector<gid_t> groups;
        std::vector<std::string> args;
        std::string expect;
    } cases[] = {
        {GROUP_ID, 0660, {}, {"mode"}, "quilmoctl: cannot open /dev/qvcmdin: " + hint + "\n"},
        {GROUP_ID, 0660, {}, {"watch"}, "quilmoctl: cannot open /dev/qvcmdin: " + hint + "\n"},
        {GROUP_ID, 0660, {}, {"share", "/dev/ttyS0"}, "quilmoctl: cannot open /dev/qvshrout: " + hint + "\n"},
        {GROUP_ID, 0660, {GROUP_ID}, {"mode"}, "quilmoctl: quilmod is not running (nobody reads /dev/qvcmdin)\n"},
        {KIOSK_GID, 0660, {}, {"mode"}, "quilmoctl: cannot open /dev/qvcmdin: Permission denied; it belongs to the "
         "group kiosk, not quilmod: as root, 'usermod -aG kiosk " + user + "' (then log in anew), or run quilmoctl as root\n"},
        {0, 0620, {}, {"mode"}, "quilmoctl: cannot open /dev/qvcmdin: Permission denied; its mode 0620 lets only root "
         "in (group root): run quilmoctl as root\n"},
        {GROUP_ID, 0600, {}, {"flush"}, "quilmoctl: cannot open /dev/qvcmdin: Permission denied; its mode 0600 lets "
         "only root in (group quilmod): run quilmoctl as root\n"},
    };
    for (const auto &c : cases) {
        make_fifos(c.gid, c.mode);
        Outcome r = run(c.groups, c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, c.expect) << c.args[0];
    }
}

using QuilmoctlCompletion = QuilmoctlTest;

// The completion function run as bash runs it: words and the cursor's word set, COMPREPLY read.
static std::vector<std::string> Complete(const Sandbox &sb, const std::vector<std::string> &words)
{
    std::string script = "source " QUILMOD_SOURCE_DIR "/dist/quilmoctl.bash || exit 9; COMP_WORDS=(";
    for (const std::string &w : words)
        script += "'" + w + "' ";
    script += "); COMP_CWORD=" + std::to_string(words.size() - 1) +
              "; _quilmoctl; printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
    Outcome r = RunProgram({"/bin/bash", "-c", script}, {"QUILMOD_ROOT=" + sb.root, "PATH=/usr/bin:/bin"});
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<std::string> lines = Lines(r.out);
    if (lines.size() == 1 && lines[0].empty())
        lines.clear();
    return lines;
}

TEST_F(QuilmoctlCompletion, OffersPortsNodesSubcommandsAndOptions)
{
    if (access("/bin/bash", X_OK) != 0)
        GTEST_SKIP() << "no /bin/bash";
    for (const char *dev : {"/dev/ttyS0", "/dev/ttyUSB1", "/dev/ttyACM0"})
        SandboxAddPort(sb, dev);
    Link(sb, "../../ttyUSB1", "/dev/serial/by-id/usb-Test_Panel-if00-port0");
    SandboxWriteFile(sb, "/etc/quilmod.conf", "# Port = /dev/ttyS9\nport= /dev/ttyS0 \nBaud = 9600\n"
                                              "  PORT =/dev/serial/by-id/usb-Test_Panel-if00-port0\nPort =\n");
    using V = std::vector<std::string>;
    const V nodes = {"/dev/serial/by-id/usb-Test_Panel-if00-port0", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB1"};
    const V ports = {"/dev/serial/by-id/usb-Test_Panel-if00-port0", "/dev/ttyS0"};
    const struct {
        V words;
        V want;
    } cases[] = {
        {{"quilmoctl", "li"}, {"list"}},
        {{"quilmoctl", "share", ""}, ports},
        {{"quilmoctl", "share", "/dev/tt"}, {"/dev/ttyS0"}},
        {{"quilmoctl", "share", "--"}, {"--count", "--decode", "--raw", "--timeout"}},
        {{"quilmoctl", "close-port", ""}, ports},
        {{"quilmoctl", "probe", ""}, nodes},
        {{"quilmoctl", "send", "/dev/ttyU"}, {"/dev/ttyUSB1"}},
        {{"quilmoctl", "send", "/dev/ttyS0", ""}, {}},
        {{"quilmoctl", "hotplug", "/dev/ttyA"}, {"/dev/ttyACM0"}},
        {{"quilmoctl", "list", "--"}, {"--json", "--probe"}},
        {{"quilmoctl", "watch", "--ti"}, {"--timeout", "--timestamps", "--timestamps=wall"}},
        {{"quilmoctl", "watch", "--timestamps", "=", ""}, {"ms", "wall"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Complete(sb, c.words), c.want) << c.words[1] << " '" << c.words.back() << "'";
    unlink(SandboxPath(sb, "/etc/quilmod.conf").c_str());  // no configuration: no ports, no error
    EXPECT_EQ(Complete(sb, {"quilmoctl", "share", ""}), V{});
}

// Names other users can plant (a node, a link, a Port value) reach the line as the very words
// they are: the completion neither runs nor splits nor expands them. Each reply is taken back
// through eval, as the shell reads the line it was put in: a reply left unquoted would run its
// $(...) there, or lose its ~ or its spaces.
TEST_F(QuilmoctlCompletion, NamesStayLiteralWordsAndRunNothing)
{
    if (access("/bin/bash", X_OK) != 0)
        GTEST_SKIP() << "no /bin/bash";
    const std::string work = SandboxPath(sb, "/tmp/cwd");
    std::filesystem::create_directories(work);
    const std::vector<std::string> nodes = {"/dev/ttyS2$(touch x)", "/dev/ttyS3 two words", "/dev/ttyS4\nnext",
                                            "/dev/ttyS5`touch y`", "/dev/ttyS6*"};
    for (const std::string &n : nodes)
        SandboxWriteFile(sb, n, "");
    Link(sb, "../../ttyS4\nnext", "/dev/serial/by-id/usb-$(touch z)");
    SandboxWriteFile(sb, "/etc/quilmod.conf", "Port = $(touch p)\nPort = ~root\nPort = `touch q`\nPort = a;touch${IFS}r\n");
    using V = std::vector<std::string>;
    const struct {
        V words;
        V want;  // the words the line holds once the shell has read each reply
    } cases[] = {
        {{"quilmoctl", "probe", ""}, {"/dev/serial/by-id/usb-$(touch z)", "/dev/ttyS2$(touch x)",
                                      "/dev/ttyS3 two words", "/dev/ttyS4\nnext", "/dev/ttyS5`touch y`", "/dev/ttyS6*"}},
        {{"quilmoctl", "send", "/dev/ttyS2"}, {"/dev/ttyS2$(touch x)"}},
        {{"quilmoctl", "hotplug", "/dev/ttyS3\\ t"}, {"/dev/ttyS3 two words"}},
        {{"quilmoctl", "share", ""}, {"$(touch", "`touch", "a;touch${IFS}r", "~root"}},
        {{"quilmoctl", "close-port", "~"}, {"~root"}},
        {{"quilmoctl", "record", "$"}, {"$(touch"}},
    };
    for (const auto &c : cases) {
        std::string script = "cd '" + work + "' || exit 8; source " QUILMOD_SOURCE_DIR
                             "/dist/quilmoctl.bash || exit 9; COMP_WORDS=(";
        for (const std::string &w : c.words)
            script += "'" + w + "' ";
        script += "); COMP_CWORD=" + std::to_string(c.words.size() - 1) +
                  "; _quilmoctl; for w in \"${COMPREPLY[@]}\"; do eval \"v=$w\"; printf '%s\\0' \"$v\"; done";
        Outcome r = RunProgram({"/bin/bash", "-c", script}, {"QUILMOD_ROOT=" + sb.root, "PATH=/usr/bin:/bin"});
        EXPECT_EQ(r.status, 0) << r.out;
        V got;
        for (size_t at = 0, end; (end = r.out.find('\0', at)) != std::string::npos; at = end + 1)
            got.push_back(r.out.substr(at, end - at));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.want) << c.words[1] << " '" << c.words.back() << "'";
    }
    EXPECT_TRUE(std::filesystem::is_empty(work)) << "a name was run as a command";
    for (const char *made : {"/x", "/y", "/z", "/p", "/q", "/r"})
        EXPECT_FALSE(SandboxExists(sb, made)) << made;
}

using QuilmoctlMessages = QuilmoctlTest;

// Each message says what is so: a present port the daemon does not hold, a name it holds under
// another name, one that does not exist, a port closed already; a file as a Port line, alike in
// list and status; names with control characters escaped; a FIFO replaced under a running daemon.
TEST_F(QuilmoctlMessages, SayWhatIsTrue)
{
    for (const char *dev : {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB1"})
        SandboxAddPort(sb, dev);
    Link(sb, "ttyS1", "/dev/panel-link");
    SandboxWriteFile(sb, "/dev/panel-file", "");
    const std::string odd = "/dev/tty\x1b[2J\x07odd";
    SandboxWriteConfig(sb, {"/dev/ttyS0", "/dev/panel-link", "/dev/panel-file", odd}, "RClickTool = 0\n");
    SandboxStart(sb);
    const std::string fileText = "not a terminal (a regular file: at its end quilmod resets itself, again and again)";
    const std::string pid = std::to_string(sb.pid);
    const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
        {{"share", "/dev/ttyUSB1"}, "quilmod did not share /dev/ttyUSB1 within 3 s: quilmod does not hold it (no Port "
                                    "line names it)"},
        {{"share", "/dev/ttyS1"}, "quilmod did not share /dev/ttyS1 within 3 s: quilmod knows it as /dev/panel-link: "
                                  "share that name"},
        {{"share", "/dev/ttyS9"}, "quilmod did not share /dev/ttyS9 within 3 s: it does not exist"},
        {{"close-port", "/dev/ttyUSB1"}, "quilmod holds no port named /dev/ttyUSB1 (no Port line names it)"},
        {{"probe", odd}, "probe: '/dev/tty\\x1b[2J\\x07odd' is no absolute device path"},
    };
    for (const auto &[args, text] : failures)
        ExpectFailure(Ctl(sb, args), 1 + (args[0] == "probe"), text);
    ExpectOk(Ctl(sb, {"close-port", "/dev/panel-link"}));
    ExpectFailure(Ctl(sb, {"close-port", "/dev/panel-link"}), 1,
                  "quilmod holds no port named /dev/panel-link (it is configured, but not open: missing, or closed already)");
    ExpectFailure(Ctl(sb, {"share", "/dev/panel-link"}), 1, "quilmod does not hold it (closed, or it could not be opened)");

    CtlResult status = Ctl(sb, {"status"}), list = Ctl(sb, {"list"});
    EXPECT_NE(status.out.find("port /dev/panel-file: present, line " + fileText + ";"), std::string::npos) << status.out;
    EXPECT_NE(list.out.find("/dev/panel-file: configured, present, " + fileText + "\n"), std::string::npos) << list.out;
    EXPECT_NE(status.out.find("port /dev/tty\\x1b[2J\\x07odd: missing;"), std::string::npos) << status.out;
    EXPECT_NE(list.out.find("/dev/tty\\x1b[2J\\x07odd: configured, missing\n"), std::string::npos) << list.out;
    for (const std::string &out : {status.out, list.out})
        EXPECT_EQ(out.find_first_of("\x1b\x07"), std::string::npos) << "a raw control character reached the output";

    // The command FIFO replaced while the daemon runs: it runs, and the message says so.
    std::string cmdin = SandboxPath(sb, "/dev/qvcmdin");
    unlink(cmdin.c_str());
    ASSERT_EQ(mkfifo(cmdin.c_str(), 0622), 0);
    ExpectFailure(Ctl(sb, {"mode"}), 1, "/dev/qvcmdin has no reader, yet quilmod runs (pid " + pid +
                                            "): the FIFO was replaced after quilmod made it");
    unlink(cmdin.c_str());
    SandboxWriteFile(sb, "/dev/qvcmdin", "");
    ExpectFailure(Ctl(sb, {"mode"}), 1, "/dev/qvcmdin is not a named pipe, yet quilmod runs (pid " + pid + ")");
    EXPECT_NE(Ctl(sb, {"status"}).out.find("quilmod: running, pid " + pid), std::string::npos);
}

// status calls a line raw only when nothing of a terminal's processing is left on it: each one
// flag of input, output or local processing makes it cooked.
TEST_F(QuilmoctlMessages, StatusCallsALineRawOnlyWithoutAnyProcessing)
{
    StartWithPort("RClickTool = 0\n");
    FakePort &port = SandboxPort(sb, "/dev/ttyS0");
    struct termios raw;
    ASSERT_EQ(tcgetattr(port.slave, &raw), 0);  // as the daemon set it
    const struct {
        const char *name;
        tcflag_t termios::*field;
        tcflag_t flag;
    } flags[] = {
        {"none", &termios::c_lflag, 0},
        {"ICANON", &termios::c_lflag, ICANON}, {"ECHO", &termios::c_lflag, ECHO},
        {"ISIG", &termios::c_lflag, ISIG},     {"IEXTEN", &termios::c_lflag, IEXTEN},
        {"ICRNL", &termios::c_iflag, ICRNL},   {"INLCR", &termios::c_iflag, INLCR},
        {"IGNCR", &termios::c_iflag, IGNCR},   {"IXON", &termios::c_iflag, IXON},
        {"ISTRIP", &termios::c_iflag, ISTRIP}, {"OPOST", &termios::c_oflag, OPOST},
    };
    for (const auto &f : flags) {
        struct termios t = raw;
        t.*f.field |= f.flag;
        ASSERT_EQ(tcsetattr(port.slave, TCSANOW, &t), 0) << f.name;
        std::string want = std::string("port /dev/ttyS0: present, held by quilmod, line ") +
                           (f.flag ? "cooked" : "raw") + " 9600 8N1;";
        CtlResult r = Ctl(sb, {"status"});
        EXPECT_NE(r.out.find(want), std::string::npos) << f.name << ":\n" << r.out;
    }
    tcsetattr(port.slave, TCSANOW, &raw);
}
