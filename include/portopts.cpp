// The Port line's options: key=value words after the device, each checked on its own.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "portopts.h"

bool ValidConnector(std::string_view name)
{
    if (name.empty() || name.size() >= CONNECTOR_SIZE)
        return false;
    for (unsigned char c : name)
        if (!isalnum(c) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

// A decimal number 1..SIZE_MM_MAX that is all of text; 0 when it is not one.
static int millimetres(std::string_view text)
{
    if (text.empty() || text.size() > 5)
        return 0;
    int v = 0;
    for (unsigned char c : text) {
        if (!isdigit(c))
            return 0;
        v = v * 10 + (c - '0');
    }
    return v <= SIZE_MM_MAX ? v : 0;
}

// "WxH" in millimetres, both 1..SIZE_MM_MAX. Null when taken, else why not.
static const char *parse_size(std::string_view v, PortOptions *o)
{
    size_t x = v.find_first_of("xX");
    if (x == std::string_view::npos)
        return "the size is WIDTHxHEIGHT in millimetres";
    int w = millimetres(v.substr(0, x)), h = millimetres(v.substr(x + 1));
    if (w == 0 || h == 0)
        return "each side is a whole number of millimetres from 1 to 10000";
    o->widthMm = w;
    o->heightMm = h;
    return nullptr;
}

struct Seen {
    bool output = false, size = false;
};

// One word; null when taken, else why not.
static const char *take_word(std::string_view word, PortOptions *o, Seen *seen)
{
    if (word.size() > OPTION_WORD_MAX)
        return "too long";
    size_t eq = word.find('=');
    if (eq == std::string_view::npos)
        return "not KEY=VALUE";
    std::string_view key = word.substr(0, eq), value = word.substr(eq + 1);
    if (key == "output") {
        if (seen->output)
            return "output given twice";
        seen->output = true;
        if (!ValidConnector(value))
            return "not a connector name (like HDMI-A-1)";
        memcpy(o->output, value.data(), value.size());
        o->output[value.size()] = '\0';
        return nullptr;
    }
    if (key == "size") {
        if (seen->size)
            return "size given twice";
        seen->size = true;
        return parse_size(value, o);
    }
    return "unknown key (output=CONNECTOR, size=WxH)";
}

static void note(char *notes, size_t size, std::string_view device, std::string_view word, const char *why)
{
    size_t used = strnlen(notes, size);
    if (used + 1 >= size)
        return;
    snprintf(notes + used, size - used, "Port %.*s: option \"%.*s\" ignored: %s\n", (int)std::min<size_t>(device.size(), 100),
             device.data(), (int)std::min<size_t>(word.size(), 40), word.data(), why);
}

int ParsePortOptions(std::string_view device, std::string_view text, PortOptions *o, char *notes,
                     size_t notesSize)
{
    *o = PortOptions{};
    if (notesSize)
        notes[0] = '\0';
    Seen seen;
    int ignored = 0;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isspace((unsigned char)text[i]))
            i++;
        size_t start = i;
        while (i < text.size() && !isspace((unsigned char)text[i]) && text[i] != '\0')
            i++;
        if (i == start)
            break;  // the end, or a NUL: nothing after it is the line's
        const char *why = take_word(text.substr(start, i - start), o, &seen);
        if (why) {
            note(notes, notesSize, device, text.substr(start, i - start), why);
            ignored++;
        }
    }
    return ignored;
}
