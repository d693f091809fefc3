// Fuzz target: EDID base blocks. Any bytes parse or are refused without reading past the block;
// a block the parser takes has a good header and checksum, a PNP id of capital letters (or '?'),
// a size that is the detailed timing's or the centimetres', and texts of printable characters.
#include "edid.h"
#include "fuzzhelp.h"

namespace {

void check_text(const char *t, const char *what)
{
    size_t n = strnlen(t, EDID_TEXT);
    if (n >= EDID_TEXT)
        FuzzFail("the %s is not terminated", what);
    for (size_t i = 0; i < n; i++)
        if (t[i] < 0x20 || t[i] > 0x7E)
            FuzzFail("the %s holds byte %02x", what, (unsigned char)t[i]);
}

void check_size(const uint8_t *b, const EdidInfo &e)
{
    int wcm = b[0x15], hcm = b[0x16];
    int wmm = b[66] | (b[68] & 0xF0) << 4, hmm = b[67] | (b[68] & 0x0F) << 8;
    bool timing = b[54] | b[55];
    bool fromCm = e.widthMm == wcm * 10 && e.heightMm == hcm * 10 && wcm && hcm;
    bool fromMm = timing && e.widthMm == wmm && e.heightMm == hmm && wmm && hmm;
    bool none = e.widthMm == 0 && e.heightMm == 0;
    if (!fromCm && !fromMm && !none)
        FuzzFail("size %dx%d mm is neither %dx%d cm nor %dx%d mm", e.widthMm, e.heightMm, wcm, hcm, wmm, hmm);
    if (none && ((wcm && hcm) || (timing && wmm && hmm)))
        FuzzFail("a size was there and none came out");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact copy, so that the sanitizer sees any read past what was given.
    std::vector<uint8_t> bytes(data, data + size);
    EdidInfo e;
    EdidResult r = ParseEdid(bytes.data(), bytes.size(), &e);
    if (r != EDID_OK)
        return 0;
    const uint8_t header[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    unsigned sum = 0;
    for (size_t i = 0; i < EDID_BLOCK; i++)
        sum += bytes[i];
    if (size < EDID_BLOCK || memcmp(bytes.data(), header, 8) != 0 || (sum & 0xFF))
        FuzzFail("a block without header or checksum was taken");
    for (int i = 0; i < 3; i++)
        if (!((e.vendor[i] >= 'A' && e.vendor[i] <= 'Z') || e.vendor[i] == '?'))
            FuzzFail("PNP id letter %02x", (unsigned char)e.vendor[i]);
    if (e.product != (bytes[10] | bytes[11] << 8))
        FuzzFail("product %04x", e.product);
    check_size(bytes.data(), e);
    check_text(e.name, "name");
    check_text(e.serialText, "serial text");
    return 0;
}
