// Controllers on ports the daemon does not hold: the check against its descriptors, and the
// command talk with a deadline on every step and an ear for the stop signals.
#include "controller.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include "channel.h"
#include "device.h"
#include "process.h"
#include "rootpath.h"

constexpr int IDENTIFY_CMD = 8;             // "U" "o" "c"
constexpr char IDENTITY[] = "UVORTAN";      // the identification reply's first 7 bytes
constexpr long long REPLY_PAUSE_MS = 200;   // the controller's time to answer
constexpr long long FIRST_BYTE_MS = 30;
constexpr long long EMPTY_POLL_MS = 10;
constexpr int EMPTY_POLLS = 3;              // for the whole collection
constexpr size_t MAX_DATA_IN = 36;          // bytes collected before giving up
constexpr size_t STALE_INPUT = 1000;        // thrown away before a command, at most
constexpr long long RETRY_PAUSE_MS = 2000;

int DaemonHolds(const struct stat &dev)
{
    pid_t pid = DaemonPid();
    if (pid <= 0)
        return 0;
    char dir[64];
    if (ProcPath(dir, sizeof dir, static_cast<int>(pid), "fd") != 0)
        return -1;
    DIR *d = opendir(dir);
    if (!d)
        return -1;
    int held = 0;
    while (struct dirent *e = readdir(d)) {
        char link[sizeof dir + sizeof e->d_name + 1];
        struct stat st;
        snprintf(link, sizeof link, "%s/%s", dir, e->d_name);
        if (e->d_name[0] != '.' && stat(link, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev)
            held = 1;
    }
    closedir(d);
    return held;
}

const char *AnswerText(Answer a)
{
    switch (a) {
    case ANSWER_OK: return "answered";
    case ANSWER_SILENT: return "no controller answered";
    case ANSWER_BADSUM: return "answered with a bad checksum";
    case ANSWER_GARBLED: return "answered with bytes that are no reply of ours";
    case ANSWER_STUCK: return "output does not drain (flow stopped, or nobody reads the far end)";
    case ANSWER_STOPPED: return "interrupted";
    default: return "the port failed";
    }
}

// 1 = fd shows events (fd < 0: the time passed), 0 = the deadline passed, -1 = a stop signal
// or a failed wait.
static int wait_for(const PortClaim &c, short events, long long deadline)
{
    for (;;) {
        if (stopRequested)
            return -1;
        int left = MsUntil(deadline);
        if (left == 0)
            return c.fd >= 0 && events ? 0 : 1;
        struct pollfd p = {events ? c.fd : -1, events, 0};
        struct timespec ts = {left / 1000, (left % 1000) * 1000000L};
        int r = ppoll(&p, 1, &ts, &c.waitMask);
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return -1;
    }
}

// Writes the packet within WRITE_MS; the descriptor stays non-blocking, so no write can hang.
static Answer write_packet(const PortClaim &c, const unsigned char *packet)
{
    long long deadline = NowMs() + WRITE_MS;
    size_t done = 0;
    while (done < CMD_PACKET_LEN) {
        ssize_t n = write(c.fd, packet + done, CMD_PACKET_LEN - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return ANSWER_FAILED;
        int r = wait_for(c, POLLOUT, deadline);
        if (r <= 0)
            return r == 0 ? ANSWER_STUCK : stopRequested ? ANSWER_STOPPED : ANSWER_FAILED;
    }
    return ANSWER_OK;
}

// What is there now, at most size bytes; 0 = nothing, -1 = failed.
static ssize_t read_now(int fd, unsigned char *buf, size_t size)
{
    ssize_t n = read(fd, buf, size);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return n;
}

// The reply is looked for at the very start of what came in, as the daemon's transactions do.
static Answer collect_reply(const PortClaim &c, unsigned char *reply)
{
    std::array<unsigned char, MAX_DATA_IN + CMD_PACKET_LEN> buf{};
    size_t have = 0;
    for (int empty = 0; empty < EMPTY_POLLS && have <= MAX_DATA_IN;) {
        ssize_t n = read_now(c.fd, buf.data() + have, buf.size() - have);
        if (n < 0)
            return ANSWER_FAILED;
        have += static_cast<size_t>(n);
        if (have >= CMD_PACKET_LEN && buf[0] == 'U' && check_sum_data(buf.data()))
            break;
        int r = n == 0 ? wait_for(c, POLLIN, NowMs() + EMPTY_POLL_MS) : 1;
        if (r < 0)
            return stopRequested ? ANSWER_STOPPED : ANSWER_FAILED;
        empty += r == 0;
    }
    memcpy(reply, buf.data(), CMD_PACKET_LEN);
    if (have < CMD_PACKET_LEN || buf[0] != 'U')
        return ANSWER_GARBLED;
    return check_sum_data(buf.data()) ? ANSWER_OK : ANSWER_BADSUM;
}

Answer Transact(const PortClaim &c, int cmd, const unsigned char *args, unsigned char *reply)
{
    std::array<unsigned char, CMD_PACKET_LEN> argCopy{}, packet{}, stale{};
    memcpy(argCopy.data(), args, CMD_PACKET_LEN);
    memset(reply, 0, CMD_PACKET_LEN);
    if (!process_command(cmd, argCopy.data(), packet.data()))
        return ANSWER_FAILED;
    for (size_t thrown = 0; thrown < STALE_INPUT;) {
        ssize_t n = read_now(c.fd, stale.data(), stale.size());
        if (n <= 0)
            break;
        thrown += static_cast<size_t>(n);
    }
    Answer a = write_packet(c, packet.data());
    if (a != ANSWER_OK)
        return a;
    if (wait_for(c, 0, NowMs() + REPLY_PAUSE_MS) < 0)
        return ANSWER_STOPPED;
    int first = wait_for(c, POLLIN, NowMs() + FIRST_BYTE_MS);
    if (first <= 0)
        return first == 0 ? ANSWER_SILENT : ANSWER_STOPPED;
    return collect_reply(c, reply);
}

// Only a reply that did not come is asked again: a stuck line or a signal ends the talk.
static bool worth_again(Answer a)
{
    return a == ANSWER_SILENT || a == ANSWER_BADSUM || a == ANSWER_GARBLED;
}

Answer TransactTwice(const PortClaim &c, int cmd, const unsigned char *args, unsigned char *reply)
{
    Answer a = Transact(c, cmd, args, reply);
    if (!worth_again(a))
        return a;
    if (wait_for(c, 0, NowMs() + RETRY_PAUSE_MS) < 0)
        return ANSWER_STOPPED;
    return Transact(c, cmd, args, reply);
}

Answer IdentifyController(const PortClaim &c, char *text, size_t size)
{
    text[0] = '\0';
    std::array<unsigned char, CMD_PACKET_LEN> none{}, reply{};
    Answer a = ANSWER_SILENT;
    for (int attempt = 0; attempt < 2; attempt++) {
        a = Transact(c, IDENTIFY_CMD, none.data(), reply.data());
        if (!worth_again(a))
            break;
    }
    if (a != ANSWER_OK)
        return a;
    Printable(reinterpret_cast<const char *>(reply.data()) + 1, CMD_PACKET_LEN - 2, text, size);
    return memcmp(reply.data(), IDENTITY, strlen(IDENTITY)) == 0 ? ANSWER_OK : ANSWER_GARBLED;
}
