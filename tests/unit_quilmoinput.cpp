// quilmoinput's translation: bytes from a data pipe, cut into frames, into pointer steps and the
// uinput events that carry them, with the button state kept sound whatever the frames say.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <string>
#include <vector>

#include "client.h"
#include "frames.h"

namespace {

std::string step_text(const Steps &s)
{
    std::string out;
    for (size_t i = 0; i < s.count; i++) {
        const Step &st = s.step[i];
        out += out.empty() ? "" : "; ";
        if (st.kind == STEP_MOVE)
            out += "move " + std::to_string(st.x) + " " + std::to_string(st.y);
        else
            out += (st.kind == STEP_PRESS ? "press " : "release ") + std::to_string(st.button);
    }
    return out;
}

std::string event_text(const InputEvents &e)
{
    std::string out;
    for (size_t i = 0; i < e.count; i++) {
        const InputEvent &ev = e.ev[i];
        out += out.empty() ? "" : " ";
        if (ev.type == EV_SYN && ev.code == SYN_REPORT)
            out += "SYN";
        else if (ev.type == EV_ABS)
            out += (ev.code == ABS_X ? "X" : ev.code == ABS_Y ? "Y" : "ABS?") + std::to_string(ev.value);
        else if (ev.type == EV_KEY)
            out += (ev.code == BTN_LEFT ? "L" : ev.code == BTN_RIGHT ? "R" : "KEY?") + std::to_string(ev.value);
        else
            out += "?";
    }
    return out;
}

struct Case {
    const char *what;
    int down;  // the button down before the bytes
    std::vector<unsigned char> bytes;
    int width, height;
    const char *steps;   // per frame, frames joined by " | "
    const char *events;  // the same, as uinput events
    int downAfter;
};

const Case CASES[] = {
    {"touch presses the left button", BUTTON_NONE, {0x81, 0x03, 0xE8, 0x02, 0x58}, 1024, 768,
     "move 1000 600; press 1", "X1000 Y600 L1 SYN", BUTTON_LEFT},
    {"a later touch frame only moves", BUTTON_LEFT, {0x81, 0x00, 0x65, 0x00, 0xC9}, 1024, 768, "move 101 201",
     "X101 Y201 SYN", BUTTON_LEFT},
    {"release moves, then lets go", BUTTON_LEFT, {0x80, 0x03, 0xE8, 0x02, 0x58}, 1024, 768,
     "move 1000 600; release 1", "X1000 Y600 L0 SYN", BUTTON_NONE},
    {"right-button touch presses button 3", BUTTON_NONE, {0xA1, 0x00, 0x10, 0x00, 0x20}, 1024, 768,
     "move 16 32; press 3", "X16 Y32 R1 SYN", BUTTON_RIGHT},
    {"right-button release", BUTTON_RIGHT, {0xA0, 0x00, 0x10, 0x00, 0x20}, 1024, 768, "move 16 32; release 3",
     "X16 Y32 R0 SYN", BUTTON_NONE},
    {"a release lets go of what is down, whatever its flag", BUTTON_RIGHT, {0x80, 0x00, 0x01, 0x00, 0x02}, 1024,
     768, "move 1 2; release 3", "X1 Y2 R0 SYN", BUTTON_NONE},
    {"a release without a touch only moves", BUTTON_NONE, {0x80, 0x00, 0x01, 0x00, 0x02}, 1024, 768, "move 1 2",
     "X1 Y2 SYN", BUTTON_NONE},
    {"the flag turning right mid-touch ends the left press first", BUTTON_LEFT, {0xA1, 0x00, 0x05, 0x00, 0x06},
     1024, 768, "release 1; move 5 6; press 3", "L0 SYN X5 Y6 R1 SYN", BUTTON_RIGHT},
    {"the flag turning left mid-touch ends the right press first", BUTTON_RIGHT, {0x81, 0x00, 0x05, 0x00, 0x06},
     1024, 768, "release 3; move 5 6; press 1", "R0 SYN X5 Y6 L1 SYN", BUTTON_LEFT},
    {"coordinates beyond the screen are clamped", BUTTON_NONE, {0x81, 0xFF, 0xFF, 0x02, 0x80}, 640, 480,
     "move 639 479; press 1", "X639 Y479 L1 SYN", BUTTON_LEFT},
    {"the last pixel stays, one beyond is clamped", BUTTON_LEFT, {0x81, 0x02, 0x7F, 0x01, 0xE0}, 640, 480,
     "move 639 479", "X639 Y479 SYN", BUTTON_LEFT},
    {"a whole tap in one read", BUTTON_NONE, {0x81, 0x00, 0x0A, 0x00, 0x0B, 0x80, 0x00, 0x0A, 0x00, 0x0B}, 1024,
     768, "move 10 11; press 1 | move 10 11; release 1", "X10 Y11 L1 SYN | X10 Y11 L0 SYN", BUTTON_NONE},
    {"flush integers before a frame are skipped", BUTTON_NONE,
     {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x81, 0x00, 0x07, 0x00, 0x08}, 1024, 768,
     "move 7 8; press 1", "X7 Y8 L1 SYN", BUTTON_LEFT},
    {"bytes that start no frame are skipped", BUTTON_NONE, {0x7F, 0x90, 0xC1, 0xFF, 0x81, 0x00, 0x07, 0x00, 0x08},
     1024, 768, "move 7 8; press 1", "X7 Y8 L1 SYN", BUTTON_LEFT},
    {"a partial frame yields nothing yet", BUTTON_LEFT, {0x80, 0x00, 0x07}, 1024, 768, "", "", BUTTON_LEFT},
};

TEST(Quilmoinput, FramesBecomeSoundStepsAndEvents)
{
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.what);
        FrameCutter fc;
        Buttons b{c.down};
        std::string steps, events;
        for (unsigned char byte : c.bytes) {
            if (!FrameFeed(&fc, byte))
                continue;
            Steps s = TranslateFrame(&b, fc.frame.data(), c.width, c.height);
            steps += (steps.empty() ? "" : " | ") + step_text(s);
            events += (events.empty() ? "" : " | ") + event_text(StepsToEvents(s));
        }
        EXPECT_EQ(steps, c.steps);
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(b.down, c.downAfter);
    }
}

TEST(Quilmoinput, TheEndReleasesWhatIsDown)
{
    const struct {
        int down;
        const char *events;
    } cases[] = {{BUTTON_NONE, ""}, {BUTTON_LEFT, "L0 SYN"}, {BUTTON_RIGHT, "R0 SYN"}};
    for (const auto &c : cases) {
        Buttons b{c.down};
        EXPECT_EQ(event_text(StepsToEvents(ReleaseAll(&b))), c.events) << c.down;
        EXPECT_EQ(b.down, BUTTON_NONE);
    }
}

}  // namespace
