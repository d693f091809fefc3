// quilmocal's keys on a Wayland seat: Escape by its evdev code, q wherever the seat's keymap
// puts it; either cancels the run.
#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <vector>

#include "cal.h"

constexpr uint32_t KEYMAP_MAX = 1 << 20;  // a whole keymap's text is about 64 KiB

static wl_keyboard *keyboard;
static std::vector<uint32_t> quitKeys = {KEY_Q};  // the keys that give q
static bool cancelled;

static void key_map(void *, wl_keyboard *, uint32_t format, int32_t fd, uint32_t size)
{
    quitKeys = {KEY_Q};  // the US place, for a keymap we cannot read
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0 && size <= KEYMAP_MAX) {
        void *text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (text != MAP_FAILED) {
            std::vector<uint32_t> keys = KeymapKeysOf({static_cast<const char *>(text), size - 1}, "q");
            if (!keys.empty())
                quitKeys = std::move(keys);
            munmap(text, size);
        }
    }
    close(fd);
}

static void key_enter(void *, wl_keyboard *, uint32_t, wl_surface *, wl_array *) {}
static void key_leave(void *, wl_keyboard *, uint32_t, wl_surface *) {}
static void key_modifiers(void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
static void key_repeat(void *, wl_keyboard *, int32_t, int32_t) {}

static void key_key(void *, wl_keyboard *, uint32_t, uint32_t, uint32_t key, uint32_t state)
{
    if (state == WL_KEYBOARD_KEY_STATE_PRESSED &&
        (key == KEY_ESC || std::find(quitKeys.begin(), quitKeys.end(), key) != quitKeys.end()))
        cancelled = true;
}

static const wl_keyboard_listener keyboardListener = {key_map, key_enter, key_leave,
                                                      key_key, key_modifiers, key_repeat};

static void seat_capabilities(void *, wl_seat *seat, uint32_t caps)
{
    const bool has = caps & WL_SEAT_CAPABILITY_KEYBOARD;
    if (has && !keyboard) {
        keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(keyboard, &keyboardListener, nullptr);
    } else if (!has && keyboard) {
        wl_keyboard_destroy(keyboard);
        keyboard = nullptr;
    }
}

static void seat_name(void *, wl_seat *, const char *) {}

static const wl_seat_listener seatListener = {seat_capabilities, seat_name};

void WlKeysAttach(wl_seat *seat)
{
    wl_seat_add_listener(seat, &seatListener, nullptr);
}

bool WlKeysCancelled()
{
    return cancelled;
}

void WlKeysEnd()
{
    if (keyboard)
        wl_keyboard_destroy(keyboard);
    keyboard = nullptr;
    quitKeys = {KEY_Q};
    cancelled = false;
}
