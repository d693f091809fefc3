// Test helper for quilmocal's black-box tests: a panel made of quilmosim with a mounting (and a
// warp), touches as fingers make them, and a fixture that drives quilmocal's prompts.
#pragma once
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "childproc.h"
#include "fixture.h"
#include "simhelp.h"

// After gtest: Xlib's macros (None, Bool, Status) would rename its declarations.
#include <X11/Xlib.h>

namespace calhelp {

constexpr int W = 1024, H = 768;
constexpr int MAX_PROMPTS = 80;
constexpr double PI = 3.14159265358979323846;

struct Pt {
    int x, y;
};

// Where the panel reports a touch on screen pixel (x, y).
using Panel = std::function<Pt(double x, double y)>;

// A sensor with both axes over about 0..1000, mounted in one of eight ways: axes swapped or
// not, each mirrored or not (about 1000), with its own scale and offset.
inline Panel Mounted(bool swap, bool mirrorX, bool mirrorY, double warp = 0)
{
    return [=](double x, double y) {
        double bump = warp * std::sin(PI * x / W) * std::sin(PI * y / H);
        double u = 30 + 0.9 * x + bump, v = 45 + 0.88 * y + 0.7 * bump;
        if (mirrorX)
            u = 1000 - u;
        if (mirrorY)
            v = 1000 - v;
        return swap ? Pt{int(std::lround(v)), int(std::lround(u))} : Pt{int(std::lround(u)), int(std::lround(v))};
    };
}

inline std::string Line(const char *verb, Pt p)
{
    return std::string(verb) + " " + std::to_string(p.x) + " " + std::to_string(p.y) + "\n";
}

// A touch as a finger makes it: it lands off and settles, then jitters by a unit or two.
inline std::string Press(Pt p, std::mt19937 &rng, int samples = 24)
{
    std::uniform_int_distribution<int> jitter(-2, 2);
    std::string s = Line("down", {p.x + 15, p.y - 12}) + Line("move", {p.x + 6, p.y - 5}) + Line("move", {p.x + 2, p.y - 1});
    for (int i = 0; i < samples; ++i)
        s += Line("move", {p.x + jitter(rng), p.y + jitter(rng)});
    return s + Line("lift", p);
}

// A touch that stays on p (wobble > 0: that far to the right on every other position).
inline std::string Steady(Pt p, int samples, int wobble = 0)
{
    std::string s = Line("down", p);
    for (int i = 0; i < samples; ++i)
        s += Line("move", {p.x + (i % 2) * wobble, p.y});
    return s + Line("lift", p);
}

// "target 3 of 4 at 51 38" or "check 2 of 5 at 256 192": the pixel asked for.
inline bool Prompted(const std::string &line, Pt *at)
{
    int k, n;
    char word[16];
    return sscanf(line.c_str(), "%15s %d of %d at %d %d", word, &k, &n, &at->x, &at->y) == 5;
}

struct CalResult {
    int status = -1;
    std::vector<std::string> lines;
    std::string err;
};

class QuilmocalTest : public DaemonTest {
protected:
    SimProc sim, cal;
    std::mt19937 rng{7};
    int xvfb = -1;  // stopped at the end whatever happens

    void SetUp() override
    {
        DaemonTest::SetUp();
        ASSERT_TRUE(SimStart(sim, QUILMOD_BIN_DIR "/quilmosim", {SandboxPath(sb, "/dev/ttyS0")}));
        ASSERT_TRUE(SimWaitFor(sim, "ready", WAIT_MS));
        SandboxWriteConfig(sb, {"/dev/ttyS0"});
        SandboxStart(sb);
    }

    void TearDown() override
    {
        SimStop(cal);
        SimStop(sim);
        StopXvfb(xvfb);
        DaemonTest::TearDown();
    }

    // quilmocal in the sandbox, without a display unless one is given.
    void Start(const std::vector<std::string> &args, const std::string &display = "")
    {
        std::vector<std::string> all = {"-u", "DISPLAY", "QUILMOD_ROOT=" + sb.root};
        if (!display.empty())
            all.push_back("DISPLAY=" + display);
        all.push_back(QUILMOD_BIN_DIR "/quilmocal");
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(SimStart(cal, "/usr/bin/env", all));
    }

    // Touches what each prompt asks for on the panel; answer may replace a touch (or skip it
    // with ""), by the prompt's line. A line starting with killAfter ends quilmocal by SIGTERM.
    // Returns at the end of the output.
    CalResult Drive(const Panel &panel, const std::function<std::string(const std::string &, Pt)> &answer = nullptr,
                    const std::string &killAfter = "")
    {
        CalResult r;
        std::string line;
        int prompts = 0;
        while (SimReadLine(cal.out, cal.outBuf, WAIT_MS, line)) {
            r.lines.push_back(line);
            Pt at;
            if (!killAfter.empty() && line.rfind(killAfter, 0) == 0) {
                kill(cal.pid, SIGTERM);
                continue;
            }
            if (!Prompted(line, &at))
                continue;
            if (++prompts > MAX_PROMPTS) {  // asked again and again: fail, do not hang
                ADD_FAILURE() << "endless prompts, the last: " << line;
                kill(cal.pid, SIGTERM);
                continue;
            }
            Pt raw = panel(at.x, at.y);
            SimSend(sim, answer ? answer(line, raw) : Press(raw, rng));
        }
        return Finish(r);
    }

    CalResult Finish(CalResult r = {})
    {
        int status = SimWait(cal, WAIT_MS);
        EXPECT_NE(status, -1) << "quilmocal did not end";
        r.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string chunk;
        while (SimReadLine(cal.err, cal.errBuf, 100, chunk))
            r.err += chunk + "\n";
        return r;
    }

    // How far, on either axis, the daemon's frames land at most from where taps were meant.
    double WorstTap(const Panel &panel, const std::vector<Pt> &points)
    {
        ReadAvailable(sb.dat[0]);  // the frames of the calibration itself
        double worst = 0;
        for (Pt p : points) {
            SimSend(sim, "tap " + std::to_string(panel(p.x, p.y).x) + " " + std::to_string(panel(p.x, p.y).y) + "\n");
            Bytes f = ReadFrames(sb, 0, 2);
            if (f.size() < 10) {
                ADD_FAILURE() << "no frames for a tap at " << p.x << " " << p.y;
                return 1e9;
            }
            worst = std::max({worst, std::fabs(f[1] * 256 + f[2] - p.x), std::fabs(f[3] * 256 + f[4] - p.y)});
        }
        return worst;
    }

    std::string CalFiles()
    {
        std::string all;
        for (const char *name : {"pt4flag_ttyS0", "pt4_ttyS0", "pt25_ttyS0"})
            all += SandboxReadFile(sb, std::string("/usr/local/Qelvanto/") + name) + "|";
        return all;
    }
};

// quilmocal's window: the root's child named so, or 0.
inline Window QuilmocalWindow(Display *x)
{
    Window root, parent, *children = nullptr, ours = 0;
    unsigned n = 0;
    XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &n);
    for (unsigned i = 0; i < n; ++i) {
        char *name = nullptr;
        if (XFetchName(x, children[i], &name) && name && std::string(name) == "quilmocal")
            ours = children[i];
        if (name)
            XFree(name);
    }
    if (children)
        XFree(children);
    return ours;
}

}  // namespace calhelp

using namespace calhelp;
