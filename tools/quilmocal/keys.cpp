// quilmocal's cancel keys: the controlling terminal in raw mode where no window takes keys (the
// console backend, targets on a terminal alone), and which key is q in a Wayland seat's keymap.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <vector>

#include "cal.h"

constexpr char ESC = '\x1b';

static int ttyFd = -1;
static termios saved;
static bool changed, keyCancelled;

bool CancelKeys(const char *bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] == 'q' || bytes[i] == 'Q')
            return true;
        // Escape alone; "ESC [" and "ESC O" begin the sequences of arrows and function keys.
        if (bytes[i] == ESC && (i + 1 == n || (bytes[i + 1] != '[' && bytes[i + 1] != 'O')))
            return true;
    }
    return false;
}

// Keys one at a time, unechoed; the signal keys (Ctrl-C) and the output's line ends stay.
// A run in the background leaves the terminal alone: changing it would stop the process.
void TtyKeysBegin()
{
    if (ttyFd >= 0)
        return;
    ttyFd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ttyFd < 0)
        return;
    if (tcgetattr(ttyFd, &saved) != 0 || tcgetpgrp(ttyFd) != getpgrp()) {
        close(ttyFd);
        ttyFd = -1;
        return;
    }
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1, raw.c_cc[VTIME] = 0;
    changed = tcsetattr(ttyFd, TCSANOW, &raw) == 0;
    static bool registered;
    if (!registered)
        registered = atexit(TtyKeysEnd) == 0;
}

int TtyKeysFd()
{
    return ttyFd;
}

bool TtyKeysCancelled()
{
    char buf[64];
    for (ssize_t n; ttyFd >= 0 && !keyCancelled && (n = read(ttyFd, buf, sizeof buf)) > 0;)
        keyCancelled = CancelKeys(buf, static_cast<size_t>(n));
    return keyCancelled;
}

void TtyKeysEnd()
{
    if (ttyFd < 0)
        return;
    if (changed)
        tcsetattr(ttyFd, TCSANOW, &saved);
    close(ttyFd);
    ttyFd = -1;
    changed = false;
}

// ---- the keymap a Wayland compositor sends: XKB's text form ----

namespace {

constexpr int XKB_EVDEV_OFFSET = 8;  // XKB's key codes are the kernel's plus 8
constexpr int EVDEV_CODE_MAX = 0x2ff;
constexpr int ALIAS_HOPS = 4;

struct KeyName {
    std::string_view name;  // without its angle brackets
    int code;               // or -1 for an alias
    std::string_view target;
};

std::string_view trimmed(std::string_view s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The body between the braces after the first "word", or empty.
std::string_view section(std::string_view text, std::string_view word)
{
    size_t at = text.find(word);
    const size_t open = at == std::string_view::npos ? at : text.find('{', at);
    if (open == std::string_view::npos)
        return {};
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        depth += text[i] == '{' ? 1 : text[i] == '}' ? -1 : 0;
        if (depth == 0)
            return text.substr(open + 1, i - open - 1);
    }
    return {};
}

std::string_view bracketed(std::string_view s)  // "<NAME>..." -> NAME
{
    const size_t close = s.find('>');
    return s.size() > 1 && s[0] == '<' && close != std::string_view::npos ? s.substr(1, close - 1) : std::string_view{};
}

// "<NAME> = 24" and "alias <A> = <B>" of the keycodes section.
std::vector<KeyName> key_names(std::string_view body)
{
    std::vector<KeyName> names;
    for (size_t at = 0; at < body.size();) {
        size_t end = body.find(';', at);
        end = end == std::string_view::npos ? body.size() : end;
        std::string_view st = trimmed(body.substr(at, end - at));
        at = end + 1;
        const bool alias = st.starts_with("alias");
        if (alias)
            st = trimmed(st.substr(5));
        const size_t eq = st.find('=');
        const std::string_view name = bracketed(st), value = eq == st.npos ? "" : trimmed(st.substr(eq + 1));
        if (name.empty() || value.empty())
            continue;
        if (alias)
            names.push_back({name, -1, bracketed(value)});
        else if (value.size() <= 4 && value.find_first_not_of("0123456789") == std::string_view::npos)
            names.push_back({name, atoi(std::string(value).c_str()), {}});
    }
    return names;
}

int code_of(const std::vector<KeyName> &names, std::string_view name)
{
    for (int hop = 0; hop <= ALIAS_HOPS; ++hop) {
        const KeyName *found = nullptr;
        for (const KeyName &n : names)
            if (n.name == name)
                found = &n;
        if (!found)
            return -1;
        if (found->code >= 0)
            return found->code;
        name = found->target;
    }
    return -1;
}

// Whether a key's body ("[ q, Q ]", or "type= ..., symbols[Group2]= [ q, Q ]") gives keysym
// unshifted in any group.
bool gives(std::string_view body, std::string_view keysym)
{
    for (size_t at = 0, depth = 0, start = 0; at <= body.size(); ++at) {
        const char c = at < body.size() ? body[at] : ',';
        depth += c == '[' ? 1 : c == ']' && depth ? -1 : 0;
        if (c != ',' || depth)
            continue;
        std::string_view entry = trimmed(body.substr(start, at - start));
        start = at + 1;
        if (entry.starts_with("symbols["))
            entry = trimmed(entry.substr(std::min(entry.size(), entry.find("]=") + 2)));
        if (entry.starts_with('[') && trimmed(entry.substr(1, entry.find_first_of(",]") - 1)) == keysym)
            return true;
    }
    return false;
}

}  // namespace

std::vector<uint32_t> KeymapKeysOf(std::string_view keymap, std::string_view keysym)
{
    std::vector<uint32_t> codes;
    const std::vector<KeyName> names = key_names(section(keymap, "xkb_keycodes"));
    const std::string_view symbols = section(keymap, "xkb_symbols");
    for (size_t at = 0; (at = symbols.find("key <", at)) != std::string_view::npos;) {
        const std::string_view name = bracketed(symbols.substr(at + 4));
        const size_t open = symbols.find('{', at), close = symbols.find("};", at);
        if (name.empty() || open == std::string_view::npos || close == std::string_view::npos || open > close)
            break;
        at = close + 2;
        const int code = code_of(names, name) - XKB_EVDEV_OFFSET;
        if (code > 0 && code <= EVDEV_CODE_MAX && gives(symbols.substr(open + 1, close - open - 1), keysym))
            codes.push_back(static_cast<uint32_t>(code));
    }
    return codes;
}
