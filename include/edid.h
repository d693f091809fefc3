// A monitor's EDID base block as the kernel's DRM connector gives it: the physical size, the
// vendor's PNP id, the product code and serial, the name and serial texts.
#pragma once
#include <cstddef>

constexpr size_t EDID_BLOCK = 128;
constexpr size_t EDID_TEXT = 14;  // a display descriptor's 13 characters and a NUL

struct EdidInfo {
    char vendor[4] = {};  // PNP id, e.g. "GSM"
    unsigned short product = 0;
    unsigned serial = 0;
    int widthMm = 0, heightMm = 0;  // 0: the monitor does not say
    char name[EDID_TEXT] = {};      // descriptor 0xFC; empty when absent
    char serialText[EDID_TEXT] = {};  // descriptor 0xFF; empty when absent
};

enum EdidResult { EDID_OK, EDID_SHORT, EDID_HEADER, EDID_CHECKSUM };
// Parses the base block at the start of bytes. Only EDID_OK fills *out.
EdidResult ParseEdid(const unsigned char *bytes, size_t size, EdidInfo *out);
const char *EdidResultText(EdidResult r);

enum ConnectorResult { CONNECTOR_OK, CONNECTOR_UNKNOWN, CONNECTOR_NO_EDID, CONNECTOR_BAD_EDID };
// The EDID of the DRM connector (card*-CONNECTOR under /sys/class/drm, beneath the sandbox
// root). A connector without a monitor has an empty edid file: CONNECTOR_NO_EDID.
ConnectorResult ReadConnectorEdid(const char *connector, EdidInfo *out);
// The monitor as GNOME names it in its per-device settings: vendor, product, serial (the
// descriptor's texts, or the codes in hexadecimal when it has none).
void EdidMonitorWords(const EdidInfo &e, char product[EDID_TEXT + 8], char serial[EDID_TEXT + 8]);
