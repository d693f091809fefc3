// The client side of quilmod's FIFOs, shared by every tool: messages, numbers, the command
// channel (lock, deadlines, replies), the daemon's pid, sessions that end on a signal, a count
// or a time-out, port sharing, the frame cutter of the data pipes, and controllers on free ports.
#pragma once
#include <array>
#include <csignal>
#include <cstddef>
#include <span>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

#include "quilmod.h"

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

constexpr char CMD_IN[] = "/dev/qvcmdin";
constexpr char CMD_OUT[] = "/dev/qvcmdout";
constexpr char SHR_IN[] = "/dev/qvshrin";
constexpr char SHR_OUT[] = "/dev/qvshrout";
constexpr char WATCH_PIPE[] = "/dev/qvdat1";  // qvdat0 stays with the display server's reader
constexpr char DAEMON_PID_FILE[] = "/var/run/quilmod.pid";
constexpr char DAEMON_NAME[] = "quilmod";     // its command name in /proc/PID/comm

constexpr int CMD_DUMP = 7172;
constexpr int CMD_SHARE = 7173;
constexpr int CMD_CLOSE_PORT = 7174;
constexpr int CMD_RIGHT_BUTTON = 7177;
constexpr int CMD_RESET = 7178;
constexpr int CMD_EXIT = 7179;
constexpr int CMD_MODE = 7180;
constexpr int CMD_SOUND = 7181;
constexpr int CMD_CURSOR = 7182;
constexpr int CMD_DRAG_DELAY = 7183;
constexpr int CMD_DBLCLICK_AREA = 7184;
constexpr int CMD_RCLICK_ON = 7185;
constexpr int CMD_RCLICK_OFF = 7186;
constexpr int CMD_RCLICK_LATER = 7187;
constexpr int CMD_FLUSH = 7188;
constexpr int CMD_LEFT_BUTTON = 7189;
constexpr int CMD_RCLICK_NEW = 7191;
constexpr int CMD_GET_MODE = 7192;

constexpr long long TAKE_MS = 5000;   // daemon reads a command; 'rclick later' holds it 2 s
constexpr long long REPLY_MS = 1000;  // a reply later than this is an error, not a hang
constexpr long long STOP_MS = 5000;   // the daemon's process ends after 'stop'
constexpr size_t MAX_WORD = 480;      // device names, so "[code]word\n" always fits
constexpr size_t REPLY_LINE = 128;
constexpr size_t IO_CHUNK = 4096;

// ---- messages, time, numbers ----

// The program name that starts every message ("quilmoctl: ..."); set once by main.
extern const char *clientName;

// One line on standard error; returns status, for the caller to return in turn.
int Complain(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

long long NowMs();
void SleepMs(int ms);
int MsUntil(long long deadline);  // 0 once it has passed

// A whole word of decimal digits, a leading '-' allowed, within lo..hi.
bool ParseNumber(const char *s, long lo, long hi, long *out);
// One word of printable characters, as the daemon takes a command's argument.
bool ValidWord(const char *s);
void HexText(const unsigned char *p, size_t n, char *out, size_t size);  // "0A FF ..."
void Printable(const char *in, size_t n, char *out, size_t size);       // unprintable -> '?'
void CloseFd(int *fd);

// ---- the daemon's FIFOs ----

// ROOT + path, or false after a message when it does not fit.
bool ClientRootPath(char (&out)[QLM_PATH], const char *path);
// Opens one of the daemon's FIFOs (non-blocking), never anything else; -1 after a message.
int OpenFifo(const char *path, int flags);
// Reads away what a FIFO holds now. false when reading failed.
bool DrainFifo(int fd);

// ---- the command channel ----

// One transaction: the command FIFO (locked against other tools) and, for commands that are
// answered, the reply FIFO.
struct Channel {
    int in = -1;
    int out = -1;
};

// With reply, the reply FIFO too (SendCommand reads stale replies away). false after a message.
bool ChannelOpen(Channel *ch, bool reply);
void ChannelClose(Channel *ch);
// Writes "[code]word\n" once the FIFO is empty and waits until the daemon has taken it.
bool SendCommand(const Channel &ch, int code, const char *word);

enum Reply { REPLY_GOT, REPLY_NONE, REPLY_FAILED };
// Waits up to REPLY_MS for a reply line starting with prefix; other lines are passed over.
// REPLY_NONE (nothing in time) is left for the caller to explain; REPLY_FAILED was explained.
Reply AwaitReply(const Channel &ch, std::string_view prefix, char *line, size_t size);
// One command without a reply: EXIT_OK or EXIT_FAIL after a message.
int RunCommand(int code, const char *word);
// Asks for the mouse mode over an open channel. false after a message.
bool QueryMode(const Channel &ch, int *mode);

// ---- the daemon's process ----

// The daemon's pid from its pid file, when that process is alive and is quilmod; else 0.
pid_t DaemonPid();
// Gone, or a zombie its parent has not reaped yet.
bool ProcessStopped(pid_t pid);
// With pid 0: the daemon has ended once nobody reads its command FIFO.
bool DaemonStopped(pid_t pid);

// ---- sessions: run until a signal, a count or a time-out ----

extern volatile sig_atomic_t stopRequested;  // SIGINT, SIGTERM or SIGHUP arrived

struct Session {
    sigset_t waitMask;
    long long deadline = -1;  // -1 = none
    long want = 0;            // items to show, 0 = no limit
    long shown = 0;
    bool outputOpen = true;   // standard output is a descriptor poll can watch
};

constexpr size_t SESSION_FDS = 4;  // the caller's three at most, and standard output

// Catches the stop signals (blocked except while waiting); count 0 = no limit, timeout 0 = none.
void SessionStart(Session *s, long count, long timeoutS);
// 1 = go on, 0 = the session is over (signal, count, time, or nobody reads our output any
// more), -1 = failed after a message. unit names the items in the time-out message.
int SessionWait(Session *s, std::span<struct pollfd> fds, const char *unit);
// Flushes standard output; true when it went away (a failure other than EPIPE clears *ok).
bool OutputFailed(bool *ok);

// ---- sharing a port's raw stream ----

struct Share {
    int out = -1;    // /dev/qvshrout: the port's bytes
    int in = -1;     // /dev/qvshrin: bytes for the port
    bool raw = false;
    bool input = true;  // standard input still open
    bool daemonGone = false;
    bool shared = false;  // the daemon said SHROK: sharing must be ended
    std::array<unsigned char, IO_CHUNK> pending{};
    size_t pendingAt = 0, pendingLen = 0;
};

// Opens the share FIFOs, asks for the port and waits until the daemon has switched to it.
// false after a message; ShareClose in either case.
bool ShareBegin(Share *sh, const char *device);
// Port bytes from the daemon into buf: > 0 bytes, 0 nothing now, -1 ended after a message.
ssize_t ShareRead(Share *sh, unsigned char *buf, size_t size);
// Copies the port's bytes to standard output (hex or raw) and standard input to the port.
bool ShareLoop(Session *s, Share *sh);
void ShareClose(Share *sh);
// A name that matches no port ends all sharing.
bool ShareEnd();

// ---- the frames of the data pipes ----

// 5-byte frames:
//   byte 0: 1 0 R 0 0 0 0 T   (0x80 always, R 0x20 right button, T 0x01 touch; else 0)
//   bytes 1-2: x, high byte first; bytes 3-4: y, high byte first
constexpr size_t FRAME_LEN = 5;
constexpr unsigned char FRAME_MARK = 0x80, FRAME_TOUCH = 0x01, FRAME_RIGHT = 0x20;

struct FrameCutter {
    std::array<unsigned char, FRAME_LEN> frame{};
    size_t have = 0;
};

// true when b completed a frame in fc->frame; bytes that start no frame are skipped.
bool FrameFeed(FrameCutter *fc, unsigned char b);
// "touch|release [right] x=X y=Y"
void FrameText(const unsigned char *frame, char *out, size_t size);
// Opens /dev/qvdat1 for reading once the daemon is known to run, with old frames read away.
int OpenWatchPipe();
// Prints each frame as FrameText does, one line each, until the session ends.
bool WatchLoop(Session *s, int fd);

// ---- a controller on a port the daemon does not hold ----

// true when the daemon (going by its pid file) has the character device dev open.
bool HeldByDaemon(const struct stat &dev);
// Opens the port raw at 9600 baud; -1 after a message. A port the daemon holds is refused.
int OpenController(const char *device);
void CloseController(int fd);
