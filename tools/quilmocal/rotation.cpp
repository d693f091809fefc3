// The panel's own pixels and the screen a person sees on an output turned by its transform.
// Calibration files speak the panel's pixels: a compositor maps a touchscreen onto the physical
// panel and turns it with the output, so the files never depend on the output's rotation.
#include "cal.h"

Turn shownTurn;

// Mirrored forms mirror the panel's columns first, then turn.
Point ScreenOfPanel(const Turn &t, Point p)
{
    const int w = t.panelWidth, h = t.panelHeight;
    if (t.transform >= 4)
        p.x = w - 1 - p.x;
    switch (t.transform % 4) {
    case 1: return {h - 1 - p.y, p.x};          // a quarter turn: weston's rotate-90
    case 2: return {w - 1 - p.x, h - 1 - p.y};
    case 3: return {p.y, w - 1 - p.x};
    default: return p;
    }
}

Point PanelOfScreen(const Turn &t, Point s)
{
    const int w = t.panelWidth, h = t.panelHeight;
    Point p = s;
    switch (t.transform % 4) {
    case 1: p = {s.y, h - 1 - s.x}; break;
    case 2: p = {w - 1 - s.x, h - 1 - s.y}; break;
    case 3: p = {w - 1 - s.y, s.x}; break;
    default: break;
    }
    if (t.transform >= 4)
        p.x = w - 1 - p.x;
    return p;
}

std::array<Point, MAX_TARGETS> ShownPoints(const Point *panel, int n)
{
    std::array<Point, MAX_TARGETS> shown{};
    for (int i = 0; i < n && i < MAX_TARGETS; ++i)
        shown[static_cast<size_t>(i)] = ScreenOfPanel(shownTurn, panel[i]);
    return shown;
}
