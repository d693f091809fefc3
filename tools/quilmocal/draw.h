// quilmocal's drawing layer, shared by the target screen, its feedback, the verdict and the
// endings: cairo on pixels a backend hands over (an X image, a Wayland shared-memory buffer, a
// DRM dumb buffer), so the screens look the same everywhere and never know where they are shown.
// A frame is drawn whole and shown at once; text is laid out to fit its box (wrapped, then
// shrunk) on a plate of background that nothing drawn later covers.
#pragma once
#include "cal.h"

// Colours as 8-bit red, green, blue.
constexpr unsigned long BACKGROUND = 0x182838;  // dark blue: tells our window from the root
constexpr unsigned long CURRENT = 0xFFFFFF;
constexpr unsigned long DONE = 0x506070;
constexpr unsigned long TEXT = 0xD0D0D0;
constexpr unsigned long HOLD = 0x40C0FF;        // the ring that fills while the finger holds
constexpr unsigned long WARN = 0xFFB020;        // a rejected touch, an unsteady hold
constexpr unsigned long PASS = 0x30D050;
constexpr unsigned long FAIL = 0xFF4040;
constexpr unsigned long AREA = 0x2C4460;        // a touch area on the verdict screen

// ---- the backend's side ----

// What a backend does with a finished frame: puts the pixels on the monitor, and names the
// frame's text for those who cannot see it (and for tests).
struct CanvasBackend {
    void (*show)();
    void (*name)(const char *text);
};
extern CanvasBackend canvasBackend;
// Draws from now on into pixels: width x height, stride bytes a row, 32 bits a pixel holding
// 0x00RRGGBB in the machine's byte order (cairo's RGB24); false (after a message) when cairo
// cannot. The pixels stay the backend's.
bool CanvasBegin(unsigned char *pixels, int width, int height, int stride);
void CanvasEnd();
bool CanvasReady();

// ---- the screens' side ----

int CanvasWidth();
int CanvasHeight();
void DrawClear();                                    // the whole frame in BACKGROUND, no text
void DrawLine(unsigned long rgb, Point a, Point b, int thickness);
void DrawCircle(unsigned long rgb, Point centre, int radius, int thickness);
// An arc of a ring from twelve o'clock clockwise: fraction 0..1 of the whole ring.
void DrawArc(unsigned long rgb, Point centre, int radius, int thickness, double fraction);
void DrawBox(unsigned long rgb, int x, int y, int width, int height, bool filled);
void DrawDot(unsigned long rgb, Point centre, int radius);
void DrawPresent();                                  // the frame onto the monitor
// The frame's text for those who cannot see it: the lines shown, '\n' apart; named once the
// frame is shown.
void DrawSetText(const char *text);

enum TextSize { TEXT_SMALL, TEXT_BODY, TEXT_LARGE, TEXT_SIZES };
struct TextLine {
    TextSize size;
    unsigned long rgb;
    const char *text;  // one paragraph: wrapped to the box's width
};
// The height the lines take in a box width wide at their full size.
int TextBlockHeight(const TextLine *lines, int n, int width);
// Draws the lines centred across box from its top (middle: centred in its height too), each
// wrapped to the box's width, all shrunk together until they fit its height; returns the
// bottom of the text drawn. Every line sits on a plate (of BACKGROUND, or the colour it is drawn
// on) that later shapes leave alone.
int DrawTextBlock(const TextLine *lines, int n, Area box, bool middle = false, unsigned long plate = BACKGROUND);
// The text block's size unit: about 1/28 of the shorter side for the body text.
int TextBodyPixels();
// The family found for the text: fontconfig's choice, else cairo's built-in letters.
bool TextHasFont();
