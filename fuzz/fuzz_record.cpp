// Fuzz target: the record file reader. Any bytes are read line by line without a fault; every
// entry it takes is written back as a line of at most RECORD_MAX_LINE bytes that reads back
// as the same entry, and times never go back.
#include "fuzzhelp.h"
#include "record.h"

namespace {

bool same(const RecordEntry &a, const RecordEntry &b)
{
    return a.ms == b.ms && a.kind == b.kind && a.len == b.len &&
           std::equal(a.bytes.begin(), a.bytes.begin() + static_cast<long>(a.len), b.bytes.begin());
}

void check_round_trip(const RecordEntry &e, long long lastMs)
{
    if (e.ms < lastMs)
        FuzzFail("time went back from %lld to %lld", lastMs, e.ms);
    char line[RECORD_MAX_LINE];
    size_t n = RecordFormat(e, line, sizeof line);
    if (n == 0 || n >= RECORD_MAX_LINE || line[n - 1] != '\n')
        FuzzFail("an entry taken was not written back in one line");
    RecordReader again;
    RecordEntry back;
    RecordParseLine(&again, RECORD_HEADER, &back);
    if (RecordParseLine(&again, std::string_view(line, n - 1), &back) != 1 || !same(e, back))
        FuzzFail("'%.*s' did not read back as the entry written", static_cast<int>(n - 1), line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 16384)
        return -1;
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!fp)
        return 0;
    RecordReader r;
    RecordEntry e;
    long long lastMs = 0;
    int got;
    while ((got = RecordRead(&r, fp, &e)) > 0) {
        check_round_trip(e, lastMs);
        lastMs = e.ms;
    }
    fclose(fp);
    if (got < 0 && r.error[0] == '\0')
        FuzzFail("a refused file without a reason");
    return 0;
}
