// The bare relay the end-to-end harness measures the daemon against: select on the ports, read,
// cut 10-byte packets, write a 5-byte frame into each of two FIFOs, nothing else.
// Usage: quilmod_relay FIFO0 FIFO1 PORT...
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <vector>

namespace {

constexpr size_t PACKET = 10;
constexpr size_t BUF = 4096;
constexpr unsigned char HEAD0 = 0x55, HEAD1 = 0x54;

struct Port {
    int fd;
    std::array<unsigned char, BUF> buf;
    size_t len;
};

int open_port(const char *path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Packet: 55 54 status xlo xhi ylo yhi 0 0 0; frame: status xhi xlo yhi ylo, as the daemon's order.
void relay(Port &p, const int out[2])
{
    size_t at = 0;
    while (p.len - at >= PACKET) {
        const unsigned char *k = p.buf.data() + at;
        if (k[0] != HEAD0 || k[1] != HEAD1) {
            at++;
            continue;
        }
        const unsigned char frame[5] = {k[2], k[4], k[3], k[6], k[5]};
        for (int i = 0; i < 2; i++)
            if (write(out[i], frame, sizeof frame) < 0 && errno != EAGAIN)
                perror("write");
        at += PACKET;
    }
    memmove(p.buf.data(), p.buf.data() + at, p.len - at);
    p.len -= at;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: quilmod_relay FIFO0 FIFO1 PORT...\n");
        return 2;
    }
    int out[2];
    std::vector<Port> ports;
    for (int i = 0; i < 2; i++)
        if ((out[i] = open(argv[1 + i], O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 || out[i] >= FD_SETSIZE) {
            perror(argv[1 + i]);
            return 1;
        }
    for (int i = 3; i < argc; i++) {
        int fd = open_port(argv[i]);
        if (fd < 0 || fd >= FD_SETSIZE) {
            perror(argv[i]);
            return 1;
        }
        ports.push_back({fd, {}, 0});
    }
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        int top = 0;
        for (const Port &p : ports) {
            FD_SET(p.fd, &set);
            top = p.fd > top ? p.fd : top;
        }
        if (select(top + 1, &set, nullptr, nullptr, nullptr) <= 0)
            continue;
        for (Port &p : ports) {
            if (!FD_ISSET(p.fd, &set))
                continue;
            ssize_t n = read(p.fd, p.buf.data() + p.len, BUF - p.len);
            if (n > 0) {
                p.len += (size_t)n;
                relay(p, out);
            }
        }
    }
}
