// Tests of the device unit over real pseudo-terminals, and of the controller simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <time.h>
#include <vector>

#include "device.h"
#include "simhelp.h"

using Bytes = std::vector<unsigned char>;

constexpr int WAIT_MS = 5000;  // generous deadline for bytes crossing a terminal

// ---- terminal helpers ----

struct Line {
    int master = -1;
    int slave = -1;  // the port side, configured like a controller's serial line
};

static Line open_line()
{
    Line l;
    if (openpty(&l.master, &l.slave, nullptr, nullptr, nullptr) != 0)
        return l;
    struct termios tio;
    tcgetattr(l.master, &tio);
    cfmakeraw(&tio);
    tcsetattr(l.master, TCSANOW, &tio);
    fcntl(l.master, F_SETFD, FD_CLOEXEC);
    fcntl(l.slave, F_SETFD, FD_CLOEXEC);
    Dev_SetBaud(l.slave, 9600);
    return l;
}

static void close_line(Line &l)
{
    for (int *fd : {&l.master, &l.slave}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

static int pending(int fd)
{
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}

// Bytes written to a terminal reach the other side a moment later; wait until n are there.
static bool wait_pending(int fd, int n)
{
    long long deadline = SimNowMs() + WAIT_MS;
    while (pending(fd) < n) {
        if (SimNowMs() >= deadline)
            return false;
        usleep(500);
    }
    return true;
}

static Bytes read_exact(int fd, size_t n)
{
    Bytes out;
    long long deadline = SimNowMs() + WAIT_MS;
    while (out.size() < n) {
        long long left = deadline - SimNowMs();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        unsigned char buf[256];
        ssize_t got = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

static void put(int fd, const Bytes &b)
{
    ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

// What the port side wrote up to now: a marker sent behind it shows where it ends.
static Bytes written_by_port(const Line &l)
{
    constexpr unsigned char MARK = 0xE7;
    EXPECT_EQ(write(l.slave, &MARK, 1), 1);
    Bytes out;
    for (;;) {
        Bytes b = read_exact(l.master, 1);
        if (b.empty() || b[0] == MARK)
            return out;
        out.push_back(b[0]);
    }
}

static Bytes with_checksum(Bytes b)
{
    b.resize(8, 0);
    b[7] = check_sum(b.data());
    return b;
}

// ---- the controller played by the pause hooks ----
//
// The transaction's pauses are where a real controller would answer, so the recorders
// answer there: deterministic, and no real time passes.

struct FakeController {
    int master = -1;
    int slave = -1;
    std::vector<Bytes> replies;  // answer to the n-th command; empty = silent
    std::vector<Bytes> pieces;   // delivered one per 10 ms pause
    bool hangUp = false;         // close the line instead of answering
    std::vector<Bytes> commands;
    std::vector<useconds_t> usleeps;
    std::vector<int> msDelays;
    std::vector<unsigned> sleeps;
};

static FakeController fake;

static void deliver(const Bytes &b)
{
    if (b.empty())
        return;
    int before = pending(fake.slave);
    put(fake.master, b);
    EXPECT_TRUE(wait_pending(fake.slave, before + static_cast<int>(b.size())));
}

static int fake_usleep(useconds_t us)
{
    fake.usleeps.push_back(us);
    fake.commands.push_back(read_exact(fake.master, 8));
    if (fake.hangUp) {
        close(fake.master);
        fake.master = -1;
        return 0;
    }
    size_t i = fake.commands.size() - 1;
    if (i < fake.replies.size())
        deliver(fake.replies[i]);
    return 0;
}

static void fake_ms_delay(int ms)
{
    fake.msDelays.push_back(ms);
    if (!fake.pieces.empty()) {
        deliver(fake.pieces.front());
        fake.pieces.erase(fake.pieces.begin());
    }
}

static unsigned fake_sleep(unsigned s)
{
    fake.sleeps.push_back(s);
    return 0;
}

struct DeviceTransaction : ::testing::Test {
    Line line;
    void SetUp() override
    {
        line = open_line();
        ASSERT_GE(line.slave, 0);
        fake = FakeController{};
        fake.master = line.master;
        fake.slave = line.slave;
        devUsleep = fake_usleep;
        devMsDelay = fake_ms_delay;
        devSleep = fake_sleep;
    }
    void TearDown() override
    {
        devUsleep = usleep;
        devMsDelay = MilliSecDelay;
        devSleep = sleep;
        if (fake.master < 0)
            line.master = -1;  // the hook closed it
        close_line(line);
    }
};

static const Bytes statusReply = with_checksum({'U', 'a'});
static const Bytes identReply = with_checksum({'U', 'V', 'O', 'R', 'T', 'A', 'N'});

// ---- command packets ----

TEST(DeviceCommand, EncodesEveryCommand)
{
    struct Case {
        int cmd;
        Bytes args;
        Bytes body;  // bytes 1 to 6
    };
    const std::vector<Case> cases = {
        {0, {}, {'a', 0, 0, 0, 0, 0}},
        {1, {'8'}, {'B', '8', 0, 0, 0, 0}},
        {2, {'d'}, {'c', 'd', 0, 0, 0, 0}},
        {3, {'1', 'w', 'x', 'y', 'z'}, {'C', '1', 'w', 'x', 'y', 'z'}},
        {4, {'y'}, {'c', 'y', 0, 0, 0, 0}},
        {5, {'x', 1, 2, 3, 4}, {'C', 'x', 1, 2, 3, 4}},
        {6, {}, {'m', 0, 0, 0, 0, 0}},
        {7, {'2'}, {'M', '2', 0, 0, 0, 0}},
        {8, {}, {'o', 'c', 0, 0, 0, 0}},
        {9, {}, {'o', 'i', 0, 0, 0, 0}},
        {10, {}, {'p', 'a', 0, 0, 0, 0}},
        {11, {0xFF, 0, 0x7F, '!'}, {'P', 'A', 0xFF, 0, 0x7F, '!'}},
        {12, {}, {'p', 'b', 0, 0, 0, 0}},
        {13, {'a', 'b', 'c', 'd'}, {'P', 'B', 'a', 'b', 'c', 'd'}},
        {14, {}, {'R', 'S', 0, 0, 0, 0}},
        {15, {}, {'t', 0, 0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        std::array<unsigned char, 8> args{};
        std::copy(c.args.begin(), c.args.end(), args.begin());
        std::array<unsigned char, 8> packet;
        packet.fill(0xEE);
        ASSERT_EQ(process_command(c.cmd, args.data(), packet.data()), 1) << "command " << c.cmd;
        Bytes expect = {'U'};
        expect.insert(expect.end(), c.body.begin(), c.body.end());
        EXPECT_EQ(Bytes(packet.begin(), packet.end()), with_checksum(expect)) << "command " << c.cmd;
    }
}

TEST(DeviceCommand, IdentificationPacketIsFixed)
{
    std::array<unsigned char, 8> args;
    args.fill('x');  // arguments must not leak into a command that takes none
    std::array<unsigned char, 8> packet;
    ASSERT_EQ(process_command(8, args.data(), packet.data()), 1);
    EXPECT_EQ(Bytes(packet.begin(), packet.end()), (Bytes{0x55, 'o', 'c', 0, 0, 0, 0, 0x27}));
}

TEST(DeviceCommand, RejectsUnknownNumbersAndArguments)
{
    struct Case {
        int cmd;
        unsigned char arg;
    };
    const std::vector<Case> rejected = {
        {1, '3'}, {1, 0}, {1, '1' + 0x80}, {2, 'e'}, {2, 'A'}, {2, '0'}, {3, 'E'}, {3, 'a'},
        {4, 'z'}, {4, 'X'}, {5, 'Y'}, {5, 0}, {7, '0'}, {7, '3'}, {-1, 'a'}, {16, 'a'}, {INT_MAX, 'a'},
        {INT_MIN, 'a'},
    };
    for (const Case &c : rejected) {
        std::array<unsigned char, 8> args = {c.arg, '1', '1', '1', '1', 0, 0, 0};
        std::array<unsigned char, 8> packet;
        EXPECT_EQ(process_command(c.cmd, args.data(), packet.data()), 0)
            << "command " << c.cmd << " argument " << int(c.arg);
    }
    std::array<unsigned char, 8> packet;
    EXPECT_EQ(process_command(1, nullptr, packet.data()), 0);
    EXPECT_EQ(process_command(8, nullptr, packet.data()), 1);  // takes no arguments
    EXPECT_EQ(process_command(8, nullptr, nullptr), 0);
}

TEST(DeviceCommand, ChecksumIsTheLowByteOfTheSum)
{
    std::array<unsigned char, 8> p = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(check_sum(p.data()), 0xF9);  // 7 * 255 = 0x6F9
    p[7] = 0xF9;
    EXPECT_EQ(check_sum_data(p.data()), 1);
    for (size_t i = 0; i < p.size(); ++i) {
        std::array<unsigned char, 8> q = p;
        q[i] ^= 0x10;
        EXPECT_EQ(check_sum_data(q.data()), 0) << "byte " << i;
    }
}

// ---- serial line ----

TEST(DeviceSerial, SetBaudPicksFromTheSpeedTableAndGoesRaw)
{
    const std::vector<std::pair<int, speed_t>> table = {
        {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
        {0, B9600}, {115200, B9600}, {38400, B9600}, {-2400, B9600},
    };
    Line l = open_line();
    ASSERT_GE(l.slave, 0);
    for (auto [baud, speed] : table) {
        EXPECT_EQ(Dev_SetBaud(l.slave, baud), 0);
        struct termios tio;
        ASSERT_EQ(tcgetattr(l.slave, &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), speed) << baud;
        EXPECT_EQ(cfgetispeed(&tio), speed) << baud;
        EXPECT_EQ(tio.c_iflag, tcflag_t(IGNBRK | IGNPAR));
        EXPECT_EQ(tio.c_oflag, 0u);
        EXPECT_EQ(tio.c_lflag, 0u);
        EXPECT_EQ(tio.c_cflag & ~tcflag_t(CBAUD), tcflag_t(CS8 | CREAD | CLOCAL));
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    }
    close_line(l);
}

TEST(DeviceSerial, ReadAfterSetBaudDoesNotWait)
{
    Line l = open_line();
    struct termios tio;
    ASSERT_EQ(tcgetattr(l.slave, &tio), 0);
    ASSERT_EQ(tio.c_cc[VMIN], 0);  // else the read below would block
    unsigned char b;
    EXPECT_EQ(read(l.slave, &b, 1), 0);
    close_line(l);
}

TEST(DeviceSerial, SaveStateKeepsTheLastPortAndRestoreWritesItBack)
{
    Line a = open_line();
    Line b = open_line();
    Dev_SetBaud(a.slave, 2400);
    Dev_SetBaud(b.slave, 19200);
    Dev_SaveState(a.slave);
    Dev_SaveState(b.slave);
    EXPECT_EQ(cfgetospeed(&TTYstate), speed_t(B19200));

    Dev_SetBaud(b.slave, 4800);
    Dev_RestoreState(b.slave);
    struct termios tio;
    ASSERT_EQ(tcgetattr(b.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    close_line(a);
    close_line(b);
}

TEST(DeviceSerial, ReadFuncTakesWhatIsThereUpToLen)
{
    Line l = open_line();
    put(l.master, {1, 2, 3, 4, 5});
    ASSERT_TRUE(wait_pending(l.slave, 5));
    std::array<unsigned char, 8> buf{};
    EXPECT_EQ(ReadFunc(l.slave, buf.data(), 3), 3);
    EXPECT_EQ(buf[3], 0);  // nothing beyond len
    EXPECT_EQ(ReadFunc(l.slave, buf.data(), 8), 2);
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(ReadFunc(l.slave, buf.data(), 0), 0);
    EXPECT_EQ(ReadFunc(l.slave, buf.data(), -1), 0);
    close_line(l);
}

TEST(DeviceSerial, ReadFuncWithoutDataDoesNotRead)
{
    Line l = open_line();
    // Non-blocking, a read would fail with EAGAIN and show as -1.
    fcntl(l.slave, F_SETFL, fcntl(l.slave, F_GETFL) | O_NONBLOCK);
    std::array<unsigned char, 8> buf;
    EXPECT_EQ(ReadFunc(l.slave, buf.data(), 8), 0);
    close_line(l);
}

TEST(DeviceSerial, ReadFuncRefusesDescriptorsSelectCannotWatch)
{
    std::array<unsigned char, 8> buf;
    for (int fd : {-1, INT_MIN, FD_SETSIZE, FD_SETSIZE + 7, INT_MAX}) {
        errno = 0;
        EXPECT_EQ(ReadFunc(fd, buf.data(), 8), -1) << fd;
        EXPECT_EQ(errno, EBADF) << fd;
    }
    // An open descriptor above the limit, where the system allows one.
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur <= FD_SETSIZE && rl.rlim_max > FD_SETSIZE) {
        rl.rlim_cur = FD_SETSIZE + 1;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    Line l = open_line();
    put(l.master, {9});
    ASSERT_TRUE(wait_pending(l.slave, 1));
    if (dup2(l.slave, FD_SETSIZE) == FD_SETSIZE) {
        EXPECT_EQ(ReadFunc(FD_SETSIZE, buf.data(), 8), -1);
        EXPECT_EQ(pending(l.slave), 1);  // not read
        close(FD_SETSIZE);
    }
    close_line(l);
}

// A descriptor open for writing only: select sees the terminal's input, read refuses it.
static int write_only_twin(const Line &l)
{
    char name[64];
    if (ptsname_r(l.master, name, sizeof name) != 0)
        return -1;
    return open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
}

TEST(DeviceSerial, ReadFuncReportsAFailedRead)
{
    Line l = open_line();
    int wr = write_only_twin(l);
    ASSERT_GE(wr, 0);
    put(l.master, {7});
    ASSERT_TRUE(wait_pending(l.slave, 1));
    std::array<unsigned char, 8> buf;
    testing::internal::CaptureStderr();
    errno = 0;
    int n = ReadFunc(wr, buf.data(), 8);
    int err = errno;
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_LT(n, 0);
    EXPECT_EQ(err, EBADF);
    EXPECT_NE(printed.find("read: "), std::string::npos);
    close(wr);
    close_line(l);
}

TEST(DeviceSerial, ReadFuncAfterHangUpSeesEndOfFile)
{
    // Closing the other side hangs the terminal up; reads then meet end of file.
    Line l = open_line();
    close(l.master);
    l.master = -1;
    std::array<unsigned char, 8> buf;
    testing::internal::CaptureStderr();
    int n = ReadFunc(l.slave, buf.data(), 8);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(n, 0);
    close_line(l);
}

TEST(DeviceSerial, ClearSerialBufferDropsAtMostAThousandBytes)
{
    Line l = open_line();
    put(l.master, Bytes(1200, 0x41));
    ASSERT_TRUE(wait_pending(l.slave, 1200));
    clear_serial_buffer(l.slave);
    EXPECT_EQ(pending(l.slave), 200);
    clear_serial_buffer(l.slave);
    EXPECT_EQ(pending(l.slave), 0);
    clear_serial_buffer(l.slave);  // nothing there: no harm
    close_line(l);
}

static int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d))
        ++n;
    if (d)
        closedir(d);
    return n;
}

static volatile sig_atomic_t alarms = 0;

static void count_alarm(int)
{
    alarms = alarms + 1;
}

TEST(DeviceSerial, MilliSecDelayWaitsItsTimeAndNotForNothing)
{
    int before = open_descriptors();
    // A wait that should not happen is cut short by the alarm, and counted.
    struct sigaction sa {}, old {};
    sa.sa_handler = count_alarm;
    sigaction(SIGALRM, &sa, &old);
    alarms = 0;
    struct itimerval five = {{5, 0}, {5, 0}}, off = {};  // periodic: every wrong wait ends
    setitimer(ITIMER_REAL, &five, nullptr);
    MilliSecDelay(0);
    MilliSecDelay(-1);  // would be "forever" to a poll
    MilliSecDelay(INT_MIN);
    usdelay(0);
    usdelay(-5);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(alarms, 0);

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    MilliSecDelay(20);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    long long us = (t1.tv_sec - t0.tv_sec) * 1000000LL + (t1.tv_nsec - t0.tv_nsec) / 1000;
    EXPECT_GE(us, 20000);  // a lower bound only: a busy machine makes it longer
    EXPECT_EQ(open_descriptors(), before);
}

// ---- transactions ----

TEST_F(DeviceTransaction, ReplyOutcomes)
{
    Bytes badSum = statusReply;
    badSum[7] ^= 1;
    Bytes badThenGood = badSum;
    for (int i = 0; i < 4; ++i)
        badThenGood.insert(badThenGood.end(), statusReply.begin(), statusReply.end());
    Bytes stray = {0x2A};
    stray.insert(stray.end(), statusReply.begin(), statusReply.end());
    auto part = [](size_t from, size_t to) { return Bytes(statusReply.begin() + from, statusReply.begin() + to); };
    struct Case {
        const char *what;
        Bytes reply;               // there when the first wait begins
        std::vector<Bytes> later;  // one piece per empty-poll pause
        int code;
        size_t pauses;             // 10 ms pauses taken
    };
    const std::vector<Case> cases = {
        {"whole reply", statusReply, {}, 0, 0},
        {"silence", {}, {}, -389, 0},
        {"incomplete", part(0, 5), {}, -397, 3},
        {"in pieces", part(0, 3), {part(3, 6), part(6, 8)}, 0, 2},
        // the budget is for the whole reply: three short gaps use it up
        {"three gaps", part(0, 2), {part(2, 4), part(4, 6), part(6, 8)}, -397, 3},
        {"wrong checksum", badSum, {}, -397, 3},
        {"wrong checksum, valid replies behind", badThenGood, {}, -407, 0},
        {"stray byte first", stray, {}, -397, 3},
        {"valid sum, wrong header", with_checksum({'V', 'a'}), {}, -397, 3},
        {"36 bytes of noise", Bytes(36, 0x41), {}, -397, 3},
        {"37 bytes of noise", Bytes(37, 0x41), {}, -407, 0},
    };
    for (const Case &c : cases) {
        fake.replies = {c.reply};
        fake.pieces = c.later;
        fake.commands.clear();
        fake.usleeps.clear();
        fake.msDelays.clear();
        std::array<unsigned char, 8> buf;
        buf.fill(0xEE);
        int len = -1;
        EXPECT_EQ(SendAndWait_down(line.slave, 0, buf.data(), &len), c.code) << c.what;
        EXPECT_EQ(len, c.code == 0 ? 8 : 0) << c.what;
        EXPECT_EQ(Bytes(buf.begin(), buf.end()), c.code == 0 ? statusReply : Bytes(8, 0)) << c.what;
        EXPECT_EQ(fake.msDelays, std::vector<int>(c.pauses, 10)) << c.what;
        EXPECT_EQ(fake.usleeps, std::vector<useconds_t>{200000}) << c.what;
        ASSERT_EQ(fake.commands.size(), 1u);
        EXPECT_EQ(fake.commands[0], with_checksum({'U', 'a'})) << c.what;
        tcflush(line.slave, TCIFLUSH);
    }
}

TEST_F(DeviceTransaction, RejectedCommandWritesNothing)
{
    std::array<unsigned char, 8> buf = {'3', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    int len = -1;
    EXPECT_EQ(SendAndWait_down(line.slave, 1, buf.data(), &len), -376);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), Bytes(8, 0));
    EXPECT_TRUE(fake.usleeps.empty());
    EXPECT_TRUE(written_by_port(line).empty());
    EXPECT_EQ(SendAndWait_down(line.slave, 0, nullptr, &len), -376);
    EXPECT_EQ(SendAndWait_down(line.slave, 0, buf.data(), nullptr), -376);
}

TEST_F(DeviceTransaction, FailedReadEndsTheTransaction)
{
    int wr = write_only_twin(line);
    ASSERT_GE(wr, 0);
    fake.replies = {statusReply};
    std::array<unsigned char, 8> buf{};
    int len = -1;
    testing::internal::CaptureStderr();
    int rc = SendAndWait_down(wr, 0, buf.data(), &len);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -402);
    EXPECT_EQ(len, 0);
    close(wr);
}

TEST_F(DeviceTransaction, HangUpEndsAsAnIncompleteReply)
{
    fake.hangUp = true;
    std::array<unsigned char, 8> buf{};
    int len = -1;
    EXPECT_EQ(SendAndWait_down(line.slave, 0, buf.data(), &len), -397);
    EXPECT_EQ(fake.msDelays.size(), 3u);
    EXPECT_EQ(len, 0);
}

TEST_F(DeviceTransaction, UnwatchableDescriptorGetsNoCommand)
{
    std::array<unsigned char, 8> buf{};
    int len = -1;
    EXPECT_EQ(SendAndWait_down(FD_SETSIZE, 0, buf.data(), &len), -402);
    EXPECT_EQ(SendAndWait_down(-1, 0, buf.data(), &len), -402);
    EXPECT_TRUE(fake.usleeps.empty());
}

TEST_F(DeviceTransaction, SendAndWaitRetriesTheSamePacket)
{
    fake.replies = {{}, with_checksum({'U', 'C'})};
    std::array<unsigned char, 8> buf = {'1', 'w', 'x', 'y', 'z', 0, 0, 0};
    int len = -1;
    EXPECT_EQ(SendAndWait(line.slave, 3, buf.data(), &len), 1);
    ASSERT_EQ(fake.commands.size(), 2u);
    EXPECT_EQ(fake.commands[0], with_checksum({'U', 'C', '1', 'w', 'x', 'y', 'z'}));
    EXPECT_EQ(fake.commands[1], fake.commands[0]);
    EXPECT_EQ(fake.sleeps, std::vector<unsigned>{2});
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), with_checksum({'U', 'C'}));
    EXPECT_EQ(len, 8);
}

TEST_F(DeviceTransaction, SendAndWaitGivesUpAfterTwoAttempts)
{
    std::array<unsigned char, 8> buf{};
    int len = -1;
    EXPECT_EQ(SendAndWait(line.slave, 15, buf.data(), &len), 0);
    EXPECT_EQ(fake.commands.size(), 2u);
    EXPECT_EQ(fake.sleeps, (std::vector<unsigned>{2, 2}));
    EXPECT_EQ(len, 0);
}

TEST_F(DeviceTransaction, SendAndWaitDropsStaleInputFirst)
{
    put(line.master, {0x2A, 0x2A, 0x2A});  // left over from before: would spoil the reply
    ASSERT_TRUE(wait_pending(line.slave, 3));
    fake.replies = {statusReply};
    std::array<unsigned char, 8> buf{};
    int len = -1;
    EXPECT_EQ(SendAndWait(line.slave, 0, buf.data(), &len), 1);
    EXPECT_TRUE(fake.sleeps.empty());
}

TEST_F(DeviceTransaction, TryTouchConnectWantsTheIdentification)
{
    fake.replies = {identReply};
    EXPECT_EQ(try_touch_connect(line.slave), 1);
    EXPECT_EQ(fake.commands.size(), 1u);
    EXPECT_EQ(fake.commands[0], (Bytes{0x55, 'o', 'c', 0, 0, 0, 0, 0x27}));

    fake.commands.clear();
    fake.replies = {statusReply, identReply};  // a valid packet, but not the identification
    EXPECT_EQ(try_touch_connect(line.slave), 1);
    EXPECT_EQ(fake.commands.size(), 2u);

    fake.commands.clear();
    Bytes badSum = identReply;
    badSum[7] ^= 0x80;
    fake.replies = {statusReply, badSum};
    EXPECT_EQ(try_touch_connect(line.slave), 0);
    EXPECT_EQ(fake.commands.size(), 2u);
    EXPECT_TRUE(fake.sleeps.empty());
}

TEST_F(DeviceTransaction, ErrorStatusIsTheSecondReplyByte)
{
    fake.replies = {statusReply, {}};
    EXPECT_EQ(get_error_status(line.slave), 0x61);
    EXPECT_EQ(get_error_status(line.slave), 0);
}

// ---- the controller simulator ----

struct SimRun {
    SimProc proc;
    std::string dir;
    std::string link;
    int port = -1;  // the test's end of the simulated line
};

static std::string sim_program()
{
    return SimBinDir() + "/quilmosim";
}

static std::string temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/simtest.XXXXXX";
    return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

static int open_port(const std::string &link)
{
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
        Dev_SetBaud(fd, 9600);
    return fd;
}

static void end_sim(SimRun &r)
{
    SimStop(r.proc);
    if (r.port >= 0)
        close(r.port);
    unlink(r.link.c_str());
    rmdir(r.dir.c_str());
}

// Starts the simulator on a link in a fresh directory, waits for its "ready" line and
// opens the port.
static bool start_sim(SimRun &r, std::vector<std::string> args = {})
{
    r.dir = temp_dir();
    r.link = r.dir + "/port";
    args.insert(args.begin(), r.link);
    std::string line;
    if (!r.dir.empty() && SimStart(r.proc, sim_program(), args) && SimWaitFor(r.proc, "ready ", WAIT_MS, &line) &&
        line == "ready " + r.link)
        r.port = open_port(r.link);
    if (r.port >= 0)
        return true;
    end_sim(r);
    return false;
}

static Bytes touch(unsigned char status, unsigned x, unsigned y)
{
    return {0x55, 0x54, status, static_cast<unsigned char>(x), static_cast<unsigned char>(x >> 8),
            static_cast<unsigned char>(y), static_cast<unsigned char>(y >> 8), 0, 0, 0};
}

static Bytes concat(const std::vector<Bytes> &parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

#define REQUIRE_SIM()                                                         \
    do {                                                                      \
        if (access(sim_program().c_str(), X_OK) != 0)                         \
            GTEST_SKIP() << "quilmosim not built beside the tests";           \
    } while (0)

TEST(DeviceSim, PlaysTouchPacketsOnTheLink)
{
    REQUIRE_SIM();
    SimRun r;
    ASSERT_TRUE(start_sim(r));
    int fd = r.port;
    SimSend(r.proc, "down 528 800\nmove 600 65535\nlift\ntap 1 2\nlift 3 4\ndrag 0 0 100 200 4\n"
                    "hex 55 54 0 ff A\necho sent\n");
    ASSERT_TRUE(SimWaitFor(r.proc, "sent", WAIT_MS));
    Bytes expect = concat({
        touch(0x81, 528, 800), touch(0x81, 600, 65535), touch(0x84, 600, 65535),
        touch(0x81, 1, 2), touch(0x84, 1, 2), touch(0x84, 3, 4),
        touch(0x81, 0, 0), touch(0x81, 25, 50), touch(0x81, 50, 100), touch(0x81, 75, 150),
        touch(0x81, 100, 200), touch(0x84, 100, 200),
        {0x55, 0x54, 0x00, 0xFF, 0x0A},
    });
    EXPECT_EQ(read_exact(fd, expect.size()), expect);

    SimSend(r.proc, "noise 300\n");
    Bytes noise = read_exact(fd, 300);
    EXPECT_EQ(noise.size(), 300u);
    EXPECT_EQ(std::count(noise.begin(), noise.end(), 0x55), 0);
    end_sim(r);
}

TEST(DeviceSim, PrintsWhatThePortWrites)
{
    REQUIRE_SIM();
    SimRun r;
    ASSERT_TRUE(start_sim(r));
    int fd = r.port;
    put(fd, {0x01, 0xAB, 0x00});
    std::string line;
    ASSERT_TRUE(SimWaitFor(r.proc, "rx", WAIT_MS, &line));
    std::string all = line;
    while (all.size() < std::string("rx 01 AB 00").size() && SimWaitFor(r.proc, "rx", WAIT_MS, &line))
        all += line.substr(2);
    EXPECT_EQ(all, "rx 01 AB 00");

    // wait-rx counts bytes that came before the line was read, too.
    SimSend(r.proc, "wait-rx 3 5000\necho three\nwait-rx 1 50\necho late\n");
    ASSERT_TRUE(SimWaitFor(r.proc, "three", WAIT_MS));
    ASSERT_TRUE(SimWaitFor(r.proc, "late", WAIT_MS));
    EXPECT_TRUE(SimWaitForError(r.proc, "error: line 3: wait-rx: 0 of 1 bytes", WAIT_MS));
    end_sim(r);
}

// One transaction against the simulator, waiting for `expect` reply bytes (or briefly,
// for none) instead of the fixed pause.
static int expected_reply_bytes;

static int wait_for_reply(useconds_t)
{
    long long deadline = SimNowMs() + (expected_reply_bytes ? WAIT_MS : 300);
    while (SimNowMs() < deadline && (expected_reply_bytes == 0 || pending(fake.slave) < expected_reply_bytes))
        usleep(1000);
    return 0;
}

static void set_fault(SimRun &r, const std::string &kind)
{
    SimSend(r.proc, "fault " + kind + "\necho fault " + kind + "\n");
    ASSERT_TRUE(SimWaitFor(r.proc, "fault " + kind, WAIT_MS));
}

TEST(DeviceSim, AnswersLikeAControllerWithFaultsOnRequest)
{
    REQUIRE_SIM();
    SimRun r;
    ASSERT_TRUE(start_sim(r, {"--controller"}));
    int fd = r.port;
    fake = FakeController{};
    fake.slave = fd;
    devUsleep = wait_for_reply;
    devMsDelay = MilliSecDelay;  // real gaps: pieces come in real time

    std::array<unsigned char, 8> buf{};
    int len;
    expected_reply_bytes = 8;
    EXPECT_EQ(try_touch_connect(fd), 1);
    EXPECT_EQ(get_error_status(fd), 0x61);
    buf = {'1', 'w', 'x', 'y', 'z'};
    EXPECT_EQ(SendAndWait_down(fd, 3, buf.data(), &len), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), with_checksum({'U', 'C'}));
    EXPECT_EQ(SendAndWait_down(fd, 14, buf.data(), &len), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), with_checksum({'U', 'R', 'S'}));
    std::string line;
    EXPECT_TRUE(SimWaitFor(r.proc, "rx 55 6F 63 00 00 00 00 27", WAIT_MS));

    struct Case {
        const char *fault;
        int replyBytes;
        int code;
    };
    for (Case c : {Case{"pieces", 8, 0}, Case{"badsum", 8, -397}, Case{"stray", 9, -397},
                   Case{"noise", 40, -407}, Case{"silent", 0, -389}, Case{"none", 8, 0}}) {
        set_fault(r, c.fault);
        expected_reply_bytes = c.replyBytes;
        EXPECT_EQ(SendAndWait_down(fd, 0, buf.data(), &len), c.code) << c.fault;
        clear_serial_buffer(fd);
    }
    devUsleep = usleep;
    end_sim(r);
}

TEST(DeviceSim, ReportsBadLinesAndGoesOn)
{
    REQUIRE_SIM();
    SimRun r;
    ASSERT_TRUE(start_sim(r));
    SimSend(r.proc, "bogus\ndown 1\ndown 70000 1\nhex 5G\n  # only a comment\n\nfault weird\n"
                    "controller maybe\nlift 1\npause -5\n" + std::string(2000, 'x') + "\necho alive\n");
    EXPECT_TRUE(SimWaitFor(r.proc, "alive", WAIT_MS));
    for (const char *e : {"error: line 1: unknown command 'bogus'", "error: line 2: down takes",
                          "error: line 3: '70000' is not a number", "error: line 4: '5G' is not a hex byte",
                          "error: line 7: unknown fault 'weird'", "error: line 8: controller takes on or off",
                          "error: line 9: lift takes", "error: line 10: '-5' is not a number",
                          "error: line 11: longer than 1024 characters"})
        EXPECT_TRUE(SimWaitForError(r.proc, e, WAIT_MS)) << e;
    end_sim(r);
}

TEST(DeviceSim, HoldsThePortAfterTheScriptUntilTerminated)
{
    REQUIRE_SIM();
    SimRun r;
    ASSERT_TRUE(start_sim(r));
    int fd = r.port;
    SimSend(r.proc, "down 1 2\n");
    SimCloseInput(r.proc);
    EXPECT_EQ(read_exact(fd, 10), touch(0x81, 1, 2));
    put(fd, {0x42});  // still served after the end of the script
    EXPECT_TRUE(SimWaitFor(r.proc, "rx 42", WAIT_MS));
    int status = SimStop(r.proc);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st;
    EXPECT_NE(lstat(r.link.c_str(), &st), 0);
    end_sim(r);
}

TEST(DeviceSim, EndsOnQuitOrAtTheEndWhenAsked)
{
    REQUIRE_SIM();
    struct stat st;
    for (bool quit : {true, false}) {
        SimRun r;
        ASSERT_TRUE(start_sim(r, quit ? std::vector<std::string>{} : std::vector<std::string>{"--exit-at-end"}));
        SimSend(r.proc, quit ? "quit\n" : "echo last\n");
        SimCloseInput(r.proc);
        int status = SimWait(r.proc, WAIT_MS);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_NE(lstat(r.link.c_str(), &st), 0);
        end_sim(r);
    }
}

TEST(DeviceSim, StopsOnSignalThoughTheScriptNeverWaits)
{
    REQUIRE_SIM();
    SimRun r;
    ASSERT_TRUE(start_sim(r, {"/dev/zero"}));  // one endless line, always ready
    EXPECT_TRUE(SimWaitForError(r.proc, "error: line 1: longer than", WAIT_MS));
    kill(r.proc.pid, SIGTERM);
    int status = SimWait(r.proc, WAIT_MS);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st;
    EXPECT_NE(lstat(r.link.c_str(), &st), 0);
    end_sim(r);
}

TEST(DeviceSim, ReplacesAnOldLinkButNothingElse)
{
    REQUIRE_SIM();
    std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string link = dir + "/port";
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
    SimProc p;
    ASSERT_TRUE(SimStart(p, sim_program(), {link}));
    EXPECT_TRUE(SimWaitFor(p, "ready " + link, WAIT_MS));
    std::array<char, 64> target{};
    ASSERT_GT(readlink(link.c_str(), target.data(), target.size() - 1), 0);
    EXPECT_EQ(std::string(target.data()).rfind("/dev/pts/", 0), 0u);
    SimStop(p);

    std::string file = dir + "/plain";
    close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    for (const std::string &bad : {file, dir + "/missing/port"}) {
        SimProc q;
        ASSERT_TRUE(SimStart(q, sim_program(), {bad}));
        int status = SimWait(q, WAIT_MS);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << bad;
        EXPECT_TRUE(SimWaitForError(q, "quilmosim: ", WAIT_MS)) << bad;
        SimStop(q);
    }
    struct stat st;
    EXPECT_TRUE(stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode));
    unlink(file.c_str());
    unlink(link.c_str());
    rmdir(dir.c_str());
}
