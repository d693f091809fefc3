// The daemon's FIFOs and the command channel: command codes, deadlines, transactions.
#pragma once
#include <cstddef>
#include <string_view>

#include "message.h"
#include "rootpath.h"

constexpr char CMD_IN[] = "/dev/qvcmdin";
constexpr char CMD_OUT[] = "/dev/qvcmdout";
constexpr char SHR_IN[] = "/dev/qvshrin";
constexpr char SHR_OUT[] = "/dev/qvshrout";

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
constexpr int CMD_RCLICK_HOLD = 7193;  // the long press's time in ms, 0 = off
constexpr int CMD_GET_RCLICK = 7194;   // answered "R<hold> <tool> <display>"

constexpr long long TAKE_MS = 5000;   // daemon reads a command; 'rclick later' holds it 2 s
// A reply later than this is an error, not a hang. A command that comes after a reset request
// is answered once that reset has run, which may be 2 s after the reset before it.
constexpr long long REPLY_MS = 3000;
constexpr size_t MAX_WORD = 480;      // device names, so "[code]word\n" always fits
constexpr size_t REPLY_LINE = 128;

// One word of printable characters, as the daemon takes a command's argument.
bool ValidWord(const char *s);

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

// The means of a right click the daemon has: the long press, its tool, the tool's display.
struct RClickState {
    int hold = 0;                   // ms, 0 = off
    std::string_view tool;          // "shown", "hidden" or "none" (not running)
    std::string_view display;       // "answers", "silent" (a socket nobody serves) or "absent"
};
// Asks for them over an open channel. REPLY_NONE, without a message, from a daemon that does
// not know the question; REPLY_FAILED after a message.
Reply QueryRClick(const Channel &ch, RClickState *state);
