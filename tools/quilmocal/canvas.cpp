// quilmocal's drawing layer on cairo: shapes anti-aliased with their coordinates on pixel
// centres (an odd-width line through a target covers its pixel exactly), text in DejaVu Sans
// Bold through cairo's fontconfig lookup, else cairo's built-in letters, laid out to fit.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "draw.h"
#include "wrap.h"

constexpr int BODY_DIVISOR = 28;  // body text: 1/28 of the shorter side (27 px on 1024 x 768)
constexpr int MIN_BODY_PX = 14;
constexpr double SIZE_SCALE[TEXT_SIZES] = {0.7, 1.0, 2.6};  // small, body, large
constexpr double LINE_SPACING = 1.3;
constexpr double SHRINK_STEP = 0.9;  // a text block too large for its box tries again this much smaller
constexpr double MIN_SHRINK = 0.3;
constexpr double MIN_FONT_PX = 6;
constexpr int MAX_PLATES = 64;       // text lines on one frame
constexpr char FAMILY[] = "DejaVu Sans";
constexpr char BUILT_IN[] = "@cairo:sans-serif";  // cairo's own stroked letters: no font files needed

CanvasBackend canvasBackend;

static cairo_surface_t *surface;
static cairo_t *cr;
static int canvasWidth, canvasHeight;
static bool hasFont;
static std::array<Area, MAX_PLATES> plates;  // the text lines on this frame
static int plateCount;
static std::string frameText;

static void set_colour(unsigned long rgb)
{
    cairo_set_source_rgb(cr, double((rgb >> 16) & 0xFF) / 255, double((rgb >> 8) & 0xFF) / 255,
                         double(rgb & 0xFF) / 255);
}

// The family: fontconfig's match for ours when it has any font, else the built-in one.
static void choose_family()
{
    cairo_select_font_face(cr, FAMILY, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 20);
    cairo_text_extents_t e;
    cairo_text_extents(cr, "M", &e);
    hasFont = cairo_status(cr) == CAIRO_STATUS_SUCCESS && e.x_advance > 0;
    if (!hasFont) {
        cairo_destroy(cr);  // a font failure sticks to the context
        cr = cairo_create(surface);
        cairo_select_font_face(cr, BUILT_IN, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    }
}

bool CanvasBegin(unsigned char *pixels, int width, int height, int stride)
{
    CanvasEnd();
    surface = cairo_image_surface_create_for_data(pixels, CAIRO_FORMAT_RGB24, width, height, stride);
    cr = cairo_create(surface);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        fprintf(stderr, "quilmocal: cannot draw on %dx%d: %s\n", width, height, cairo_status_to_string(cairo_status(cr)));
        CanvasEnd();
        return false;
    }
    canvasWidth = width, canvasHeight = height;
    choose_family();
    return true;
}

void CanvasEnd()
{
    if (cr)
        cairo_destroy(cr);
    if (surface)
        cairo_surface_destroy(surface);
    cr = nullptr, surface = nullptr;
    canvasWidth = canvasHeight = 0;
}

bool CanvasReady()
{
    return cr != nullptr;
}

int CanvasWidth()
{
    return canvasWidth;
}

int CanvasHeight()
{
    return canvasHeight;
}

bool TextHasFont()
{
    return hasFont;
}

// ---- shapes: clipped off the text lines drawn so far ----

static bool shape(unsigned long rgb, int thickness)
{
    if (!cr)
        return false;
    cairo_new_path(cr);
    cairo_reset_clip(cr);
    if (plateCount > 0) {
        cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
        cairo_rectangle(cr, 0, 0, canvasWidth, canvasHeight);
        for (int i = 0; i < plateCount; ++i) {
            const Area &p = plates[static_cast<size_t>(i)];
            cairo_rectangle(cr, p.x, p.y, p.width, p.height);
        }
        cairo_clip(cr);
        cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    }
    set_colour(rgb);
    cairo_set_line_width(cr, std::max(thickness, 1));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    return true;
}

void DrawClear()
{
    plateCount = 0;
    DrawBox(BACKGROUND, 0, 0, canvasWidth, canvasHeight, true);
}

void DrawLine(unsigned long rgb, Point a, Point b, int thickness)
{
    if (!shape(rgb, thickness))
        return;
    cairo_move_to(cr, a.x + 0.5, a.y + 0.5);
    cairo_line_to(cr, b.x + 0.5, b.y + 0.5);
    cairo_stroke(cr);
}

void DrawArc(unsigned long rgb, Point c, int radius, int thickness, double fraction)
{
    const double f = std::clamp(fraction, 0.0, 1.0);
    if (f <= 0 || !shape(rgb, thickness))
        return;
    const double top = -M_PI / 2;  // cairo's angles grow clockwise on the screen
    cairo_arc(cr, c.x + 0.5, c.y + 0.5, radius, top, top + 2 * M_PI * f);
    cairo_stroke(cr);
}

void DrawCircle(unsigned long rgb, Point c, int radius, int thickness)
{
    DrawArc(rgb, c, radius, thickness, 1.0);
}

void DrawBox(unsigned long rgb, int x, int y, int width, int height, bool filled)
{
    if (width <= 0 || height <= 0 || !shape(rgb, 2))
        return;
    if (filled) {
        cairo_rectangle(cr, x, y, width, height);
        cairo_fill(cr);
    } else {
        cairo_rectangle(cr, x + 1, y + 1, width - 2, height - 2);
        cairo_stroke(cr);
    }
}

void DrawDot(unsigned long rgb, Point c, int radius)
{
    if (!shape(rgb, 1))
        return;
    cairo_arc(cr, c.x + 0.5, c.y + 0.5, radius, 0, 2 * M_PI);
    cairo_fill(cr);
}

// The pixels first, then their words: whoever reads the words finds them drawn.
void DrawPresent()
{
    if (!cr)
        return;
    cairo_surface_flush(surface);
    if (canvasBackend.show)
        canvasBackend.show();
    if (canvasBackend.name)
        canvasBackend.name(frameText.c_str());
}

void DrawSetText(const char *text)
{
    frameText = text;
}

// ---- text: wrapped to the box, then shrunk until the block fits ----

int TextBodyPixels()
{
    return std::max(MIN_BODY_PX, std::min(canvasWidth, canvasHeight) / BODY_DIVISOR);
}

static double font_pixels(TextSize size, double scale)
{
    return std::max(MIN_FONT_PX, TextBodyPixels() * SIZE_SCALE[size] * scale);
}

static double advance(std::string_view s)
{
    const std::string text(s);
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

static double line_height()
{
    cairo_font_extents_t f;
    cairo_font_extents(cr, &f);
    return (f.ascent + f.descent) * LINE_SPACING;
}

// The block's height at scale in a box width wide; *fits: no word overflows the width.
static double block_height(const TextLine *lines, int n, double width, double scale, bool *fits)
{
    double h = 0;
    *fits = true;
    for (int i = 0; i < n; ++i) {
        cairo_set_font_size(cr, font_pixels(lines[i].size, scale));
        const Wrapped w = WrapText(lines[i].text, width, advance);
        *fits = *fits && !w.overflow;
        h += std::max(1, w.count) * line_height();
    }
    return h;
}

int TextBlockHeight(const TextLine *lines, int n, int width)
{
    bool fits;
    return cr ? static_cast<int>(std::ceil(block_height(lines, n, width, 1.0, &fits))) : 0;
}

// One wrapped line centred on x with its top at y, on its plate.
static void draw_line(unsigned long rgb, unsigned long plateRgb, std::string_view s, double x, double y)
{
    const std::string text(s);
    cairo_font_extents_t f;
    cairo_font_extents(cr, &f);
    const double width = advance(s), height = line_height();
    const Area plate = {static_cast<int>(std::floor(x - width / 2)) - 1, static_cast<int>(std::floor(y)),
                        static_cast<int>(std::ceil(width)) + 3, static_cast<int>(std::ceil(height))};
    DrawBox(plateRgb, plate.x, plate.y, plate.width, plate.height, true);
    if (plateCount < MAX_PLATES)
        plates[static_cast<size_t>(plateCount++)] = plate;
    cairo_reset_clip(cr);
    set_colour(rgb);
    cairo_move_to(cr, x - width / 2, y + (height - f.ascent - f.descent) / 2 + f.ascent);
    cairo_show_text(cr, text.c_str());
}

int DrawTextBlock(const TextLine *lines, int n, Area box, bool middle, unsigned long plate)
{
    if (!cr || n <= 0)
        return box.y;
    double scale = 1.0, height = 0;
    bool fits = false;
    for (; scale > MIN_SHRINK; scale *= SHRINK_STEP) {
        height = block_height(lines, n, box.width, scale, &fits);
        if (fits && height <= box.height)
            break;
    }
    double y = box.y + (middle ? std::max(0.0, (box.height - height) / 2) : 0);
    const double x = box.x + box.width / 2.0;
    for (int i = 0; i < n; ++i) {
        cairo_set_font_size(cr, font_pixels(lines[i].size, scale));
        const Wrapped w = WrapText(lines[i].text, box.width, advance);
        for (int k = 0; k < w.count; ++k, y += line_height())
            draw_line(lines[i].rgb, plate, w.line[static_cast<size_t>(k)], x, y);
        if (w.count == 0)
            y += line_height();
    }
    return static_cast<int>(std::ceil(y));
}
