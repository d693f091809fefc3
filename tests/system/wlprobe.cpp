// The system test's Wayland client: a fullscreen window on one output that logs its touch and pointer events.
//
// Usage: wlprobe --output NAME --log FILE [--app-id ID]
// The window asks for fullscreen on the wl_output called NAME (the kernel's connector name) and
// writes one line per event to FILE, flushed at once, in surface coordinates:
//   ready OUTPUT WIDTH HEIGHT        the first buffer of the configured size is up
//   touch down ID X Y | touch motion ID X Y | touch up ID
//   pointer enter X Y | pointer motion X Y | pointer button CODE pressed|released X Y
// It runs until the compositor goes or it is killed.
#include <wayland-client.h>

#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr int max_outputs = 8;

struct Output {
    wl_output* output = nullptr;
    std::array<char, 64> name{};
};

struct Probe {
    std::string_view want_output;
    const char* app_id = "wlprobe";
    FILE* log = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wm = nullptr;
    zxdg_output_manager_v1* xdg_outputs = nullptr;
    wl_seat* seat = nullptr;
    wl_touch* touch = nullptr;
    wl_pointer* pointer = nullptr;
    std::array<Output, max_outputs> outputs{};
    int n_outputs = 0;
    wl_surface* surface = nullptr;
    int width = 0, height = 0;
    bool mapped = false, drawn = false;
    double px = 0, py = 0;  // the pointer's last position on the surface
};

Probe probe;

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(probe.log, format, args);
    va_end(args);
    std::fputc('\n', probe.log);
    std::fflush(probe.log);
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "wlprobe: %s\n", what);
    std::exit(1);
}

// ---- outputs ----
void output_geometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*, int32_t) {}
void output_mode(void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {}
void output_done(void*, wl_output*) {}
void output_scale(void*, wl_output*, int32_t) {}
void output_name(void* data, wl_output*, const char* name) {
    auto* o = static_cast<Output*>(data);
    std::snprintf(o->name.data(), o->name.size(), "%s", name);
}
void output_description(void*, wl_output*, const char*) {}
const wl_output_listener output_listener = {output_geometry, output_mode, output_done, output_scale, output_name,
                                            output_description};

// Before wl_output 4 (weston 10) the name comes through xdg-output 2.
void xdg_output_position(void*, zxdg_output_v1*, int32_t, int32_t) {}
void xdg_output_size(void*, zxdg_output_v1*, int32_t, int32_t) {}
void xdg_output_done(void*, zxdg_output_v1*) {}
void xdg_output_name(void* data, zxdg_output_v1*, const char* name) {
    auto* o = static_cast<Output*>(data);
    if (!o->name[0]) std::snprintf(o->name.data(), o->name.size(), "%s", name);
}
void xdg_output_description(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener xdg_output_listener = {xdg_output_position, xdg_output_size, xdg_output_done,
                                                     xdg_output_name, xdg_output_description};

// ---- touch ----
double fixed(wl_fixed_t v) { return wl_fixed_to_double(v); }
void touch_down(void*, wl_touch*, uint32_t, uint32_t, wl_surface*, int32_t id, wl_fixed_t x, wl_fixed_t y) {
    say("touch down %d %.2f %.2f", id, fixed(x), fixed(y));
}
void touch_up(void*, wl_touch*, uint32_t, uint32_t, int32_t id) { say("touch up %d", id); }
void touch_motion(void*, wl_touch*, uint32_t, int32_t id, wl_fixed_t x, wl_fixed_t y) {
    say("touch motion %d %.2f %.2f", id, fixed(x), fixed(y));
}
void touch_frame(void*, wl_touch*) {}
void touch_cancel(void*, wl_touch*) { say("touch cancel"); }
void touch_shape(void*, wl_touch*, int32_t, wl_fixed_t, wl_fixed_t) {}
void touch_orientation(void*, wl_touch*, int32_t, wl_fixed_t) {}
const wl_touch_listener touch_listener = {touch_down, touch_up, touch_motion, touch_frame, touch_cancel, touch_shape,
                                          touch_orientation};

// ---- pointer ----
void pointer_enter(void*, wl_pointer*, uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
    probe.px = fixed(x), probe.py = fixed(y);
    say("pointer enter %.2f %.2f", probe.px, probe.py);
}
void pointer_leave(void*, wl_pointer*, uint32_t, wl_surface*) { say("pointer leave"); }
void pointer_motion(void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    probe.px = fixed(x), probe.py = fixed(y);
    say("pointer motion %.2f %.2f", probe.px, probe.py);
}
void pointer_button(void*, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
    say("pointer button %u %s %.2f %.2f", button, state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released",
        probe.px, probe.py);
}
void pointer_axis(void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {}
void pointer_frame(void*, wl_pointer*) {}
void pointer_axis_source(void*, wl_pointer*, uint32_t) {}
void pointer_axis_stop(void*, wl_pointer*, uint32_t, uint32_t) {}
void pointer_axis_discrete(void*, wl_pointer*, uint32_t, int32_t) {}
const wl_pointer_listener pointer_listener = {pointer_enter, pointer_leave, pointer_motion, pointer_button, pointer_axis,
                                              pointer_frame, pointer_axis_source, pointer_axis_stop,
                                              pointer_axis_discrete,
                                              nullptr};  // axis_value120: seat version 8, not bound

// ---- seat: devices come and go with the capabilities ----
void seat_capabilities(void*, wl_seat* seat, uint32_t caps) {
    bool has_touch = caps & WL_SEAT_CAPABILITY_TOUCH, has_pointer = caps & WL_SEAT_CAPABILITY_POINTER;
    if (has_touch && !probe.touch) {
        probe.touch = wl_seat_get_touch(seat);
        wl_touch_add_listener(probe.touch, &touch_listener, nullptr);
    } else if (!has_touch && probe.touch) {
        wl_touch_release(probe.touch);
        probe.touch = nullptr;
    }
    if (has_pointer && !probe.pointer) {
        probe.pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(probe.pointer, &pointer_listener, nullptr);
    } else if (!has_pointer && probe.pointer) {
        wl_pointer_release(probe.pointer);
        probe.pointer = nullptr;
    }
    say("seat%s%s", has_touch ? " touch" : "", has_pointer ? " pointer" : "");
}
void seat_name(void*, wl_seat*, const char*) {}
const wl_seat_listener seat_listener = {seat_capabilities, seat_name};

void wm_ping(void*, xdg_wm_base* wm, uint32_t serial) { xdg_wm_base_pong(wm, serial); }
const xdg_wm_base_listener wm_listener = {wm_ping};

void global(void*, wl_registry* registry, uint32_t id, const char* interface, uint32_t version) {
    std::string_view name = interface;
    if (name == wl_compositor_interface.name) {
        probe.compositor = static_cast<wl_compositor*>(wl_registry_bind(registry, id, &wl_compositor_interface, 4));
    } else if (name == wl_shm_interface.name) {
        probe.shm = static_cast<wl_shm*>(wl_registry_bind(registry, id, &wl_shm_interface, 1));
    } else if (name == xdg_wm_base_interface.name) {
        probe.wm = static_cast<xdg_wm_base*>(wl_registry_bind(registry, id, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(probe.wm, &wm_listener, nullptr);
    } else if (name == zxdg_output_manager_v1_interface.name && version >= 2) {
        probe.xdg_outputs = static_cast<zxdg_output_manager_v1*>(
            wl_registry_bind(registry, id, &zxdg_output_manager_v1_interface, 2));
    } else if (name == wl_seat_interface.name && !probe.seat) {
        probe.seat = static_cast<wl_seat*>(wl_registry_bind(registry, id, &wl_seat_interface, std::min(version, 5u)));
        wl_seat_add_listener(probe.seat, &seat_listener, nullptr);
    } else if (name == wl_output_interface.name && probe.n_outputs < max_outputs) {
        // Version 4 names the output; an older compositor leaves the name empty.
        Output& o = probe.outputs[probe.n_outputs++];
        o.output = static_cast<wl_output*>(wl_registry_bind(registry, id, &wl_output_interface, std::min(version, 4u)));
        wl_output_add_listener(o.output, &output_listener, &o);
    }
}
void global_remove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registry_listener = {global, global_remove};

// ---- the window ----
void buffer_release(void*, wl_buffer* buffer) { wl_buffer_destroy(buffer); }
const wl_buffer_listener buffer_listener = {buffer_release};

// A grey buffer: the test reads events, not pixels.
void draw(int width, int height) {
    int stride = width * 4, size = stride * height;
    int fd = memfd_create("wlprobe", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0) die("cannot make a shared-memory buffer");
    void* pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels == MAP_FAILED) die("cannot map the shared-memory buffer");
    std::memset(pixels, 0x60, size);
    munmap(pixels, size);
    wl_shm_pool* pool = wl_shm_create_pool(probe.shm, fd, size);
    wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_buffer_add_listener(buffer, &buffer_listener, nullptr);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_surface_attach(probe.surface, buffer, 0, 0);
    wl_surface_damage(probe.surface, 0, 0, width, height);
    wl_surface_commit(probe.surface);
}

void surface_configure(void*, xdg_surface* surface, uint32_t serial) {
    xdg_surface_ack_configure(surface, serial);
    if (probe.width <= 0 || probe.height <= 0) {
        // sway leaves the size to the client until the window is mapped, then makes it
        // fullscreen: a small window first.
        if (!probe.mapped) draw(64, 64);
        probe.mapped = true;
        return;
    }
    if (!probe.drawn) {
        draw(probe.width, probe.height);
        probe.drawn = probe.mapped = true;
        say("ready %.*s %d %d", static_cast<int>(probe.want_output.size()), probe.want_output.data(), probe.width,
            probe.height);
    }
}
const xdg_surface_listener surface_listener = {surface_configure};

void toplevel_configure(void*, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
    if (width > 0 && height > 0 && (width != probe.width || height != probe.height)) {
        probe.width = width, probe.height = height;
        if (probe.drawn) {
            say("resized %d %d", width, height);
            probe.drawn = false;
        }
    }
}
void toplevel_close(void*, xdg_toplevel*) { std::exit(0); }
// configure_bounds and wm_capabilities come with xdg_wm_base 4 and 5; version 1 is bound.
const xdg_toplevel_listener toplevel_listener = {toplevel_configure, toplevel_close, nullptr, nullptr};

wl_output* find_output() {
    for (int i = 0; i < probe.n_outputs; ++i)
        if (probe.want_output == probe.outputs[i].name.data()) return probe.outputs[i].output;
    std::fprintf(stderr, "wlprobe: no output named %.*s; outputs:", static_cast<int>(probe.want_output.size()),
                 probe.want_output.data());
    for (int i = 0; i < probe.n_outputs; ++i) std::fprintf(stderr, " '%s'", probe.outputs[i].name.data());
    std::fputc('\n', stderr);
    std::exit(1);
}

void parse(int argc, char** argv) {
    const char* log = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string_view opt = argv[i];
        if (opt == "--output") probe.want_output = argv[i + 1];
        else if (opt == "--log") log = argv[i + 1];
        else if (opt == "--app-id") probe.app_id = argv[i + 1];
        else die("usage: wlprobe --output NAME --log FILE [--app-id ID]");
    }
    if (probe.want_output.empty() || !log || argc % 2 == 0) die("usage: wlprobe --output NAME --log FILE [--app-id ID]");
    // Appending: the test empties the log between its steps while the probe keeps it open.
    probe.log = std::fopen(log, "a");
    if (!probe.log || ftruncate(fileno(probe.log), 0) != 0) die("cannot write the log");
}

}  // namespace

int main(int argc, char** argv) {
    parse(argc, argv);
    wl_display* display = wl_display_connect(nullptr);
    if (!display) die("no Wayland display (WAYLAND_DISPLAY, XDG_RUNTIME_DIR)");
    wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, nullptr);
    wl_display_roundtrip(display);
    for (int i = 0; probe.xdg_outputs && i < probe.n_outputs; ++i) {
        zxdg_output_v1* xo = zxdg_output_manager_v1_get_xdg_output(probe.xdg_outputs, probe.outputs[i].output);
        zxdg_output_v1_add_listener(xo, &xdg_output_listener, &probe.outputs[i]);
    }
    wl_display_roundtrip(display);  // the outputs' names
    if (!probe.compositor || !probe.shm || !probe.wm) die("the compositor lacks wl_compositor, wl_shm or xdg_wm_base");
    wl_output* output = find_output();
    probe.surface = wl_compositor_create_surface(probe.compositor);
    xdg_surface* xs = xdg_wm_base_get_xdg_surface(probe.wm, probe.surface);
    xdg_surface_add_listener(xs, &surface_listener, nullptr);
    xdg_toplevel* top = xdg_surface_get_toplevel(xs);
    xdg_toplevel_add_listener(top, &toplevel_listener, nullptr);
    xdg_toplevel_set_app_id(top, probe.app_id);
    xdg_toplevel_set_fullscreen(top, output);
    wl_surface_commit(probe.surface);
    while (wl_display_dispatch(display) != -1) {
    }
    say("gone");
    return 0;
}
