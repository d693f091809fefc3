// quilmod: touch-screen controller daemon.
#include <cstdio>
#include <cstring>

#include "quilmod.h"

static const char USAGE[] =
    "usage: quilmod [-d] [-f] [-r]\n"
    "  -d  stay in the foreground and print every message\n"
    "  -f  replace a running instance instead of asking it to reset\n"
    "  -r  accepted, no effect\n"
    "  -h, --help     print this help\n"
    "  -V, --version  print the version\n"
    "Configuration: /etc/quilmod.conf; see quilmod(8) and quilmod.conf(5).\n";

// --help and --version answer before anything else runs: as root a start writes the pid
// file, the configuration and the FIFOs, so these must not be taken for a start. 1 = answered.
static int answer_info_option(int argc, char **argv)
{
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            fputs(USAGE, stdout);
            return 1;
        }
        if (strcmp(argv[i], "-V") == 0 || strcmp(argv[i], "--version") == 0) {
            puts("quilmod " QUILMOD_VERSION);
            return 1;
        }
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (answer_info_option(argc, argv))
        return 0;
    return QuilmodMain(argc, argv);
}
