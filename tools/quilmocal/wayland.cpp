// quilmocal's Wayland backend: a fullscreen xdg-shell toplevel on the chosen wl_output, its
// frames copied into one of two shared-memory buffers the compositor is not reading. The
// compositor's answer is checked: a window not fullscreen or not the output's size is refused.
// Escape or q on the seat's keyboard cancels, as on X (wlkeys.cpp).
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "draw.h"
#include "xdg-output-unstable-v1-client.h"
#include "xdg-shell-client.h"

constexpr int MAX_OUTPUTS = 16;
constexpr int BUFFERS = 2;
constexpr int CONFIGURE_WAIT_MS = 5000;  // a compositor that answers nothing by then never will
constexpr uint32_t OUTPUT_VERSION = 4;   // 4 names the connector
constexpr uint32_t XDG_OUTPUT_VERSION = 2;
constexpr uint32_t SEAT_VERSION = 4;      // 4: the keyboard's repeat information, which we ignore  // 2 names it too, for compositors with an older wl_output

namespace {

struct WlOutput {
    wl_output *output = nullptr;
    zxdg_output_v1 *xdg = nullptr;
    uint32_t id = 0;
    char name[64] = "";
    int x = 0, y = 0, width = 0, height = 0;  // the current mode, in the panel's pixels
    int widthMm = 0, heightMm = 0, transform = 0;
};

struct WlBuffer {
    wl_buffer *buffer = nullptr;
    unsigned char *pixels = nullptr;
    bool busy = false;
};

struct WlState {
    wl_display *display = nullptr;
    wl_registry *registry = nullptr;
    wl_compositor *compositor = nullptr;
    wl_shm *shm = nullptr;
    xdg_wm_base *wm = nullptr;
    zxdg_output_manager_v1 *xdgOutputs = nullptr;
    wl_seat *seat = nullptr;
    std::array<WlOutput, MAX_OUTPUTS> outputs{};
    int outputCount = 0;
    wl_surface *surface = nullptr;
    xdg_surface *xsurface = nullptr;
    xdg_toplevel *toplevel = nullptr;
    bool configured = false, fullscreen = false, closed = false;
    int givenWidth = 0, givenHeight = 0;
    std::array<WlBuffer, BUFFERS> buffers{};
    size_t bufferBytes = 0;
    void *map = nullptr;
    int width = 0, height = 0, stride = 0;
    bool unshown = false;  // a frame waits for a free buffer
};

}  // namespace

static WlState wl;
static std::vector<unsigned char> frame;  // the canvas's pixels

// ---- the registry and the outputs ----

static void output_geometry(void *data, wl_output *, int32_t x, int32_t y, int32_t mmW, int32_t mmH, int32_t,
                            const char *, const char *, int32_t transform)
{
    auto *o = static_cast<WlOutput *>(data);
    o->x = x, o->y = y, o->widthMm = mmW, o->heightMm = mmH, o->transform = transform;
}

static void output_mode(void *data, wl_output *, uint32_t flags, int32_t w, int32_t h, int32_t)
{
    auto *o = static_cast<WlOutput *>(data);
    if (flags & WL_OUTPUT_MODE_CURRENT)
        o->width = w, o->height = h;
}

static void output_done(void *, wl_output *) {}
static void output_scale(void *, wl_output *, int32_t) {}

static void output_name(void *data, wl_output *, const char *name)
{
    auto *o = static_cast<WlOutput *>(data);
    snprintf(o->name, sizeof o->name, "%s", name);
}

static void output_description(void *, wl_output *, const char *) {}

static const wl_output_listener outputListener = {output_geometry, output_mode,  output_done,
                                                  output_scale,    output_name, output_description};

// xdg-output's name is the same connector name; wl_output's own, where it has one, is kept.
static void xdg_output_name(void *data, zxdg_output_v1 *, const char *name)
{
    auto *o = static_cast<WlOutput *>(data);
    if (!o->name[0])
        snprintf(o->name, sizeof o->name, "%s", name);
}

static void xdg_output_position(void *, zxdg_output_v1 *, int32_t, int32_t) {}
static void xdg_output_size(void *, zxdg_output_v1 *, int32_t, int32_t) {}
static void xdg_output_done(void *, zxdg_output_v1 *) {}
static void xdg_output_description(void *, zxdg_output_v1 *, const char *) {}

static const zxdg_output_v1_listener xdgOutputListener = {xdg_output_position, xdg_output_size, xdg_output_done,
                                                          xdg_output_name, xdg_output_description};

// Asks xdg-output about every output bound so far (called after the globals are known).
static void name_outputs()
{
    for (int i = 0; wl.xdgOutputs && i < wl.outputCount; ++i) {
        WlOutput &o = wl.outputs[static_cast<size_t>(i)];
        if (o.xdg)
            continue;
        o.xdg = zxdg_output_manager_v1_get_xdg_output(wl.xdgOutputs, o.output);
        zxdg_output_v1_add_listener(o.xdg, &xdgOutputListener, &o);
    }
}

static void wm_ping(void *, xdg_wm_base *wm, uint32_t serial)
{
    xdg_wm_base_pong(wm, serial);
}

static const xdg_wm_base_listener wmListener = {wm_ping};

static void global_added(void *, wl_registry *r, uint32_t id, const char *interface, uint32_t version)
{
    if (strcmp(interface, wl_compositor_interface.name) == 0)
        wl.compositor = static_cast<wl_compositor *>(wl_registry_bind(r, id, &wl_compositor_interface, 1));
    else if (strcmp(interface, wl_shm_interface.name) == 0)
        wl.shm = static_cast<wl_shm *>(wl_registry_bind(r, id, &wl_shm_interface, 1));
    else if (strcmp(interface, xdg_wm_base_interface.name) == 0) {
        wl.wm = static_cast<xdg_wm_base *>(wl_registry_bind(r, id, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(wl.wm, &wmListener, nullptr);
    } else if (strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && version >= XDG_OUTPUT_VERSION) {
        wl.xdgOutputs = static_cast<zxdg_output_manager_v1 *>(
            wl_registry_bind(r, id, &zxdg_output_manager_v1_interface, XDG_OUTPUT_VERSION));
    } else if (strcmp(interface, wl_seat_interface.name) == 0 && !wl.seat) {
        wl.seat = static_cast<wl_seat *>(wl_registry_bind(r, id, &wl_seat_interface, std::min(version, SEAT_VERSION)));
        WlKeysAttach(wl.seat);
    } else if (strcmp(interface, wl_output_interface.name) == 0 && wl.outputCount < MAX_OUTPUTS) {
        WlOutput &o = wl.outputs[static_cast<size_t>(wl.outputCount++)];
        const uint32_t v = std::min(version, OUTPUT_VERSION);
        o.id = id;
        o.output = static_cast<wl_output *>(wl_registry_bind(r, id, &wl_output_interface, v));
        wl_output_add_listener(o.output, &outputListener, &o);
    }
}

static void global_removed(void *, wl_registry *, uint32_t) {}

static const wl_registry_listener registryListener = {global_added, global_removed};

// ---- the compositor's answers, each waited for with a bound ----

// Reads and handles what the compositor sent, without blocking; false once the connection broke.
static bool dispatch_now()
{
    while (wl_display_prepare_read(wl.display) != 0)
        if (wl_display_dispatch_pending(wl.display) < 0)
            return false;
    wl_display_flush(wl.display);
    struct pollfd p = {wl_display_get_fd(wl.display), POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        if (wl_display_read_events(wl.display) < 0)
            return false;
    } else {
        wl_display_cancel_read(wl.display);
    }
    return wl_display_dispatch_pending(wl.display) >= 0 && wl_display_get_error(wl.display) == 0;
}

// Handles events until done() holds or ms pass; false on a broken connection or the time-out.
static bool dispatch_until(bool (*done)(), int ms)
{
    const long long end = NowMs() + ms;
    while (!done()) {
        if (!dispatch_now() || MsUntil(end) == 0)
            return false;
        struct pollfd p = {wl_display_get_fd(wl.display), POLLIN, 0};
        poll(&p, 1, MsUntil(end));
    }
    return true;
}

static void toplevel_configure(void *, xdg_toplevel *, int32_t w, int32_t h, wl_array *states)
{
    wl.givenWidth = w, wl.givenHeight = h;
    wl.fullscreen = false;
    const auto *s = static_cast<const uint32_t *>(states->data);
    for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i)
        wl.fullscreen = wl.fullscreen || s[i] == XDG_TOPLEVEL_STATE_FULLSCREEN;
}

static void toplevel_close(void *, xdg_toplevel *)
{
    wl.closed = true;  // the compositor asks us to go: a cancel
}

static void toplevel_bounds(void *, xdg_toplevel *, int32_t, int32_t) {}
static void toplevel_capabilities(void *, xdg_toplevel *, wl_array *) {}

static const xdg_toplevel_listener toplevelListener = {toplevel_configure, toplevel_close, toplevel_bounds,
                                                       toplevel_capabilities};

static void surface_configure(void *, xdg_surface *s, uint32_t serial)
{
    xdg_surface_ack_configure(s, serial);
    wl.configured = true;
}

static const xdg_surface_listener surfaceListener = {surface_configure};

static void buffer_release(void *data, wl_buffer *)
{
    static_cast<WlBuffer *>(data)->busy = false;
    if (wl.unshown)
        DrawPresent();
}

static const wl_buffer_listener bufferListener = {buffer_release};

// ---- connecting, choosing the output ----

bool WlConnect(char *why, size_t size)
{
    wl.display = wl_display_connect(nullptr);
    if (!wl.display) {
        snprintf(why, size, "cannot reach the Wayland compositor at %s", getenv("WAYLAND_DISPLAY") ?: "wayland-0");
        return false;
    }
    wl.registry = wl_display_get_registry(wl.display);
    wl_registry_add_listener(wl.registry, &registryListener, nullptr);
    // Two round trips: the globals, then what each output tells of itself.
    bool ok = wl_display_roundtrip(wl.display) >= 0;
    name_outputs();
    if (!ok || wl_display_roundtrip(wl.display) < 0) {
        snprintf(why, size, "the Wayland compositor went away while it was asked what it offers");
        return false;
    }
    if (!wl.compositor || !wl.shm || !wl.wm || wl.outputCount == 0) {
        snprintf(why, size, "the Wayland compositor offers no %s", !wl.compositor ? "wl_compositor"
                                                                    : !wl.shm     ? "wl_shm"
                                                                    : !wl.wm      ? "xdg_wm_base (xdg-shell)"
                                                                                  : "output");
        return false;
    }
    return true;
}

static WlOutput *chosen;

int WlArea(const char *output, Area *area, char *why, size_t size)
{
    chosen = nullptr;
    for (int i = 0; i < wl.outputCount && !chosen; ++i)
        if (!output || strcmp(wl.outputs[static_cast<size_t>(i)].name, output) == 0)
            chosen = &wl.outputs[static_cast<size_t>(i)];
    if (!chosen) {
        snprintf(why, size, "no output '%s' (see --list-outputs)", output);
        return 1;
    }
    *area = {0, 0, 0, 0};
    shownTurn = {chosen->transform, chosen->width, chosen->height};
    TurnedSize(shownTurn, &area->width, &area->height);  // the output's size as clients see it
    return 0;
}

void WlListOutputs(FILE *out)
{
    for (int i = 0; i < wl.outputCount; ++i) {
        const WlOutput &o = wl.outputs[static_cast<size_t>(i)];
        PrintOutputLine(out, o.name, Turn{o.transform, o.width, o.height}, o.x, o.y, o.widthMm, o.heightMm);
    }
}

// ---- the window and its buffers ----

static bool configured()
{
    return wl.configured;
}

static void show_frame()
{
    for (WlBuffer &b : wl.buffers) {
        if (b.busy || !b.buffer)
            continue;
        memcpy(b.pixels, frame.data(), wl.bufferBytes);
        wl_surface_attach(wl.surface, b.buffer, 0, 0);
        wl_surface_damage(wl.surface, 0, 0, wl.width, wl.height);
        wl_surface_commit(wl.surface);
        wl_display_flush(wl.display);
        b.busy = true;
        wl.unshown = false;
        return;
    }
    wl.unshown = true;  // shown once the compositor lets go of a buffer
}

// Two buffers in one shared-memory pool.
static bool make_buffers(char *why, size_t size)
{
    wl.stride = 4 * wl.width;
    wl.bufferBytes = static_cast<size_t>(wl.stride) * static_cast<size_t>(wl.height);
    const int fd = memfd_create("quilmocal", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(wl.bufferBytes * BUFFERS)) != 0) {
        snprintf(why, size, "no shared memory for the window: %s", strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    wl.map = mmap(nullptr, wl.bufferBytes * BUFFERS, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (wl.map == MAP_FAILED) {
        wl.map = nullptr;
        close(fd);
        snprintf(why, size, "no shared memory for the window: %s", strerror(errno));
        return false;
    }
    wl_shm_pool *pool = wl_shm_create_pool(wl.shm, fd, static_cast<int32_t>(wl.bufferBytes * BUFFERS));
    for (int i = 0; i < BUFFERS; ++i) {
        WlBuffer &b = wl.buffers[static_cast<size_t>(i)];
        const auto offset = static_cast<int32_t>(wl.bufferBytes * static_cast<size_t>(i));
        b.buffer = wl_shm_pool_create_buffer(pool, offset, wl.width, wl.height, wl.stride, WL_SHM_FORMAT_XRGB8888);
        b.pixels = static_cast<unsigned char *>(wl.map) + offset;
        wl_buffer_add_listener(b.buffer, &bufferListener, &b);
    }
    wl_shm_pool_destroy(pool);
    close(fd);
    return true;
}

static void drop_buffers()
{
    for (WlBuffer &b : wl.buffers)
        if (b.buffer)
            wl_buffer_destroy(b.buffer);
    if (wl.map)
        munmap(wl.map, wl.bufferBytes * BUFFERS);
    wl.buffers = {};
    wl.map = nullptr;
}

static bool fullscreen_given()
{
    return wl.configured && wl.fullscreen;
}

// sway maps a window before it makes it fullscreen: its first configure names no state and
// leaves the size to the client. A frame of one pixel maps the window; the fullscreen configure
// follows (false, why set, when none came or the compositor broke).
static bool map_first(char *why, size_t size)
{
    wl.width = wl.height = 1;
    if (!make_buffers(why, size))
        return false;
    wl_surface_attach(wl.surface, wl.buffers[0].buffer, 0, 0);
    wl_surface_commit(wl.surface);
    wl.configured = false;
    const bool answered = dispatch_until(fullscreen_given, CONFIGURE_WAIT_MS);
    drop_buffers();  // the first real frame replaces it at once
    if (!answered)
        snprintf(why, size, "the Wayland compositor refused a fullscreen window");
    return answered;
}

// The toplevel, fullscreen on the chosen output, and the compositor's answer checked.
bool WlOpen(const Area &area, char *why, size_t size)
{
    wl.surface = wl_compositor_create_surface(wl.compositor);
    wl.xsurface = xdg_wm_base_get_xdg_surface(wl.wm, wl.surface);
    xdg_surface_add_listener(wl.xsurface, &surfaceListener, nullptr);
    wl.toplevel = xdg_surface_get_toplevel(wl.xsurface);
    xdg_toplevel_add_listener(wl.toplevel, &toplevelListener, nullptr);
    xdg_toplevel_set_title(wl.toplevel, "quilmocal");
    xdg_toplevel_set_app_id(wl.toplevel, "quilmocal");
    xdg_toplevel_set_fullscreen(wl.toplevel, chosen ? chosen->output : nullptr);
    wl_surface_commit(wl.surface);
    if (!dispatch_until(configured, CONFIGURE_WAIT_MS)) {
        snprintf(why, size, "the Wayland compositor did not configure the window within %d s",
                 CONFIGURE_WAIT_MS / 1000);
        return false;
    }
    if (!wl.fullscreen && !map_first(why, size))
        return false;
    // 0 x 0 leaves the size to us: the output's.
    wl.width = wl.givenWidth > 0 ? wl.givenWidth : area.width;
    wl.height = wl.givenHeight > 0 ? wl.givenHeight : area.height;
    if (wl.width != area.width || wl.height != area.height) {
        snprintf(why, size, "the Wayland compositor gave a %dx%d window, not the output's %dx%d", wl.width,
                 wl.height, area.width, area.height);
        return false;
    }
    if (!make_buffers(why, size))
        return false;
    frame.assign(wl.bufferBytes, 0);
    canvasBackend = {show_frame, nullptr};
    if (!CanvasBegin(frame.data(), wl.width, wl.height, wl.stride))
        return false;
    DrawClear();
    DrawPresent();
    return true;
}

bool WlActive()
{
    return wl.display != nullptr;
}

bool WlShown()
{
    return wl.surface != nullptr && CanvasReady();
}

int WlFd()
{
    return wl.display ? wl_display_get_fd(wl.display) : -1;
}

// Handles the compositor's events; true once it asked the window to close or Escape or q was pressed. A broken
// connection ends the run through onScreenLost.
bool WlCancelled()
{
    if (!wl.display)
        return false;
    if (!dispatch_now() && onScreenLost)
        onScreenLost();
    return wl.closed || WlKeysCancelled();
}

// Every proxy of ours goes before the connection: libwayland frees none of them with it.
static void drop_globals()
{
    for (int i = 0; i < wl.outputCount; ++i) {
        const WlOutput &o = wl.outputs[static_cast<size_t>(i)];
        if (o.xdg)
            zxdg_output_v1_destroy(o.xdg);
        if (o.output)
            wl_output_destroy(o.output);
    }
    if (wl.seat)
        wl_seat_destroy(wl.seat);
    if (wl.xdgOutputs)
        zxdg_output_manager_v1_destroy(wl.xdgOutputs);
    if (wl.wm)
        xdg_wm_base_destroy(wl.wm);
    if (wl.shm)
        wl_shm_destroy(wl.shm);
    if (wl.compositor)
        wl_compositor_destroy(wl.compositor);
    if (wl.registry)
        wl_registry_destroy(wl.registry);
}

void WlClose()
{
    if (!wl.display)
        return;
    CanvasEnd();
    canvasBackend = {};
    drop_buffers();
    WlKeysEnd();
    if (wl.toplevel)
        xdg_toplevel_destroy(wl.toplevel);
    if (wl.xsurface)
        xdg_surface_destroy(wl.xsurface);
    if (wl.surface)
        wl_surface_destroy(wl.surface);
    drop_globals();
    wl_display_disconnect(wl.display);
    wl = {};
    frame.clear();
}
