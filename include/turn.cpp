// The panel's own pixels and the screen a person sees on a turned monitor; RandR's rotation and
// the connector names X gives the kernel's connectors.
#include "turn.h"

#include <array>

// Mirrored forms mirror the panel's columns first, then turn.
Point ScreenOfPanel(const Turn &t, Point p)
{
    const int w = t.panelWidth, h = t.panelHeight;
    if (t.transform >= 4)
        p.x = w - 1 - p.x;
    switch (t.transform % 4) {
    case 1: return {h - 1 - p.y, p.x};  // a quarter turn counter-clockwise: the panel's top on the right
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

void TurnedSize(const Turn &t, int *width, int *height)
{
    const bool quarter = t.transform % 2 == 1;
    *width = quarter ? t.panelHeight : t.panelWidth;
    *height = quarter ? t.panelWidth : t.panelHeight;
}

Turn TurnOfScreen(int transform, int width, int height)
{
    const bool quarter = transform % 2 == 1;
    return {transform, quarter ? height : width, quarter ? width : height};
}

void PrintOutputLine(FILE *out, std::string_view name, const Turn &t, int x, int y, int widthMm, int heightMm)
{
    constexpr std::array<int, 4> DEGREES = {0, 90, 180, 270};
    if (name.empty())
        name = "(unnamed)";
    fprintf(out, "%.*s %dx%d+%d+%d rotation %d%s %dx%d mm\n", static_cast<int>(name.size()), name.data(),
            t.panelWidth, t.panelHeight, x, y, DEGREES[static_cast<size_t>(t.transform) % 4],
            t.transform >= 4 ? " flipped" : "", widthMm, heightMm);
}

// RandR mirrors the window system's axes, the turned picture's (X: its columns, Y: its rows),
// where our mirrored forms mirror the panel's columns before the turn. A mirror after a turn
// by k is the panel's mirror before a turn by -k; the rows' mirror is that and half a turn
// more; both mirrors are half a turn.
int TransformOfRandR(unsigned rotation)
{
    int turn = 0;
    if (rotation & RANDR_ROTATE_90)
        turn = 1;
    else if (rotation & RANDR_ROTATE_180)
        turn = 2;
    else if (rotation & RANDR_ROTATE_270)
        turn = 3;
    const bool x = rotation & RANDR_REFLECT_X, y = rotation & RANDR_REFLECT_Y;
    if (x && y)
        return (turn + 2) % 4;
    if (x)
        return 4 + (4 - turn) % 4;
    if (y)
        return 4 + (6 - turn) % 4;
    return turn;
}

// ---- connector names ----

// The kernel's names of its connector types; X's modesetting driver shares all but HDMI-A's.
constexpr std::array<std::string_view, 20> KERNEL_TYPES = {
    "Unknown", "VGA", "DVI-I", "DVI-D", "DVI-A", "Composite", "SVIDEO", "LVDS", "Component", "DIN",
    "DP", "HDMI-A", "HDMI-B", "TV", "eDP", "Virtual", "DSI", "DPI", "Writeback", "SPI"};
constexpr std::string_view KERNEL_HDMI = "HDMI-A-", X_HDMI = "HDMI-";

std::string XOutputName(std::string_view connector)
{
    if (connector.starts_with(KERNEL_HDMI))
        return std::string(X_HDMI) + std::string(connector.substr(KERNEL_HDMI.size()));
    return std::string(connector);
}

// "TYPE-N" with a known type and a number of up to four digits.
static bool connector_form(std::string_view name)
{
    for (std::string_view type : KERNEL_TYPES) {
        if (name.size() <= type.size() + 1 || !name.starts_with(type) || name[type.size()] != '-')
            continue;
        const std::string_view n = name.substr(type.size() + 1);
        bool digits = n.size() <= 4;
        for (char c : n)
            digits = digits && c >= '0' && c <= '9';
        if (digits)
            return true;
    }
    return false;
}

std::string KernelConnectorName(std::string_view xName)
{
    if (connector_form(xName))
        return std::string(xName);
    std::string kernel;
    if (xName.starts_with(X_HDMI))
        kernel = std::string(KERNEL_HDMI) + std::string(xName.substr(X_HDMI.size()));
    return connector_form(kernel) ? kernel : "";
}
