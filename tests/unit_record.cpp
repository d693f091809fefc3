// The record file's lines: what is taken, what is refused and why, and that what is written
// reads back the same.
#include <gtest/gtest.h>

#include <string>

#include "record.h"

namespace {

struct Line {
    const char *text;
    int result;           // of RecordParseLine
    const char *written;  // the entry written back, or the error's text
};

// Lines after the header, each read by a reader that has seen the header and a line at 100 ms.
const Line lines[] = {
    {"100 55 54 81 33 00 26 00 00 00 00", 1, "100 55 54 81 33 00 26 00 00 00 00\n"},
    {"250\t ff 0a", 1, "250 FF 0A\n"},  // any case, tabs and spaces
    {"100 gone", 1, "100 gone\n"},
    {"31622400000 back", 1, "31622400000 back\n"},  // a year and a day
    {"31622400001 back", -1, "no time in milliseconds at its start"},
    {"99 00", -1, "its time goes back"},
    {"", 0, ""},
    {"   # a comment", 0, ""},
    {"#100 55", 0, ""},
    {"-1 00", -1, "no time in milliseconds at its start"},
    {"+5 00", -1, "no time in milliseconds at its start"},
    {"12x 00", -1, "no time in milliseconds at its start"},
    {"100", -1, "a time without bytes or event"},
    {"100 5", -1, "a byte is two hex digits"},
    {"100 555", -1, "a byte is two hex digits"},
    {"100 GG", -1, "a byte is two hex digits"},
    {"100 00\r", -1, "a byte is two hex digits"},
    {"100 gone 00", -1, "words after the event"},
    {"100 Gone", -1, "a byte is two hex digits"},
    {"quilmod-record 1", -1, "no time in milliseconds at its start"},  // a second header is no line of the stream
};

TEST(Record, LinesAreTakenOrRefusedWithTheirReason)
{
    for (const Line &l : lines) {
        RecordReader r;
        RecordEntry e;
        ASSERT_EQ(RecordParseLine(&r, RECORD_HEADER, &e), 0);
        ASSERT_EQ(RecordParseLine(&r, "100 01", &e), 1);
        int got = RecordParseLine(&r, l.text, &e);
        EXPECT_EQ(got, l.result) << l.text << ": " << r.error;
        if (got > 0) {
            char out[RECORD_MAX_LINE];
            RecordFormat(e, out, sizeof out);
            EXPECT_STREQ(out, l.written) << l.text;
        } else if (got < 0) {
            EXPECT_EQ(std::string(r.error), std::string("line 3: ") + l.written) << l.text;
        }
    }
}

TEST(Record, TheHeaderComesFirstAndNamesItsVersion)
{
    const struct {
        const char *first;
        int result;
        const char *error;
    } cases[] = {
        {"quilmod-record 1", 0, ""},
        {"quilmod-record 2", -1, "line 1: a record of another version (this reads quilmod-record 1)"},
        {"0 55 54", -1, "line 1: no record file (its first line is not \"quilmod-record 1\")"},
        {"quilmod-record 1 ", -1, "line 1: a record of another version (this reads quilmod-record 1)"},
    };
    for (const auto &c : cases) {
        RecordReader r;
        RecordEntry e;
        EXPECT_EQ(RecordParseLine(&r, c.first, &e), c.result) << c.first;
        EXPECT_STREQ(r.error, c.error) << c.first;
    }
}

TEST(Record, LongLinesAndFullEntriesAreBounded)
{
    RecordEntry e;
    e.ms = 31622400000;
    e.len = RECORD_MAX_BYTES;
    e.bytes.fill(0xAB);
    char out[RECORD_MAX_LINE];
    size_t n = RecordFormat(e, out, sizeof out);
    ASSERT_GT(n, 0u);
    EXPECT_LT(n, RECORD_MAX_LINE);
    RecordReader r;
    RecordEntry back;
    RecordParseLine(&r, RECORD_HEADER, &back);
    EXPECT_EQ(RecordParseLine(&r, std::string_view(out, n - 1), &back), 1) << r.error;
    EXPECT_EQ(back.len, RECORD_MAX_BYTES);
    EXPECT_EQ(RecordParseLine(&r, std::string(out, n - 1) + " AB", &back), -1);
    EXPECT_STREQ(r.error, "line 3: more than 64 bytes on a line");
    EXPECT_EQ(RecordFormat(e, out, 20), 0u) << "a line that does not fit is not cut";
    FILE *fp = fmemopen(nullptr, 4096, "w+");
    ASSERT_NE(fp, nullptr);
    fprintf(fp, "%s\n%s\n", RECORD_HEADER, std::string(RECORD_MAX_LINE + 10, '1').c_str());
    rewind(fp);
    RecordReader fr;
    EXPECT_EQ(RecordRead(&fr, fp, &back), -1);
    EXPECT_STREQ(fr.error, "line 2: line too long, or a zero byte in it");
    fclose(fp);
}

}  // namespace
