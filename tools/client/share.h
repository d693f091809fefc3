// Sharing a port's raw stream through the daemon.
#pragma once
#include <array>
#include <cstddef>
#include <string>
#include <sys/types.h>

#include "decode.h"
#include "message.h"
#include "process.h"

struct Share {
    int out = -1;    // /dev/qvshrout: the port's bytes
    int in = -1;     // /dev/qvshrin: bytes for the port
    bool raw = false;
    bool decode = false;  // one packet a line (decode.h) instead of 16 bytes
    Decoder decoder;
    bool input = true;  // standard input still open
    bool daemonGone = false;
    bool shared = false;  // the daemon said SHROK: sharing must be ended
    std::array<unsigned char, IO_CHUNK> pending{};
    size_t pendingAt = 0, pendingLen = 0;
};

// What a program knows of why the daemon shared no port of this name (it answers nothing then);
// nullptr, or a function that returns "", says the usual: no present port of that name.
extern std::string (*shareRefusalReason)(const char *device);

// Opens the share FIFOs, asks for the port and waits until the daemon has switched to it.
// false after a message; ShareClose in either case.
bool ShareBegin(Share *sh, const char *device);
// Port bytes from the daemon into buf: > 0 bytes, 0 nothing now, -1 ended after a message.
ssize_t ShareRead(Share *sh, unsigned char *buf, size_t size);
// Copies the port's bytes to standard output (hex, decoded or raw) and standard input to the port.
bool ShareLoop(Session *s, Share *sh);
void ShareClose(Share *sh);
// A name that matches no port ends all sharing.
bool ShareEnd();
