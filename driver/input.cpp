// Panel input: reading a port, copying to the share pipe, framing, and noticing a removed device.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quilmod.h"

static int cnt = 0;  // empty reads, over all panels, since the last self-reset

constexpr int EMPTY_READS_BEFORE_RESET = 6;  // the seventh empty read resets
// A port that yields bytes but never a packet (a wrong speed, /dev/zero, a line of noise) is as
// useless as one that yields nothing, and would cost a core: this many bytes without a packet
// count as a run of empty reads. A hundred packets' worth; any packet starts the count afresh.
constexpr int NOISE_BYTES_BEFORE_RESET = 1000;
constexpr int BACKOFF_FIRST_S = 1;   // after a self-reset the next waits at least this long,
constexpr int BACKOFF_MAX_S = 60;    // doubling up to this while ports keep reading nothing
constexpr size_t CAUSE_NAME = 256;

// Self-reset back-off. A port that always reads nothing (a regular file or /dev/null named by a
// Port line) would otherwise reset the daemon dozens of times a second for ever.
static int backoffSeconds = 0;              // 0: the normal rule, reset at once
static struct timespec lastSelfReset;
static struct timespec selfResetDue;        // tv_sec 0: none held back
static char causeDevice[CAUSE_NAME];        // the port whose empty reads caused the last one
static const char *causeWhat = "";          // what it did: "reads nothing", "reads no packets"
constexpr char RESCAN_PIPE[] = "/tmp/qelvanto.cmd";
constexpr char RESCAN_MESSAGE[] = "rescan\n";

void SendRescanCmd()
{
    puts("Send rescan to /tmp/qelvanto.cmd");
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, RESCAN_PIPE))
        return;
    // Anyone may write to /tmp: no symlink, and nothing but a FIFO, gets root's write.
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))
        PipeWrite(fd, RESCAN_MESSAGE, sizeof RESCAN_MESSAGE - 1);
    close(fd);
}

// Held back while the chunk looks like the middle of a packet and there is room.
static int hold_share_bytes(const TouchPanel *p, int n)
{
    int total = p->len + n;
    unsigned char last = p->buf[total - 1];
    return last != 0x00 && (total < 8 || p->buf[total - 8] == 0x01 || p->buf[total - 8] == 0x03) &&
           p->shrlen + n <= PANEL_BUF;
}

static void copy_to_share(TouchPanel *p, int n)
{
    const unsigned char *fresh = p->buf + p->len;
    if (hold_share_bytes(p, n)) {
        memcpy(p->shrbuf + p->shrlen, fresh, n);
        p->shrlen += n;
        return;
    }
    if (p->shrlen) {
        PipeWrite(fdShrOut, p->shrbuf, p->shrlen);
        p->shrlen = 0;
    }
    if (PipeWrite(fdShrOut, fresh, n) == -1) {
        p->sharing = 0;
        EmptyPipe(fdShrOut);
    }
}

static struct timespec monotonic_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

static bool reached(const struct timespec &now, const struct timespec &at)
{
    return now.tv_sec > at.tv_sec || (now.tv_sec == at.tv_sec && now.tv_nsec >= at.tv_nsec);
}

static void self_reset(const struct timespec &now)
{
    selfResetDue = {0, 0};
    lastSelfReset = now;
    backoffSeconds = backoffSeconds ? std::min(2 * backoffSeconds, BACKOFF_MAX_S) : BACKOFF_FIRST_S;
    puts("kill(getpid(),SIGUP) in DoRead");
    printf("quilmod: %s: %s; every port is reopened\n", causeDevice, causeWhat);
    RequestResetNow();  // the service loop resets before its next wait
}

// Too soon after the last self-reset: the port leaves the select set (it would only read
// nothing, or noise, again at full speed) until the held-back reset reopens it. Other ports go on.
static void hold_back(TouchPanel *p, const char *what)
{
    FD_CLR(p->fd, &fdSet);
    if (selfResetDue.tv_sec)
        return;
    selfResetDue = {lastSelfReset.tv_sec + backoffSeconds, lastSelfReset.tv_nsec};
    printf("self-reset held back %d s: %s %s\n", backoffSeconds, p->device, what);
}

// A run of reads that brought no packet: a self-reset, or held back while the back-off lasts.
static void useless_run(TouchPanel *p, const char *what)
{
    struct timespec now = monotonic_now();
    struct timespec allowed = {lastSelfReset.tv_sec + backoffSeconds, lastSelfReset.tv_nsec};
    if (backoffSeconds && !reached(now, allowed)) {
        hold_back(p, what);
        return;
    }
    snprintf(causeDevice, sizeof causeDevice, "%s", p->device);
    causeWhat = what;
    self_reset(now);
}

static void count_empty_read(TouchPanel *p)
{
    if (cnt++ < EMPTY_READS_BEFORE_RESET)
        return;
    cnt = 0;
    useless_run(p, "reads nothing");
}

// A shared port is left alone: a technician talks to its controller, whose replies are no packets.
static void count_noise(TouchPanel *p, int n)
{
    p->noise += n;
    if (p->noise < NOISE_BYTES_BEFORE_RESET || p->sharing)
        return;
    p->noise = 0;
    useless_run(p, "reads no packets");
}

// A packet from the port that caused the back-off: it works again, back to the normal rule.
static void note_packet(const TouchPanel *p)
{
    if (backoffSeconds && strcmp(p->device, causeDevice) == 0)
        backoffSeconds = 0;
}

const struct timespec *SelfResetTimeout(struct timespec *wait)
{
    if (!selfResetDue.tv_sec)
        return nullptr;
    struct timespec now = monotonic_now();
    if (reached(now, selfResetDue)) {
        *wait = {0, 0};
        return wait;
    }
    long ns = selfResetDue.tv_nsec - now.tv_nsec;
    *wait = {selfResetDue.tv_sec - now.tv_sec - (ns < 0), ns < 0 ? ns + 1000000000L : ns};
    return wait;
}

void SelfResetIfDue()
{
    struct timespec now = monotonic_now();
    if (selfResetDue.tv_sec && reached(now, selfResetDue))
        self_reset(now);
}

// The device is gone: keep the record, ask for a rescan, and close the descriptor at once, so
// the kernel frees the node and a re-plugged adapter comes back under the same name (an open
// descriptor would keep the old node busy, and the adapter would return as the next number).
// A reset reopens the port by its name.
static void remove_device(TouchPanel *p)
{
    p->present = 0;
    ForgetPanelFd(p);
    printf("Device removed: %s\n", p->device);
    SyncDevices();  // its input device goes now, its touch released
    SendRescanCmd();
}

// A tty whose device went away reads end of file for ever and reports a hang-up.
static int hung_up(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

int DoRead(TouchPanel *panel)
{
    if (panel->len < 0 || panel->len >= PANEL_BUF)
        panel->len = 0;  // never happens after framing; keeps a read of zero bytes impossible
    ssize_t n = read(panel->fd, panel->buf + panel->len, PANEL_BUF - panel->len);
    if (n == 0) {
        if (hung_up(panel->fd))
            remove_device(panel);  // gone: reading it again would only spin
        else
            count_empty_read(panel);
        return 0;
    }
    if (n < 0) {
        // EIO after a hang-up is as final as ENODEV; anything else but a retry would spin.
        if (errno != EINTR && errno != EAGAIN)
            remove_device(panel);
        return -1;
    }
    if (panel->sharing)
        copy_to_share(panel, (int)n);
    panel->len += (int)n;
    panel->buf[panel->len] = 0;  // framing looks one byte past the data
    return (int)n;
}

void ProcessPanel(TouchPanel *panel)
{
    int n = DoRead(panel);
    if (n <= 0)
        return;
    int packets = 0;
    while (panel->len > 9) {
        unsigned char *record = DataFilter(panel);
        if (record) {
            packets++;
            note_packet(panel);
            ReportFrame(panel, record);
        }
    }
    DevicesFlush();  // the read's frames reach the panel's device in one write
    if (packets)
        panel->noise = 0;
    else
        count_noise(panel, n);
}
