// quilmocal's console backend, for a monitor no display server drives yet: a DRM dumb buffer
// shown on the connector's CRTC in its preferred mode. It needs the card's master role, which a
// running compositor or X server holds; the CRTC is given back as it was at the end.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "draw.h"
#include "rootpath.h"
#include "turn.h"

constexpr int MAX_CARDS = 8;

namespace {

struct Console {
    int fd = -1;
    uint32_t connector = 0, crtc = 0, fb = 0, handle = 0, pitch = 0;
    drmModeModeInfo mode{};
    drmModeCrtc *saved = nullptr;  // the CRTC as it was, put back at the end
    unsigned char *map = nullptr;
    size_t mapSize = 0;
    int width = 0, height = 0;
};

}  // namespace

static Console con;
static std::vector<unsigned char> pixels;  // the canvas's

// The kernel's name of a connector: "HDMI-A-1", "Virtual-1".
static void connector_name(const drmModeConnector *c, char *out, size_t size)
{
    const char *type = drmModeGetConnectorTypeName(c->connector_type);
    snprintf(out, size, "%s-%u", type ? type : "Unknown", c->connector_type_id);
}

// Calls visit for each connected connector of the card on fd with a mode; true once it stops.
template <typename Visit>
static bool each_connector(int fd, Visit visit)
{
    drmModeRes *res = drmModeGetResources(fd);
    bool stopped = false;
    for (int i = 0; res && i < res->count_connectors && !stopped; ++i) {
        drmModeConnector *c = drmModeGetConnector(fd, res->connectors[i]);
        if (c && c->connection == DRM_MODE_CONNECTED && c->count_modes > 0)
            stopped = visit(res, c);
        if (c)
            drmModeFreeConnector(c);
    }
    if (res)
        drmModeFreeResources(res);
    return stopped;
}

static int open_card(int k)
{
    char name[32], path[QLM_PATH];
    snprintf(name, sizeof name, "/dev/dri/card%d", k);
    if (RootPath(path, sizeof path, name) != 0)
        return -1;
    return open(path, O_RDWR | O_CLOEXEC);
}

void ConListOutputs(FILE *out)
{
    for (int k = 0; k < MAX_CARDS; ++k) {
        const int fd = open_card(k);
        if (fd < 0)
            continue;
        each_connector(fd, [&](drmModeRes *, drmModeConnector *c) {
            char name[64];
            connector_name(c, name, sizeof name);
            PrintOutputLine(out, name, Turn{0, c->modes[0].hdisplay, c->modes[0].vdisplay}, 0, 0,
                            static_cast<int>(c->mmWidth), static_cast<int>(c->mmHeight));
            return false;
        });
        close(fd);
    }
}

// The CRTC for the connector: its encoder's, else the first its encoders can drive.
static uint32_t crtc_for(int fd, drmModeRes *res, drmModeConnector *c)
{
    for (int e = -1; e < c->count_encoders; ++e) {
        drmModeEncoder *enc = drmModeGetEncoder(fd, e < 0 ? c->encoder_id : c->encoders[e]);
        uint32_t crtc = enc && e < 0 ? enc->crtc_id : 0;
        for (int k = 0; enc && !crtc && k < res->count_crtcs; ++k)
            if (enc->possible_crtcs & (1u << k))
                crtc = res->crtcs[k];
        if (enc)
            drmModeFreeEncoder(enc);
        if (crtc)
            return crtc;
    }
    return 0;
}

// Finds the connector (by name, or the first connected) on the cards there are.
// 0 = found (con's fd, connector, crtc and mode set), 1 = no such connector, 2 = no card.
static int find_connector(const char *output)
{
    bool anyCard = false;
    for (int k = 0; k < MAX_CARDS && !con.connector; ++k) {
        const int fd = open_card(k);
        if (fd < 0)
            continue;
        anyCard = true;
        each_connector(fd, [&](drmModeRes *res, drmModeConnector *c) {
            char name[64];
            connector_name(c, name, sizeof name);
            const uint32_t crtc = crtc_for(fd, res, c);
            if ((output && strcmp(name, output) != 0) || !crtc)
                return false;
            con.fd = fd, con.connector = c->connector_id, con.crtc = crtc, con.mode = c->modes[0];
            for (int m = 0; m < c->count_modes; ++m)
                if (c->modes[m].type & DRM_MODE_TYPE_PREFERRED)
                    con.mode = c->modes[m];
            return true;
        });
        if (con.fd != fd)
            close(fd);
    }
    return con.connector ? 0 : anyCard ? 1 : 2;
}

int ConArea(const char *output, Area *area, char *why, size_t size)
{
    const int found = find_connector(output);
    if (found == 2)
        snprintf(why, size, "no DRM device (/dev/dri/card*) to draw on");
    else if (found == 1)
        snprintf(why, size, output ? "no connected connector '%s' (see --list-outputs)" : "no connected monitor%s",
                 output ? output : "");
    if (found != 0)
        return found;
    *area = {0, 0, con.mode.hdisplay, con.mode.vdisplay};
    return 0;
}

static void show_console()
{
    for (int y = 0; y < con.height; ++y)
        memcpy(con.map + static_cast<size_t>(y) * con.pitch, pixels.data() + static_cast<size_t>(y) * 4 * con.width,
               static_cast<size_t>(4 * con.width));
    // Cards that scan out a copy of the buffer (virtio-gpu, USB displays) take the new pixels
    // only when told; the others answer that they need no telling.
    drmModeDirtyFB(con.fd, con.fb, nullptr, 0);
}

// A dumb buffer of the mode's size, mapped, made a framebuffer; false after why.
static bool make_dumb(char *why, size_t size)
{
    drm_mode_create_dumb create{};
    create.width = con.mode.hdisplay, create.height = con.mode.vdisplay, create.bpp = 32;
    if (drmIoctl(con.fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) {
        snprintf(why, size, "the DRM device makes no dumb buffer: %s", strerror(errno));
        return false;
    }
    con.handle = create.handle, con.pitch = create.pitch, con.mapSize = create.size;
    con.width = con.mode.hdisplay, con.height = con.mode.vdisplay;
    drm_mode_map_dumb map{};
    map.handle = con.handle;
    if (drmModeAddFB(con.fd, create.width, create.height, 24, 32, con.pitch, con.handle, &con.fb) != 0 ||
        drmIoctl(con.fd, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) {
        snprintf(why, size, "the DRM device takes no framebuffer: %s", strerror(errno));
        return false;
    }
    void *m = mmap(nullptr, con.mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, con.fd, static_cast<off_t>(map.offset));
    if (m == MAP_FAILED) {
        snprintf(why, size, "cannot map the DRM buffer: %s", strerror(errno));
        return false;
    }
    con.map = static_cast<unsigned char *>(m);
    return true;
}

bool ConOpen(const Area &area, char *why, size_t size)
{
    if (drmSetMaster(con.fd) != 0) {
        snprintf(why, size, "the DRM device is held by a display server (or needs root): use --backend wayland "
                 "or x11 while one runs");
        return false;
    }
    if (!make_dumb(why, size))
        return false;
    con.saved = drmModeGetCrtc(con.fd, con.crtc);
    if (drmModeSetCrtc(con.fd, con.crtc, con.fb, 0, 0, &con.connector, 1, &con.mode) != 0) {
        snprintf(why, size, "the DRM device refused the mode: %s", strerror(errno));
        return false;
    }
    pixels.assign(static_cast<size_t>(4 * area.width) * static_cast<size_t>(area.height), 0);
    canvasBackend = {show_console, nullptr};
    if (!CanvasBegin(pixels.data(), area.width, area.height, 4 * area.width))
        return false;
    DrawClear();
    DrawPresent();
    return true;
}

bool ConActive()
{
    return con.fd >= 0;
}

void ConClose()
{
    if (con.fd < 0)
        return;
    CanvasEnd();
    canvasBackend = {};
    if (con.saved) {
        drmModeSetCrtc(con.fd, con.saved->crtc_id, con.saved->buffer_id, con.saved->x, con.saved->y, &con.connector, 1,
                       &con.saved->mode);
        drmModeFreeCrtc(con.saved);
    }
    if (con.map)
        munmap(con.map, con.mapSize);
    if (con.fb)
        drmModeRmFB(con.fd, con.fb);
    if (con.handle) {
        drm_mode_destroy_dumb destroy{};
        destroy.handle = con.handle;
        drmIoctl(con.fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
    }
    drmDropMaster(con.fd);
    close(con.fd);
    con = {};
    pixels.clear();
}
