// A controller on a port the daemon does not hold.
#pragma once
#include <sys/stat.h>

// true when the daemon (going by its pid file) has the character device dev open.
bool HeldByDaemon(const struct stat &dev);
// Opens the port raw at 9600 baud; -1 after a message. A port the daemon holds is refused.
int OpenController(const char *device);
void CloseController(int fd);
