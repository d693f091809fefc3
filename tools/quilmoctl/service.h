// quilmoctl's service side: the ports the configuration lists, the hot-plug hook udev runs, and
// the status report of the daemon, its mode and each configured port.
#pragma once
#include <string>
#include <vector>

constexpr size_t MAX_PORTS = 256;  // Port lines taken from the configuration, at most

// The Port values of the configuration, in file order, read as the daemon reads them.
// false after a message (the file cannot be read).
bool ReadConfiguredPorts(std::vector<std::string> *ports);
// The port named by devnode: the configured name itself, or a configured link to the same node.
// "" when none is.
std::string MatchConfiguredPort(const std::vector<std::string> &ports, const char *devnode);
// Whether the daemon holds a port it knows by the name device: 1 it does, 0 not (no Port line
// has that name, or its node is not open), -1 unknown.
int DaemonHoldsPort(const std::vector<std::string> &ports, const char *device);
// Why the daemon shares no port of that name, as far as the configuration and /dev tell.
std::string WhyNotShared(const char *device);
// Resets a running daemon when devnode is a configured port; does nothing otherwise. Exit status.
int RunHotplug(const char *devnode);
// Prints s as a JSON string: quotes, backslashes and control characters escaped.
void JsonString(const std::string &s);
void JsonStringOrNull(const std::string &s);  // null for the empty string
// Prints the daemon's state and each configured port's, as text or as one JSON object.
int RunStatus(bool json);

// rclick.cpp: the right-click means for the status report. s null: the daemon gave none.
struct Channel;
struct RClickState;
bool AskRClick(const Channel &ch, RClickState *state);
void PrintRClickText(const RClickState *s);
void PrintRClickJson(const RClickState *s);
