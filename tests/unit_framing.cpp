// Unit tests of packet framing: records, noise, split reads, bursts and the buffer bounds.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "quilmod.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;
using Record = std::array<unsigned char, 8>;

Bytes packet(unsigned char status, unsigned x, unsigned y)
{
    return {0x55, 0x54, status, (unsigned char)(x & 0xFF), (unsigned char)(x >> 8),
            (unsigned char)(y & 0xFF), (unsigned char)(y >> 8), 0xA5, 0x5A, 0xFF};
}

Record record_of(const unsigned char *r)
{
    Record out;
    memcpy(out.data(), r, out.size());
    return out;
}

// What the input unit does with one read: append, terminate, frame while a packet may wait.
std::vector<Record> read_chunk(TouchPanel *p, const unsigned char *data, size_t n)
{
    std::vector<Record> out;
    EXPECT_LE(p->len + n, (size_t)PANEL_BUF);
    memcpy(p->buf + p->len, data, n);
    p->len += (int)n;
    p->buf[p->len] = 0;
    while (p->len > 9) {
        unsigned char *r = DataFilter(p);
        if (r)
            out.push_back(record_of(r));
    }
    return out;
}

std::vector<Record> read_chunk(TouchPanel *p, const Bytes &b)
{
    return read_chunk(p, b.data(), b.size());
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &b : parts)
        all.insert(all.end(), b.begin(), b.end());
    return all;
}

struct FramingPanel : testing::Test {
    TouchPanel p{};
};

}  // namespace

TEST_F(FramingPanel, RecordBytesPerStatus)
{
    struct Case {
        unsigned char status, code, check;
    } cases[] = {{0x81, 1, 0x8B}, {0x82, 3, 0x8D}, {0x84, 7, 0x91}};
    for (const Case &c : cases) {
        auto recs = read_chunk(&p, packet(c.status, 0x0210, 0x0320));
        ASSERT_EQ(recs.size(), 1u);
        Record want = {0x55, c.code, 0x02, 0x10, 0x03, 0x20, 0x00, c.check};
        EXPECT_EQ(recs[0], want) << "status " << int(c.status);
        EXPECT_EQ(p.len, 0);
    }
}

TEST_F(FramingPanel, CheckByteWrapsModulo256)
{
    auto recs = read_chunk(&p, packet(0x84, 0xFFFF, 0xFFFF));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0][7], (unsigned char)(0x55 + 7 + 0xFF * 4));
}

TEST_F(FramingPanel, NoiseBeforePacketIsDropped)
{
    auto recs = read_chunk(&p, concat({{0x01, 0x02, 0x03}, packet(0x81, 528, 800)}));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0][1], 1);
    EXPECT_EQ(p.len, 0);
}

TEST_F(FramingPanel, IncompleteCandidateMovesToFront)
{
    struct Case {
        Bytes in;
        int at;  // where the candidate starts
    } cases[] = {
        {{1, 2, 3, 4, 0x55, 0x54, 0x81, 9, 8, 7, 6, 5}, 4},
        {{1, 2, 3, 4, 5, 0x55, 0x54, 0x00, 0x11, 0x22}, 5},  // kept whatever its status
    };
    for (const Case &c : cases) {
        memcpy(p.buf, c.in.data(), c.in.size());
        p.len = (int)c.in.size();
        p.buf[p.len] = 0;
        EXPECT_EQ(DataFilter(&p), nullptr);
        ASSERT_EQ(p.len, (int)c.in.size() - c.at);
        EXPECT_EQ(0, memcmp(p.buf, c.in.data() + c.at, p.len));
    }
}

TEST_F(FramingPanel, EveryInvalidStatusIsSkipped)
{
    for (int status = 0; status < 256; status++) {
        if (status == 0x81 || status == 0x82 || status == 0x84)
            continue;
        p.len = 0;
        auto recs = read_chunk(&p, concat({{0x55, 0x54, (unsigned char)status}, packet(0x82, 7, 9)}));
        ASSERT_EQ(recs.size(), 1u) << "status " << status;
        EXPECT_EQ(recs[0], (Record{0x55, 3, 0, 7, 0, 9, 0, (unsigned char)(0x55 + 3 + 7 + 9)}));
        EXPECT_EQ(p.len, 0);
    }
}

TEST_F(FramingPanel, NoiseEndingInLoneSyncIsDropped)
{
    Bytes b(15, 0x33);
    b.back() = 0x55;
    EXPECT_TRUE(read_chunk(&p, b).empty());
    EXPECT_EQ(p.len, 0);
}

TEST_F(FramingPanel, SyncBytesInsidePayloadDoNotSplitIt)
{
    // x = 0x5455 puts a sync pair at bytes 3 and 4.
    auto recs = read_chunk(&p, concat({packet(0x81, 0x5455, 0x5455), packet(0x84, 1, 2)}));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0][2], 0x54);
    EXPECT_EQ(recs[0][3], 0x55);
    EXPECT_EQ(recs[1][1], 7);
}

TEST_F(FramingPanel, TruncatedPacketResynchronisesOnALaterOne)
{
    // A cut-off packet swallows the start of the next; the one after comes through.
    Bytes cut = {0x55, 0x54, 0x81, 0x01};
    auto recs = read_chunk(&p, concat({cut, packet(0x81, 100, 200), packet(0x82, 300, 400)}));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1][1], 3);
    EXPECT_EQ(recs[1][2] * 256 + recs[1][3], 300);
    EXPECT_EQ(recs[1][4] * 256 + recs[1][5], 400);
    EXPECT_EQ(p.len, 0);
}

TEST_F(FramingPanel, PacketSplitAtEveryPosition)
{
    Bytes noise = {0x00, 0x55, 0x13};
    Bytes stream = concat({noise, packet(0x81, 528, 800), noise, packet(0x84, 1023, 767)});
    for (size_t cut = 1; cut < stream.size(); cut++) {
        p.len = 0;
        auto recs = read_chunk(&p, stream.data(), cut);
        auto rest = read_chunk(&p, stream.data() + cut, stream.size() - cut);
        recs.insert(recs.end(), rest.begin(), rest.end());
        ASSERT_EQ(recs.size(), 2u) << "cut at " << cut;
        EXPECT_EQ(recs[0], (Record{0x55, 1, 0x02, 0x10, 0x03, 0x20, 0, 0x8B})) << "cut at " << cut;
        EXPECT_EQ(recs[1][1], 7) << "cut at " << cut;
        EXPECT_EQ(p.len, 0) << "cut at " << cut;
    }
}

TEST_F(FramingPanel, FullBufferOfPackets)
{
    Bytes burst;
    for (unsigned k = 0; k < 10; k++)
        burst = concat({burst, packet(0x81, k, 1000 + k)});
    ASSERT_EQ(burst.size(), (size_t)PANEL_BUF);
    auto recs = read_chunk(&p, burst);
    ASSERT_EQ(recs.size(), 10u);
    for (unsigned k = 0; k < 10; k++)
        EXPECT_EQ(recs[k][4] * 256 + recs[k][5], (int)(1000 + k));
    EXPECT_EQ(p.len, 0);
}

TEST_F(FramingPanel, FullBufferEndingInPacketStart)
{
    Bytes burst(90, 0x21);
    burst = concat({burst, {0x55, 0x54, 0x81, 1, 2, 3, 4, 5, 6, 0x55}});
    auto recs = read_chunk(&p, burst);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(p.len, 0);  // the last 0x55 meets the terminator, not a sync byte
}

TEST_F(FramingPanel, RandomChunksAndNoise)
{
    unsigned seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    Bytes stream;
    std::vector<Record> want;
    for (int k = 0; k < 300; k++) {
        // Noise that never syncs, short enough that a packet start ending a read is
        // never behind ten dropped bytes (a lone last 0x55 is dropped with them).
        for (int n = rng() % 9; n > 0; n--)
            stream.push_back((unsigned char)(rng() % 0x55));
        static const unsigned char st[] = {0x81, 0x82, 0x84};
        unsigned char s = st[rng() % 3];
        unsigned x = rng() % 65536, y = rng() % 65536;
        stream = concat({stream, packet(s, x, y)});
        Record r = {0x55, (unsigned char)(s == 0x81 ? 1 : s == 0x82 ? 3 : 7),
                    (unsigned char)(x >> 8), (unsigned char)x, (unsigned char)(y >> 8), (unsigned char)y, 0, 0};
        unsigned sum = 0;
        for (int i = 0; i < 7; i++)
            sum += r[i];
        r[7] = (unsigned char)sum;
        want.push_back(r);
    }
    std::vector<Record> got;
    for (size_t at = 0; at < stream.size();) {
        size_t room = PANEL_BUF - p.len;
        size_t n = std::min<size_t>({room, stream.size() - at, 1 + rng() % PANEL_BUF});
        auto recs = read_chunk(&p, stream.data() + at, n);
        got.insert(got.end(), recs.begin(), recs.end());
        at += n;
        ASSERT_LE(p.len, 9);
    }
    EXPECT_EQ(got, want);
}

#if defined(__SANITIZE_ADDRESS__)
// The data may fill the buffer; the scan must stop at the terminator byte after it.
TEST(FramingBounds, NeverReadsPastTerminator)
{
    auto *p = static_cast<TouchPanel *>(aligned_alloc(alignof(TouchPanel), sizeof(TouchPanel)));
    memset(p, 0, sizeof *p);
    auto after = reinterpret_cast<uintptr_t>(&p->buf[PANEL_BUF + 1]);
    uintptr_t granule_end = (after + 7) & ~uintptr_t(7);
    ASSERT_GT(granule_end, after) << "layout leaves no padding to guard";
    ASSERT_LE(granule_end, reinterpret_cast<uintptr_t>(&p->state));
    ASAN_POISON_MEMORY_REGION(reinterpret_cast<void *>(after), granule_end - after);
    Bytes burst(PANEL_BUF, 0x55);
    read_chunk(p, burst);
    EXPECT_EQ(p->len, 0);
    ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void *>(after), granule_end - after);
    free(p);
}
#endif
