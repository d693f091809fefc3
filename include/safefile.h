// Files in directories others may touch: reading regular files only, replacing files whole.
#pragma once
#include <cstddef>
#include <string_view>

// Opens a regular file for reading, never through a link, never blocking on a FIFO.
// The descriptor; -1 = open failed (errno says why), -2 = not a regular file.
int OpenRegular(const char *path);
// The open() that OpenRegular calls; a pointer so that unit tests can make it fail.
extern int (*RegularOpen)(const char *path, int flags);
// Reads until size bytes or the end; the count, or -1 on a read error.
long ReadUpTo(int fd, char *buf, size_t size);
// Replaces path whole with text and mode: a scratch file made from the mkstemp template
// scratch (in path's directory) is written and renamed over path.
// 0 = done, 1 = the scratch file could not be created, 2 = writing or renaming failed.
int ReplaceFile(const char *path, char *scratch, std::string_view text, int mode);
