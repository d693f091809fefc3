// Serial line control and controller command transactions.
#include "device.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string_view>
#include <sys/select.h>

struct termios TTYstate;

int (*devUsleep)(useconds_t usec) = usleep;
void (*devMsDelay)(int ms) = MilliSecDelay;
unsigned int (*devSleep)(unsigned int s) = sleep;

// ---- serial line ----

static speed_t baud_code(int whichbaud)
{
    switch (whichbaud) {
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    default:  // 9600, and every speed we do not offer
        return B9600;
    }
}

void Dev_SaveState(int dev)
{
    tcgetattr(dev, &TTYstate);
}

int Dev_SetBaud(int dev, int whichbaud)
{
    // Zeroed first: a port whose settings cannot be read still gets defined control characters.
    struct termios tio {};
    tcgetattr(dev, &tio);
    speed_t speed = baud_code(whichbaud);
    tio.c_iflag = IGNBRK | IGNPAR;
    tio.c_oflag = 0;
    tio.c_cflag = speed | CS8 | CREAD | CLOCAL;
    tio.c_lflag = 0;
    tio.c_line = 0;
    tio.c_cc[VMIN] = 0;   // a read returns at once with what is there
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(dev, TCSAFLUSH, &tio);
    return 0;
}

void Dev_RestoreState(int dev)
{
    tcsetattr(dev, TCSAFLUSH, &TTYstate);
}

// 1 = fd readable within the wait, 0 = not (or select failed),
// -1 = fd cannot go into an fd_set (errno EBADF).
static int wait_readable(int fd, struct timeval wait)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(fd, &rd);
    return select(fd + 1, &rd, nullptr, nullptr, &wait) > 0 ? 1 : 0;
}

int ReadFunc(int fd, unsigned char *buf, int len)
{
    int ready = wait_readable(fd, {0, 0});
    if (ready < 0)
        return -1;
    if (ready == 0 || buf == nullptr || len <= 0)
        return 0;
    ssize_t n = read(fd, buf, static_cast<size_t>(len));
    if (n < 0 && errno != ENODEV) {  // a device that has gone is no news to print
        int err = errno;
        perror("read");
        errno = err;
    }
    return static_cast<int>(n);
}

void clear_serial_buffer(int fd)
{
    std::array<unsigned char, 1000> scratch;
    ReadFunc(fd, scratch.data(), static_cast<int>(scratch.size()));
}

void MilliSecDelay(int ms)
{
    if (ms <= 0)
        return;
    // Waiting on a pipe nobody writes lets a signal (the beep timer) cut the pause short.
    int ends[2];
    if (pipe(ends) != 0)
        return;
    struct pollfd p = {ends[0], POLLIN, 0};
    poll(&p, 1, ms);
    close(ends[0]);
    close(ends[1]);
}

void usdelay(long time)
{
    if (time <= 0)
        return;
    struct timespec ts = {time / 1000000, (time % 1000000) * 1000};
    nanosleep(&ts, nullptr);
}

// ---- controller command packets ----
//
//   byte  0    1 .. 6                         7
//         'U'  command letters and arguments  low 8 bits of the sum of bytes 0..6

constexpr int CMD_LEN = 8;

unsigned char check_sum(unsigned char *command_buffer)
{
    if (command_buffer == nullptr)
        return 0;
    unsigned sum = 0;
    for (int i = 0; i < CMD_LEN - 1; ++i)
        sum += command_buffer[i];
    return static_cast<unsigned char>(sum & 0xFF);
}

unsigned char check_sum_data(unsigned char *command_buffer)
{
    if (command_buffer == nullptr)
        return 0;
    return command_buffer[CMD_LEN - 1] == check_sum(command_buffer) ? 1 : 0;
}

// How a command number fills bytes 1 to 6: fixed letters, then argument characters.
struct CommandShape {
    std::string_view letters;
    std::string_view accepted;  // allowed first argument characters; empty = not checked
    int args;                   // argument characters copied after the letters
};

static constexpr std::array<CommandShape, 16> commandTable = {{
    {"a", "", 0},          //  0 status query (get_error_status)
    {"B", "1248", 1},      //  1
    {"c", "1234abcd", 1},  //  2
    {"C", "1234ABCD", 5},  //  3 the four characters after the first go unchecked
    {"c", "xy", 1},        //  4
    {"C", "xy", 5},        //  5 the four characters after the first go unchecked
    {"m", "", 0},          //  6
    {"M", "12", 1},        //  7
    {"oc", "", 0},         //  8 identification (try_touch_connect)
    {"oi", "", 0},         //  9
    {"pa", "", 0},         // 10
    {"PA", "", 4},         // 11 unchecked
    {"pb", "", 0},         // 12
    {"PB", "", 4},         // 13 unchecked
    {"RS", "", 0},         // 14
    {"t", "", 0},          // 15
}};

int process_command(int cmd, unsigned char *cmdbuf, unsigned char *command_buffer)
{
    if (command_buffer == nullptr)
        return 0;
    memset(command_buffer, 0, CMD_LEN);
    command_buffer[0] = 'U';
    if (cmd < 0 || cmd >= static_cast<int>(commandTable.size()))
        return 0;
    const CommandShape &shape = commandTable[static_cast<size_t>(cmd)];
    if (shape.args > 0) {
        if (cmdbuf == nullptr)
            return 0;
        // find() never matches the terminating zero, so a missing argument is rejected too.
        if (!shape.accepted.empty() && shape.accepted.find(static_cast<char>(cmdbuf[0])) == std::string_view::npos)
            return 0;
    }
    size_t at = 1;
    for (char c : shape.letters)
        command_buffer[at++] = static_cast<unsigned char>(c);
    for (int i = 0; i < shape.args; ++i)
        command_buffer[at++] = cmdbuf[i];
    command_buffer[CMD_LEN - 1] = check_sum(command_buffer);
    return 1;
}

// ---- transactions ----

static constexpr struct timeval TIMEOUT_IN_SEC = {0, 30000};  // first reply byte
constexpr int Retry = 3;            // empty polls for the whole collection
constexpr int MaxDataIn = 36;       // bytes collected before giving up
constexpr int BUF_SIZE = 72;        // reply collection buffer
constexpr useconds_t REPLY_PAUSE_US = 200000;  // the controller's time to answer
constexpr int POLL_PAUSE_MS = 10;
constexpr unsigned RETRY_PAUSE_S = 2;

static void write_packet(int fd, const unsigned char *packet)
{
    size_t done = 0;
    while (done < CMD_LEN) {
        ssize_t n = write(fd, packet + done, CMD_LEN - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // the missing reply will tell
        done += static_cast<size_t>(n);
    }
}

// The reply is only looked for at the very start of what came in: stray bytes in front
// of it spoil the transaction.
static int collect_reply(int fd, unsigned char *cmdbuf, int *cmdlen)
{
    std::array<unsigned char, BUF_SIZE> Buf{};
    int BufDat = 0;
    int retry = Retry;
    for (;;) {
        int n = ReadFunc(fd, Buf.data() + BufDat, BUF_SIZE - BufDat);
        if (n == 0) {
            devMsDelay(POLL_PAUSE_MS);
            if (--retry == 0)
                return -397;
            continue;
        }
        if (n < 0)
            return -402;
        BufDat += n;
        if (BufDat > MaxDataIn)
            return -407;
        if (BufDat >= CMD_LEN && Buf[0] == 'U' && check_sum_data(Buf.data())) {
            memcpy(cmdbuf, Buf.data(), CMD_LEN);
            *cmdlen = CMD_LEN;
            return 0;
        }
    }
}

int SendAndWait_down(int fd, int cmd, unsigned char *cmdbuf, int *cmdlen)
{
    if (cmdbuf == nullptr || cmdlen == nullptr)
        return -376;
    std::array<unsigned char, CMD_LEN> packet;
    int built = process_command(cmd, cmdbuf, packet.data());
    memset(cmdbuf, 0, CMD_LEN);
    *cmdlen = 0;
    if (!built)
        return -376;
    // A port we could not listen on is not sent a command.
    if (fd < 0 || fd >= FD_SETSIZE)
        return -402;
    write_packet(fd, packet.data());
    devUsleep(REPLY_PAUSE_US);
    if (wait_readable(fd, TIMEOUT_IN_SEC) <= 0)
        return -389;
    return collect_reply(fd, cmdbuf, cmdlen);
}

static bool answered(int fd, int cmd, unsigned char *cmdbuf, int *cmdlen)
{
    SendAndWait_down(fd, cmd, cmdbuf, cmdlen);
    return *cmdlen == CMD_LEN && cmdbuf[0] == 'U';
}

int SendAndWait(int fd, int cmd, unsigned char *cmdbuf, int *cmdlen)
{
    if (cmdbuf == nullptr || cmdlen == nullptr)
        return 0;
    // The first attempt clears cmdbuf; the second must send the same arguments.
    std::array<unsigned char, CMD_LEN> args;
    memcpy(args.data(), cmdbuf, CMD_LEN);
    clear_serial_buffer(fd);
    if (answered(fd, cmd, cmdbuf, cmdlen))
        return 1;
    devSleep(RETRY_PAUSE_S);
    clear_serial_buffer(fd);
    memcpy(cmdbuf, args.data(), CMD_LEN);
    if (answered(fd, cmd, cmdbuf, cmdlen))
        return 1;
    devSleep(RETRY_PAUSE_S);
    return 0;
}

// One transaction with no arguments; the reply stays all zero when it fails.
static int ask(int fd, int cmd, unsigned char *reply)
{
    int len = 0;
    memset(reply, 0, CMD_LEN);
    SendAndWait_down(fd, cmd, reply, &len);
    return len;
}

int try_touch_connect(int fd)
{
    static constexpr std::string_view ident = "UVORTAN";
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::array<unsigned char, CMD_LEN> reply;
        if (ask(fd, 8, reply.data()) == CMD_LEN && memcmp(reply.data(), ident.data(), ident.size()) == 0)
            return 1;
    }
    return 0;
}

char get_error_status(int fd)
{
    std::array<unsigned char, CMD_LEN> reply;
    ask(fd, 0, reply.data());
    return static_cast<char>(reply[1]);
}
