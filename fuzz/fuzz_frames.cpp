// Fuzz target: the frame cutter of the data pipes' readers (quilmoinput, quilmoctl watch). The
// bytes are any junk, then whole frames. Every frame cut is well formed and is five bytes of the
// stream in place, in order, never sharing a byte; and after the junk at most the first whole
// frame is lost: all the others come out exactly, the last ones last.
#include <cstring>

#include "fuzzhelp.h"
#include "watch.h"

namespace {

using FrameBytes = std::array<uint8_t, FRAME_LEN>;

// A frame from five input bytes: the head keeps its mark and flags, bytes 1 and 3 (the high bytes
// of x and y) stay below 0x80 as no screen reaches 32768.
FrameBytes make_frame(const uint8_t *in)
{
    return {uint8_t(FRAME_MARK | (in[0] & (FRAME_RIGHT | FRAME_TOUCH))), uint8_t(in[1] & 0x7f), in[2],
            uint8_t(in[3] & 0x7f), in[4]};
}

bool well_formed(const FrameBytes &f)
{
    return (f[0] & ~(FRAME_MARK | FRAME_RIGHT | FRAME_TOUCH)) == 0 && (f[0] & FRAME_MARK) && f[1] < 0x80 &&
           f[3] < 0x80;
}

struct Cut {
    FrameBytes frame;
    size_t end;  // the stream position just past its last byte
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in{data, size, 0};
    size_t junkLen = TakeByte(in) % 24;
    std::vector<uint8_t> stream;
    for (size_t k = 0; k < junkLen; k++)
        stream.push_back(TakeByte(in));
    std::vector<uint8_t> rest = TakeRest(in);
    std::vector<FrameBytes> sent;
    for (size_t k = 0; k + FRAME_LEN <= rest.size(); k += FRAME_LEN) {
        sent.push_back(make_frame(rest.data() + k));
        stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    }

    FrameCutter fc;
    std::vector<Cut> cuts;
    for (size_t pos = 0; pos < stream.size(); pos++)
        if (FrameFeed(&fc, stream[pos]))
            cuts.push_back({fc.frame, pos + 1});
    if (fc.have >= FRAME_LEN)
        FuzzFail("the cutter holds %zu bytes", fc.have);

    size_t last = 0;
    for (const Cut &c : cuts) {
        if (!well_formed(c.frame))
            FuzzFail("a frame cut with head %02x, high bytes %02x %02x", c.frame[0], c.frame[1], c.frame[3]);
        if (c.end < last + FRAME_LEN || memcmp(stream.data() + c.end - FRAME_LEN, c.frame.data(), FRAME_LEN) != 0)
            FuzzFail("a frame ending at %zu is not five bytes of the stream after the last one", c.end);
        last = c.end;
    }
    // Whole frames only: each comes out as it went in.
    size_t keep = junkLen == 0 ? sent.size() : sent.size() > 0 ? sent.size() - 1 : 0;
    if (cuts.size() < keep)
        FuzzFail("%zu frames cut of %zu sent after %zu bytes of junk", cuts.size(), sent.size(), junkLen);
    if (junkLen == 0 && cuts.size() != sent.size())
        FuzzFail("%zu frames cut of %zu whole frames", cuts.size(), sent.size());
    for (size_t k = 0; k < keep; k++) {
        const Cut &c = cuts[cuts.size() - keep + k];
        size_t end = stream.size() - (keep - 1 - k) * FRAME_LEN;
        if (c.frame != sent[sent.size() - keep + k] || c.end != end)
            FuzzFail("frame %zu of %zu after %zu bytes of junk came out wrong or misplaced",
                     sent.size() - keep + k, sent.size(), junkLen);
    }
    return 0;
}
