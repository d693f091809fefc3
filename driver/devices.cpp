// Each open port as its own kernel input device: made when the port opens, kept over a reset
// that changes nothing about it, released and destroyed when the port goes; the frames of the
// data pipes written to it too. A status file says which devices exist.
#include <sys/stat.h>
#include <unistd.h>
#include <linux/input-event-codes.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "devdesc.h"
#include "edid.h"
#include "evtranslate.h"
#include "frame.h"
#include "portopts.h"
#include "quilmod.h"
#include "uidev.h"

InputKind InputDeviceKind = INPUT_TOUCH;

constexpr size_t MAX_PORT_DEVICES = 32;
constexpr size_t PORT_NAME = 200;  // a configuration line's length: no Port line names more
constexpr size_t NOTE_SIZE = 300;
constexpr char RUN_DIR[] = "/run/quilmod";
// A companion pointer's first press follows its first motion by this much. weston announces a
// seat's pointer to its clients only once a pointer device has moved: the companion's first motion
// sends the clients the pointer capability, each client answers by asking for a wl_pointer, and
// only then gets its enter. A press that comes with that motion reaches no client's pointer and is
// lost. The answer takes a client's dispatch and the compositor's (a frame or two of a busy client
// at 60 Hz, 17-33 ms); under load several times that: 140 ms in an emulated guest logging its
// protocol. A quarter of a second covers it, and once for each device is a wait a hand barely
// notices (a long press waits longer).
constexpr long long FIRST_PRESS_DELAY_MS = 250;
// Frames that come while the press waits (9600 baud brings 40 in its quarter of a second); more,
// and the press goes out at once rather than any of them be dropped.
constexpr size_t HELD_FRAMES = 64;

struct PortDevice {
    bool used = false;
    char port[PORT_NAME] = {};
    PortOptions opts;
    unsigned short product = 0;  // chosen once, kept for the daemon's life
    PanelDesc desc;              // what exists; kind INPUT_NONE: nothing
    int width = 0, height = 0;   // the calibrated screen the devices span
    int widthMm = 0, heightMm = 0;
    int fd[DEVICE_COUNT] = {-1, -1};
    Buttons buttons;
    Devices state;
    UiDevQueue out;  // events not written yet, and what the kernel holds
    bool companionMoved = false;  // the companion has been told something since it was made
    long long pressDueMs = -1;    // its first press, held back until then (-1: none held)
    InputEvents heldPress;        // the press's events, and what the same frame made after it
    std::array<unsigned char, HELD_FRAMES * FRAME_LEN> held{};  // frames that came meanwhile
    size_t heldLen = 0;
};

static std::array<PortDevice, MAX_PORT_DEVICES> table;
static bool uinputRefusalSaid = false;

static PortDevice *find_entry(const char *port)
{
    for (PortDevice &e : table)
        if (e.used && strcmp(e.port, port) == 0)
            return &e;
    return nullptr;
}

static bool product_taken(unsigned short product)
{
    for (const PortDevice &e : table)
        if (e.used && e.product == product)
            return true;
    return false;
}

// A new port's product: its own number, or the next free one when another port has it.
static unsigned short free_product(const char *port)
{
    unsigned short p = PortProduct(port);
    while (product_taken(p))
        p = (unsigned short)(p % 0x7FFF + 1);
    return p;
}

void NotePortOptions(const char *device, const char *rest)
{
    PortDevice *e = find_entry(device);
    if (!e && strlen(device) < PORT_NAME) {
        for (PortDevice &f : table)
            if (!f.used) {
                e = &f;
                *e = PortDevice{};
                snprintf(e->port, sizeof e->port, "%s", device);
                e->product = free_product(device);
                e->used = true;
                break;
            }
    }
    if (!e) {
        printf("Port %.100s: no input device (more than %zu ports)\n", device, MAX_PORT_DEVICES);
        return;
    }
    char notes[OPTION_NOTES];
    ParsePortOptions(device, rest, &e->opts, notes, sizeof notes);
    fputs(notes, stdout);
}

// The monitor's size: size= on the Port line, else the bound connector's EDID. *note says why
// there is none.
static void monitor_size(const PortOptions &o, int *wmm, int *hmm, char *note, size_t size)
{
    *wmm = o.widthMm;
    *hmm = o.heightMm;
    note[0] = '\0';
    if (*wmm || !o.output[0])
        return;
    EdidInfo edid;
    ConnectorResult r = ReadConnectorEdid(o.output, &edid);
    if (r == CONNECTOR_OK && edid.widthMm && edid.heightMm) {
        *wmm = edid.widthMm;
        *hmm = edid.heightMm;
        return;
    }
    const char *why = r == CONNECTOR_UNKNOWN   ? "no such connector in /sys/class/drm"
                      : r == CONNECTOR_OK       ? "its monitor's EDID gives no size"
                      : r == CONNECTOR_NO_EDID ? "no monitor's EDID on it"
                                                : "its EDID is not valid";
    snprintf(note, size, "output %s: %s; the device has no size (add size=WIDTHxHEIGHT in mm)", o.output, why);
}

static PanelDesc wanted(PortDevice *e, const TouchPanel *p, char *note, size_t size)
{
    bool grid = p->_25Mode == 25;
    e->width = grid ? p->screen_width_25 : p->screen_width_4;
    e->height = grid ? p->screen_high_25 : p->screen_high_4;
    monitor_size(e->opts, &e->widthMm, &e->heightMm, note, size);
    PanelInput in{InputDeviceKind, e->port, e->width, e->height, e->widthMm, e->heightMm, e->product};
    return DescribePanel(in);
}

// /run/quilmod/output-PPPP holds "WL_OUTPUT=CONNECTOR" for the udev rule to import: the device's
// product (as sysfs writes it, four hex digits) names the file. Written before the device is.
static void output_file_path(unsigned short product, char *path, size_t size)
{
    char name[64];
    snprintf(name, sizeof name, "%s/output-%04x", RUN_DIR, product);
    RootPath(path, size, name);
}

static void make_run_dir()
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, "/run") == 0)
        mkdir(path, 0755);
    if (RootPath(path, sizeof path, RUN_DIR) == 0)
        mkdir(path, 0755);
}

// Replaces a file of /run/quilmod whole. 0 = done.
static int replace_run_file(const char *path, std::string_view text)
{
    make_run_dir();
    char scratch[QLM_PATH];
    if (snprintf(scratch, sizeof scratch, "%.4080s.XXXXXX", path) >= (int)sizeof scratch)
        return 1;
    return ReplaceFile(path, scratch, text, 0644);
}

// One file for each of the panel's devices: the companion pointer that carries its right-button
// touches must land on the same monitor as its touchscreen, not on weston's first output.
static void write_output_file(const PortDevice &e)
{
    for (unsigned short product : {e.product, (unsigned short)(e.product | COMPANION_BIT)}) {
        char path[QLM_PATH];
        output_file_path(product, path, sizeof path);
        if (!e.opts.output[0]) {
            unlink(path);
            continue;
        }
        char text[64];
        int n = snprintf(text, sizeof text, "WL_OUTPUT=%s\n", e.opts.output);
        if (replace_run_file(path, std::string_view(text, n)) != 0)
            printf("Port %s: cannot write %s: %s (weston will not know its output)\n", e.port, path, strerror(errno));
    }
}

// Opens /dev/uinput; says once why it cannot (until it can again).
static int open_uinput()
{
    int fd = UiDevOpen();
    if (fd >= 0) {
        uinputRefusalSaid = false;
        return fd;
    }
    const char *why = errno == ENOENT ? "it does not exist (is the uinput module loaded?)" : strerror(errno);
    if (!uinputRefusalSaid)
        printf("cannot open %s: %s; the panels reach the desktop through the data pipes only\n", UINPUT_NODE, why);
    uinputRefusalSaid = true;
    return -1;
}

static int create_one(PortDevice *e, size_t i, const DeviceDesc &d)
{
    if ((e->fd[i] = open_uinput()) < 0)
        return 1;
    const char *failed = nullptr;
    int err = UiDevCreate(e->fd[i], d, &failed);
    if (err == 0)
        return 0;
    printf("Port %s: cannot make its input device \"%s\": %s: %s\n", e->port, d.name, failed, strerror(err));
    close(e->fd[i]);
    e->fd[i] = -1;
    return 1;
}

static int send_held(PortDevice *e);

static void destroy(PortDevice *e)
{
    if (e->desc.kind != INPUT_NONE) {
        send_held(e);  // a press held back is pressed, whole, before it is released
        Steps s = ReleaseAll(&e->buttons);  // a touch in progress ends before its device goes
        if (UiDevPut(e->fd, &e->out, StepsToEvents(s, &e->state)) == 0)
            UiDevFlush(e->fd, &e->out);
        printf("Port %s: input device \"%s\" removed\n", e->port, e->desc.main.name);
    }
    for (int &fd : e->fd)
        UiDevDestroy(&fd);
    e->desc = PanelDesc{};
    e->buttons = Buttons{};
    e->pressDueMs = -1;
    e->heldLen = 0;
}

static void make(PortDevice *e, const PanelDesc &want, const char *note)
{
    if (note[0])
        printf("Port %s: %s\n", e->port, note);
    write_output_file(*e);
    bool ok = create_one(e, DEVICE_MAIN, want.main) == 0;
    if (ok && want.hasCompanion)
        ok = create_one(e, DEVICE_COMPANION, want.companion) == 0;
    if (!ok) {
        for (int &fd : e->fd)
            UiDevDestroy(&fd);
        return;
    }
    e->desc = want;
    e->buttons = Buttons{};
    e->state = Devices{};
    e->companionMoved = false;
    const bool multitouch[DEVICE_COUNT] = {want.kind == INPUT_TOUCH, false};
    UiDevQueueInit(&e->out, multitouch);
    e->state.personality = want.kind == INPUT_POINTER ? DEVICE_POINTER : DEVICE_TOUCH;
    e->state.sx = want.x;
    e->state.sy = want.y;
    printf("Port %s: input device \"%s\" %04x:%04x, %dx%d px, %dx%d mm\n", e->port, want.main.name, want.main.vendor,
           want.main.product, e->width, e->height, e->widthMm, e->heightMm);
}

static const TouchPanel *open_panel(const char *port)
{
    for (const TouchPanel *p = panelList; p; p = p->next)
        if (p->fd >= 0 && strcmp(p->device, port) == 0)
            return p;
    return nullptr;
}

// One line per port with devices, tab-separated (quilmoctl reads it):
//   PORT  NAME  VVVV:PPPP  WIDTHxHEIGHT (px)  WMMxHMM (0x0: unknown)  OUTPUT (- none)  touch|pointer
static void write_status()
{
    std::string text;
    for (const PortDevice &e : table) {
        if (!e.used || e.desc.kind == INPUT_NONE)
            continue;
        char line[PORT_NAME + DEV_NAME_SIZE + 128];
        snprintf(line, sizeof line, "%s\t%s\t%04x:%04x\t%dx%d\t%dx%d\t%s\t%s\n", e.port, e.desc.main.name,
                 e.desc.main.vendor, e.desc.main.product, e.width, e.height, e.widthMm, e.heightMm,
                 e.opts.output[0] ? e.opts.output : "-", e.desc.kind == INPUT_POINTER ? "pointer" : "touch");
        text += line;
    }
    static std::string written, writtenPath;  // a reset that changes nothing leaves the file
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, DEVICES_STATUS_FILE) != 0 || (path == writtenPath && text == written))
        return;
    if (replace_run_file(path, text) == 0) {  // a status nobody can write is only not shown
        written = text;
        writtenPath = path;
    }
}

void SyncDevices()
{
    for (PortDevice &e : table) {
        if (!e.used)
            continue;
        const TouchPanel *p = open_panel(e.port);
        char note[NOTE_SIZE] = "";
        PanelDesc want = p ? wanted(&e, p, note, sizeof note) : PanelDesc{};
        if (e.desc == want && (want.kind == INPUT_NONE || e.fd[DEVICE_MAIN] >= 0))
            continue;  // nothing that describes it changed: the desktop keeps its device
        destroy(&e);
        if (want.kind != INPUT_NONE)
            make(&e, want, note);
    }
    write_status();
}

// Where the companion's button is pressed among the events, or their count when it is not.
static size_t companion_press(const InputEvents &ev)
{
    for (size_t i = 0; i < ev.count; i++)
        if (ev.ev[i].device == DEVICE_COMPANION && ev.ev[i].type == EV_KEY && ev.ev[i].value == 1)
            return i;
    return ev.count;
}

// One frame to the devices. A companion that has never moved is moved now and its press held
// back: the loop sends it when it is due. 0 = sent; else errno.
static int send_frame(PortDevice *e, const unsigned char *frame)
{
    Steps s = TranslateFrame(&e->buttons, frame, WholeScreen(e->width, e->height));
    InputEvents ev = StepsToEvents(s, &e->state);
    size_t at = companion_press(ev);
    if (e->companionMoved || at == ev.count) {
        for (size_t i = 0; i < ev.count && !e->companionMoved; i++)
            e->companionMoved = ev.ev[i].device == DEVICE_COMPANION;
        return UiDevPut(e->fd, &e->out, ev);
    }
    e->companionMoved = true;
    e->heldPress.count = 0;
    for (size_t i = at; i < ev.count; i++)
        e->heldPress.ev[e->heldPress.count++] = ev.ev[i];
    ev.count = at;
    e->pressDueMs = QlmNowMs() + FIRST_PRESS_DELAY_MS;
    return UiDevPut(e->fd, &e->out, ev);
}

// The held press goes out, then the frames that came meanwhile, in their order. 0 = sent (or
// nothing held); else errno.
static int send_held(PortDevice *e)
{
    if (e->pressDueMs < 0)
        return 0;
    e->pressDueMs = -1;
    size_t n = e->heldLen;
    e->heldLen = 0;
    int err = UiDevPut(e->fd, &e->out, e->heldPress);
    for (size_t at = 0; !err && at < n; at += FRAME_LEN)
        err = send_frame(e, e->held.data() + at);
    return err;
}

// A frame while the press waits joins the others; when there is no room for it the press goes
// now, the others and this one after it. 0 = kept or sent; else errno.
static int hold_frame(PortDevice *e, const unsigned char *frame)
{
    if (e->heldLen + FRAME_LEN > e->held.size()) {
        int err = send_held(e);
        return err ? err : send_frame(e, frame);
    }
    memcpy(e->held.data() + e->heldLen, frame, FRAME_LEN);
    e->heldLen += FRAME_LEN;
    return 0;
}

static void refused(PortDevice *e, int err)
{
    printf("Port %s: its input device refused events: %s; it is removed\n", e->port, strerror(err));
    destroy(e);
    write_status();
}

void DeviceFrame(const TouchPanel *panel, const unsigned char *frame, int len)
{
    PortDevice *e = nullptr;
    for (PortDevice &f : table)
        if (f.used && f.desc.kind != INPUT_NONE && strcmp(f.port, panel->device) == 0)
            e = &f;
    if (!e)
        return;
    for (int at = 0; at + (int)FRAME_LEN <= len; at += (int)FRAME_LEN) {
        int err = e->pressDueMs >= 0 ? hold_frame(e, frame + at) : send_frame(e, frame + at);
        if (err) {
            refused(e, err);
            return;
        }
    }
}

void DevicesFlush()
{
    for (PortDevice &e : table) {
        if (!e.out.count)
            continue;
        int err = UiDevFlush(e.fd, &e.out);
        if (err)
            refused(&e, err);
    }
}

void DevicePressIfDue()
{
    long long now = QlmNowMs();
    for (PortDevice &e : table) {
        if (e.pressDueMs < 0 || now < e.pressDueMs)
            continue;
        int err = send_held(&e);
        if (err)
            refused(&e, err);
    }
}

const struct timespec *DevicePressWaitLimit(struct timespec *left)
{
    long long due = -1;
    for (const PortDevice &e : table)
        if (e.pressDueMs >= 0 && (due < 0 || e.pressDueMs < due))
            due = e.pressDueMs;
    if (due < 0)
        return nullptr;
    return QlmTimeLeft(due, left);
}

void DevicesEnd()
{
    for (PortDevice &e : table)
        if (e.used)
            destroy(&e);
}
