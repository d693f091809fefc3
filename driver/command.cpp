// The command channel: one "[code]word" command per read of /dev/qvcmdin.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "quilmod.h"

enum CommandCode {
    CMD_DUMP_SETTING = 7172,
    CMD_SHARE_PORT = 7173,
    CMD_CLOSE_PORT = 7174,
    CMD_RIGHT_BUTTON = 7177,
    CMD_RESET = 7178,
    CMD_EXIT = 7179,
    CMD_SET_MODE = 7180,
    CMD_SET_SOUND = 7181,
    CMD_SET_CURSOR = 7182,
    CMD_SET_DRAG_DELAY = 7183,
    CMD_SET_DBLCLICK_AREA = 7184,
    CMD_RCLICK_ON = 7185,
    CMD_RCLICK_OFF = 7186,
    CMD_RCLICK_ON_LATER = 7187,
    CMD_FLUSH = 7188,
    CMD_LEFT_BUTTON = 7189,
    CMD_RCLICK_NEW = 7191,
    CMD_GET_MODE = 7192,
    CMD_SET_RCLICK_HOLD = 7193,
    CMD_GET_RCLICK = 7194,
};

constexpr size_t CMD_TEXT = 500;
constexpr int RIGHT_BUTTON = 3;
constexpr int LEFT_BUTTON = 1;
constexpr int RCLICK_LATER_SECONDS = 2;

// "[%d]%s": '[' first, the code (white space and a sign allowed), ']' right after the
// digits, then a word after optional white space. 1 = both items found.
static int parse_command(const char *text, int *code, char *word, size_t size)
{
    if (*text++ != '[' || !ScanInt(&text, code) || *text++ != ']')
        return 0;
    while (isspace((unsigned char)*text))
        text++;
    size_t n = 0;
    while (text[n] && !isspace((unsigned char)text[n]) && n + 1 < size)
        n++;
    if (n == 0)
        return 0;
    memcpy(word, text, n);
    word[n] = '\0';
    return 1;
}

// A button request never splits a touch: during one it applies to the next.
static void request_button(int button)
{
    if (TouchSetting.touched)
        TouchSetting.nextButton = button;
    else
        TouchSetting.thisButton = button;
}

static void set_mode(int mode)
{
    TouchSetting.mode = mode;
    if (RClickPid) {
        unsigned char msg[2] = {(unsigned char)(48u + (unsigned)mode), '\n'};
        PipeWrite(MsgPipe[1], msg, sizeof msg);
    }
}

static void reply_mode()
{
    char reply[32];
    int n = snprintf(reply, sizeof reply, "M%d\n", TouchSetting.mode);
    PipeWrite(fdCmdOut, reply, n);
}

// A hold the long press cannot use changes nothing; the touch in progress keeps its own.
static void set_rclick_hold(int ms)
{
    if (RClickHoldAllowed(ms))
        TouchSetting.rClickHold = ms;
    else
        printf("right-click hold %d refused: 0, or %d to %d ms; it stays %d\n", ms, RCLICK_HOLD_MIN,
               RCLICK_HOLD_MAX, TouchSetting.rClickHold);
}

// Sleeps the whole time even when the beep timer's alarm cuts a sleep short.
static void sleep_seconds(int seconds)
{
    struct timespec left = {seconds, 0};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

// A command that came after a reset request while that reset may not run yet: it runs once the
// reset has (the loop reads no other command meanwhile).
static int heldCode;
static char heldWord[CMD_TEXT];
static int held;

static void hold_command(int code, const char *word)
{
    heldCode = code;
    snprintf(heldWord, sizeof heldWord, "%s", word);
    held = 1;
}

static void run_command(int code, char *word)
{
    Setting &s = TouchSetting;
    // A command sent after a reset request finds the reset done.
    if (code != CMD_RESET && ResetBeforeCommand() != 0) {
        hold_command(code, word);
        return;
    }
    switch (code) {
    case CMD_DUMP_SETTING: DumpSetting(); break;
    case CMD_SHARE_PORT: SharePort(word); break;
    case CMD_CLOSE_PORT: ClosePort(word); break;
    case CMD_RIGHT_BUTTON: request_button(RIGHT_BUTTON); break;
    case CMD_RESET: RequestReset(0); break;
    case CMD_EXIT: exit(0);
    case CMD_SET_MODE: set_mode(AtoiSat(word)); break;
    case CMD_SET_SOUND: s.soundMode = AtoiSat(word); break;
    case CMD_SET_CURSOR: s.cursorMode = AtoiSat(word); break;
    case CMD_SET_DRAG_DELAY: s.drag_delay = AtoiSat(word); break;
    case CMD_SET_DBLCLICK_AREA: s.dblClickArea = AtoiSat(word); break;
    case CMD_RCLICK_ON: RClickToolOn(); break;
    case CMD_RCLICK_OFF: RClickToolOff(); break;
    case CMD_RCLICK_ON_LATER:
        sleep_seconds(RCLICK_LATER_SECONDS);
        RClickToolOn();
        break;
    case CMD_FLUSH: FlushOutput(); break;
    case CMD_LEFT_BUTTON: request_button(LEFT_BUTTON); break;
    case CMD_RCLICK_NEW: RClickToolNew(RClickWanted); break;  // shown as it was
    case CMD_GET_MODE: reply_mode(); break;
    case CMD_SET_RCLICK_HOLD: set_rclick_hold(AtoiSat(word)); break;
    case CMD_GET_RCLICK: RClickReply(); break;
    default: break;  // unknown codes are ignored
    }
}

void ProcessCommand()
{
    beep_off();
    char text[CMD_TEXT + 1];
    ssize_t n = read(fdCmdIn, text, CMD_TEXT);
    if (n <= 0)
        return;
    text[n] = '\0';
    int code;
    char word[CMD_TEXT];
    if (parse_command(text, &code, word, sizeof word))
        run_command(code, word);
}

int CommandHeld()
{
    return held;
}

void RunHeldCommand()
{
    if (!held)
        return;
    held = 0;
    char word[CMD_TEXT];
    snprintf(word, sizeof word, "%s", heldWord);  // it may be held again, into heldWord
    run_command(heldCode, word);
}
