// Recorded port streams: the header, the lines of bytes and events, checked as they are read.
#include "record.h"

#include <cerrno>
#include <cstring>

static int bad(RecordReader *r, const char *why)
{
    snprintf(r->error, sizeof r->error, "line %lu: %s", r->line, why);
    return -1;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The next word of line at *at (one space or tab apart); empty at the end.
static std::string_view next_word(std::string_view line, size_t *at)
{
    while (*at < line.size() && (line[*at] == ' ' || line[*at] == '\t'))
        ++*at;
    size_t start = *at;
    while (*at < line.size() && line[*at] != ' ' && line[*at] != '\t')
        ++*at;
    return line.substr(start, *at - start);
}

// Decimal milliseconds, no sign, at most RECORD_MAX_MS.
static bool parse_ms(std::string_view w, long long *ms)
{
    if (w.empty() || w.size() > 12)
        return false;
    long long v = 0;
    for (char c : w) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *ms = v;
    return v <= RECORD_MAX_MS;
}

static int parse_bytes(RecordReader *r, std::string_view line, size_t at, std::string_view first, RecordEntry *e)
{
    e->kind = RECORD_BYTES;
    e->len = 0;
    for (std::string_view w = first; !w.empty(); w = next_word(line, &at)) {
        int hi = w.size() == 2 ? hex_digit(w[0]) : -1, lo = w.size() == 2 ? hex_digit(w[1]) : -1;
        if (hi < 0 || lo < 0)
            return bad(r, "a byte is two hex digits");
        if (e->len == RECORD_MAX_BYTES)
            return bad(r, "more than 64 bytes on a line");
        e->bytes[e->len++] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return 1;
}

int RecordParseLine(RecordReader *r, std::string_view line, RecordEntry *e)
{
    ++r->line;
    if (line.size() >= RECORD_MAX_LINE)
        return bad(r, "line too long");
    if (!r->header) {
        if (line.starts_with("quilmod-record ") && line != RECORD_HEADER)
            return bad(r, "a record of another version (this reads quilmod-record 1)");
        if (line != RECORD_HEADER)
            return bad(r, "no record file (its first line is not \"quilmod-record 1\")");
        r->header = true;
        return 0;
    }
    size_t at = 0;
    std::string_view first = next_word(line, &at);
    if (first.empty() || first[0] == '#')
        return 0;
    if (!parse_ms(first, &e->ms))
        return bad(r, "no time in milliseconds at its start");
    if (e->ms < r->lastMs)
        return bad(r, "its time goes back");
    std::string_view second = next_word(line, &at);
    int result = 1;
    if (second == "gone" || second == "back") {
        e->kind = second == "gone" ? RECORD_GONE : RECORD_BACK;
        e->len = 0;
        if (!next_word(line, &at).empty())
            return bad(r, "words after the event");
    } else if (second.empty()) {
        return bad(r, "a time without bytes or event");
    } else {
        result = parse_bytes(r, line, at, second, e);
    }
    if (result > 0)
        r->lastMs = e->ms;
    return result;
}

// A line longer than the limit is an error; so is a zero byte, which cuts the line short.
int RecordRead(RecordReader *r, FILE *fp, RecordEntry *e)
{
    for (;;) {
        char line[RECORD_MAX_LINE + 1];
        if (!fgets(line, sizeof line, fp)) {
            if (ferror(fp))
                return bad(r, strerror(errno));
            if (!r->header)
                return bad(r, "empty: no \"quilmod-record 1\" line");
            return 0;
        }
        size_t n = strlen(line);
        bool whole = n > 0 && line[n - 1] == '\n';
        if (!whole && !feof(fp)) {
            ++r->line;
            return bad(r, "line too long, or a zero byte in it");
        }
        int got = RecordParseLine(r, std::string_view(line, whole ? n - 1 : n), e);
        if (got != 0)
            return got;
    }
}

size_t RecordFormat(const RecordEntry &e, char *out, size_t size)
{
    int n = snprintf(out, size, "%lld", e.ms);
    size_t at = n > 0 ? static_cast<size_t>(n) : size;
    const char *word = e.kind == RECORD_GONE ? " gone" : e.kind == RECORD_BACK ? " back" : nullptr;
    if (word && at < size)
        at += static_cast<size_t>(snprintf(out + at, size - at, "%s", word));
    for (size_t i = 0; !word && i < e.len && i < RECORD_MAX_BYTES && at < size; i++)
        at += static_cast<size_t>(snprintf(out + at, size - at, " %02X", e.bytes[i]));
    if (at + 1 >= size)
        return 0;
    out[at++] = '\n';
    out[at] = '\0';
    return at;
}
