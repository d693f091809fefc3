// Short names of the input events and axes the devices use, for tests that compare sequences.
#pragma once
#include <linux/input-event-codes.h>

#include <string>

inline const char *AbsName(unsigned code)
{
    switch (code) {
    case ABS_X: return "X";
    case ABS_Y: return "Y";
    case ABS_MT_SLOT: return "SLOT";
    case ABS_MT_TRACKING_ID: return "ID";
    case ABS_MT_POSITION_X: return "MX";
    case ABS_MT_POSITION_Y: return "MY";
    default: return "ABS?";
    }
}

// "SYN", "MX8216", "T1", "R0"...
inline std::string EventWord(unsigned type, unsigned code, int value)
{
    if (type == EV_SYN)
        return code == SYN_REPORT ? "SYN" : "SYN?";
    if (type == EV_ABS)
        return AbsName(code) + std::to_string(value);
    const char *k = code == BTN_TOUCH ? "T" : code == BTN_LEFT ? "L" : code == BTN_RIGHT ? "R" : "K?";
    return k + std::to_string(value);
}
