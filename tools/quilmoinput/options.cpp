// quilmoinput's command line: each option checked, "--opt VALUE" and "--opt=VALUE" alike (the
// service passes its settings as the latter, empty when unset).
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "client.h"
#include "rootpath.h"

constexpr int MAX_SCREEN = 32768;  // a coordinate's high byte never has bit 7: see FrameFeed
constexpr size_t MAX_DISPLAY = 255;
constexpr size_t MAX_OUTPUT = 63;  // what RandR lookups keep of a name

static const char USAGE[] =
    "usage: quilmoinput [--pipe PATH] [--backend xtest|auto] [--display D] [--screen WxH]\n"
    "                   [--output NAME] [--hide-cursor] [--verbose] | --list-outputs\n";

static const char HELP[] =
    "Reads quilmod's pointer frames from a data pipe and puts them into an X display through its\n"
    "XTest extension. It stands back (status 3) when quilmod's own input devices already carry\n"
    "the touches, and on Xwayland, which XTest cannot get past to the Wayland desktop.\n"
    "\n"
    "  --pipe PATH      the data pipe (default /dev/qvdat0)\n"
    "  --backend B      xtest or auto (default), the same\n"
    "  --display D      the X display (default $DISPLAY, else :0.0)\n"
    "  --screen WxH     the panel's range, the calibration's screen size (default: the size\n"
    "                   of the --output monitor, else of the X screen)\n"
    "  --output NAME    the monitor the panel sits on: the frames go onto that RandR monitor\n"
    "                   or output\n"
    "  --list-outputs   print the X display's monitors and outputs (NAME WxH+X+Y) and end\n"
    "  --hide-cursor    xtest: hide the X cursor while the panel is used, show it again when\n"
    "                   another pointing device moves\n"
    "  --verbose        print each injected frame (touch|release [right] x=X y=Y) and the\n"
    "                   cursor being hidden or shown\n"
    "  --help, --version\n"
    "\n"
    "QUILMOD_ROOT, when set, is put in front of the pipe's path and of /run/quilmod.\n"
    "Ends on SIGINT or SIGTERM, releasing any button still down.\n";

static int usage_error(const char *fmt, const char *what)
{
    fprintf(stderr, "%s: ", clientName);
    fprintf(stderr, fmt, what);
    fprintf(stderr, "\n%s", USAGE);
    return EXIT_USAGE;
}

// "WxH" with both sides 1..MAX_SCREEN, nothing else.
static bool parse_screen(const char *s, int *w, int *h)
{
    if (!(s[0] >= '0' && s[0] <= '9'))  // strtol would take blanks and signs too
        return false;
    char *end;
    errno = 0;
    long a = strtol(s, &end, 10);
    if (end == s || *end != 'x' || errno || a < 1 || a > MAX_SCREEN || !(end[1] >= '0' && end[1] <= '9'))
        return false;
    const char *second = end + 1;
    long b = strtol(second, &end, 10);
    if (*end || errno || b < 1 || b > MAX_SCREEN)
        return false;
    *w = (int)a;
    *h = (int)b;
    return true;
}

// A name of printable characters without blanks: what xrandr prints and udev carries whole.
static bool output_name(const char *v)
{
    size_t n = strlen(v);
    for (size_t i = 0; i < n; i++)
        if (v[i] <= ' ' || v[i] > '~' || v[i] == '"' || v[i] == '\\')
            return false;
    return n <= MAX_OUTPUT;
}

static int parse_choice(Options *o, std::string_view opt, const char *v)
{
    if (opt == "--backend") {
        if (!strcmp(v, "uinput"))
            return usage_error("--backend: '%s' is gone: quilmod makes each panel's input device itself "
                               "(InputDevice in quilmod.conf)", v);
        if (strcmp(v, "auto") && strcmp(v, "xtest"))
            return usage_error("--backend: '%s' is not xtest or auto", v);
        o->backend = v[0] == 'a' ? CHOOSE_AUTO : CHOOSE_XTEST;
    } else {  // --hide-cursor=
        if (strcmp(v, "yes") && strcmp(v, "no"))
            return usage_error("--hide-cursor: '%s' is not yes or no", v);
        o->hideCursor = v[0] == 'y';
    }
    return -1;
}

static int parse_value(Options *o, std::string_view opt, const char *v)
{
    if (opt == "--pipe") {
        if (v[0] != '/' || strlen(v) >= QLM_PATH)
            return usage_error("--pipe: '%s' is not an absolute path", v);
        o->pipe = v;
    } else if (opt == "--display") {
        if (!v[0] || strlen(v) > MAX_DISPLAY)
            return usage_error("--display: '%s' is not a display name", v);
        o->display = v;
    } else if (opt == "--screen") {
        if (!parse_screen(v, &o->width, &o->height))
            return usage_error("--screen: '%s' is not WxH with sides from 1 to 32768", v);
        o->screenGiven = true;
    } else if (opt == "--output") {
        if (!output_name(v))
            return usage_error("--output: '%s' is not a monitor name (printable, no blanks, 63 bytes)", v);
        o->output = v[0] ? v : nullptr;  // empty: the whole screen
    } else {
        return parse_choice(o, opt, v);
    }
    return -1;
}

// A flag; 1 = it was one, 0 = not a flag, or the exit status of --help and --version.
static int parse_flag(Options *o, std::string_view a)
{
    if (a == "--help") {
        printf("%s\n%s", USAGE, HELP);
        return EXIT_OK + 100;
    }
    if (a == "--version") {
        printf("quilmoinput %s\n", QUILMOD_VERSION);
        return EXIT_OK + 100;
    }
    bool *flag = a == "--verbose" ? &o->verbose : a == "--list-outputs" ? &o->listOutputs
               : a == "--hide-cursor" ? &o->hideCursor : nullptr;
    if (!flag)
        return 0;
    *flag = true;
    return 1;
}

static bool takes_value(std::string_view opt)
{
    static const char *const WITH_VALUE[] = {"--pipe", "--backend", "--display", "--screen", "--output"};
    for (const char *w : WITH_VALUE)
        if (opt == w)
            return true;
    return false;
}

// One argument (and its value); -1 = go on, else the exit status.
static int parse_one(Options *o, int argc, char **argv, int *i)
{
    std::string_view a = argv[*i];
    int flag = parse_flag(o, a);
    if (flag >= 100)
        return flag - 100;
    if (flag == 1)
        return -1;
    size_t eq = a.find('=');
    std::string_view opt = a.substr(0, eq);
    if (eq != std::string_view::npos && (takes_value(opt) || opt == "--hide-cursor"))
        return parse_value(o, opt, argv[*i] + eq + 1);
    if (!takes_value(a))
        return usage_error("unknown option '%s'", argv[*i]);
    if (*i + 1 >= argc)
        return usage_error("%s needs a value", argv[*i]);
    return parse_value(o, a, argv[++*i]);
}

int ParseOptions(Options *o, int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        int r = parse_one(o, argc, argv, &i);
        if (r >= 0)
            return r;
    }
    if (!o->display) {
        const char *env = getenv("DISPLAY");
        o->display = env && env[0] && strlen(env) <= MAX_DISPLAY ? env : ":0.0";
    }
    return -1;
}
