// Recorded port streams: the text file quilmoctl record writes and quilmosim --replay plays.
//
//   quilmod-record 1                   the header: the format and its version, always first
//   # port /dev/ttyS0                  comments and blank lines are skipped
//   0 55 54 81 33 00 26 00 00 00 00    MS and 1 to 64 bytes in hex: what came MS ms after the start
//   1250 gone                          the port went away (unplugged)
//   2400 back                          and came back
//
// Times are whole milliseconds from 0 to RECORD_MAX_MS and never go back; lines are at most
// RECORD_MAX_LINE bytes with their new line.
#pragma once
#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

constexpr char RECORD_HEADER[] = "quilmod-record 1";
constexpr size_t RECORD_MAX_BYTES = 64;
constexpr size_t RECORD_MAX_LINE = 256;
constexpr long long RECORD_MAX_MS = 366LL * 24 * 3600 * 1000;  // a year and a day

enum RecordKind { RECORD_BYTES, RECORD_GONE, RECORD_BACK };

struct RecordEntry {
    long long ms = 0;
    RecordKind kind = RECORD_BYTES;
    size_t len = 0;  // bytes, for RECORD_BYTES
    std::array<unsigned char, RECORD_MAX_BYTES> bytes{};
};

struct RecordReader {
    unsigned long line = 0;  // lines read so far
    long long lastMs = 0;
    bool header = false;     // the header line has been read
    char error[160] = "";    // "line N: why" after a bad line
};

// One line without its new line. 1 = an entry in *e, 0 = nothing to play (the header, a
// comment, a blank line), -1 = a bad line (r->error says why).
int RecordParseLine(RecordReader *r, std::string_view line, RecordEntry *e);
// The next entry of a record file. 1 = an entry, 0 = the end, -1 = a bad line or a read error.
int RecordRead(RecordReader *r, FILE *fp, RecordEntry *e);
// The entry's line, new line included, into out: its length, 0 when it does not fit.
size_t RecordFormat(const RecordEntry &e, char *out, size_t size);
