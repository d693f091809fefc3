// Unit tests of share --decode's lines: packets whole and split, replies, stray bytes, the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Pkt(unsigned char status, int x, int y)
{
    return {0x55, 0x54, status, (unsigned char)(x & 0xFF), (unsigned char)(x >> 8),
            (unsigned char)(y & 0xFF), (unsigned char)(y >> 8), 0, 0, 0};
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Feeds the chunks one by one, then ends the stream; what was printed.
std::string Decode(const std::vector<Bytes> &chunks)
{
    char *text = nullptr;
    size_t size = 0;
    Decoder d;
    d.out = open_memstream(&text, &size);
    for (const Bytes &c : chunks)
        DecodeFeed(&d, c.data(), c.size());
    DecodeFlush(&d);
    fclose(d.out);
    std::string s(text, size);
    free(text);
    return s;
}

const Bytes IDENT = {0x55, 0x56, 0x4F, 0x52, 0x54, 0x41, 0x4E, 0x2F};   // "UVORTAN" and its sum
const Bytes STATUS = {0x55, 0x61, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB6};  // "Ua" and its sum
const std::string DOWN = "55 54 81 33 00 26 00 00 00 00  down x=51 y=38\n";
const std::string LIFT = "55 54 84 33 00 26 00 00 00 00  lift x=51 y=38\n";

TEST(Decode, LinesForPacketsRepliesAndStrayBytes)
{
    Bytes down = Pkt(0x81, 51, 38), lift = Pkt(0x84, 51, 38);
    Bytes badSum = IDENT;
    badSum[7] ^= 1;
    const struct {
        const char *name;
        std::vector<Bytes> chunks;
        std::string want;
    } cases[] = {
        {"whole packets", {Join({down, lift})}, DOWN + LIFT},
        {"a packet over three reads", {Bytes(down.begin(), down.begin() + 1), Bytes(down.begin() + 1, down.begin() + 7),
                                       Bytes(down.begin() + 7, down.end())}, DOWN},
        {"move and a big x and y", {Pkt(0x82, 4095, 258)}, "55 54 82 FF 0F 02 01 00 00 00  move x=4095 y=258\n"},
        {"stray bytes before a packet", {Join({{0xFF, 0x0A}, down})}, "FF 0A                          (no packet)\n" + DOWN},
        {"a sync with no packet's status", {Join({{0x55, 0x54, 0x99}, down})},
         "55 54 99                       (no packet)\n" + DOWN},
        {"a reply", {IDENT}, "55 56 4F 52 54 41 4E 2F        reply \"VORTAN\"\n"},
        {"a reply over two reads, zeros dropped", {Bytes(STATUS.begin(), STATUS.begin() + 3),
                                                   Bytes(STATUS.begin() + 3, STATUS.end())},
         "55 61 00 00 00 00 00 B6        reply \"a\"\n"},
        {"stray, a reply, a packet", {Join({{0x00}, IDENT, lift})},
         "00                             (no packet)\n55 56 4F 52 54 41 4E 2F        reply \"VORTAN\"\n" + LIFT},
        {"a reply whose sum is wrong", {badSum}, "55 56 4F 52 54 41 4E 2E        (no packet)\n"},
        {"a 'U' cut short by a packet", {Join({{0x55, 0x01}, down})}, "55 01                          (no packet)\n" + DOWN},
        {"a packet's start at the end", {Bytes(down.begin(), down.begin() + 6)},
         "55 54 81 33 00 26              (no packet)\n"},
        {"long noise, ten bytes a line", {Bytes(23, 0x11)},
         "11 11 11 11 11 11 11 11 11 11  (no packet)\n11 11 11 11 11 11 11 11 11 11  (no packet)\n"
         "11 11 11                       (no packet)\n"},
        {"nothing", {}, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Decode(c.chunks), c.want) << c.name;
}

// Far more bytes than the hold and the panel's buffer keep: every byte shows, in order.
TEST(Decode, ABurstLosesNothing)
{
    Bytes burst;
    std::string want;
    for (int i = 0; i < 50; i++) {
        burst.insert(burst.end(), IDENT.begin(), IDENT.end());
        Bytes p = Pkt(0x82, i, 2 * i);
        burst.insert(burst.end(), p.begin(), p.end());
        want += "55 56 4F 52 54 41 4E 2F        reply \"VORTAN\"\n";
        char line[80];
        snprintf(line, sizeof line, "55 54 82 %02X 00 %02X 00 00 00 00  move x=%d y=%d\n", i, 2 * i, i, 2 * i);
        want += line;
    }
    EXPECT_EQ(Decode({burst}), want);
    std::vector<Bytes> bytes;
    for (unsigned char b : burst)
        bytes.push_back({b});
    EXPECT_EQ(Decode(bytes), want);
}

}  // namespace
