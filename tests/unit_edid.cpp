// EDID base blocks made here byte by byte: size, identity and the checks, and the lookup of a
// connector's EDID in a sandbox sysfs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "edid.h"

namespace {

struct Monitor {
    const char *pnp = "GSM";
    unsigned short product = 0x5B11;
    unsigned serial = 0x01020304;
    int wcm = 53, hcm = 30;       // bytes 0x15, 0x16
    int wmm = 527, hmm = 296;     // the first detailed timing's size
    bool timing = true;
    const char *name = "LG ULTRAFINE";
    const char *serialText = nullptr;
};

void text_descriptor(unsigned char *d, unsigned char tag, const char *text)
{
    d[3] = tag;
    size_t i = 5, n = 0;
    for (; text[n] && i < 18; n++)
        d[i++] = (unsigned char)text[n];
    if (i < 18)
        d[i++] = 0x0A;
    while (i < 18)
        d[i++] = 0x20;
}

std::vector<unsigned char> edid(const Monitor &m)
{
    std::vector<unsigned char> b(128, 0);
    const unsigned char header[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    std::copy(header, header + 8, b.begin());
    unsigned id = (m.pnp[0] - 'A' + 1) << 10 | (m.pnp[1] - 'A' + 1) << 5 | (m.pnp[2] - 'A' + 1);
    b[8] = id >> 8;
    b[9] = id & 0xFF;
    b[10] = m.product & 0xFF;
    b[11] = m.product >> 8;
    for (int i = 0; i < 4; i++)
        b[12 + i] = (m.serial >> (8 * i)) & 0xFF;
    b[18] = 1;
    b[19] = 4;
    b[0x15] = m.wcm;
    b[0x16] = m.hcm;
    if (m.timing) {
        b[54] = 0x02;
        b[55] = 0x3A;  // 148.5 MHz
        b[54 + 12] = m.wmm & 0xFF;
        b[54 + 13] = m.hmm & 0xFF;
        b[54 + 14] = (m.wmm >> 8) << 4 | (m.hmm >> 8);
    }
    if (m.name)
        text_descriptor(&b[72], 0xFC, m.name);
    if (m.serialText)
        text_descriptor(&b[90], 0xFF, m.serialText);
    unsigned sum = 0;
    for (int i = 0; i < 127; i++)
        sum += b[i];
    b[127] = (256 - sum % 256) % 256;
    return b;
}

TEST(Edid, SizeAndIdentityComeFromTheBaseBlock)
{
    const struct {
        const char *what;
        Monitor m;
        int w, h;
        const char *product, *serial;
    } cases[] = {
        {"the detailed size, finer than centimetres", Monitor{}, 527, 296, "LG ULTRAFINE", "0x01020304"},
        {"no detailed timing: centimetres", Monitor{.timing = false}, 530, 300, "LG ULTRAFINE", "0x01020304"},
        {"an aspect ratio in the detailed size", Monitor{.wmm = 16, .hmm = 9}, 530, 300, "LG ULTRAFINE", "0x01020304"},
        {"no centimetres: the detailed size", Monitor{.wcm = 0, .hcm = 0}, 527, 296, "LG ULTRAFINE", "0x01020304"},
        {"a projector: no size at all", Monitor{.wcm = 0, .hcm = 0, .timing = false}, 0, 0, "LG ULTRAFINE",
         "0x01020304"},
        {"no name: the product code", Monitor{.pnp = "DEL", .product = 0xA0C4, .name = nullptr}, 527, 296, "0xa0c4",
         "0x01020304"},
        {"a serial text", Monitor{.pnp = "QEM", .product = 1, .serialText = "SN 12345"}, 527, 296, "LG ULTRAFINE",
         "SN 12345"},
        {"a 13-character name without its line feed", Monitor{.name = "ABCDEFGHIJKLM"}, 527, 296, "ABCDEFGHIJKLM",
         "0x01020304"},
        {"a large size: twelve bits", Monitor{.wcm = 160, .hcm = 90, .wmm = 1600, .hmm = 900}, 1600, 900,
         "LG ULTRAFINE", "0x01020304"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> b = edid(c.m);
        EdidInfo e;
        ASSERT_EQ(ParseEdid(b.data(), b.size(), &e), EDID_OK);
        EXPECT_STREQ(e.vendor, c.m.pnp);
        EXPECT_EQ(e.product, c.m.product);
        EXPECT_EQ(e.widthMm, c.w);
        EXPECT_EQ(e.heightMm, c.h);
        char product[EDID_TEXT + 8], serial[EDID_TEXT + 8];
        EdidMonitorWords(e, product, serial);
        EXPECT_STREQ(product, c.product);
        EXPECT_STREQ(serial, c.serial);
    }
}

TEST(Edid, BrokenBlocksAreRefused)
{
    std::vector<unsigned char> good = edid(Monitor{});
    EdidInfo e;
    e.widthMm = 7;
    EXPECT_EQ(ParseEdid(good.data(), 127, &e), EDID_SHORT);
    std::vector<unsigned char> b = good;
    b[0] = 1;
    EXPECT_EQ(ParseEdid(b.data(), b.size(), &e), EDID_HEADER);
    b = good;
    b[0x15] ^= 1;
    EXPECT_EQ(ParseEdid(b.data(), b.size(), &e), EDID_CHECKSUM);
    EXPECT_EQ(e.widthMm, 7) << "a refused block fills nothing";
    // A block with extensions after it: the base block is read.
    b = good;
    b.resize(256, 0x55);
    EXPECT_EQ(ParseEdid(b.data(), b.size(), &e), EDID_OK);
}

class ConnectorEdid : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override
    {
        char tmpl[] = "/tmp/edidXXXXXX";
        root = mkdtemp(tmpl);
        mkdir((root + "/sys").c_str(), 0755);
        mkdir((root + "/sys/class").c_str(), 0755);
        mkdir((root + "/sys/class/drm").c_str(), 0755);
        setenv("QUILMOD_ROOT", root.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("QUILMOD_ROOT");
        std::string cmd = "rm -rf " + root;
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    void connector(const char *name, const std::vector<unsigned char> &bytes)
    {
        std::string dir = root + "/sys/class/drm/" + name;
        mkdir(dir.c_str(), 0755);
        std::ofstream(dir + "/edid", std::ios::binary).write((const char *)bytes.data(), (long)bytes.size());
    }
};

TEST_F(ConnectorEdid, TheConnectorIsFoundByItsWholeName)
{
    connector("card0-HDMI-A-1", edid(Monitor{}));
    connector("card0-HDMI-A-11", edid(Monitor{.wmm = 600, .hmm = 340, .timing = true}));
    connector("card1-Virtual-1", {});
    std::vector<unsigned char> bad = edid(Monitor{});
    bad[127] ^= 0xFF;
    connector("card1-DP-2", bad);
    EdidInfo e;
    EXPECT_EQ(ReadConnectorEdid("HDMI-A-1", &e), CONNECTOR_OK);
    EXPECT_EQ(e.widthMm, 527);
    EXPECT_EQ(ReadConnectorEdid("HDMI-A-11", &e), CONNECTOR_OK);
    EXPECT_EQ(ReadConnectorEdid("Virtual-1", &e), CONNECTOR_NO_EDID);
    EXPECT_EQ(ReadConnectorEdid("DP-2", &e), CONNECTOR_BAD_EDID);
    EXPECT_EQ(ReadConnectorEdid("DP-1", &e), CONNECTOR_UNKNOWN);
    EXPECT_EQ(ReadConnectorEdid("A-1", &e), CONNECTOR_UNKNOWN);
    EXPECT_EQ(ReadConnectorEdid("", &e), CONNECTOR_UNKNOWN);
}

}  // namespace
