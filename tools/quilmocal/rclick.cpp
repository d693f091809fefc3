// quilmocal keeps the right-click tool out of the way: hidden while the targets and the verdict
// show (it would sit above them, and an armed tool turns the next touch into a right-button one),
// the next touch made a left-button one, and the tool put back as the configuration has it.
//
// The daemon tells nobody whether the tool shows: its mode reply is "M<mode>" alone, and
// quilmoctl status reads only the files. Its own rule is the configuration: every reset (and
// a calibration resets it) shows the tool when RClickTool is non-zero and hides it otherwise. So
// that is the state quilmocal puts back, the one the daemon itself would restore. A check alone
// resets nothing, so it leaves the tool as it is (a tool a technician hid stays hidden): our
// window, mapped after it, covers it anyway, and only the next touch is made a left-button one.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "cal.h"
#include "conffile.h"
#include "text.h"

constexpr char RCLICK_KEY[] = "RClickTool";
constexpr int CONFIG_LINE = 200;  // the daemon reads the file in pieces of 199 characters

static bool away;

// The RClickTool value of one line by the daemon's rules (comments, the key before the first
// "=", any case, a number after it); false when the line sets something else.
static bool rclick_line(char *line, int *value)
{
    if (IsComment(line))
        return false;
    char *eq = strchr(line, '=');
    if (!eq)
        return false;
    *eq = '\0';
    char key[sizeof RCLICK_KEY + 1];
    if (sscanf(line, " %11s", key) != 1 || strcasecmp(key, RCLICK_KEY) != 0)
        return false;
    const char *v = eq + 1;
    return ScanInt(&v, value) != 0;
}

bool RClickConfiguredOn()
{
    char path[QLM_PATH], line[CONFIG_LINE];
    if (!ClientRootPath(path, CONFIG_FILE))
        return false;
    FILE *fp = fopen(path, "re");
    if (!fp)
        return false;
    int on = 0, v;
    while (fgets(line, sizeof line, fp))
        if (rclick_line(line, &v))
            on = v;
    fclose(fp);
    return on != 0;
}

void RClickAway(bool hide)
{
    if (DaemonStopped(0))
        return;  // nothing to hide; the share that follows says what is wrong
    if (hide) {
        away = true;
        RunCommand(CMD_RCLICK_OFF, "x");
    }
    RunCommand(CMD_LEFT_BUTTON, "x");
}

void RClickAgain()
{
    if (away)
        RClickAway(true);
}

void RClickBack()
{
    if (!away)
        return;
    away = false;
    if (RClickConfiguredOn())
        RunCommand(CMD_RCLICK_ON, "x");
}
