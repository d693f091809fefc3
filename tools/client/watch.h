// The frames of the data pipes: the cutter, their text, and the watcher of /dev/qvdat1.
#pragma once
#include <array>
#include <cstddef>

#include "frame.h"
#include "process.h"

constexpr char WATCH_PIPE[] = "/dev/qvdat1";  // qvdat0 stays with the display server's reader

struct FrameCutter {
    std::array<unsigned char, FRAME_LEN> frame{};
    size_t have = 0;
};

// true when b completed a frame in fc->frame; bytes that start no frame are skipped.
bool FrameFeed(FrameCutter *fc, unsigned char b);
// "touch|release [right] x=X y=Y"
void FrameText(const unsigned char *frame, char *out, size_t size);
// Opens /dev/qvdat1 for reading once the daemon is known to run, with old frames read away.
int OpenWatchPipe();
// Prints each frame as FrameText does, one line each, until the session ends.
bool WatchLoop(Session *s, int fd);
