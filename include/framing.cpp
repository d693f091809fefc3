// Packet framing: cuts 10-byte controller packets out of a panel's input buffer.
#include <cstring>

#include "framing.h"

// Status byte to record code; 0 = not a packet start.
static unsigned char status_code(unsigned char status)
{
    switch (status) {
    case PACKET_DOWN: return 1;
    case PACKET_MOVE: return 3;
    case PACKET_LIFT: return 7;
    default:   return 0;
    }
}

static void fill_record(unsigned char *rec, const unsigned char *pkt, unsigned char code)
{
    rec[0] = pkt[0];
    rec[1] = code;
    rec[2] = pkt[4];
    rec[3] = pkt[3];
    rec[4] = pkt[6];
    rec[5] = pkt[5];
    rec[6] = 0;
    unsigned sum = 0;
    for (int k = 0; k < RECORD_LEN - 1; k++)
        sum += rec[k];
    rec[7] = (unsigned char)sum;
}

unsigned char *DataFilter(TouchPanel *panel)
{
    static unsigned char buf[RECORD_LEN];
    unsigned char *in = panel->buf;
    // len never exceeds the data part; keep a corrupt value from walking past it.
    int n = panel->len < 0 ? 0 : panel->len > PANEL_BUF ? PANEL_BUF : panel->len;

    for (int i = 0; i < n; i++) {
        // At i = n - 1 this reads the byte after the data, at most buf[PANEL_BUF].
        if (in[i] != PACKET_SYNC0 || in[i + 1] != PACKET_SYNC1)
            continue;
        if (i + PACKET_LEN > n) {
            // A packet start without its tail yet: keep it at the front.
            memmove(in, in + i, n - i);
            panel->len = n - i;
            return nullptr;
        }
        unsigned char code = status_code(in[i + 2]);
        if (!code)
            continue;
        fill_record(buf, in + i, code);
        panel->len = n - i - PACKET_LEN;
        memmove(in, in + i + PACKET_LEN, panel->len);
        return buf;
    }
    panel->len = 0;
    return nullptr;
}
