// Fuzz target: the command channel. Whatever text one read brings, the command run is the one
// sscanf("[%d]%s") finds, with the word's number as atoi reads it; anything else changes nothing.
#include <cstring>

#include "fuzzhelp.h"
#include "quilmod.h"
#include "text.h"

namespace {

int cmdFeed = -1, replyReader = -1;

// Codes whose effects reach beyond the settings record (a reset, the exit, the right-click
// tool, a two-second sleep, the data pipes, a reply that tells of the display and the tool):
// the target never sends them.
bool left_out(int code)
{
    switch (code) {
    case 7178: case 7179: case 7185: case 7186: case 7187: case 7188: case 7191: case 7194:
        return true;
    default:
        return false;
    }
}

// The code as sscanf's %d read it, or 0 when its digits lie outside the int range (sscanf's
// value is then undefined; the daemon must treat it as a code outside the table).
int code_of(const char *text, int scanned)
{
    char *end;
    errno = 0;
    long v = strtol(text + 1, &end, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return 0;
    return scanned;
}

Setting expected_after(const Setting &before, int code, const char *word, std::string *reply)
{
    Setting s = before;
    int number = 0;
    ScanLong(word, &number);
    int button = code == 7177 ? 3 : 1;
    switch (code) {
    case 7177: case 7189: (s.touched ? s.nextButton : s.thisButton) = button; break;
    case 7180: s.mode = number; break;
    case 7181: s.soundMode = number; break;
    case 7182: s.cursorMode = number; break;
    case 7183: s.drag_delay = number; break;
    case 7184: s.dblClickArea = number; break;
    case 7192: *reply = "M" + std::to_string(s.mode) + "\n"; break;
    case 7193: {
        int ms = AtoiSat(word);
        if (ms == 0 || (ms >= 300 && ms <= 3000))  // the long press's range; others change nothing
            s.rClickHold = ms;
        break;
    }
    default: break;
    }
    return s;
}

bool same_settings(const Setting &a, const Setting &b)
{
    return a.mode == b.mode && a.soundMode == b.soundMode && a.cursorMode == b.cursorMode &&
           a.drag_delay == b.drag_delay && a.dblClickSpeed == b.dblClickSpeed && a.dblClickArea == b.dblClickArea &&
           a.thisButton == b.thisButton && a.nextButton == b.nextButton && a.rClickTool == b.rClickTool &&
           a.rClickHold == b.rClickHold;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    int fds[2];
    NonblockingPipe(fds);
    fdCmdIn = fds[0];
    cmdFeed = fds[1];
    NonblockingPipe(fds);
    replyReader = fds[0];
    fdCmdOut = fds[1];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 501)
        return -1;
    // The first byte sets the touch state; the rest is what one read of the FIFO brings.
    char text[501] = {};
    memcpy(text, data + 1, size - 1);
    int code = 0;
    char word[501];
    int items = sscanf(text, "[%d]%s", &code, word);
    if (items == 2)
        code = code_of(text, code);
    if (items == 2 && left_out(code))
        return -1;

    TouchSetting = Setting{};
    TouchSetting.touched = data[0] & 1;
    TouchSetting.thisButton = 5;
    TouchSetting.nextButton = 6;
    TouchSetting.mode = (int8_t)data[0] >> 1;
    Setting before = TouchSetting;
    std::string reply;
    Setting want = items == 2 ? expected_after(before, code, word, &reply) : before;

    if (write(cmdFeed, data + 1, size - 1) != (ssize_t)(size - 1))
        FuzzFail("pipe write");
    ProcessCommand();
    std::vector<uint8_t> got;
    DrainInto(replyReader, got);
    std::vector<uint8_t> rest;
    DrainInto(fdCmdIn, rest);
    if (!rest.empty())
        FuzzFail("%zu bytes of one command left unread", rest.size());
    if (!same_settings(TouchSetting, want))
        FuzzFail("settings after code %d (%d items) word '%s' differ", code, items, items == 2 ? word : "");
    if (std::string(got.begin(), got.end()) != reply)
        FuzzFail("reply '%.*s' where '%s' was due", (int)got.size(), (const char *)got.data(), reply.c_str());
    return 0;
}
