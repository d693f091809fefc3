// quilmosim --replay: a record file (include/record.h) played into the terminal with its times:
// bytes as they came, an unplugged port as a terminal that goes away, a re-plugged one as a new
// terminal under the same link. Each terminal is played into once a program has set up its line.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "record.h"
#include "sim.h"

constexpr long long OPEN_WAIT_MS = 60000;   // for a program to open the port
constexpr long long DRAIN_WAIT_MS = 5000;   // for it to read what was played before an unplug
constexpr long long LOOK_MS = 10;
constexpr speed_t UNSET_SPEED = B50;        // no program sets this: the line is still ours as made

static bool mark_unset()
{
    struct termios tio;
    return tcgetattr(sim.slave, &tio) == 0 && cfsetispeed(&tio, UNSET_SPEED) == 0 &&
           cfsetospeed(&tio, UNSET_SPEED) == 0 && tcsetattr(sim.slave, TCSANOW, &tio) == 0;
}

static bool line_set_up()
{
    struct termios tio;
    return tcgetattr(sim.slave, &tio) == 0 && cfgetospeed(&tio) != UNSET_SPEED;
}

static int pending_input()
{
    int n = 0;
    return ioctl(sim.slave, FIONREAD, &n) == 0 ? n : 0;
}

// Serves the port until done() holds or the time is up; false then.
template <typename Done> static bool serve_until(Done done, long long ms)
{
    long long deadline = NowMs() + ms;
    while (!done()) {
        if (NowMs() >= deadline || Serve(NowMs() + LOOK_MS, -1, 0, 0) == SERVE_STOP)
            return false;
    }
    return true;
}

// Nothing is played before a program has opened the port and set its line: a port not yet
// opened would drop the bytes when it is.
static bool await_opener()
{
    if (serve_until(line_set_up, OPEN_WAIT_MS))
        return true;
    if (!Stopping())
        fprintf(stderr, "quilmosim: nobody set up %s within %lld s\n", sim.link, OPEN_WAIT_MS / 1000);
    return false;
}

static void unplug()
{
    if (!serve_until([] { return pending_input() == 0; }, DRAIN_WAIT_MS) && !Stopping())
        fprintf(stderr, "quilmosim: %d bytes unread when %s went away\n", pending_input(), sim.link);
    const char *link = sim.link;
    RemoveLink();
    sim.link = link;
    close(sim.master);
    close(sim.slave);
    sim.master = sim.slave = -1;
    printf("unplugged %s\n", link);
}

static bool plug()
{
    if (!OpenTerminal() || !mark_unset() || !MakeLink(sim.link))
        return false;
    printf("plugged %s\n", sim.link);
    return await_opener();
}

// speed 0: no timing, as fast as the port takes the bytes.
static bool play(const RecordEntry &e, double speed, long long *start)
{
    if (speed > 0) {
        long long due = *start + std::llround(static_cast<double>(e.ms) / speed);
        if (due > NowMs() && Serve(due, -1, 0, 0) == SERVE_STOP)
            return false;
    }
    if (e.kind == RECORD_GONE) {
        if (sim.master >= 0)
            unplug();
        return true;
    }
    if (e.kind == RECORD_BACK) {
        bool ok = sim.master >= 0 || plug();
        *start = NowMs() - (speed > 0 ? std::llround(static_cast<double>(e.ms) / speed) : 0);
        return ok;
    }
    return sim.master < 0 || SendBytes(e.bytes.data(), e.len);  // bytes of an unplugged port are lost
}

bool Replay(const char *path, double speed)
{
    FILE *fp = fopen(path, "re");
    if (!fp) {
        fprintf(stderr, "quilmosim: cannot open record %s: %s\n", path, strerror(errno));
        return false;
    }
    RecordReader reader;
    RecordEntry e;
    int got = 0;
    unsigned long entries = 0;
    bool ok = mark_unset() && await_opener();
    long long start = NowMs();
    while (ok && (got = RecordRead(&reader, fp, &e)) > 0 && play(e, speed, &start))
        entries++;
    fclose(fp);
    if (got < 0)
        fprintf(stderr, "quilmosim: %s: %s\n", path, reader.error);
    if (ok && got == 0)
        printf("replayed %lu lines\n", entries);
    return ok && got == 0;
}
