// quilmoctl's right click: the long press's time, and the right-click means in the status.
#include <cstdio>

#include "client.h"
#include "ctl.h"
#include "service.h"

constexpr long HOLD_MIN_MS = 300;  // the daemon takes 0 (off) or 300 to 3000 ms
constexpr long HOLD_MAX_MS = 3000;

// The means the daemon reports, asked over a channel of the caller's; false when it gave none.
bool AskRClick(const Channel &ch, RClickState *state)
{
    return QueryRClick(ch, state) == REPLY_GOT;
}

static void print_hold(int hold)
{
    if (hold)
        printf("%d ms\n", hold);
    else
        puts("off");
}

int CtlHold(const Subcommand &sub, const Args &args)
{
    if (args.operands == 0) {
        Channel ch;
        if (!ChannelOpen(&ch, true))
            return EXIT_FAIL;
        RClickState state;
        Reply r = QueryRClick(ch, &state);
        ChannelClose(&ch);
        if (r == REPLY_NONE)
            return Complain(EXIT_FAIL, "no reply from quilmod to the right-click query within %lld s",
                            REPLY_MS / 1000);
        if (r != REPLY_GOT)
            return EXIT_FAIL;
        print_hold(state.hold);
        return EXIT_OK;
    }
    long ms;
    if (!ParseNumber(args.operand[0], 0, HOLD_MAX_MS, &ms) || (ms != 0 && ms < HOLD_MIN_MS))
        return Complain(EXIT_USAGE, "%s: '%s' is neither 0 (off) nor %ld to %ld ms", sub.name, args.operand[0],
                        HOLD_MIN_MS, HOLD_MAX_MS);
    char word[32];
    snprintf(word, sizeof word, "%ld", ms);
    return RunCommand(sub.code, word);
}

static const char *tool_text(std::string_view tool)
{
    return tool == "shown" ? "shown" : tool == "hidden" ? "running, hidden" : "not running";
}

static const char *display_text(std::string_view display)
{
    return display == "answers" ? "reachable" : display == "silent" ? "not reachable (a socket nobody serves)"
                                                                    : "not reachable (no socket)";
}

void PrintRClickText(const RClickState *s)
{
    if (!s) {
        puts("right click: unknown (quilmod gave no answer)");
        return;
    }
    printf("right click: long press ");
    if (s->hold)
        printf("%d ms", s->hold);
    else
        printf("off");
    printf("; tool %s; X display :0 %s\n", tool_text(s->tool), display_text(s->display));
}

void PrintRClickJson(const RClickState *s)
{
    if (!s) {
        printf("null");
        return;
    }
    printf("{\"hold_ms\":%d,\"tool\":\"%.*s\",\"display\":\"%.*s\"}", s->hold, static_cast<int>(s->tool.size()),
           s->tool.data(), static_cast<int>(s->display.size()), s->display.data());
}
