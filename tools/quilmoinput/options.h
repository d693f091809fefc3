// quilmoinput's command line: what it reads, where the frames go, and how.
#pragma once
#include "frames.h"

enum BackendChoice { CHOOSE_AUTO, CHOOSE_XTEST, CHOOSE_UINPUT };

struct Options {
    const char *pipe = "/dev/qvdat0";
    BackendChoice backend = CHOOSE_AUTO;
    const char *display = nullptr;
    int width = 1024, height = 768;  // the panel's range: the calibration's screen size
    bool screenGiven = false;
    const char *name = "quilmod touch panel";
    Personality device = DEVICE_TOUCH;
    const char *output = nullptr;  // a RandR monitor or output (XTest), the named output (uinput)
    bool listOutputs = false;
    bool hideCursor = false;
    bool verbose = false;
};

// -1 = go on; otherwise the exit status (--help, --version, a usage error, said).
int ParseOptions(Options *o, int argc, char **argv);
