// Cursor hiding: xsetroot blanks the X pointer while the panel is used and brings the arrow back.
#include <cerrno>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "quilmod.h"

constexpr char XSETROOT[] = "/usr/bin/xsetroot";
constexpr char EMPTY_CURSOR[] = "/usr/local/Qelvanto/image/empty.xbm";
constexpr int FRAME_LEN = 5;
constexpr int CURSOR_NONE = 0;
constexpr int CURSOR_DISPLAY = 1;

// Runs xsetroot without a shell and waits for that child alone, so the right-click
// tool is never reaped here behind its own bookkeeping.
static void run_xsetroot(char *const argv[])
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, XSETROOT))
        return;
    pid_t pid = fork();
    if (pid == 0) {
        ChildSignalDefaults();
        execv(path, argv);
        _exit(0);  // never back into the daemon's code
    }
    if (pid < 0) {
        perror("fork error !\n");
        return;
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        // the beep timer's alarm
    }
}

static char *arg(const char *text)
{
    return const_cast<char *>(text);  // execv's argv is not written to
}

static void hide_cursor()
{
    char bitmap[QLM_PATH];
    if (RootPath(bitmap, sizeof bitmap, EMPTY_CURSOR))
        return;
    char *const argv[] = {arg("xsetroot"), arg("-display"), arg(":0.0"), arg("-cursor"), bitmap, bitmap, nullptr};
    run_xsetroot(argv);
}

static void show_cursor()
{
    char *const argv[] = {arg("xsetroot"), arg("-display"), arg(":0.0"), arg("-cursor_name"), arg("left_ptr"),
                          nullptr};
    run_xsetroot(argv);
}

void CheckFrameForCursor(char *frame, int dlen)
{
    static unsigned char old_frame[FRAME_LEN];
    static unsigned char touch_disp = 1;  // the first frame in Display mode restores the arrow
    if (dlen < FRAME_LEN)
        return;
    if (TouchSetting.cursorMode == CURSOR_NONE) {
        touch_disp = 1;
        if (memcmp(frame, old_frame, FRAME_LEN) == 0)
            return;  // a repeated frame: the cursor is still hidden
        memcpy(old_frame, frame, FRAME_LEN);
        hide_cursor();
    } else if (TouchSetting.cursorMode == CURSOR_DISPLAY && touch_disp) {
        touch_disp = 0;
        show_cursor();
    }
}
