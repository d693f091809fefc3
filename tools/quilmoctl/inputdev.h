// The daemon's input devices as quilmoctl sees them: the status file quilmod writes, the event
// node in sysfs, and the lines that bind each device to its monitor on each desktop.
#pragma once
#include <string>
#include <vector>

struct InputDevState {
    std::string port, name, output, kind;  // output "" when not bound
    unsigned vendor = 0, product = 0;
    int width = 0, height = 0;      // pixels
    int widthMm = 0, heightMm = 0;  // 0: unknown
    std::string event;              // "/dev/input/event5", or "" when not found
};

// Parses the daemon's status text (one device a line, tab-separated); lines that do not parse
// are skipped.
std::vector<InputDevState> ParseInputDevices(const std::string &text);
// Reads /run/quilmod/devices and finds each device's event node.
std::vector<InputDevState> ReadInputDevices();
// "/dev/input/eventN" of the input device with these ids and name, "" when there is none.
std::string FindEventNode(unsigned vendor, unsigned product, const std::string &name);
// The lines that bind every device to its output on desktop (sway, gnome, kde, x11, weston, or
// "" for all), written to standard output.
void PrintBindLines(const std::vector<InputDevState> &devs, const std::string &desktop);
