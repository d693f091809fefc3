// Panel input: reading a port, copying to the share pipe, framing, and noticing a removed device.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quilmod.h"

static int cnt = 0;  // empty reads, over all panels, since the last self-reset

constexpr int EMPTY_READS_BEFORE_RESET = 6;  // the seventh empty read resets
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

static void count_empty_read()
{
    if (cnt++ < EMPTY_READS_BEFORE_RESET)
        return;
    cnt = 0;
    puts("kill(getpid(),SIGUP) in DoRead");
    kill(getpid(), SIGHUP);  // blocked here: the service loop resets before its next wait
}

// The device is gone: stop selecting it, keep the record, ask for a rescan.
static void remove_device(TouchPanel *p)
{
    p->present = 0;
    FD_CLR(p->fd, &fdSet);
    printf("Device removed: %s\n", p->device);
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
            count_empty_read();
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
    if (DoRead(panel) <= 0)
        return;
    while (panel->len > 9) {
        unsigned char *record = DataFilter(panel);
        if (record)
            ReportFrame(panel, record);
    }
}
