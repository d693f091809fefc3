// quilmoctl's records: a parsed command line and the table's subcommands, and the actions the
// table names (commands.cpp); the service side has its own header.
#pragma once
#include <array>
#include <span>

#include "watch.h"

struct Args {
    std::array<const char *, 3> operand{};
    int operands = 0;
    bool raw = false;
    bool json = false;
    bool decode = false;
    bool probe = false;
    Stamps stamps = STAMPS_NONE;
    long count = 0;    // 0 = no limit
    long timeout = 0;  // seconds, 0 = none
};

// One accepted word of a subcommand and what it sends.
struct Choice {
    const char *word;
    int code;
    const char *arg;
};

enum Option : unsigned {
    OPT_RAW = 1, OPT_COUNT = 2, OPT_TIMEOUT = 4, OPT_JSON = 8, OPT_DECODE = 16, OPT_TIMESTAMPS = 32, OPT_PROBE = 64
};

struct Subcommand {
    const char *name;
    const char *operands;  // as the usage line shows them
    const char *help;      // first line: the summary
    int (*run)(const Subcommand &sub, const Args &args);
    int minOperands;
    int maxOperands;
    unsigned options;
    int code;                       // the one command it sends, where it sends one
    std::span<const Choice> choices;
    long lo, hi;                    // range of a numeric operand
};

// The subcommands' actions: each checks its operands and runs; the exit status.
using Action = int(const Subcommand &sub, const Args &args);
Action CtlFixed, CtlChoice, CtlNumber, CtlClosePort;  // sent over the command FIFO
Action CtlMode, CtlStop;                              // the mode, printed or set; the daemon's end
Action CtlWatch, CtlShare;                            // the data pipe's frames, a port's raw stream
Action CtlRecord;                                     // a port's raw stream into a file (record.cpp)
Action CtlProbe, CtlSend;                             // a controller on a free port
Action CtlStatus, CtlHotplug;                         // the service side (service.h)
Action CtlList;                                       // the serial nodes present (list.cpp)
Action CtlBind;                                       // the devices' binding lines (inputdev.h)
Action CtlHold;                                       // the long press's time (rclick.cpp)
