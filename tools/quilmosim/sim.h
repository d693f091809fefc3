// quilmosim's shared record and the functions its units call in one another: the script
// (script.cpp), the pseudo-terminal (terminal.cpp), the controller's answers (controller.cpp)
// and its faults (faults.cpp).
#pragma once
#include <array>
#include <csignal>
#include <cstddef>

enum Fault { FAULT_NONE, FAULT_SILENT, FAULT_BADSUM, FAULT_STRAY, FAULT_PIECES, FAULT_NOISE };

constexpr size_t RX_CHUNK = 256;
constexpr long long PIECE_GAP_MS = 10;
constexpr size_t MAX_PENDING = 32;
constexpr size_t PENDING_BYTES = 64;
constexpr int CMD_LEN = 8;

// Bytes the controller sends later (a reply in pieces).
struct Pending {
    long long due;
    size_t len;
    std::array<unsigned char, PENDING_BYTES> bytes;
};

struct Sim {
    int master = -1;
    int slave = -1;               // held open so the master never sees a hang-up
    char slaveName[128] = "";
    const char *link = nullptr;
    bool controller = false;
    Fault fault = FAULT_NONE;
    bool exitAtEnd = false;
    bool quit = false;
    bool portBroken = false;
    unsigned long long rxTotal = 0;
    unsigned long long rxClaimed = 0;  // bytes earlier wait-rx lines waited for
    std::array<unsigned char, CMD_LEN> cmd{};  // command packet being assembled
    int cmdLen = 0;
    std::array<Pending, MAX_PENDING> pending{};
    size_t pendingCount = 0;
    unsigned long lastX = 0;
    unsigned long lastY = 0;
    unsigned long lineNo = 0;
    unsigned long long rng = 1;
    sigset_t waitMask;            // signal mask while waiting: stop signals let through
};

extern Sim sim;
extern volatile sig_atomic_t stopRequested;
constexpr std::array<int, 3> stopSignals = {SIGTERM, SIGINT, SIGHUP};

// ---- script.cpp ----

// "error: line N: ..." on standard error.
void LineError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Decimal number without sign, at most max.
bool ParseUnsigned(const char *s, unsigned long max, unsigned long *out);
// Reads the script from fd line by line, serving the port while the next line is awaited.
void RunScript(int fd);

// ---- terminal.cpp ----

long long NowMs();
// One write attempt for the controller's answers.
void WriteNow(const unsigned char *p, size_t n);
// n bytes to send at due; written at once when the queue is full.
void Schedule(long long due, const unsigned char *p, size_t n);
long long NextDue();  // when the next scheduled bytes are due, -1 = none
enum ServeEnd { SERVE_TIMEOUT, SERVE_READY, SERVE_RX, SERVE_STOP };
// Serves the port until the deadline (-1 = none), until waitFd shows waitEvents, until rxTotal
// reaches rxTarget (0 = no target), or until a stop signal or a broken port.
ServeEnd Serve(long long deadline, int waitFd, short waitEvents, unsigned long long rxTarget);
bool Stopping();  // a stop signal arrived (or waits to be delivered)
// Script output: waits (serving the port) while the terminal's buffer is full.
bool SendBytes(const unsigned char *p, size_t n);
void PauseMs(unsigned long ms);
bool OpenTerminal();
// Points link at the terminal through a temporary name, so the link never goes missing.
bool MakeLink(const char *link);
void RemoveLink();  // only while the link is still ours

// ---- controller.cpp ----

// Assembles command packets from the received bytes and answers them.
void ControllerFeed(unsigned char b);

// ---- faults.cpp ----

bool ParseFault(const char *name, Fault *out);
unsigned char NoiseByte();  // never 0x55, which would look like the start of a packet
void AnswerWithFault(unsigned char *reply);

// ---- replay.cpp ----

// Plays a record file into the terminal: speed 1 its own times, 2 twice as fast, 0 no waits.
// false after a message (the file, a bad line, nobody opening the port).
bool Replay(const char *path, double speed);
