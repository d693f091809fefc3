// What the README promises of its shell blocks and the demo: taken from README.md itself and
// run as a reader pastes them, and scripts/demo run as the README says.
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "runprog.h"

namespace {

// The first indented block after the line starting with lead, without its four-space indent.
std::string ReadmeBlock(const std::string &lead)
{
    std::ifstream readme(QUILMOD_SOURCE_DIR "/README.md");
    std::string line, block;
    bool found = false;
    while (std::getline(readme, line)) {
        if (!found) {
            found = line.rfind(lead, 0) == 0;
            continue;
        }
        if (line.rfind("    ", 0) == 0)
            block += line.substr(4) + "\n";
        else if (!block.empty())
            break;
    }
    return block;
}

size_t Count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// Runs a shell command line in dir in a session of its own, and ends whatever it left behind.
Outcome RunSession(const std::string &line, const std::vector<std::string> &env, const std::string &dir)
{
    Outcome r = RunProgram({"/usr/bin/setsid", "/bin/bash", "-c", "echo $$ > leader; " + line}, env, {}, dir);
    std::ifstream leader(dir + "/leader");
    pid_t session = 0;
    if (leader >> session && session > 1)
        kill(-session, SIGKILL);
    return r;
}

// A scratch folder laid out like a checkout for the README's "By hand" block: build/bin holds
// the tests' own programs (or, for those named in broken, a stand-in that fails at once), and
// cmake is a stand-in that notes its arguments in cmake.log.
std::string ByHandFolder(const std::vector<std::string> &broken)
{
    char tmpl[] = "/tmp/qlmreadme.XXXXXX";
    if (!mkdtemp(tmpl))
        return "";
    std::string dir = tmpl;
    for (const char *sub : {"/build", "/build/bin", "/stand-in", "/tmp"})
        mkdir((dir + sub).c_str(), 0755);
    for (const char *prog : {"quilmod", "quilmoctl", "quilmosim"}) {
        std::string to = dir + "/build/bin/" + prog;
        if (std::find(broken.begin(), broken.end(), prog) == broken.end()) {
            symlink((std::string(QUILMOD_BIN_DIR "/") + prog).c_str(), to.c_str());
        } else {
            std::ofstream(to) << "#!/bin/sh\necho " << prog << " stand-in fails >&2\nexit 1\n";
            chmod(to.c_str(), 0755);
        }
    }
    std::ofstream(dir + "/stand-in/cmake") << "#!/bin/sh\necho \"$*\" >> cmake.log\n";
    chmod((dir + "/stand-in/cmake").c_str(), 0755);
    std::ofstream(dir + "/block") << ReadmeBlock("By hand, in a sandbox root of your own");
    return dir;
}

std::string Slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// "By hand": pasted twice in a row into one shell, each paste builds only the programs it runs,
// shows the tap and cleans up after itself, so the second finds nothing left from the first; a
// paste whose program fails stops there, prints no frame and leaves nothing behind either.
TEST(Readme, ByHandBlockBuildsWhatItRunsWorksTwiceAndStopsAtAFailure)
{
    struct Case {
        const char *name;
        std::vector<std::string> broken;
        bool succeeds;
        size_t taps, builds;
    } cases[] = {
        {"pasted twice", {}, true, 2, 2},
        {"the simulator fails", {"quilmosim"}, false, 0, 1},
        {"the daemon fails", {"quilmod"}, false, 0, 1},
    };
    for (const Case &c : cases) {
        std::string dir = ByHandFolder(c.broken);
        ASSERT_FALSE(dir.empty());
        ASSERT_NE(Slurp(dir + "/block").find("quilmoctl watch"), std::string::npos) << "no By hand block in README.md";
        std::vector<std::string> env = {"PATH=" + dir + "/stand-in:/usr/bin:/bin", "HOME=" + dir, "TMPDIR=" + dir + "/tmp"};
        // One paste after the other, as a reader pastes: each the whole of a command line.
        Outcome r = RunSession(c.succeeds ? ". ./block; . ./block" : ". ./block", env, dir);
        EXPECT_EQ(r.status == 0, c.succeeds) << c.name << ": status " << r.status << "\n" << r.out;
        EXPECT_EQ(Count(r.out, "touch x=513 y=385\nrelease x=513 y=385\n"), c.taps) << c.name << ":\n" << r.out;
        // Configure and build, and only the three programs it runs, once per paste that got there.
        std::string one = "-S . -B build -G Ninja\n--build build --target quilmod quilmoctl quilmosim\n";
        std::string log = Slurp(dir + "/cmake.log");
        EXPECT_EQ(log, c.builds == 2 ? one + one : one) << c.name;
        // A FIFO or port left from the first paste, a client before the daemon, the port pulled away.
        for (const char *bad : {"File exists", "is missing", "Device removed", "not running"})
            EXPECT_EQ(r.out.find(bad), std::string::npos) << c.name << ": " << bad << " in:\n" << r.out;
        // The sandbox roots went with the pastes, however they ended.
        for (const auto &left : std::filesystem::recursive_directory_iterator(dir + "/tmp"))
            ADD_FAILURE() << c.name << ": left behind: " << left.path() << "\n" << r.out;
        RunProgram({"/bin/rm", "-rf", dir}, {});
    }
}

// "a correct run prints no failure line": not a grep on a file a background job has yet to make,
// nor the daemon's report of a port that went away because the simulator was stopped first.
TEST(Readme, DemoPrintsNoFailureLine)
{
    char tmpl[] = "/tmp/qlmdemo.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    Outcome r = RunSession(QUILMOD_SOURCE_DIR "/scripts/demo", {"PATH=/usr/bin:/bin", "QUILMOD_DEMO_BIN=" QUILMOD_BIN_DIR}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("touch x=513 y=385\nrelease x=513 y=385\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("== done"), std::string::npos) << r.out;
    for (const char *bad : {"grep:", "No such file", "Device removed", "Send rescan", "gave up", "failed"})
        EXPECT_EQ(r.out.find(bad), std::string::npos) << bad << " in:\n" << r.out;
    RunProgram({"/bin/rm", "-rf", dir}, {});
}

}  // namespace
