// A controller on a port the daemon does not hold: the daemon's holding, and talks with every
// step bounded in time.
#pragma once
#include <sys/stat.h>

#include <cstddef>

#include "portclaim.h"

constexpr size_t CMD_PACKET_LEN = 8;   // a controller command packet and its reply
constexpr long long WRITE_MS = 1000;   // a command packet leaves within this, or the line is stuck

// Whether the daemon (going by its pid file) has the character device dev open: 1 it has, 0
// not (or no daemon runs), -1 unknown (its descriptors are not ours to look into).
int DaemonHolds(const struct stat &dev);

enum Answer {
    ANSWER_OK,        // a reply with a good checksum
    ANSWER_SILENT,    // nothing came back
    ANSWER_BADSUM,    // 8 bytes starting with 'U', the checksum wrong
    ANSWER_GARBLED,   // bytes that are no reply
    ANSWER_STUCK,     // the packet could not be sent within WRITE_MS
    ANSWER_STOPPED,   // a stop signal arrived
    ANSWER_FAILED,    // reading or writing the port failed
};
// What an answer means, after "DEVICE: ": "no controller answered", ...
const char *AnswerText(Answer a);

// One command (number and argument characters as device.h builds them) on a claimed port, the
// reply collected as the daemon's transactions do; the reply's 8 bytes in reply.
Answer Transact(const PortClaim &c, int cmd, const unsigned char *args, unsigned char *reply);
// Two attempts at a command, the second after a pause of 2 s, as the daemon's SendAndWait.
Answer TransactTwice(const PortClaim &c, int cmd, const unsigned char *args, unsigned char *reply);
// Asks for the identification (twice at most): ANSWER_OK with the reply's text in text when the
// controller answered as ours; a controller of another kind reads as ANSWER_GARBLED.
Answer IdentifyController(const PortClaim &c, char *text, size_t size);
