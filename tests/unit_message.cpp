// The tools' escaping of names from outside before they reach a terminal.
#include <gtest/gtest.h>

#include <string>

#include "message.h"

TEST(Escaped, ShowsEveryByteThatCouldDriveATerminalAsText)
{
    const struct {
        std::string name;
        const char *shown;
    } cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/serial/by-id/usb-A B_(1)~", "/dev/serial/by-id/usb-A B_(1)~"},
        {"\x1b[2J", "\\x1b[2J"},                   // clear the screen
        {"a\nb\rc\td", "a\\x0ab\\x0dc\\x09d"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x7f\x80\xff", "\\x7f\\x80\\xff"},     // DEL, and bytes past ASCII (a UTF-8 name's too)
        {"\xc3\xa9t\xc3\xa9", "\\xc3\\xa9t\\xc3\\xa9"},
        {"back\\x1b", "back\\\\x1b"},           // a backslash itself: no escape can be forged
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Escaped(c.name), c.shown) << c.shown;
}
