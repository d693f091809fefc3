// quilmocal's text: anti-aliased DejaVu Sans (or what fontconfig finds in its place) through
// Xft, sized from the window so it reads at arm's length and more; without Xft's fonts, the
// largest of the server's bitmap fonts that loads.
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstring>

#include "draw.h"

constexpr int BODY_DIVISOR = 28;  // body text: 1/28 of the shorter side (27 px on 1024 x 768)
constexpr int MIN_BODY_PX = 14;
constexpr double SIZE_SCALE[TEXT_SIZES] = {0.7, 1.0, 2.6};  // small, body, large
constexpr double LINE_SPACING = 1.3;
constexpr char FAMILY[] = "DejaVu Sans";
// Bitmap fonts, largest first, for each size: the first the server has is taken.
constexpr const char *BITMAP_FONTS[] = {"-misc-fixed-bold-r-normal--18-*-*-*-*-*-iso8859-1", "10x20", "9x15",
                                        "fixed"};

static Display *fontDisplay;
static Drawable target;
static XftDraw *xftDraw;
static std::array<XftFont *, TEXT_SIZES> xftFonts;
static XFontStruct *bitmap;
static GC textGc;

static XftFont *open_xft(int screen, double pixels)
{
    return XftFontOpen(fontDisplay, screen, XFT_FAMILY, XftTypeString, FAMILY, XFT_PIXEL_SIZE, XftTypeDouble,
                       pixels, XFT_WEIGHT, XftTypeInteger, XFT_WEIGHT_BOLD, XFT_ANTIALIAS, XftTypeBool, True,
                       nullptr);
}

// All three sizes through Xft, or none (one font for everything reads worse than a mix).
static bool open_all_xft(int screen, int body)
{
    for (int k = 0; k < TEXT_SIZES; ++k) {
        xftFonts[static_cast<size_t>(k)] = open_xft(screen, std::max(10.0, body * SIZE_SCALE[k]));
        if (!xftFonts[static_cast<size_t>(k)])
            return false;
    }
    const int s = DefaultScreen(fontDisplay);
    xftDraw = XftDrawCreate(fontDisplay, target, DefaultVisual(fontDisplay, s), DefaultColormap(fontDisplay, s));
    return xftDraw != nullptr;
}

void FontOpen(Display *display, Drawable drawable, int width, int height)
{
    fontDisplay = display;
    target = drawable;
    const int body = std::max(MIN_BODY_PX, std::min(width, height) / BODY_DIVISOR);
    if (open_all_xft(DefaultScreen(display), body))
        return;
    FontClose();
    fontDisplay = display;
    textGc = XCreateGC(display, drawable, 0, nullptr);
    for (const char *name : BITMAP_FONTS)
        if ((bitmap = XLoadQueryFont(display, name)) != nullptr)
            break;
    if (bitmap)
        XSetFont(display, textGc, bitmap->fid);
}

void FontClose()
{
    if (!fontDisplay)
        return;
    for (XftFont *&f : xftFonts) {
        if (f)
            XftFontClose(fontDisplay, f);
        f = nullptr;
    }
    if (xftDraw)
        XftDrawDestroy(xftDraw);
    xftDraw = nullptr;
    if (bitmap)
        XFreeFont(fontDisplay, bitmap);
    bitmap = nullptr;
    if (textGc)
        XFreeGC(fontDisplay, textGc);
    textGc = nullptr;
    fontDisplay = nullptr;
}

void FontRelease()
{
    FcFini();
}

bool FontAntiAliased()
{
    return xftDraw != nullptr;
}

static int ascent(TextSize size)
{
    if (xftDraw)
        return xftFonts[size]->ascent;
    return bitmap ? bitmap->ascent : 10;
}

int TextLineHeight(TextSize size)
{
    const int h = xftDraw ? xftFonts[size]->ascent + xftFonts[size]->descent
                          : (bitmap ? bitmap->ascent + bitmap->descent : 12);
    return static_cast<int>(h * LINE_SPACING);
}

int TextWidth(TextSize size, const char *text)
{
    const int len = static_cast<int>(strlen(text));
    if (xftDraw) {
        XGlyphInfo g;
        XftTextExtentsUtf8(fontDisplay, xftFonts[size], reinterpret_cast<const FcChar8 *>(text), len, &g);
        return g.xOff;
    }
    return bitmap ? XTextWidth(bitmap, text, len) : len * 6;
}

static void draw_xft(TextSize size, unsigned long rgb, int x, int baseline, const char *text)
{
    XRenderColor rc;
    rc.red = Channel16(rgb, 16);
    rc.green = Channel16(rgb, 8);
    rc.blue = Channel16(rgb, 0);
    rc.alpha = 0xFFFF;
    const int s = DefaultScreen(fontDisplay);
    XftColor colour;
    if (!XftColorAllocValue(fontDisplay, DefaultVisual(fontDisplay, s), DefaultColormap(fontDisplay, s), &rc,
                            &colour))
        return;
    XftDrawStringUtf8(xftDraw, &colour, xftFonts[size], x, baseline, reinterpret_cast<const FcChar8 *>(text),
                      static_cast<int>(strlen(text)));
    XftColorFree(fontDisplay, DefaultVisual(fontDisplay, s), DefaultColormap(fontDisplay, s), &colour);
}

int DrawCentred(TextSize size, unsigned long rgb, int x, int y, const char *text)
{
    if (!fontDisplay)
        return y;
    const int left = x - TextWidth(size, text) / 2;
    const int baseline = y + ascent(size);
    if (xftDraw) {
        draw_xft(size, rgb, left, baseline, text);
    } else if (textGc) {
        XSetForeground(fontDisplay, textGc, ColourPixel(rgb));
        XDrawString(fontDisplay, target, textGc, left, baseline, text, static_cast<int>(strlen(text)));
    }
    return y + TextLineHeight(size);
}
