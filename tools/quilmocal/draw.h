// quilmocal's drawing primitives, shared by the target screen, its feedback and the verdict:
// everything is drawn into a back buffer the size of the window and shown at once, so a
// redraw never flickers and an Expose only copies the buffer again.
#pragma once
#include <X11/Xlib.h>

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

// One 8-bit channel of rgb (at shift 16, 8 or 0) as X's 16-bit intensity.
constexpr unsigned short Channel16(unsigned long rgb, int shift)
{
    return static_cast<unsigned short>(((rgb >> shift) & 0xFF) * 257);
}
unsigned long ColourPixel(unsigned long rgb);  // the screen's pixel value, allocated once

int CanvasWidth();
int CanvasHeight();
void DrawClear();                                    // the whole buffer in BACKGROUND
void DrawLine(unsigned long rgb, Point a, Point b, int thickness);
void DrawCircle(unsigned long rgb, Point centre, int radius, int thickness);
// An arc of a ring from twelve o'clock clockwise: fraction 0..1 of the whole ring.
void DrawArc(unsigned long rgb, Point centre, int radius, int thickness, double fraction);
void DrawBox(unsigned long rgb, int x, int y, int width, int height, bool filled);
void DrawDot(unsigned long rgb, Point centre, int radius);
void DrawPresent();                                  // the buffer onto the window
// The window's text for those who cannot see it (and for tests): the lines shown, '\n' apart.
void DrawSetText(const char *text);

// ---- font.cpp: text, anti-aliased through Xft and fontconfig, else the server's bitmap font ----

enum TextSize { TEXT_SMALL, TEXT_BODY, TEXT_LARGE, TEXT_SIZES };
// Fonts sized from the window: about 1/28 of its shorter side for the body text.
void FontOpen(Display *display, Drawable drawable, int width, int height);
void FontClose();
void FontRelease();  // once the display is closed: fontconfig's own memory too
bool FontAntiAliased();  // Xft, not the fallback
int TextLineHeight(TextSize size);
int TextWidth(TextSize size, const char *text);
// text centred on x, its line's top at y; returns the next line's top.
int DrawCentred(TextSize size, unsigned long rgb, int x, int y, const char *text);
