// EDID base blocks: checked, then read for size and identity; found through sysfs by connector.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "edid.h"
#include "rootpath.h"
#include "safefile.h"

static constexpr unsigned char HEADER[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr size_t DESCRIPTORS = 54, DESCRIPTOR_SIZE = 18;
constexpr int CM_SLACK_MM = 10;  // a detailed size further than this from the centimetres is wrong

// A display descriptor's text: up to 13 characters, ended by a line feed, padded with spaces.
static void descriptor_text(const unsigned char *d, char *out)
{
    size_t n = 0;
    for (size_t i = 5; i < DESCRIPTOR_SIZE && d[i] != 0x0A; i++)
        out[n++] = d[i] >= 0x20 && d[i] < 0x7F ? (char)d[i] : '?';
    while (n > 0 && out[n - 1] == ' ')
        n--;
    out[n] = '\0';
}

// The first detailed timing's size in millimetres is finer than the base block's centimetres;
// it wins unless it is missing or plainly not a size (some monitors put an aspect ratio there).
static void physical_size(const unsigned char *b, EdidInfo *e)
{
    int wcm = b[0x15], hcm = b[0x16];
    const unsigned char *t = b + DESCRIPTORS;
    int wmm = 0, hmm = 0;
    if (t[0] | t[1]) {
        wmm = t[12] | (t[14] & 0xF0) << 4;
        hmm = t[13] | (t[14] & 0x0F) << 8;
    }
    bool detailed = wmm > 0 && hmm > 0;
    if (detailed && wcm && hcm)
        detailed = wmm > wcm * 10 - CM_SLACK_MM && wmm < wcm * 10 + CM_SLACK_MM &&
                   hmm > hcm * 10 - CM_SLACK_MM && hmm < hcm * 10 + CM_SLACK_MM;
    e->widthMm = detailed ? wmm : wcm && hcm ? wcm * 10 : 0;
    e->heightMm = detailed ? hmm : wcm && hcm ? hcm * 10 : 0;
}

EdidResult ParseEdid(const unsigned char *b, size_t size, EdidInfo *out)
{
    if (size < EDID_BLOCK)
        return EDID_SHORT;
    if (memcmp(b, HEADER, sizeof HEADER) != 0)
        return EDID_HEADER;
    unsigned sum = 0;
    for (size_t i = 0; i < EDID_BLOCK; i++)
        sum += b[i];
    if (sum & 0xFF)
        return EDID_CHECKSUM;
    EdidInfo e;
    unsigned id = b[8] << 8 | b[9];
    for (int i = 0; i < 3; i++) {
        unsigned letter = (id >> (10 - 5 * i)) & 0x1F;
        e.vendor[i] = letter >= 1 && letter <= 26 ? (char)('A' + letter - 1) : '?';
    }
    e.product = (unsigned short)(b[10] | b[11] << 8);
    e.serial = b[12] | b[13] << 8 | b[14] << 16 | (unsigned)b[15] << 24;
    physical_size(b, &e);
    for (size_t k = 0; k < 4; k++) {
        const unsigned char *d = b + DESCRIPTORS + k * DESCRIPTOR_SIZE;
        if (d[0] | d[1] | d[2])
            continue;  // a timing, not a display descriptor
        if (d[3] == 0xFC)
            descriptor_text(d, e.name);
        else if (d[3] == 0xFF)
            descriptor_text(d, e.serialText);
    }
    *out = e;
    return EDID_OK;
}

const char *EdidResultText(EdidResult r)
{
    switch (r) {
    case EDID_OK: return "valid";
    case EDID_SHORT: return "shorter than one block";
    case EDID_HEADER: return "no EDID header";
    default: return "bad checksum";
    }
}

// "card0-HDMI-A-1" for connector "HDMI-A-1": card, digits, '-', the connector exactly.
static bool names_connector(const char *entry, const char *connector)
{
    if (strncmp(entry, "card", 4) != 0)
        return false;
    const char *p = entry + 4;
    if (*p < '0' || *p > '9')
        return false;
    while (*p >= '0' && *p <= '9')
        p++;
    return *p == '-' && strcmp(p + 1, connector) == 0;
}

// The connector's edid file, read (bounded) into buf. The count, -1 when there is no such
// connector, -2 when its file cannot be read.
static long read_edid_file(const char *connector, unsigned char *buf, size_t size)
{
    char dir[QLM_PATH];
    if (RootPath(dir, sizeof dir, "/sys/class/drm"))
        return -1;
    DIR *d = opendir(dir);
    if (!d)
        return -1;
    long n = -1;
    while (const dirent *e = readdir(d)) {
        if (!names_connector(e->d_name, connector))
            continue;
        char path[QLM_PATH];
        if (snprintf(path, sizeof path, "%s/%s/edid", dir, e->d_name) >= (int)sizeof path)
            break;
        int fd = OpenRegular(path);  // sysfs attributes are regular files
        n = fd < 0 ? -2 : ReadUpTo(fd, reinterpret_cast<char *>(buf), size);
        if (fd >= 0)
            close(fd);
        n = n < 0 ? -2 : n;
        break;
    }
    closedir(d);
    return n;
}

ConnectorResult ReadConnectorEdid(const char *connector, EdidInfo *out)
{
    unsigned char buf[EDID_BLOCK];
    long n = read_edid_file(connector, buf, sizeof buf);
    if (n == -1)
        return CONNECTOR_UNKNOWN;
    if (n == 0)
        return CONNECTOR_NO_EDID;
    if (n < 0 || ParseEdid(buf, (size_t)n, out) != EDID_OK)
        return CONNECTOR_BAD_EDID;
    return CONNECTOR_OK;
}

void EdidMonitorWords(const EdidInfo &e, char product[EDID_TEXT + 8], char serial[EDID_TEXT + 8])
{
    if (e.name[0])
        snprintf(product, EDID_TEXT + 8, "%s", e.name);
    else
        snprintf(product, EDID_TEXT + 8, "0x%04x", e.product);
    if (e.serialText[0])
        snprintf(serial, EDID_TEXT + 8, "%s", e.serialText);
    else
        snprintf(serial, EDID_TEXT + 8, "0x%08x", e.serial);
}
