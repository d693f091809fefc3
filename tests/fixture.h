// Black-box sandbox: runs the real quilmod -d under a private QUILMOD_ROOT with pseudo-terminals
// as controllers, and talks to it through its real FIFOs. Every wait has a deadline.
#pragma once
#include <gtest/gtest.h>
#include <sys/types.h>

#include <deque>
#include <string>
#include <vector>

#include "readfile.h"  // ReadWholeFile

using Bytes = std::vector<unsigned char>;

constexpr int WAIT_MS = 10000;  // generous: the suite must pass on two busy cores

struct FakePort {
    std::string device;  // as the configuration names it, e.g. /dev/ttyS0
    int master = -1;     // our side of the pseudo-terminal
    int slave = -1;      // kept open so the port never hangs up behind a test's back
};

struct Sandbox {
    std::string root;               // the temporary QUILMOD_ROOT
    pid_t pid = -1;                 // the daemon, leader of its own process group
    int out = -1;                   // the daemon's standard output and error
    std::string log;                // everything it printed so far
    size_t seen = 0;                // how far WaitLine has consumed log
    std::deque<FakePort> ports;  // a deque: a port added later never moves the ones a test holds
    int dat[2] = {-1, -1};          // readers of /dev/qvdat0 and /dev/qvdat1
    int cmdOut = -1, shrOut = -1;   // readers of /dev/qvcmdout and /dev/qvshrout
    int exitStatus = -1;            // wait status once the daemon has ended
    std::string replies;            // read from /dev/qvcmdout, not yet consumed
    std::vector<pid_t> others;      // earlier daemons of this sandbox, killed at the end
    std::vector<std::string> wrapper;  // a program that runs the daemon (e.g. strace), if any
};

// Sandbox life: create the root tree, start, stop (kills the process group, removes the root).
void SandboxCreate(Sandbox &sb);
std::string SandboxPath(const Sandbox &sb, const std::string &path);  // ROOT + path
// The ASAN_OPTIONS word for a daemon with a shim preloaded: the shim comes before the
// sanitizer's runtime, which the sanitizer build would otherwise refuse at start.
std::string PreloadAsanOptions();
void SandboxWriteFile(const Sandbox &sb, const std::string &path, const std::string &text, int mode = 0644);
std::string SandboxReadFile(const Sandbox &sb, const std::string &path);
bool SandboxExists(const Sandbox &sb, const std::string &path);
// Where the X server of display :0 keeps its socket, which the daemon waits for before it starts
// the right-click tool. SandboxDisplay puts one there: a link to server's socket, or (server
// empty) a socket file nobody listens on.
const std::string DISPLAY_SOCKET = "/tmp/.X11-unix/X0";
void SandboxDisplay(const Sandbox &sb, const std::string &server = "");
// The right-click tool from the source tree, its parts and its images, where the daemon runs it.
void SandboxInstallRButton(const Sandbox &sb);
// Writes /etc/quilmod.conf with the given Port devices and extra lines.
void SandboxWriteConfig(Sandbox &sb, const std::vector<std::string> &devices, const std::string &extra = "");
// Makes a pseudo-terminal and links its slave at ROOT + device.
FakePort &SandboxAddPort(Sandbox &sb, const std::string &device);
FakePort &SandboxPort(Sandbox &sb, const std::string &device);
// Sends bytes as the controller and waits until the port's input queue is empty again. Best
// effort only: bytes can reach the queue a moment after the write, so assert on effects.
void SendToPort(FakePort &port, const Bytes &bytes);
bool WaitPortDrained(const FakePort &port, int ms = WAIT_MS);

// Starts quilmod with args (default -d); with waitReady, returns once the loop answers a command.
void SandboxStart(Sandbox &sb, const std::vector<std::string> &args = {"-d"}, bool waitReady = true);
// Runs another quilmod in the same root to its end; returns its wait status, output in *output.
int SandboxRunOnce(Sandbox &sb, const std::vector<std::string> &args, std::string *output);
void SandboxStop(Sandbox &sb);
bool SandboxWaitExit(Sandbox &sb, int ms = WAIT_MS);
bool SandboxAlive(const Sandbox &sb);

// Output: waits for a line containing text after what earlier waits consumed.
bool WaitLine(Sandbox &sb, const std::string &text, int ms = WAIT_MS);
void ReadOutput(Sandbox &sb, int ms);  // collects output for up to ms (0: what is there)
int CountLines(Sandbox &sb, const std::string &text);  // in all output so far
std::vector<std::string> Lines(const std::string &text);  // text cut at its line ends

// Commands: writes one and waits until the daemon has read it; Sync waits until it has run it.
void Command(Sandbox &sb, const std::string &text);
void Sync(Sandbox &sb);  // "[7192]x" round trip; the reply is consumed
std::string ModeReply(Sandbox &sb);  // the same, returning the number after "M"
// Waits until text has arrived on /dev/qvcmdout, and consumes it and what came before.
bool WaitReply(Sandbox &sb, const std::string &text, int ms = WAIT_MS);
bool WaitFifoDrained(const Sandbox &sb, const std::string &fifo, int ms = WAIT_MS);

// Bytes: read exactly n from fd within the deadline (what arrived, if fewer).
Bytes ReadBytes(int fd, size_t n, int ms = WAIT_MS);
Bytes ReadAvailable(int fd);  // what is there now
void WriteBytes(int fd, const Bytes &bytes);
int OpenFifo(const Sandbox &sb, const std::string &fifo, int flags);

// Controller packets and output frames.
Bytes Packet(unsigned char status, int x, int y);
Bytes Frame(unsigned char flags, int x, int y);
Bytes ReadFrames(Sandbox &sb, int pipe, size_t count, int ms = WAIT_MS);
std::string Hex(const Bytes &bytes);

// The daemon's open descriptors, from /proc: how many, and what each names.
int CountOpenFds(pid_t pid);
std::vector<std::string> OpenFdTargets(pid_t pid);

// A port's line as a fresh terminal has it (canonical, echoing, 38400), not raw as made.
void SetPortCooked(FakePort &port);
// The pseudo-terminal a sandbox port's link names (e.g. /dev/pts/7).
std::string PortNode(const Sandbox &sb, const std::string &device);

// gtest fixture: one sandbox per test, always stopped.
class DaemonTest : public ::testing::Test {
protected:
    Sandbox sb;
    void SetUp() override { SandboxCreate(sb); }
    void TearDown() override { SandboxStop(sb); }
};
