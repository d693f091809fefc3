// share --decode: the port's bytes go through the daemon's own packet cutter; what it takes is
// shown as a packet, what it passes over is told apart into command replies and stray bytes.
#include "decode.h"

#include <algorithm>
#include <cstring>

#include "device.h"
#include "framing.h"
#include "message.h"

constexpr size_t PACKET_BYTES = PACKET_LEN;
constexpr size_t REPLY_LEN = 8;    // 'U', six characters, the checksum
constexpr size_t LINE_BYTES = 10;  // bytes a line, the width of a packet
constexpr int HEX_COLUMN = static_cast<int>(LINE_BYTES * 3 - 1);

static void print_line(Decoder *d, const unsigned char *p, size_t n, const char *meaning)
{
    char hex[LINE_BYTES * 3 + 1];
    HexText(p, n, hex, sizeof hex);
    fprintf(d->out, "%-*s  %s\n", HEX_COLUMN, hex, meaning);
}

static const char *status_word(unsigned char status)
{
    switch (status) {
    case PACKET_DOWN: return "down";
    case PACKET_MOVE: return "move";
    default: return "lift";  // the cutter takes no other status
    }
}

// The packet's x and y are little-endian.
static void print_packet(Decoder *d, const unsigned char *pkt)
{
    char meaning[64];
    snprintf(meaning, sizeof meaning, "%s x=%d y=%d", status_word(pkt[2]), pkt[3] + pkt[4] * 256,
             pkt[5] + pkt[6] * 256);
    print_line(d, pkt, PACKET_BYTES, meaning);
}

// A reply's six characters, trailing zeros dropped, anything unprintable as '?'.
static void print_reply(Decoder *d, const unsigned char *r)
{
    size_t n = REPLY_LEN - 2;
    while (n > 0 && r[n] == 0)
        n--;
    char text[REPLY_LEN];
    Printable(reinterpret_cast<const char *>(r) + 1, n, text, sizeof text);
    char meaning[32];
    snprintf(meaning, sizeof meaning, "reply \"%s\"", text);
    print_line(d, r, REPLY_LEN, meaning);
}

static void print_stray(Decoder *d, const unsigned char *p, size_t n)
{
    for (size_t at = 0; at < n; at += LINE_BYTES)
        print_line(d, p + at, std::min(LINE_BYTES, n - at), "(no packet)");
}

static bool reply_at(const Decoder &d, size_t at)
{
    std::array<unsigned char, REPLY_LEN> r;
    memcpy(r.data(), d.rest.data() + at, REPLY_LEN);
    return check_sum_data(r.data()) != 0;
}

// Prints the held bytes as replies and stray bytes. Unless final, a 'U' too near the end to
// tell is held with what follows it, for the next bytes to complete.
static void show_rest(Decoder *d, bool final)
{
    size_t at = 0, run = 0;
    while (at < d->restLen) {
        if (d->rest[at] == 'U' && at + REPLY_LEN <= d->restLen && reply_at(*d, at)) {
            print_stray(d, d->rest.data() + run, at - run);
            print_reply(d, d->rest.data() + at);
            at += REPLY_LEN;
            run = at;
            continue;
        }
        if (d->rest[at] == 'U' && at + REPLY_LEN > d->restLen && !final)
            break;
        at++;
    }
    print_stray(d, d->rest.data() + run, at - run);
    d->restLen -= at;
    memmove(d->rest.data(), d->rest.data() + at, d->restLen);
}

// Bytes the cutter passed over, in stream order; what the hold cannot take is shown first.
static void hold_bytes(Decoder *d, const unsigned char *p, size_t n)
{
    while (n > 0) {
        if (d->restLen == d->rest.size())
            show_rest(d, false);
        size_t take = std::min(n, d->rest.size() - d->restLen);
        memcpy(d->rest.data() + d->restLen, p, take);
        d->restLen += take;
        p += take;
        n -= take;
    }
}

// One run of the cutter: what it passed over came before the packet it returns, if any.
static void cut_once(Decoder *d)
{
    std::array<unsigned char, PANEL_BUF> before;
    size_t had = static_cast<size_t>(d->panel.len);
    memcpy(before.data(), d->panel.buf, had);
    const unsigned char *record = DataFilter(&d->panel);
    size_t kept = static_cast<size_t>(d->panel.len);
    size_t skipped = had - kept - (record ? PACKET_BYTES : 0);
    hold_bytes(d, before.data(), skipped);
    show_rest(d, record != nullptr);
    if (record)
        print_packet(d, before.data() + skipped);
}

// Fed as the daemon reads: at most the buffer's room at a time, cut while a packet may be there.
void DecodeFeed(Decoder *d, const unsigned char *p, size_t n)
{
    while (n > 0) {
        size_t take = std::min(n, static_cast<size_t>(PANEL_BUF - d->panel.len));
        memcpy(d->panel.buf + d->panel.len, p, take);
        d->panel.len += static_cast<int>(take);
        d->panel.buf[d->panel.len] = 0;  // the cutter looks one byte past the data
        p += take;
        n -= take;
        while (d->panel.len >= PACKET_LEN)
            cut_once(d);
    }
}

void DecodeFlush(Decoder *d)
{
    hold_bytes(d, d->panel.buf, static_cast<size_t>(d->panel.len));
    d->panel.len = 0;
    show_rest(d, true);
}
