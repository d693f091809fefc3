// The report pipeline: a touch record becomes a calibrated, clamped frame on both data pipes.
#include "correct.h"
#include "quilmod.h"

constexpr int FRAME_COORD_MAX = 65535;  // frames carry unsigned 16-bit positions
constexpr int DRAG_DELAY_MIN = 8;       // the drag delay acts only above this
constexpr int FRAME_LEN = 5;
constexpr unsigned char FRAME_TOUCH = 0x01;

static int clamp(int v, int high)
{
    if (high > FRAME_COORD_MAX)
        high = FRAME_COORD_MAX;
    if (v < 0 || high < 0)
        return 0;
    return v > high ? high : v;
}

static void write_frame(int index, const unsigned char *frame, int len)
{
    if (PipeWrite(fdOuts[index], frame, len) == -1)
        EmptyPipe(fdOuts[index]);  // a reader that stopped: drop its stale frames
}

void EmitFrames(TouchPanel *panel, unsigned char *frames, int len)
{
    for (int f = 0; f + FRAME_LEN <= len; f += FRAME_LEN) {
        unsigned char *frame = frames + f;
        CheckFrameForBeep(reinterpret_cast<char *>(frame), FRAME_LEN);
        // A release always reaches the drag delay, so its hold ends with the touch.
        if (TouchSetting.drag_delay > DRAG_DELAY_MIN && TouchSetting.mode &&
            (!(frame[0] & FRAME_TOUCH) || !InDoubleClickWindow()))
            CheckFrameForDragDelay(frame, FRAME_LEN);
        write_frame(0, frame, FRAME_LEN);
        write_frame(1, frame, FRAME_LEN);
        DeviceFrame(panel, frame, FRAME_LEN);  // the panel's own device carries what the pipes carry
        CheckFrameForCursor(reinterpret_cast<char *>(frame), FRAME_LEN);
    }
}

void ReportFrame(TouchPanel *panel, unsigned char *src)
{
    if (!src)
        return;
    int orgX = src[2] * 256 + src[3];
    int orgY = src[4] * 256 + src[5];
    bool grid = panel->_25Mode == 25;
    int screen_width = grid ? panel->screen_width_25 : panel->screen_width_4;
    int screen_high = grid ? panel->screen_high_25 : panel->screen_high_4;
    CalibrationPt(panel, &orgX, &orgY);
    orgX = clamp(orgX, screen_width);
    orgY = clamp(orgY, screen_high);

    unsigned char frame[30];
    int len = 0;
    GenFrameWithMouseMode(panel, src[1], orgX, orgY, frame, &len);
    LongPressFrame(panel, orgX, orgY, frame, &len);
    EmitFrames(panel, frame, len);
}
