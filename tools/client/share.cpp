// Sharing a port's raw stream: the daemon hands its bytes over the share FIFOs and takes ours.
#include "share.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "channel.h"

constexpr size_t HEX_PER_LINE = 16;

std::string (*shareRefusalReason)(const char *device) = nullptr;

void ShareClose(Share *sh)
{
    CloseFd(&sh->out);
    CloseFd(&sh->in);
}

// Shows port bytes in hex, up to 16 on a line, decoded, or raw.
static void show_bytes(Share *sh, const unsigned char *p, size_t n)
{
    if (sh->decode) {
        DecodeFeed(&sh->decoder, p, n);
        return;
    }
    if (sh->raw) {
        fwrite(p, 1, n, stdout);
        return;
    }
    for (size_t at = 0; at < n; at += HEX_PER_LINE) {
        char line[HEX_PER_LINE * 3 + 1];
        HexText(p + at, std::min(HEX_PER_LINE, n - at), line, sizeof line);
        puts(line);
    }
}

ssize_t ShareRead(Share *sh, unsigned char *buf, size_t size)
{
    ssize_t n = read(sh->out, buf, size);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (n > 0)
        return n;
    sh->daemonGone = n == 0;
    if (n == 0)
        Complain(EXIT_FAIL, "quilmod ended");
    else
        Complain(EXIT_FAIL, "cannot read %s: %s", SHR_OUT, strerror(errno));
    return -1;
}

// Port bytes from the daemon. false when the session must end.
static bool share_receive(Session *s, Share *sh, bool *ok)
{
    std::array<unsigned char, IO_CHUNK> buf;
    ssize_t n = ShareRead(sh, buf.data(), buf.size());
    if (n == 0)
        return true;
    if (n < 0) {
        *ok = false;
        return false;
    }
    show_bytes(sh, buf.data(), SessionTake(s, static_cast<size_t>(n)));
    return !OutputFailed(ok);
}

// Writes what waits for the port; the rest stays until the FIFO has room.
static bool share_flush_input(Share *sh)
{
    while (sh->pendingLen > 0) {
        ssize_t n = write(sh->in, sh->pending.data() + sh->pendingAt, sh->pendingLen);
        if (n > 0) {
            sh->pendingAt += static_cast<size_t>(n);
            sh->pendingLen -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        sh->daemonGone = n < 0 && errno == EPIPE;
        if (sh->daemonGone)
            Complain(EXIT_FAIL, "quilmod ended");
        else
            Complain(EXIT_FAIL, "cannot write to %s: %s", SHR_IN, n < 0 ? strerror(errno) : "short write");
        return false;
    }
    return true;
}

static bool share_read_input(Share *sh)
{
    ssize_t n = read(STDIN_FILENO, sh->pending.data(), sh->pending.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        sh->input = false;  // end of input: the port's side goes on
        return true;
    }
    sh->pendingAt = 0;
    sh->pendingLen = static_cast<size_t>(n);
    return share_flush_input(sh);
}

bool ShareLoop(Session *s, Share *sh)
{
    bool ok = true;
    for (;;) {
        std::array<struct pollfd, 3> fds = {{{sh->out, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLOUT, 0}}};
        if (sh->input && sh->pendingLen == 0)
            fds[1].fd = STDIN_FILENO;
        if (sh->pendingLen > 0)
            fds[2].fd = sh->in;
        int r = SessionWait(s, fds, "bytes");
        if (r <= 0)
            return ok && r == 0;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !share_receive(s, sh, &ok))
            return ok;
        if ((fds[1].revents & (POLLNVAL | POLLERR)))
            sh->input = false;
        else if (fds[1].revents && !share_read_input(sh))
            return false;
        if (fds[2].revents && !share_flush_input(sh))
            return false;
    }
}

// Asks for the port and waits for "SHROK". Then a mode query: once it is answered the daemon
// has finished switching and drained the zero byte that marks the change, so everything read
// from the share pipe afterwards is the port's own.
bool ShareBegin(Share *sh, const char *device)
{
    sh->out = OpenFifo(SHR_OUT, O_RDONLY);
    sh->in = sh->out < 0 ? -1 : OpenFifo(SHR_IN, O_WRONLY);
    Channel ch;
    if (sh->in < 0 || !ChannelOpen(&ch, true))
        return false;
    char line[REPLY_LINE];
    int mode;
    bool ok = DrainFifo(sh->out) && SendCommand(ch, CMD_SHARE, device);
    Reply r = ok ? AwaitReply(ch, "SHROK", line, sizeof line) : REPLY_FAILED;
    std::string why = r == REPLY_NONE && shareRefusalReason ? shareRefusalReason(device) : "";
    if (r == REPLY_NONE)
        Complain(EXIT_FAIL, "quilmod did not share %s within %lld s: %s", Escaped(device).c_str(), REPLY_MS / 1000,
                 why.empty() ? "no present port of that name" : why.c_str());
    sh->shared = r == REPLY_GOT;
    ok = r == REPLY_GOT && QueryMode(ch, &mode);
    ChannelClose(&ch);
    return ok;
}

bool ShareEnd()
{
    return RunCommand(CMD_SHARE, "x") == EXIT_OK;
}
