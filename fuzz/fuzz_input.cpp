// Fuzz target: panel input of a shared port. Whatever the bytes and the split of the reads, the
// share stream is the port's bytes less the tail still held back, and the tail is those bytes.
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "fuzzhelp.h"
#include "quilmod.h"

namespace {

int frameReaders[2] = {-1, -1};
std::vector<uint8_t> shared;

bool readable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

void open_outputs()
{
    OpenFrameOutputs(frameReaders);
    std::string fifo = FuzzRoot() + "/dev/qvshrout";
    if (mkfifo(fifo.c_str(), 0600) != 0)
        FuzzFail("mkfifo: %s", strerror(errno));
    // Read-write, as the daemon holds it: it can drain it, and so can we.
    fdShrOut = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fdShrOut < 0)
        FuzzFail("open %s: %s", fifo.c_str(), strerror(errno));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    PrivateRoot();
    open_outputs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 16384)
        return -1;
    FuzzInput in{data, size, 0};
    Splits splits = TakeSplits(in);
    std::vector<uint8_t> stream = TakeRest(in);

    static TouchPanel panel;
    panel = TouchPanel{};
    int fds[2];
    NonblockingPipe(fds);
    panel.fd = fds[0];
    panel.present = 1;
    panel.sharing = 1;
    shared.clear();
    for (size_t pos = 0; pos < stream.size();) {
        size_t n = NextSplit(splits, stream.size() - pos);
        if (write(fds[1], stream.data() + pos, n) != (ssize_t)n)
            FuzzFail("pipe write");
        pos += n;
        for (int reads = 0; reads < 1000; reads++) {
            ProcessPanel(&panel);
            if (panel.shrlen < 0 || panel.shrlen > PANEL_BUF)
                FuzzFail("%d bytes held back", panel.shrlen);
            DrainInto(fdShrOut, shared);
            if (!readable(fds[0]))
                break;
        }
    }
    close(fds[0]);
    close(fds[1]);
    std::vector<uint8_t> frames;
    DrainInto(frameReaders[0], frames);
    DrainInto(frameReaders[1], frames);
    if (!panel.sharing)
        FuzzFail("sharing ended although the share pipe was drained");
    size_t held = (size_t)panel.shrlen;
    if (shared.size() + held != stream.size())
        FuzzFail("%zu bytes shared and %zu held back of %zu read", shared.size(), held, stream.size());
    if (!std::equal(shared.begin(), shared.end(), stream.begin()))
        FuzzFail("the share stream differs from the port's bytes");
    if (!std::equal(panel.shrbuf, panel.shrbuf + held, stream.begin() + (long)shared.size()))
        FuzzFail("the held-back bytes are not the stream's tail");
    return 0;
}
