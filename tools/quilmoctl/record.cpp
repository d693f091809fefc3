// quilmoctl record: a port's raw stream, taken through the share pipes while the daemon serves
// the port, written with its times to a record file (include/record.h), with the port's going
// and coming back.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client.h"
#include "ctl.h"
#include "record.h"
#include "service.h"

constexpr long long PRESENCE_MS = 200;  // how often the port's node is looked at

struct Recorder {
    FILE *out = nullptr;
    long long start = 0;
    bool present = true;
    bool ok = true;
};

static void write_entry(Recorder *r, const RecordEntry &e)
{
    char line[RECORD_MAX_LINE];
    size_t n = RecordFormat(e, line, sizeof line);
    if (r->ok && (n == 0 || fwrite(line, 1, n, r->out) != n)) {
        Complain(EXIT_FAIL, "cannot write the record: %s", strerror(errno));
        r->ok = false;
    }
}

static void record_bytes(Recorder *r, const unsigned char *p, size_t n)
{
    RecordEntry e;
    e.ms = NowMs() - r->start;
    for (size_t at = 0; at < n; at += e.len) {
        e.len = std::min(RECORD_MAX_BYTES, n - at);
        memcpy(e.bytes.data(), p + at, e.len);
        write_entry(r, e);
    }
}

// The node gone (unplugged) or back: an event line when that changes.
static void note_presence(Recorder *r, const char *device)
{
    char full[QLM_PATH];
    struct stat st;
    bool present = RootPath(full, sizeof full, device) == 0 && stat(full, &st) == 0;
    if (present == r->present)
        return;
    r->present = present;
    RecordEntry e;
    e.ms = NowMs() - r->start;
    e.kind = present ? RECORD_BACK : RECORD_GONE;
    write_entry(r, e);
    fflush(r->out);
}

// 1 = the share pipe has bytes (or the look at the node is due), 0 = the recording is over
// (a stop signal, the count, the time-out), -1 = failed after a message.
static int record_wait(Session *s, struct pollfd *fd)
{
    if (stopRequested || (s->want > 0 && s->shown >= s->want))
        return 0;
    long long wake = NowMs() + PRESENCE_MS;
    if (s->deadline >= 0 && NowMs() >= s->deadline) {
        if (s->want == 0)
            return 0;
        Complain(EXIT_FAIL, "only %ld of %ld bytes within the time-out", s->shown, s->want);
        return -1;
    }
    int left = MsUntil(s->deadline >= 0 && s->deadline < wake ? s->deadline : wake);
    struct timespec ts = {left / 1000, (left % 1000) * 1000000L};
    fd->revents = 0;
    if (ppoll(fd, 1, &ts, &s->waitMask) < 0 && errno != EINTR)
        return Complain(EXIT_FAIL, "poll: %s", strerror(errno)) == EXIT_OK ? 0 : -1;
    return 1;
}

// Until a stop signal, the count of bytes or the time-out; the node looked at between reads.
static bool record_loop(Session *s, Share *sh, Recorder *r, const char *device)
{
    for (;;) {
        struct pollfd fd = {sh->out, POLLIN, 0};
        int w = record_wait(s, &fd);
        if (w <= 0)
            return w == 0;
        note_presence(r, device);
        if (!(fd.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        std::array<unsigned char, IO_CHUNK> buf;
        ssize_t n = ShareRead(sh, buf.data(), buf.size());
        if (n < 0)
            return false;
        record_bytes(r, buf.data(), SessionTake(s, static_cast<size_t>(n)));
        if (fflush(r->out) != 0 || !r->ok)
            return r->ok = false;
    }
}

// A new file only: a record is never written over another, nor through a planted link.
static FILE *create_record(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    FILE *fp = fd < 0 ? nullptr : fdopen(fd, "w");
    if (!fp) {
        Complain(EXIT_FAIL, "cannot create %s: %s", Escaped(path).c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
    }
    return fp;
}

int CtlRecord(const Subcommand &, const Args &args)
{
    const char *device = args.operand[0];
    if (!ValidWord(device))
        return Complain(EXIT_USAGE, "record: '%s' is no device name", Escaped(device).c_str());
    Recorder r;
    r.out = create_record(args.operand[1]);
    if (!r.out)
        return EXIT_FAIL;
    fprintf(r.out, "%s\n# port %s, recorded by quilmoctl record\n", RECORD_HEADER, Escaped(device).substr(0, 200).c_str());
    Session s;
    SessionStart(&s, args.count, args.timeout);
    shareRefusalReason = WhyNotShared;
    Share sh;
    bool ok = ShareBegin(&sh, device);
    if (ok) {
        fprintf(stderr, "quilmoctl: recording %s into %s; interrupt to end\n", Escaped(device).c_str(),
                Escaped(args.operand[1]).c_str());
        r.start = NowMs();
        ok = record_loop(&s, &sh, &r, device);
    }
    ShareClose(&sh);
    if (sh.shared && !sh.daemonGone)
        ok = ShareEnd() && ok;
    if (fclose(r.out) != 0 && r.ok)
        ok = Complain(EXIT_FAIL, "cannot write the record: %s", strerror(errno)) == EXIT_OK;
    return ok && r.ok ? EXIT_OK : EXIT_FAIL;
}
