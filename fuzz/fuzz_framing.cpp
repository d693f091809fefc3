// Fuzz target: packet framing. A stream of whole packets comes out record for record whatever
// the split of the reads; any stream yields only records of 10-byte packets that are in it.
#include <array>

#include "fuzzhelp.h"
#include "quilmod.h"

namespace {

using Record = std::array<uint8_t, 8>;

constexpr uint8_t STATUS[3] = {0x81, 0x82, 0x84};

bool is_packet_start(const uint8_t *p)
{
    return p[0] == 0x55 && p[1] == 0x54 && (p[2] == 0x81 || p[2] == 0x82 || p[2] == 0x84);
}

// The record of a packet, from the packet and record tables.
Record record_of(const uint8_t *pkt)
{
    uint8_t code = pkt[2] == 0x81 ? 1 : pkt[2] == 0x82 ? 3 : 7;
    Record r = {0x55, code, pkt[4], pkt[3], pkt[6], pkt[5], 0, 0};
    for (int k = 0; k < 7; k++)
        r[7] = (uint8_t)(r[7] + r[k]);
    return r;
}

// Eight input bytes make one packet: status choice, x, y, and the three unused bytes.
std::vector<uint8_t> clean_stream(const std::vector<uint8_t> &in, std::vector<Record> *records)
{
    std::vector<uint8_t> stream;
    for (size_t k = 0; k + 8 <= in.size(); k += 8) {
        const uint8_t pkt[10] = {0x55, 0x54, STATUS[in[k] % 3], in[k + 1], in[k + 2],
                                 in[k + 3], in[k + 4], in[k + 5], in[k + 6], in[k + 7]};
        stream.insert(stream.end(), pkt, pkt + 10);
        records->push_back(record_of(pkt));
    }
    return stream;
}

// Feeds the stream through a pipe to the panel in reads of the given sizes, and frames after
// each read as the panel input does.
std::vector<Record> frame_stream(const std::vector<uint8_t> &stream, Splits &splits)
{
    static TouchPanel panel;
    panel = TouchPanel{};
    int fds[2];
    NonblockingPipe(fds);
    panel.fd = fds[0];
    std::vector<Record> out;
    for (size_t pos = 0; pos < stream.size();) {
        size_t n = NextSplit(splits, stream.size() - pos);
        if (write(fds[1], stream.data() + pos, n) != (ssize_t)n)
            FuzzFail("pipe write");
        pos += n;
        while (DoRead(&panel) > 0) {
            while (panel.len > 9) {
                const unsigned char *r = DataFilter(&panel);
                if (r)
                    out.push_back(Record{r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]});
            }
        }
        if (panel.len < 0 || panel.len > 9)
            FuzzFail("%d bytes left after framing", panel.len);
    }
    close(fds[0]);
    close(fds[1]);
    return out;
}

// Each record must be the record of a packet in the stream, after the packet of the record before.
void check_embedded(const std::vector<uint8_t> &stream, const std::vector<Record> &out)
{
    size_t from = 0;
    for (size_t k = 0; k < out.size(); k++) {
        while (from + 10 <= stream.size() && !(is_packet_start(&stream[from]) && record_of(&stream[from]) == out[k]))
            from++;
        if (from + 10 > stream.size())
            FuzzFail("record %zu of %zu is no packet of the stream", k, out.size());
        from += 10;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 8192)
        return -1;
    FuzzInput in{data, size, 0};
    bool clean = TakeByte(in) & 1;
    Splits splits = TakeSplits(in);
    std::vector<uint8_t> rest = TakeRest(in);
    if (clean) {
        std::vector<Record> sent;
        std::vector<uint8_t> stream = clean_stream(rest, &sent);
        if (frame_stream(stream, splits) != sent)
            FuzzFail("a clean stream of %zu packets did not come out as sent", sent.size());
    } else {
        check_embedded(rest, frame_stream(rest, splits));
    }
    return 0;
}
