// quilmocal's touches: raw packets cut out of the shared port's stream by the daemon's own
// framing, or corrected frames from the watch pipe; one touch runs from the finger going down
// to its lift, and settles into the median of its later positions.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "cal.h"
#include "framing.h"

// The daemon's framing keeps a partial packet in the record between reads: one port, one record.
static TouchPanel rawPort;
static FrameCutter watchCutter;

constexpr unsigned char REC_DOWN = 1, REC_MOVE = 3;  // record codes of 0x81 and 0x82; 0x84 lifts
constexpr int MIN_PACKET = 10;

void (*onHold)(const HoldState &);
constexpr long long SECOND_MS = 1000;

namespace {

// The positions of one touch while the finger is down.
struct Touch {
    std::array<Point, MAX_SAMPLES> samples;
    int n = 0;
    int count = 0;  // all positions, also those beyond the array
    bool down = false;
    bool done = false;
    long long downAt = 0;
};

}  // namespace

static void touch_add(Touch *t, bool on, Point p)
{
    if (!on) {
        t->done = t->down;  // a lift without a touch-down belongs to no touch of ours
        return;
    }
    if (!t->down)
        t->downAt = NowMs();
    t->down = true;
    if (t->n < MAX_SAMPLES)
        t->samples[static_cast<size_t>(t->n++)] = p;
    t->count++;
}
// The middle value; of an even count the mean of the two middle ones, halves to even, so an
// even count leans neither way.
static int median_of(std::array<int, MAX_SAMPLES> &v, int n)
{
    const auto mid = v.begin() + n / 2;
    std::nth_element(v.begin(), mid, v.begin() + n);
    if (n % 2 == 1)
        return *mid;
    const long sum = static_cast<long>(*std::max_element(v.begin(), mid)) + *mid;
    const long half = sum >= 0 ? sum / 2 : -((-sum + 1) / 2);  // floor
    return static_cast<int>(sum % 2 != 0 && half % 2 != 0 ? half + 1 : half);
}

Settled SettleSamples(const Point *samples, int n)
{
    const int skip = n > SETTLE ? SETTLE : 0;
    const int kept = n - skip;
    std::array<int, MAX_SAMPLES> xs, ys;
    for (int i = 0; i < kept; ++i)
        xs[static_cast<size_t>(i)] = samples[skip + i].x, ys[static_cast<size_t>(i)] = samples[skip + i].y;
    Settled s{{0, 0}, kept, 0};
    if (kept <= 0)
        return s;
    s.median = {median_of(xs, kept), median_of(ys, kept)};
    for (int i = skip; i < n; ++i)
        s.spread = std::max({s.spread, std::abs(samples[i].x - s.median.x), std::abs(samples[i].y - s.median.y)});
    return s;
}

int WaitReadable(Session *s, int fd, long long end, long long tick, bool *timedOut)
{
    *timedOut = false;
    for (;;) {
        if (ScreenCancelled() || ScreenClickPending())
            return 0;
        s->deadline = tick > 0 ? std::min(end, tick) : end;
        std::array<struct pollfd, 2> fds = {{{fd, POLLIN, 0}, {ScreenFd(), POLLIN, 0}}};
        int r = SessionWait(s, fds, "touches");
        if (r > 0 && fds[0].revents)
            return 1;
        if (r < 0 || stopRequested)
            return r < 0 ? -1 : 0;
        if (MsUntil(end) == 0) {
            *timedOut = true;
            return 0;
        }
        if (tick > 0 && MsUntil(tick) == 0)
            return 2;
    }
}

long long NextSecond(long long now, long long end)
{
    if (now >= end)
        return end;
    const long long left = end - now;  // shown as ceil(left / 1 s); it drops at each whole second
    const long long step = (left - 1) % SECOND_MS + 1;
    return now + step;
}

// The next moment what the screen shows of a touch changes by time alone: the time left drops a
// second, or a held finger reaches the cancel warning, a second of its countdown, or the cancel.
long long NextChange(long long now, long long end, bool down, long long downAt, long long cancelMs)
{
    long long next = NextSecond(now, end);
    if (!down || cancelMs <= 0)
        return next;
    const long long cancelAt = downAt + cancelMs, warnAt = downAt + cancelMs / 2;
    if (now < warnAt)
        return std::min(next, warnAt);
    return now < cancelAt ? std::min(next, NextSecond(now, cancelAt)) : next;
}

static bool held_past(const Touch &t, const HoldRule &rule)
{
    return rule.cancelMs > 0 && t.down && NowMs() - t.downAt >= rule.cancelMs;
}

// What the screen shows of the touch so far.
static void report(const Touch &t, const HoldRule &rule, long long end, bool cancelling)
{
    if (!onHold)
        return;
    HoldState h{};
    h.down = t.down && !t.done;
    h.count = t.count;
    h.steady = rule.spread < 0 || t.n <= SETTLE || SettleSamples(t.samples.data(), t.n).spread <= rule.spread;
    h.heldMs = t.down ? NowMs() - t.downAt : 0;
    h.secondsLeft = (MsUntil(end) + 999) / 1000;
    h.cancelling = cancelling;
    h.hasLast = t.n > 0;
    h.last = h.hasLast ? t.samples[static_cast<size_t>(t.n - 1)] : Point{};
    onHold(h);
}

// Controller packets into the record, through the daemon's DataFilter:
//   record: 0x55, code, x hi, x lo, y hi, y lo, 0, check
static void feed_raw(Touch *t, const unsigned char *p, size_t n)
{
    while (n > 0 && !t->done) {
        size_t room = static_cast<size_t>(PANEL_BUF - rawPort.len);
        size_t take = std::min(room, n);
        memcpy(rawPort.buf + rawPort.len, p, take);
        rawPort.len += static_cast<int>(take);
        rawPort.buf[rawPort.len] = 0;
        p += take, n -= take;
        while (rawPort.len >= MIN_PACKET && !t->done)
            if (const unsigned char *rec = DataFilter(&rawPort)) {
                const Point at = {rec[2] * 256 + rec[3], rec[4] * 256 + rec[5]};
                touch_add(t, rec[1] == REC_DOWN || rec[1] == REC_MOVE, at);
            }
    }
}

static void finish(const Touch &t, TouchResult *out)
{
    out->settled = SettleSamples(t.samples.data(), t.n);
    out->count = t.count;
}

// One touch from fd: read(sh or fd) feeds it until the lift. 1 = got one, 0 = ended (a touch
// held past the cancel time ends so at its lift), -1 = failed.
static int sample(Session *s, int fd, const HoldRule &rule, long timeoutS, bool *timedOut, Touch *t,
                  ssize_t (*feed)(int fd, void *ctx, Touch *t), void *ctx)
{
    const long long end = NowMs() + timeoutS * 1000;
    bool cancelling = false;
    report(*t, rule, end, false);
    while (!t->done) {
        const long long wake = NextChange(NowMs(), end, t->down, t->downAt, rule.cancelMs);
        int r = WaitReadable(s, fd, end, onHold ? wake : 0, timedOut);
        if (r <= 0)
            return r;
        if (r == 1 && feed(fd, ctx, t) < 0)
            return -1;
        cancelling = cancelling || held_past(*t, rule);
        report(*t, rule, end, cancelling);
    }
    return cancelling ? 0 : 1;
}

static ssize_t feed_share(int, void *ctx, Touch *t)
{
    std::array<unsigned char, IO_CHUNK> buf;
    ssize_t n = ShareRead(static_cast<Share *>(ctx), buf.data(), buf.size());
    if (n > 0)
        feed_raw(t, buf.data(), static_cast<size_t>(n));
    return n;
}

// Corrected frames, cut by the watch pipe's own cutter.
static ssize_t feed_frames(int fd, void *, Touch *t)
{
    std::array<unsigned char, IO_CHUNK> buf;
    ssize_t n = read(fd, buf.data(), buf.size());
    if (n == 0) {
        Complain(EXIT_FAIL, "quilmod ended");
        return -1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (n < 0) {
        Complain(EXIT_FAIL, "cannot read %s: %s", WATCH_PIPE, strerror(errno));
        return -1;
    }
    for (ssize_t i = 0; i < n && !t->done; ++i)
        if (FrameFeed(&watchCutter, buf[static_cast<size_t>(i)])) {
            const unsigned char *f = watchCutter.frame.data();
            touch_add(t, f[0] & FRAME_TOUCH, {f[1] * 256 + f[2], f[3] * 256 + f[4]});
        }
    return n;
}

int SampleTouch(Session *s, Share *sh, const HoldRule &rule, long timeoutS, TouchResult *out, bool *timedOut)
{
    Touch t;
    int r = sample(s, sh->out, rule, timeoutS, timedOut, &t, feed_share, sh);
    finish(t, out);
    return r;
}

int SampleFrames(Session *s, int fd, const HoldRule &rule, long timeoutS, TouchResult *out, bool *timedOut)
{
    Touch t;
    int r = sample(s, fd, rule, timeoutS, timedOut, &t, feed_frames, nullptr);
    finish(t, out);
    return r;
}
