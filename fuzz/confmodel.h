// An independent reading of the configuration file's rules, for the targets that check the
// daemon's reader and quilmoctl's against it: lines of 199 characters at most, '#' comments,
// the key as the first word before the first '=', any case, the value's first word.
#pragma once
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzhelp.h"

constexpr size_t CONF_PIECE = 199;  // a line is read 199 characters at a time
constexpr size_t CONF_WORD = 99;    // keys and word values are cut to 99 characters

struct ConfModel {
    int mode = 0, sound = 0, cursor = 1, drag = 18, area = 30, rclick = 0;
    std::vector<std::string> portValues;  // every Port line's value, in file order
};

// The first white-space-delimited word of [s, end), cut to max characters.
inline std::string ConfFirstWord(const char *s, const char *end, size_t max)
{
    while (s < end && isspace((unsigned char)*s))
        s++;
    const char *w = s;
    while (s < end && *s && !isspace((unsigned char)*s))
        s++;
    return std::string(w, std::min((size_t)(s - w), max));
}

inline void ConfSetWord(const char *value, int *field, std::initializer_list<const char *> names)
{
    std::string w = ConfFirstWord(value, value + strlen(value), CONF_WORD);
    int k = 0;
    for (const char *name : names) {
        if (!w.empty() && strcasecmp(w.c_str(), name) == 0)
            *field = k;
        k++;
    }
}

// One line as fgets leaves it: a C string, whatever bytes followed a zero.
inline void ConfModelLine(ConfModel &m, const char *line)
{
    const char *s = line;
    while (isspace((unsigned char)*s))
        s++;
    const char *eq = strchr(line, '=');
    if (*s == '#' || !eq)
        return;
    std::string key = ConfFirstWord(line, eq, CONF_WORD);
    const char *value = eq + 1;
    int *number = nullptr;
    if (strcasecmp(key.c_str(), "MouseMode") == 0)
        ConfSetWord(value, &m.mode, {"DRAWING", "DESKTOP"});
    else if (strcasecmp(key.c_str(), "Sound") == 0)
        ConfSetWord(value, &m.sound, {"None", "Down", "Up"});
    else if (strcasecmp(key.c_str(), "Cursor") == 0)
        ConfSetWord(value, &m.cursor, {"None", "Display"});
    else if (strcasecmp(key.c_str(), "DblClickSpeed") == 0)
        number = &m.drag;
    else if (strcasecmp(key.c_str(), "DblClickArea") == 0)
        number = &m.area;
    else if (strcasecmp(key.c_str(), "RClickTool") == 0)
        number = &m.rclick;
    else if (strcasecmp(key.c_str(), "Port") == 0) {
        std::string device = ConfFirstWord(value, value + strlen(value), CONF_PIECE);
        if (!device.empty())
            m.portValues.push_back(device);
    }
    if (number)
        ScanLong(value, number);
}

inline ConfModel ConfModelFile(const std::string &text)
{
    ConfModel m;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        size_t len = std::min(end == std::string::npos ? text.size() - pos : end + 1 - pos, CONF_PIECE);
        ConfModelLine(m, std::string(text, pos, len).c_str());
        pos += len;
    }
    return m;
}
