// Unit tests of panel input: what a shared port's reads send to the share pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "quilmod.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes drain(int fd)
{
    Bytes got;
    unsigned char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        got.insert(got.end(), buf, buf + n);
    return got;
}

}  // namespace

// Reads that look like the middle of a packet are held back to go out with the rest, but never
// more than the hold's room: every byte reaches the share pipe once, in order.
TEST(InputShare, HeldBytesNeverOutgrowTheHoldAndAllArriveInOrder)
{
    int port[2], share[2];
    ASSERT_EQ(pipe2(port, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(share, O_NONBLOCK | O_CLOEXEC), 0);
    const int savedShrOut = fdShrOut;
    fdShrOut = share[1];
    TouchPanel p{};
    p.fd = port[0];
    p.sharing = 1;
    p.present = 1;
    Bytes sent, shared;
    for (int i = 0; i < 3 * PANEL_BUF; i++) {
        const unsigned char b = 0x01;  // a touch status byte, again and again: always worth holding
        ASSERT_EQ(write(port[1], &b, 1), 1);
        sent.push_back(b);
        ASSERT_EQ(DoRead(&p), 1);
        ASSERT_LE(p.shrlen, PANEL_BUF) << "after " << sent.size() << " bytes";
        Bytes got = drain(share[0]);
        shared.insert(shared.end(), got.begin(), got.end());
    }
    shared.insert(shared.end(), p.shrbuf, p.shrbuf + p.shrlen);
    EXPECT_EQ(shared, sent);
    fdShrOut = savedShrOut;
    for (int fd : {port[0], port[1], share[0], share[1]})
        close(fd);
}
