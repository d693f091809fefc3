// The ports as the daemon holds them: which nodes it has open, and each one's line settings.
#pragma once
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

struct HeldNode {
    std::string fdPath;  // /proc/PID/fd/N: the very file the daemon holds, opened again
    std::string name;    // the node as the kernel names it, e.g. /dev/ttyUSB0
    dev_t rdev;
};

// The character devices the daemon holds beside its standard streams, the console and the
// memory devices: its ports. Empty when its descriptors are not ours to see.
std::vector<HeldNode> DaemonHeldNodes(pid_t pid);
// A line's settings as "raw 9600 8N1" (or "cooked 38400 8N1"), "not a terminal", or
// "unknown (why)" when it cannot be looked at. Looking changes nothing on the line.
std::string LineState(const std::string &path);
// What a Port line's file that is no character device is, for status and list alike: "not a
// terminal", and for a regular file that the daemon's reading of it ends in self-resets.
std::string NotTerminalText(const struct stat &st);
