// The fixed paths as each layout places them, beneath the sandbox root or not.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "calformat.h"
#include "rootpath.h"

namespace {

std::string laid_out(const char *path, Layout layout)
{
    char out[QLM_PATH];
    EXPECT_EQ(LayoutPath(out, sizeof out, path, layout), 0) << path;
    return out;
}

}  // namespace

TEST(RootPath, EachLayoutPlacesTheFixedDirectory)
{
    struct Case {
        const char *path, *plain, *debian;
    } cases[] = {
        {"/usr/local/Qelvanto/pt4_ttyS0", "/usr/local/Qelvanto/pt4_ttyS0", "/var/lib/quilmod/pt4_ttyS0"},
        {"/usr/local/Qelvanto/pt4flag_ttyUSB0", "/usr/local/Qelvanto/pt4flag_ttyUSB0", "/var/lib/quilmod/pt4flag_ttyUSB0"},
        {"/usr/local/Qelvanto/", "/usr/local/Qelvanto/", "/var/lib/quilmod/"},
        {"/usr/local/Qelvanto", "/usr/local/Qelvanto", "/var/lib/quilmod"},
        {"/usr/local/Qelvanto/image/empty.xbm", "/usr/local/Qelvanto/image/empty.xbm", "/usr/share/quilmod/image/empty.xbm"},
        {"/usr/local/Qelvanto/image/rbutton.gif", "/usr/local/Qelvanto/image/rbutton.gif", "/usr/share/quilmod/image/rbutton.gif"},
        {"/usr/local/Qelvanto/diag/rbutton.tcl", "/usr/local/Qelvanto/diag/rbutton.tcl", "/usr/share/quilmod/diag/rbutton.tcl"},
        // A calibration file of a port named like a subdirectory stays a calibration file.
        {"/usr/local/Qelvanto/pt4_image", "/usr/local/Qelvanto/pt4_image", "/var/lib/quilmod/pt4_image"},
        {"/usr/local/Qelvanto/imagefile", "/usr/local/Qelvanto/imagefile", "/var/lib/quilmod/imagefile"},
        // Names that only begin like the fixed directory, and every other path, never move.
        {"/usr/local/QelvantoX/pt4_ttyS0", "/usr/local/QelvantoX/pt4_ttyS0", "/usr/local/QelvantoX/pt4_ttyS0"},
        {"/usr/local/Qelvant", "/usr/local/Qelvant", "/usr/local/Qelvant"},
        {"/usr/local/bin/x", "/usr/local/bin/x", "/usr/local/bin/x"},
        {"/etc/quilmod.conf", "/etc/quilmod.conf", "/etc/quilmod.conf"},
        {"/dev/qvcmdin", "/dev/qvcmdin", "/dev/qvcmdin"},
        {"/var/run/quilmod.pid", "/var/run/quilmod.pid", "/var/run/quilmod.pid"},
        {"", "", ""},
        // A path already placed is placed again where it is.
        {"/var/lib/quilmod/pt4_ttyS0", "/var/lib/quilmod/pt4_ttyS0", "/var/lib/quilmod/pt4_ttyS0"},
        {"/usr/share/quilmod/diag/rbutton.tcl", "/usr/share/quilmod/diag/rbutton.tcl", "/usr/share/quilmod/diag/rbutton.tcl"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(laid_out(c.path, Layout::Plain), c.plain) << c.path;
        EXPECT_EQ(laid_out(c.path, Layout::Debian), c.debian) << c.path;
    }
}

TEST(RootPath, TheSandboxRootPrefixesThePlacedPathAndOverlongPathsComeOutEmpty)
{
    const char *saved = getenv("QUILMOD_ROOT");
    std::string keep = saved ? saved : "";
    setenv("QUILMOD_ROOT", "/tmp/box", 1);
    char out[QLM_PATH];
    ASSERT_EQ(RootPath(out, sizeof out, "/usr/local/Qelvanto/pt25_ttyS1"), 0);
    EXPECT_EQ(std::string(out), "/tmp/box" + laid_out("/usr/local/Qelvanto/pt25_ttyS1", BUILD_LAYOUT));
    EXPECT_EQ(CalStemName(PT4_STEM).data(), laid_out(PT4_STEM, BUILD_LAYOUT));

    struct Case {
        size_t size;
        int result;
        const char *out;
    } cases[] = {
        {sizeof out, 0, "/tmp/box/etc/quilmod.conf"}, {26, 0, "/tmp/box/etc/quilmod.conf"}, {25, 1, ""}, {1, 1, ""},
    };
    for (const Case &c : cases) {
        memset(out, 'x', sizeof out);
        EXPECT_EQ(RootPath(out, c.size, "/etc/quilmod.conf"), c.result) << c.size;
        EXPECT_STREQ(out, c.out) << c.size;
    }
    std::string big(QLM_PATH, 'a');
    EXPECT_EQ(LayoutPath(out, sizeof out, ("/usr/local/Qelvanto/" + big).c_str(), Layout::Debian), 1);
    EXPECT_STREQ(out, "");
    if (saved)
        setenv("QUILMOD_ROOT", keep.c_str(), 1);
    else
        unsetenv("QUILMOD_ROOT");
}
