// LD_PRELOAD shim for the tests: libdrm's calls answered by a card made of files, one connected
// connector "Virtual-1" at 1024x768. The card node (a plain file) holds the dumb buffer's bytes;
// the monitor shows a copy of them, taken at a mode set and at each dirty-framebuffer call, as
// virtio-gpu and USB displays do, into $FAKEDRM_SCANOUT. With $FAKEDRM_HELD set the master
// role is refused, as while a compositor holds the card.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t CONNECTOR = 1, ENCODER = 2, CRTC = 3, FB = 4, HANDLE = 5;

drmModeModeInfo mode = [] {
    drmModeModeInfo m{};
    m.hdisplay = 1024, m.vdisplay = 768, m.vrefresh = 60, m.type = DRM_MODE_TYPE_PREFERRED;
    snprintf(m.name, sizeof m.name, "1024x768");
    return m;
}();
uint32_t connectorIds[] = {CONNECTOR}, encoderIds[] = {ENCODER}, crtcIds[] = {CRTC};
size_t bufferSize = 0;

// The buffer's bytes as the monitor shows them now: replaced whole, never seen half written.
void scan_out(int fd)
{
    const char *path = getenv("FAKEDRM_SCANOUT");
    if (!path || bufferSize == 0)
        return;
    std::vector<char> bytes(bufferSize);
    if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        return;
    const std::string scratch = std::string(path) + ".new";
    FILE *f = fopen(scratch.c_str(), "wb");
    if (!f)
        return;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (fclose(f) == 0 && ok)
        rename(scratch.c_str(), path);
}

}  // namespace

// What is handed out lives here: the free calls have nothing to free.
extern "C" {

drmModeResPtr drmModeGetResources(int)
{
    static drmModeRes res{};
    res.count_connectors = 1, res.connectors = connectorIds;
    res.count_encoders = 1, res.encoders = encoderIds;
    res.count_crtcs = 1, res.crtcs = crtcIds;
    res.max_width = res.max_height = 4096;
    return &res;
}

void drmModeFreeResources(drmModeResPtr) {}

drmModeConnectorPtr drmModeGetConnector(int, uint32_t id)
{
    static drmModeConnector c{};
    if (id != CONNECTOR)
        return nullptr;
    c.connector_id = CONNECTOR, c.encoder_id = ENCODER;
    c.connector_type = DRM_MODE_CONNECTOR_VIRTUAL, c.connector_type_id = 1;
    c.connection = DRM_MODE_CONNECTED, c.mmWidth = 270, c.mmHeight = 203;
    c.count_modes = 1, c.modes = &mode;
    c.count_encoders = 1, c.encoders = encoderIds;
    return &c;
}

void drmModeFreeConnector(drmModeConnectorPtr) {}

drmModeEncoderPtr drmModeGetEncoder(int, uint32_t id)
{
    static drmModeEncoder e{};
    e = {ENCODER, DRM_MODE_ENCODER_VIRTUAL, CRTC, 1, 0};
    return id == ENCODER ? &e : nullptr;
}

void drmModeFreeEncoder(drmModeEncoderPtr) {}

drmModeCrtcPtr drmModeGetCrtc(int, uint32_t id)
{
    static drmModeCrtc c{};
    c.crtc_id = CRTC;
    return id == CRTC ? &c : nullptr;
}

void drmModeFreeCrtc(drmModeCrtcPtr) {}

int drmSetMaster(int)
{
    if (getenv("FAKEDRM_HELD"))
        return errno = EBUSY, -1;
    return 0;
}

int drmDropMaster(int)
{
    return 0;
}

// The dumb buffer is the card file itself, sized to hold it, mapped from its start.
int drmIoctl(int fd, unsigned long request, void *arg)
{
    if (request == DRM_IOCTL_MODE_CREATE_DUMB) {
        auto *c = static_cast<drm_mode_create_dumb *>(arg);
        c->pitch = c->width * c->bpp / 8, c->size = uint64_t{c->pitch} * c->height, c->handle = HANDLE;
        bufferSize = c->size;
        return ftruncate(fd, static_cast<off_t>(c->size));
    }
    if (request == DRM_IOCTL_MODE_MAP_DUMB)
        return static_cast<drm_mode_map_dumb *>(arg)->offset = 0, 0;
    if (request == DRM_IOCTL_MODE_DESTROY_DUMB)
        return 0;
    return errno = EINVAL, -1;
}

int drmModeAddFB(int, uint32_t, uint32_t, uint8_t, uint8_t, uint32_t, uint32_t, uint32_t *id)
{
    *id = FB;
    return 0;
}

int drmModeRmFB(int, uint32_t)
{
    return 0;
}

int drmModeSetCrtc(int fd, uint32_t, uint32_t fb, uint32_t, uint32_t, uint32_t *, int, drmModeModeInfoPtr)
{
    if (fb == FB)
        scan_out(fd);
    return 0;
}

int drmModeDirtyFB(int fd, uint32_t fb, drmModeClipPtr, uint32_t)
{
    if (fb != FB)
        return errno = ENOENT, -1;
    scan_out(fd);
    return 0;
}

}  // extern "C"
