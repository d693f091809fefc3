// quilmoctl's talk with controllers on ports it does not own (list --probe, probe, send): lock
// files honoured and taken, other holders left alone, every step bounded, the line given back
// on every way out.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "ctlhelp.h"
#include "runprog.h"

namespace {

int Queued(int fd, unsigned long request = FIONREAD)
{
    int n = -1;
    ioctl(fd, request, &n);
    return n;
}

// A line no probe would leave so: 115200 baud, hardware and software flow control, signals.
void SetModemLine(FakePort &port)
{
    struct termios tio;
    ASSERT_EQ(tcgetattr(port.slave, &tio), 0);
    tio.c_iflag = IXON;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_cflag = CS8 | CREAD | CRTSCTS | HUPCL;
    tio.c_lflag = ISIG;  // not canonical and no echo: its pending input can be counted as it is
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    ASSERT_EQ(tcsetattr(port.slave, TCSANOW, &tio), 0);
}

std::string LineOf(const FakePort &port)
{
    struct termios tio;
    if (tcgetattr(port.slave, &tio) != 0)
        return "?";
    char text[128];
    snprintf(text, sizeof text, "i%x o%x c%x l%x s%u", tio.c_iflag, tio.c_oflag, tio.c_cflag, tio.c_lflag,
             static_cast<unsigned>(cfgetospeed(&tio)));
    return text;
}

// A process other than us holding the port side open, as a modem program or a getty would.
void Hold(SimProc &holder, const Sandbox &sb, const std::string &device)
{
    std::string node = PortNode(sb, device);
    ASSERT_TRUE(SimStart(holder, "/bin/sh", {"-c", "exec 3<>" + node + " && echo holding && exec sleep 600"}));
    ASSERT_TRUE(SimWaitFor(holder, "holding", WAIT_MS));
}

// A pid that has ended: a child reaped at once.
pid_t DeadPid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

void WriteLock(const Sandbox &sb, const std::string &name, pid_t pid)
{
    char text[16];
    snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    SandboxWriteFile(sb, "/run/lock/LCK.." + name, text);
}

// Fills what the port side may send until the far end reads: nobody ever does.
void FillOutput(FakePort &port)
{
    int flags = fcntl(port.slave, F_GETFL);
    fcntl(port.slave, F_SETFL, flags | O_NONBLOCK);
    char block[4096] = {};
    // The kernel moves bytes on to the far end's read buffer a moment later: full is when no
    // room comes back for a while.
    for (;;) {
        while (write(port.slave, block, sizeof block) > 0) {
        }
        struct pollfd p = {port.slave, POLLOUT, 0};
        if (poll(&p, 1, 200) <= 0)
            break;
    }
    fcntl(port.slave, F_SETFL, flags);
}

}  // namespace

class QuilmoctlProbe : public QuilmoctlTest {
protected:
    void SetUp() override
    {
        QuilmoctlTest::SetUp();
        std::filesystem::create_directories(SandboxPath(sb, "/run/lock"));
        chmod(SandboxPath(sb, "/run/lock").c_str(), 01777);
    }
};

// Each node as it is met in the field: free and silent, held by another program, locked by a
// live process, locked by one long gone. Only the free ones are asked; the held one keeps its
// line, its pending input and its far end hears nothing.
TEST_F(QuilmoctlProbe, ListProbesOnlyNodesNobodyHoldsOrLocks)
{
    for (const char *dev : {"/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyS4"})
        SandboxAddPort(sb, dev);
    FakePort &held = SandboxPort(sb, "/dev/ttyS2");
    SetModemLine(held);
    WriteBytes(held.master, Bytes{'A', 'T', 'Z', 'O', 'K'});  // input the holder has not read yet
    for (long long deadline = SimNowMs() + WAIT_MS; Queued(held.slave) < 5 && SimNowMs() < deadline;)
        usleep(1000);  // the kernel hands bytes on a moment after the write
    const std::string heldLine = LineOf(held);
    const int heldInput = Queued(held.slave), heldOutput = Queued(held.master);
    SimProc holder;
    Hold(holder, sb, "/dev/ttyS2");
    WriteLock(sb, "ttyS3", getpid());
    pid_t dead = DeadPid();
    WriteLock(sb, "ttyS4", dead);
    SandboxWriteConfig(sb, {});
    CtlResult r = Ctl(sb, {"list", "--probe"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/dev/ttyS1: not configured, free, no controller answered\n"
                     "/dev/ttyS2: not configured, free, not probed: held by pid " + std::to_string(holder.pid) +
                     " (sleep)\n"
                     "/dev/ttyS3: not configured, free, not probed: locked by pid " + std::to_string(getpid()) +
                     " (/run/lock/LCK..ttyS3)\n"
                     "/dev/ttyS4: not configured, free, no controller answered\n");
    EXPECT_EQ(LineOf(held), heldLine);
    EXPECT_EQ(Queued(held.slave), heldInput) << "the holder's input was flushed";
    EXPECT_EQ(Queued(held.master), heldOutput) << "something was written to the held port";
    EXPECT_EQ(Queued(SandboxPort(sb, "/dev/ttyS1").master), 16) << "two identification requests";
    // The live lock stays; the stale one was taken over, and ours was removed after the probe.
    EXPECT_TRUE(SandboxExists(sb, "/run/lock/LCK..ttyS3"));
    EXPECT_FALSE(SandboxExists(sb, "/run/lock/LCK..ttyS4"));
    EXPECT_FALSE(SandboxExists(sb, "/run/lock/LCK..ttyS1"));
    ExpectFailure(Ctl(sb, {"probe", "/dev/ttyS2"}), 1, "/dev/ttyS2: held by pid " + std::to_string(holder.pid));
    ExpectFailure(Ctl(sb, {"send", "/dev/ttyS3", "0"}), 1, "/dev/ttyS3: locked by pid");
    EXPECT_EQ(Queued(held.master), heldOutput);
    SimStop(holder);
}

// A line whose output never drains (its far end reads nothing, or its flow was stopped) is
// given up within the write deadline, and given back as it was.
TEST_F(QuilmoctlProbe, OutputThatCannotDrainEndsTheTalkWithAMessage)
{
    FakePort &full = SandboxAddPort(sb, "/dev/ttyS5");
    FakePort &stopped = SandboxAddPort(sb, "/dev/ttyS6");
    FillOutput(full);  // raw, as made: output processing would leave room for a few bytes
    SetModemLine(full);
    SetModemLine(stopped);
    ASSERT_EQ(tcflow(stopped.slave, TCOOFF), 0);
    const std::string fullLine = LineOf(full), stoppedLine = LineOf(stopped);
    const std::vector<std::vector<std::string>> runs = {
        {"probe", "/dev/ttyS5"}, {"send", "/dev/ttyS5", "0"}, {"probe", "/dev/ttyS6"}, {"send", "/dev/ttyS6", "8"}};
    for (const auto &args : runs)
        ExpectFailure(Ctl(sb, args), 1, args[1] + ": output does not drain");
    SandboxWriteConfig(sb, {});
    CtlResult list = Ctl(sb, {"list", "--probe"});
    EXPECT_NE(list.out.find("/dev/ttyS5: not configured, free, output does not drain"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("/dev/ttyS6: not configured, free, output does not drain"), std::string::npos) << list.out;
    EXPECT_EQ(LineOf(full), fullLine);
    EXPECT_EQ(LineOf(stopped), stoppedLine);
    EXPECT_EQ(Queued(stopped.master), 0);
}

// SIGINT, SIGTERM or SIGHUP while a command waits for its reply: the line comes back as it was.
TEST_F(QuilmoctlProbe, StopSignalsGiveTheLineBack)
{
    FakePort &port = SandboxAddPort(sb, "/dev/ttyS1");
    SetModemLine(port);
    const std::string before = LineOf(port);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SimProc &p = Background({"send", "/dev/ttyS1", "0"});
        long long deadline = SimNowMs() + WAIT_MS;
        while (Queued(port.master) < 8 && SimNowMs() < deadline)
            usleep(1000);
        ASSERT_GE(Queued(port.master), 8) << "the command never came";
        EXPECT_NE(LineOf(port), before) << "the line is set for the talk meanwhile";
        kill(p.pid, sig);
        CtlResult r = CtlFinish(p);
        EXPECT_EQ(r.status, 1) << sig;
        EXPECT_EQ(r.err, "quilmoctl: /dev/ttyS1: interrupted; its line is set back as it was\n") << sig;
        EXPECT_EQ(LineOf(port), before) << sig;
        ReadAvailable(port.master);
        EXPECT_FALSE(SandboxExists(sb, "/run/lock/LCK..ttyS1")) << sig;
    }
}

// A controller whose reply fails its checksum is told apart from one that is not there.
TEST_F(QuilmoctlProbe, BadChecksumsAreSaidAsSuch)
{
    SimProc sim;
    ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim",
                         {"--controller", "--fault", "badsum", SandboxPath(sb, "/dev/ttyUSB3")}));
    ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
    ExpectFailure(Ctl(sb, {"probe", "/dev/ttyUSB3"}), 1, "/dev/ttyUSB3: answered with a bad checksum");
    SandboxWriteConfig(sb, {});
    ExpectOk(Ctl(sb, {"list", "--probe"}), "/dev/ttyUSB3: not configured, free, answered with a bad checksum\n");
    SimStop(sim);
}

// A user who cannot see every process's descriptors cannot know the port is free: it is left
// alone, even though that user could open it.
TEST_F(QuilmoctlProbe, AnUnknownHolderIsTakenForAHolder)
{
    constexpr uid_t USER_ID = 54321;
    constexpr gid_t GROUP_ID = 54322;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run quilmoctl as another user beside root's processes";
    std::string program = SandboxPath(sb, "/usr/bin/quilmoctl");
    std::error_code ec;
    std::filesystem::create_directories(SandboxPath(sb, "/usr/bin"));
    std::filesystem::copy_file(QUILMOD_BIN_DIR "/quilmoctl", program, ec);
    if (ec || chmod(program.c_str(), 0755) != 0 || chmod(sb.root.c_str(), 0755) != 0)
        GTEST_SKIP() << "cannot copy quilmoctl to " << program << ": " << ec.message();
    if (RunProgram({program, "--version"}, {}, {USER_ID, GROUP_ID, {}}).status != 0)
        GTEST_SKIP() << "another user cannot run " << program << " here";
    FakePort &port = SandboxAddPort(sb, "/dev/ttyS1");
    SetModemLine(port);
    ASSERT_EQ(chmod(PortNode(sb, "/dev/ttyS1").c_str(), 0666), 0);
    const std::string before = LineOf(port);
    SimProc holder;
    Hold(holder, sb, "/dev/ttyS1");  // root's: not to be seen by the user
    Outcome r = RunProgram({program, "probe", "/dev/ttyS1"}, {"QUILMOD_ROOT=" + sb.root}, {USER_ID, GROUP_ID, {}});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("quilmoctl: /dev/ttyS1: maybe held: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("descriptors cannot be seen (run as root)"), std::string::npos) << r.out;
    EXPECT_EQ(Queued(port.master), 0) << "the user's probe wrote to a port root's process holds";
    EXPECT_EQ(LineOf(port), before);
    SimStop(holder);
}

// list prints each node once it is done: while a later node's talk still runs, the lines of the
// nodes before it have reached its output.
TEST_F(QuilmoctlProbe, ListShowsEachNodeAsItIsDone)
{
    SandboxAddPort(sb, "/dev/ttyS1");
    FakePort &stuck = SandboxAddPort(sb, "/dev/ttyS2");
    SetModemLine(stuck);
    ASSERT_EQ(tcflow(stuck.slave, TCOOFF), 0);  // its talk lasts the write deadline
    const std::string before = LineOf(stuck);
    SandboxWriteConfig(sb, {});
    SimProc &p = Background({"list", "--probe"});
    long long deadline = SimNowMs() + WAIT_MS;
    while (LineOf(stuck) == before && SimNowMs() < deadline)
        usleep(500);
    ASSERT_NE(LineOf(stuck), before) << "the talk with /dev/ttyS2 was not seen";
    struct pollfd out = {p.out, POLLIN, 0};
    ASSERT_EQ(poll(&out, 1, 0), 1) << "nothing printed while /dev/ttyS2 was being probed";
    std::string first;
    ASSERT_TRUE(SimWaitFor(p, "/dev/ttyS1: ", WAIT_MS, &first));
    EXPECT_EQ(first, "/dev/ttyS1: not configured, free, no controller answered");
    CtlResult r = CtlFinish(p);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(LineOf(stuck), before);
}
