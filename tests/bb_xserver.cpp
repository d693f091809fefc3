// quilmoinput as the X server sees it, never through its own log: the cursor hidden on the screen
// Xvfb keeps, frames injected without --verbose, a display lost in the middle of a touch, and a
// writer that leaves in the middle of a frame.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

#include "inputhelp.h"

#include <X11/cursorfont.h>
#include <X11/extensions/XTest.h>

namespace {

constexpr unsigned long BACKGROUND = 0x336699;  // the watch window's colour: no cursor is drawn in it
constexpr int CURSOR_BOX = 24;                  // pixels looked at on each side of a position

// The screen as Xvfb keeps it in its -fbdir file, an XWD image: unlike XGetImage, it holds the
// cursor the server draws over the windows. The pixels around (x, y) that are not the
// background's; -1 when the image cannot be read.
int CursorPixels(const std::string &file, int x, int y)
{
    std::string img = ReadWholeFile(file);
    auto field = [&](size_t k) {
        uint32_t v = 0;
        memcpy(&v, img.data() + 4 * k, 4);
        return ntohl(v);  // the header is big-endian, the pixels the server's own order
    };
    constexpr size_t HEADER_FIELDS = 25, WIDTH = 4, HEIGHT = 5, BITS = 11, LINE = 12, COLOURS = 19;
    if (img.size() < 4 * HEADER_FIELDS || field(BITS) != 32)
        return -1;
    size_t start = field(0) + field(COLOURS) * 12, line = field(LINE);
    int width = (int)field(WIDTH), height = (int)field(HEIGHT), count = 0;
    if (img.size() < start + line * (size_t)height)
        return -1;
    for (int py = std::max(0, y - CURSOR_BOX); py < std::min(height, y + CURSOR_BOX); py++)
        for (int px = std::max(0, x - CURSOR_BOX); px < std::min(width, x + CURSOR_BOX); px++) {
            uint32_t pixel;
            memcpy(&pixel, img.data() + start + line * (size_t)py + 4 * (size_t)px, 4);
            count += (pixel & 0xffffff) != BACKGROUND;
        }
    return count;
}

class XServerTest : public QuilmoinputTest {
protected:
    std::string screenFile;

    // Xvfb with its screen in a file, the watch window plain with an arrow cursor over it.
    void StartScreen(const std::vector<std::string> &extra = {})
    {
        std::string dir = sb.root + "/fb";
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        std::vector<std::string> args = {"-fbdir", dir};
        args.insert(args.end(), extra.begin(), extra.end());
        xvfb = StartXvfb("640x480x24", &display, args);
        if (xvfb < 0)
            GTEST_SKIP() << "Xvfb is missing or did not start (Debian package xvfb)";
        screenFile = dir + "/Xvfb_screen0";
        ASSERT_TRUE(XWatchOpen(&x, display));
        XSetWindowBackground(x.d, x.w, BACKGROUND);
        XClearWindow(x.d, x.w);
        XDefineCursor(x.d, x.w, XCreateFontCursor(x.d, XC_left_ptr));
        XSync(x.d, False);
    }

    bool CursorShownAt(int px, int py) { return CursorPixels(screenFile, px, py) > 0; }
    bool CursorHiddenAt(int px, int py) { return CursorPixels(screenFile, px, py) == 0; }

    // A new writer once quilmoinput has opened the pipe again after the last one left.
    void ReopenWriter()
    {
        ASSERT_TRUE(SimWaitForError(input, "quilmoinput: the writer of /dev/qvdat0 went away", WAIT_MS));
        ASSERT_TRUE(Eventually([&] { return (writer = OpenFifo(sb, "/dev/qvdat0", O_WRONLY)) >= 0; }, WAIT_MS));
    }
};

TEST_F(XServerTest, HideCursorHidesItOnTheScreenUntilAnotherPointerMoves)
{
    StartScreen();
    StartInput({"--hide-cursor"});
    XTestFakeMotionEvent(x.d, 0, 100, 100, 0);  // the way of reading the screen sees a cursor
    XSync(x.d, False);
    ASSERT_TRUE(Eventually([&] { return CursorShownAt(100, 100); }, WAIT_MS));

    WriteBytes(writer, Frame(0x81, 100, 100));
    EXPECT_EQ(Buttons(x, 1), std::vector<std::string>{"press 1 at 100,100"});
    EXPECT_TRUE(Eventually([&] { return CursorHiddenAt(100, 100); }, WAIT_MS));
    WriteBytes(writer, Frame(0x80, 100, 100));
    EXPECT_EQ(Buttons(x, 1), std::vector<std::string>{"release 1 at 100,100"});
    EXPECT_TRUE(CursorHiddenAt(100, 100));

    // A mouse that keeps moving, as a technician's does: motion before quilmoinput has seen the
    // new device's arrival is not its to see.
    OtherPointer other;
    ASSERT_TRUE(OtherPointerOpen(&other, display));
    int step = 0;
    EXPECT_TRUE(Eventually([&] {
        XTestFakeMotionEvent(other.d, 0, 400 + step++ % 2, 300, 0);
        XSync(other.d, False);
        return CursorShownAt(100, 100);
    }, WAIT_MS));
    XCloseDisplay(other.d);
}

// Without --verbose nothing waits for the server: the frames must still reach it, each read's
// at once, not when some later request happens to push them out.
TEST_F(XServerTest, FramesReachTheServerWithoutVerbose)
{
    StartX("640x480x24");
    StartInput({});
    const struct {
        Bytes bytes;
        const char *pointer;
        std::vector<std::string> buttons;
    } steps[] = {
        {Frame(0x81, 100, 200), "100,200", {"press 1 at 100,200"}},
        {Frame(0x81, 150, 220), "150,220", {}},
        {Frame(0x80, 150, 220), "150,220", {"release 1 at 150,220"}},
        {Frame(0xA1, 30, 40), "30,40", {"press 3 at 30,40"}},
        {Frame(0xA0, 35, 45), "35,45", {"release 3 at 35,45"}},
    };
    for (const auto &st : steps) {
        SCOPED_TRACE(st.pointer);
        WriteBytes(writer, st.bytes);
        EXPECT_EQ(Buttons(x, st.buttons.size()), st.buttons);
        EXPECT_TRUE(Eventually([&] { return Pointer(x) == st.pointer; }, WAIT_MS)) << Pointer(x);
    }
}

// The display goes away with the left button down and comes back: the new server never saw that
// press, so the next tap is a whole click of its own and nothing stays down.
TEST_F(XServerTest, ADisplayLostMidTouchLeavesNoButtonBehindWhenItReturns)
{
    StartX("640x480x24");
    StartInput({});
    WriteBytes(writer, Frame(0x81, 5, 6));
    ASSERT_EQ(Buttons(x, 1), std::vector<std::string>{"press 1 at 5,6"});
    XWatchClose(&x);
    StopXvfb(xvfb);
    xvfb = -1;
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: X display :" + display + " went away", WAIT_MS));

    std::string again;
    xvfb = StartXvfb("640x480x24", &again, {":" + display});
    ASSERT_GE(xvfb, 0) << "display :" << display << " could not be started again";
    ASSERT_TRUE(XWatchOpen(&x, display));
    ASSERT_TRUE(SimWaitForError(input, "quilmoinput: X display :" + display + " answers", WAIT_MS));
    WriteBytes(writer, Frame(0x81, 20, 30));
    WriteBytes(writer, Frame(0x80, 20, 30));
    EXPECT_EQ(Buttons(x, 2), (std::vector<std::string>{"press 1 at 20,30", "release 1 at 20,30"}));
    EXPECT_EQ(PointerButtons(x), 0u);
}

// The daemon restarts after writing part of a frame: its successor's first frame is taken whole,
// never glued to the stale bytes.
TEST_F(XServerTest, AWriterLeavingMidFrameLeavesNothingForTheNext)
{
    StartX("640x480x24");
    StartInput({});
    WriteBytes(writer, Bytes{0x81, 0x00, 0x64, 0x00});
    close(writer);
    writer = -1;
    ReopenWriter();
    WriteBytes(writer, Frame(0x81, 200, 100));
    WriteBytes(writer, Frame(0x80, 200, 100));
    EXPECT_EQ(Buttons(x, 2), (std::vector<std::string>{"press 1 at 200,100", "release 1 at 200,100"}));
}

}  // namespace
