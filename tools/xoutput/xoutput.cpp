// RandR monitors and outputs of the default screen, looked up by name or listed.
#include "xoutput.h"

#include <X11/extensions/Xrandr.h>
#include <cstring>
#include <string>

#include "turn.h"

static_assert(RANDR_ROTATE_90 == RR_Rotate_90 && RANDR_ROTATE_270 == RR_Rotate_270 &&
              RANDR_REFLECT_X == RR_Reflect_X && RANDR_REFLECT_Y == RR_Reflect_Y);

// Called once per rectangle; returns true to stop the walk.
typedef bool (*RectVisit)(const XOutputRect &rect, void *arg);

static bool has_randr15(Display *dpy) {
    int event_base, error_base, major = 0, minor = 0;
    if (!XRRQueryExtension(dpy, &event_base, &error_base) || !XRRQueryVersion(dpy, &major, &minor))
        return false;
    return major > 1 || (major == 1 && minor >= 5);
}

static XOutputRect make_rect(const char *name, int x, int y, int width, int height, int transform, int widthMm,
                             int heightMm) {
    XOutputRect rect{x, y, width, height, {}, transform, widthMm, heightMm};
    snprintf(rect.name.data(), rect.name.size(), "%s", name ? name : "");
    return rect;
}

// The rotation of the CRTC an output drives, 0 when it drives none.
static int output_transform(Display *dpy, XRRScreenResources *res, RROutput id) {
    int transform = 0;
    XRROutputInfo *out = res ? XRRGetOutputInfo(dpy, res, id) : nullptr;
    XRRCrtcInfo *crtc = out && out->crtc ? XRRGetCrtcInfo(dpy, res, out->crtc) : nullptr;
    if (crtc)
        transform = TransformOfRandR(crtc->rotation);
    if (crtc)
        XRRFreeCrtcInfo(crtc);
    if (out)
        XRRFreeOutputInfo(out);
    return transform;
}

// A monitor turns as its first output does.
static bool walk_monitors(Display *dpy, Window root, RectVisit visit, void *arg) {
    int count = 0;
    XRRMonitorInfo *monitors = XRRGetMonitors(dpy, root, True, &count);
    XRRScreenResources *res = monitors ? XRRGetScreenResourcesCurrent(dpy, root) : nullptr;
    bool stopped = false;
    for (int i = 0; monitors && i < count && !stopped; ++i) {
        char *name = XGetAtomName(dpy, monitors[i].name);
        const XRRMonitorInfo &m = monitors[i];
        const int transform = m.noutput > 0 ? output_transform(dpy, res, m.outputs[0]) : 0;
        const bool quarter = transform % 2 == 1;  // the server turns an output's size into its monitor's
        stopped = visit(make_rect(name, m.x, m.y, m.width, m.height, transform, quarter ? m.mheight : m.mwidth,
                                  quarter ? m.mwidth : m.mheight),
                        arg);
        if (name)
            XFree(name);
    }
    if (monitors)
        XRRFreeMonitors(monitors);
    if (res)
        XRRFreeScreenResources(res);
    return stopped;
}

// Connected outputs that show something: those with a CRTC of non-zero size.
static bool walk_outputs(Display *dpy, Window root, RectVisit visit, void *arg) {
    XRRScreenResources *res = XRRGetScreenResourcesCurrent(dpy, root);
    if (!res)
        return false;
    bool stopped = false;
    for (int i = 0; i < res->noutput && !stopped; ++i) {
        XRROutputInfo *out = XRRGetOutputInfo(dpy, res, res->outputs[i]);
        if (out && out->connection == RR_Connected && out->crtc) {
            XRRCrtcInfo *crtc = XRRGetCrtcInfo(dpy, res, out->crtc);
            if (crtc && crtc->width > 0 && crtc->height > 0)
                stopped = visit(make_rect(out->name, crtc->x, crtc->y, int(crtc->width), int(crtc->height),
                                          TransformOfRandR(crtc->rotation), int(out->mm_width),
                                          int(out->mm_height)),
                                arg);
            if (crtc)
                XRRFreeCrtcInfo(crtc);
        }
        if (out)
            XRRFreeOutputInfo(out);
    }
    XRRFreeScreenResources(res);
    return stopped;
}

struct Lookup {
    const char *name;
    XOutputRect *rect;
};

static bool match_name(const XOutputRect &rect, void *arg) {
    Lookup *lookup = static_cast<Lookup *>(arg);
    if (strcmp(rect.name.data(), lookup->name) != 0)
        return false;
    *lookup->rect = rect;
    return true;
}

static bool find_named(Display *dpy, const char *name, XOutputRect *rect) {
    Window root = DefaultRootWindow(dpy);
    Lookup lookup{name, rect};
    return walk_monitors(dpy, root, match_name, &lookup) || walk_outputs(dpy, root, match_name, &lookup);
}

int FindXOutput(Display *dpy, const char *name, XOutputRect *rect) {
    if (!has_randr15(dpy))
        return 2;
    const std::string xName = XOutputName(name);
    return find_named(dpy, name, rect) || (xName != name && find_named(dpy, xName.c_str(), rect)) ? 0 : 1;
}

// The outputs that show something, counted; the primary's (or the last's) rectangle kept.
struct Primary {
    const char *primary;  // its name, nullptr when the screen has none
    XOutputRect *rect;
    int count;
    bool found;
};

static bool visit_primary(const XOutputRect &rect, void *arg) {
    Primary *p = static_cast<Primary *>(arg);
    p->count++;
    if (!p->found)
        *p->rect = rect;
    p->found = p->found || (p->primary && strcmp(rect.name.data(), p->primary) == 0);
    return false;
}

int FindXPrimary(Display *dpy, XOutputRect *rect) {
    if (!has_randr15(dpy))
        return 1;
    Window root = DefaultRootWindow(dpy);
    std::array<char, 64> primaryName{};
    XRRScreenResources *res = XRRGetScreenResourcesCurrent(dpy, root);
    const RROutput primary = res ? XRRGetOutputPrimary(dpy, root) : 0;
    XRROutputInfo *info = primary ? XRRGetOutputInfo(dpy, res, primary) : nullptr;
    if (info)
        snprintf(primaryName.data(), primaryName.size(), "%s", info->name);
    if (info)
        XRRFreeOutputInfo(info);
    if (res)
        XRRFreeScreenResources(res);
    Primary p{primaryName[0] ? primaryName.data() : nullptr, rect, 0, false};
    walk_outputs(dpy, root, visit_primary, &p);
    return p.found || p.count == 1 ? 0 : 1;
}

static bool print_rect(const XOutputRect &rect, void *arg) {
    PrintOutputLine(static_cast<FILE *>(arg), rect.name.data(), TurnOfScreen(rect.transform, rect.width, rect.height),
                    rect.x, rect.y, rect.widthMm, rect.heightMm);
    return false;
}

// The monitors printed so far: an output RandR made a monitor of (the same name) is that
// monitor, printed once.
namespace {
struct Listed {
    FILE *out;
    std::array<std::array<char, 64>, 32> names;
    size_t count;
};
}  // namespace

static bool print_monitor(const XOutputRect &rect, void *arg) {
    Listed *l = static_cast<Listed *>(arg);
    if (l->count < l->names.size())
        l->names[l->count++] = rect.name;
    return print_rect(rect, l->out);
}

static bool print_unlisted(const XOutputRect &rect, void *arg) {
    Listed *l = static_cast<Listed *>(arg);
    for (size_t i = 0; i < l->count; ++i)
        if (strcmp(l->names[i].data(), rect.name.data()) == 0)
            return false;
    return print_rect(rect, l->out);
}

void ListXOutputs(Display *dpy, FILE *out) {
    if (!has_randr15(dpy))
        return;
    Window root = DefaultRootWindow(dpy);
    Listed listed{out, {}, 0};
    walk_monitors(dpy, root, print_monitor, &listed);
    walk_outputs(dpy, root, print_unlisted, &listed);
}

int XScreenTransform(Display *dpy) {
    XOutputRect r{};
    const int screen = DefaultScreen(dpy);
    if (FindXPrimary(dpy, &r) != 0 || r.x != 0 || r.y != 0 || r.width != DisplayWidth(dpy, screen) ||
        r.height != DisplayHeight(dpy, screen))
        return 0;
    return r.transform;
}
