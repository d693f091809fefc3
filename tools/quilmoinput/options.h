// quilmoinput's command line: what it reads, where the frames go, and how.
#pragma once
#include "frames.h"

// auto and xtest are the same now: XTest is the one backend (quilmod makes uinput devices itself).
enum BackendChoice { CHOOSE_AUTO, CHOOSE_XTEST };

struct Options {
    const char *pipe = "/dev/qvdat0";
    BackendChoice backend = CHOOSE_AUTO;
    const char *display = nullptr;
    int width = 1024, height = 768;  // the panel's range: the calibration's screen size
    bool screenGiven = false;
    const char *output = nullptr;  // a RandR monitor or output
    bool listOutputs = false;
    bool hideCursor = false;
    bool verbose = false;
};

// -1 = go on; otherwise the exit status (--help, --version, a usage error, said).
int ParseOptions(Options *o, int argc, char **argv);
