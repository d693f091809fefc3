// Test helper: quilmoctl run against a sandbox, its outputs and exit status collected with
// deadlines, and the shapes its results take.
#pragma once
#include <algorithm>
#include <array>
#include <list>
#include <sys/wait.h>

#include "fixture.h"
#include "simhelp.h"

struct CtlResult {
    int status = -1;  // exit status, -1 when it did not end by itself
    std::string out;
    std::string err;
};

// quilmoctl runs through env so that only the child sees the sandbox root.
inline bool CtlStart(const Sandbox &sb, SimProc &p, const std::vector<std::string> &args)
{
    std::vector<std::string> all = {"QUILMOD_ROOT=" + sb.root, QUILMOD_BIN_DIR "/quilmoctl"};
    all.insert(all.end(), args.begin(), args.end());
    return SimStart(p, "/usr/bin/env", all);
}

// Collects both outputs to their end and reaps the child; kills it at the deadline.
inline CtlResult CtlFinish(SimProc &p, int ms = WAIT_MS)
{
    SimCloseInput(p);
    long long deadline = SimNowMs() + ms;
    std::array<std::pair<int *, std::string *>, 2> streams = {{{&p.out, &p.outBuf}, {&p.err, &p.errBuf}}};
    while ((p.out >= 0 || p.err >= 0) && SimNowMs() < deadline) {
        for (auto [fd, buf] : streams) {
            if (*fd < 0)
                continue;
            struct pollfd pfd = {*fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = read(*fd, chunk, sizeof chunk);
            if (n > 0)
                buf->append(chunk, static_cast<size_t>(n));
            else {
                close(*fd);
                *fd = -1;
            }
        }
    }
    CtlResult r;
    int status = SimWait(p, static_cast<int>(std::max(0LL, deadline - SimNowMs())));
    if (status == -1) {
        ADD_FAILURE() << "quilmoctl did not end in time";
        SimStop(p);
    } else if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    }
    r.out = p.outBuf;
    r.err = p.errBuf;
    return r;
}

inline CtlResult Ctl(const Sandbox &sb, const std::vector<std::string> &args, const std::string &input = "")
{
    SimProc p;
    EXPECT_TRUE(CtlStart(sb, p, args));
    SimSend(p, input);
    return CtlFinish(p);
}

inline void ExpectOk(const CtlResult &r, const std::string &out = "")
{
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
}

// A failure is one line on standard error, nothing on standard output.
inline void ExpectFailure(const CtlResult &r, int status, const std::string &text)
{
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("quilmoctl: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
}

// One sandbox per test, and the quilmoctl runs it left in the background.
class QuilmoctlTest : public DaemonTest {
protected:
    std::list<SimProc> background;

    // A quilmoctl left running; stopped at the end of the test whatever happens.
    SimProc &Background(const std::vector<std::string> &args)
    {
        background.emplace_back();
        EXPECT_TRUE(CtlStart(sb, background.back(), args));
        return background.back();
    }

    void StartWithPort(const std::string &extra = "")
    {
        SandboxAddPort(sb, "/dev/ttyS0");
        SandboxWriteConfig(sb, {"/dev/ttyS0"}, extra);
        SandboxStart(sb);
    }

    void TearDown() override
    {
        for (SimProc &p : background)
            SimStop(p);
        DaemonTest::TearDown();
    }
};

class QuilmoctlShareSim : public QuilmoctlTest {
protected:
    SimProc sim;

    // quilmosim as the controller on /dev/ttyS0, held by the daemon.
    void StartWithSimulator()
    {
        ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim", {"--controller", SandboxPath(sb, "/dev/ttyS0")}));
        ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
        SandboxWriteConfig(sb, {"/dev/ttyS0"});
        SandboxStart(sb);
    }

    void TearDown() override
    {
        SimStop(sim);
        QuilmoctlTest::TearDown();
    }
};

