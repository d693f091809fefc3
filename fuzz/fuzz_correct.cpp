// Fuzz target: the corrections. The hardware's extended arithmetic and the portable integer model
// give the same position for any calibration and touch, and the reported frame is clamped to the
// screen.
#include "correct.h"
#include "fuzzhelp.h"
#include "quilmod.h"

namespace {

int frameReaders[2] = {-1, -1};

void load_panel(FuzzInput &in, TouchPanel *p)
{
    *p = TouchPanel{};
    p->_25Mode = TakeByte(in) & 1 ? 25 : 4;
    Mapping &m = p->mapping;
    for (int *v : {&m.uiULX, &m.uiULY, &m.uiURX, &m.uiURY, &m.uiLLX, &m.uiLLY, &m.uiLRX, &m.uiLRY})
        *v = TakeInt(in);
    p->screen_width_4 = TakeInt(in);
    p->screen_high_4 = TakeInt(in);
    p->screen_width_25 = TakeInt(in);
    p->screen_high_25 = TakeInt(in);
    for (int plane = 0; plane < 2; plane++)
        for (int r = 0; r < 5; r++)
            for (int c = 0; c < 5; c++)
                p->coef.delta[plane][r][c] = TakeInt(in);
}

void corrected(TouchPanel *p, int portable, int x, int y, int *outX, int *outY)
{
    correctPortable = portable;
    *outX = x;
    *outY = y;
    CalibrationPt(p, outX, outY);
}

// Frames carry unsigned 16-bit positions: 0 up to the screen side, and never above 65535.
void check_clamped(const char *axis, int value, int corrected, int side)
{
    int high = side > 65535 ? 65535 : side < 0 ? 0 : side;
    int want = corrected < 0 ? 0 : corrected > high ? high : corrected;
    if (value != want)
        FuzzFail("frame %s %d for corrected %d on a side of %d", axis, value, corrected, side);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    OpenFrameOutputs(frameReaders);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in{data, size, 0};
    static TouchPanel panel;
    load_panel(in, &panel);
    int x = TakeByte(in);  // a packet carries 16-bit raw positions
    x |= TakeByte(in) << 8;
    int y = TakeByte(in);
    y |= TakeByte(in) << 8;

    int hx, hy, px, py;
    corrected(&panel, 0, x, y, &hx, &hy);
    corrected(&panel, 1, x, y, &px, &py);
    if (hx != px || hy != py)
        FuzzFail("hardware (%d, %d) and portable (%d, %d) differ for raw (%d, %d)", hx, hy, px, py, x, y);

    // DRAWING mode reports the corrected touch as it is, clamped.
    TouchSetting.mode = 0;
    unsigned char record[8] = {0x55, 1, (unsigned char)(x >> 8), (unsigned char)x, (unsigned char)(y >> 8),
                               (unsigned char)y, 0, 0};
    ReportFrame(&panel, record);
    std::vector<uint8_t> frame;
    DrainInto(frameReaders[0], frame);
    DrainInto(frameReaders[1], frame);
    if (frame.size() != 10)
        FuzzFail("%zu frame bytes for one touch", frame.size());
    bool grid = panel._25Mode == 25;
    check_clamped("x", frame[1] << 8 | frame[2], hx, grid ? panel.screen_width_25 : panel.screen_width_4);
    check_clamped("y", frame[3] << 8 | frame[4], hy, grid ? panel.screen_high_25 : panel.screen_high_4);
    return 0;
}
