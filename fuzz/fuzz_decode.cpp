// Fuzz target: share --decode. Fed in reads of any sizes, every byte of the stream is printed once,
// in order; the packet lines are the packets the daemon's own reads of the same bytes frame, each
// beside its true meaning; a reply line is a checked reply; and nothing but printable text leaves.
#include <cstring>
#include <string>

#include "decode.h"
#include "framing.h"
#include "fuzzhelp.h"

namespace {

constexpr size_t HEX_WIDTH = 29;  // ten bytes as "0A 0B ..."
constexpr size_t REPLY_BYTES = 8;

struct Line {
    std::vector<uint8_t> bytes;
    std::string meaning;
};

Line parse_line(const std::string &text)
{
    if (text.size() < HEX_WIDTH + 2 || text.compare(HEX_WIDTH, 2, "  ") != 0)
        FuzzFail("line '%s' has no hex column", text.c_str());
    Line l;
    for (size_t at = 0; at + 2 <= HEX_WIDTH && text[at] != ' '; at += 3) {
        char *end;
        std::string two = text.substr(at, 2);
        l.bytes.push_back((uint8_t)strtoul(two.c_str(), &end, 16));
        if (*end || (at + 2 < HEX_WIDTH && text[at + 2] != ' '))
            FuzzFail("line '%s': bad hex", text.c_str());
    }
    l.meaning = text.substr(HEX_WIDTH + 2);
    return l;
}

// The meaning a packet line must show: status word, little-endian x and y.
std::string packet_meaning(const std::vector<uint8_t> &p)
{
    const char *word = p[2] == PACKET_DOWN ? "down" : p[2] == PACKET_MOVE ? "move" : "lift";
    return std::string(word) + " x=" + std::to_string(p[3] + p[4] * 256) + " y=" + std::to_string(p[5] + p[6] * 256);
}

std::string reply_meaning(const std::vector<uint8_t> &r)
{
    size_t n = REPLY_BYTES - 2;
    while (n > 0 && r[n] == 0)
        n--;
    std::string text;
    for (size_t k = 1; k <= n; k++)
        text += isprint(r[k]) ? (char)r[k] : '?';
    return "reply \"" + text + "\"";
}

void check_line(const Line &l, std::vector<std::vector<uint8_t>> *packets)
{
    const std::vector<uint8_t> &b = l.bytes;
    if (b.empty() || b.size() > (size_t)PACKET_LEN)
        FuzzFail("a line of %zu bytes", b.size());
    if (l.meaning == "(no packet)")
        return;
    if (l.meaning.rfind("reply ", 0) == 0) {
        unsigned sum = 0;
        for (size_t k = 0; k + 1 < REPLY_BYTES && k < b.size(); k++)
            sum += b[k];
        if (b.size() != REPLY_BYTES || b[0] != 'U' || (uint8_t)sum != b[7])
            FuzzFail("'%s' is no checked reply", l.meaning.c_str());
        if (l.meaning != reply_meaning(b))
            FuzzFail("'%s' where '%s' was due", l.meaning.c_str(), reply_meaning(b).c_str());
        return;
    }
    if (b.size() != (size_t)PACKET_LEN || b[0] != PACKET_SYNC0 || b[1] != PACKET_SYNC1 ||
        (b[2] != PACKET_DOWN && b[2] != PACKET_MOVE && b[2] != PACKET_LIFT))
        FuzzFail("'%s' is no packet", l.meaning.c_str());
    if (l.meaning != packet_meaning(b))
        FuzzFail("'%s' where '%s' was due", l.meaning.c_str(), packet_meaning(b).c_str());
    packets->push_back(b);
}

// The records the daemon frames from the same reads, each read at most the buffer's room.
std::vector<std::vector<uint8_t>> daemon_records(const std::vector<uint8_t> &stream, Splits splits)
{
    static TouchPanel panel;
    panel = TouchPanel{};
    std::vector<std::vector<uint8_t>> records;
    for (size_t pos = 0; pos < stream.size();) {
        size_t take = NextSplit(splits, stream.size() - pos);
        while (take > 0) {
            size_t n = std::min(take, (size_t)(PANEL_BUF - panel.len));
            memcpy(panel.buf + panel.len, stream.data() + pos, n);
            panel.len += (int)n;
            panel.buf[panel.len] = 0;
            pos += n;
            take -= n;
            while (panel.len > PACKET_LEN - 1)
                if (const unsigned char *r = DataFilter(&panel))
                    records.emplace_back(r, r + RECORD_LEN);
        }
    }
    return records;
}

// A packet's record, as the framing writes it: x and y high byte first.
std::vector<uint8_t> record_of(const std::vector<uint8_t> &p)
{
    uint8_t code = p[2] == PACKET_DOWN ? 1 : p[2] == PACKET_MOVE ? 3 : 7;
    std::vector<uint8_t> r = {p[0], code, p[4], p[3], p[6], p[5], 0, 0};
    for (int k = 0; k < 7; k++)
        r[7] = (uint8_t)(r[7] + r[k]);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in{data, size, 0};
    Splits splits = TakeSplits(in);
    std::vector<uint8_t> stream = TakeRest(in);
    char *text = nullptr;
    size_t textLen = 0;
    Decoder d;
    d.out = open_memstream(&text, &textLen);
    if (!d.out)
        FuzzFail("open_memstream");
    Splits feed = splits;
    for (size_t pos = 0; pos < stream.size();) {
        size_t n = NextSplit(feed, stream.size() - pos);
        DecodeFeed(&d, stream.data() + pos, n);
        pos += n;
    }
    DecodeFlush(&d);
    fclose(d.out);
    std::string out(text, textLen);
    free(text);

    for (char c : out)
        if (c != '\n' && !isprint((unsigned char)c))
            FuzzFail("an unprintable byte %02x in the output", (unsigned char)c);
    std::vector<uint8_t> shown;
    std::vector<std::vector<uint8_t>> packets;
    for (size_t pos = 0; pos < out.size();) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos)
            FuzzFail("the output ends inside a line");
        Line l = parse_line(out.substr(pos, end - pos));
        check_line(l, &packets);
        shown.insert(shown.end(), l.bytes.begin(), l.bytes.end());
        pos = end + 1;
    }
    if (shown != stream)
        FuzzFail("%zu bytes shown of %zu fed, or not in their order", shown.size(), stream.size());
    std::vector<std::vector<uint8_t>> want = daemon_records(stream, splits);
    if (packets.size() != want.size())
        FuzzFail("%zu packet lines where the daemon frames %zu", packets.size(), want.size());
    for (size_t k = 0; k < packets.size(); k++)
        if (record_of(packets[k]) != want[k])
            FuzzFail("packet line %zu is not the daemon's record %zu", k, k);
    return 0;
}
