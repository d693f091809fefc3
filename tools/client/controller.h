// A controller on a port the daemon does not hold.
#pragma once
#include <sys/stat.h>

#include <cstddef>

constexpr size_t CMD_PACKET_LEN = 8;  // a controller command packet and its reply

// Whether the daemon (going by its pid file) has the character device dev open: 1 it has, 0
// not (or no daemon runs), -1 unknown (its descriptors are not ours to look into).
int DaemonHolds(const struct stat &dev);
// DaemonHolds, with unknown taken as not held: the open will tell.
bool HeldByDaemon(const struct stat &dev);
// Opens the port raw at 9600 baud; -1 after a message. A port the daemon holds is refused.
int OpenController(const char *device);
void CloseController(int fd);
// Asks the controller on an open port for its identification: true when it answered as ours,
// with the text of a second reply (its bytes between the lead 'U' and the checksum) in text.
bool IdentifyController(int fd, char *text, size_t size);
