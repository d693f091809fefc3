// What the README promises of its shell blocks and the demo: taken from README.md itself and
// run as a reader pastes them, and scripts/demo run as the README says.
#include <signal.h>
#include <unistd.h>

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

// "By hand": pasted twice in a row into one shell, each paste shows the tap and cleans up after
// itself, so the second finds nothing left from the first. Its first line builds; here the
// build is there already, so cmake is a stand-in and build/bin the tests' own.
TEST(Readme, ByHandBlockWorksPastedTwice)
{
    std::string block = ReadmeBlock("By hand, in a sandbox root of your own");
    ASSERT_NE(block.find("quilmoctl watch"), std::string::npos) << "no By hand block in README.md:\n" << block;
    char tmpl[] = "/tmp/qlmreadme.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    ASSERT_EQ(mkdir((dir + "/build").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/stand-in").c_str(), 0755), 0);
    ASSERT_EQ(symlink(QUILMOD_BIN_DIR, (dir + "/build/bin").c_str()), 0);
    std::ofstream(dir + "/stand-in/cmake") << "#!/bin/sh\nexit 0\n";
    chmod((dir + "/stand-in/cmake").c_str(), 0755);
    std::ofstream(dir + "/block") << block;
    Outcome r = RunSession(". ./block && . ./block", {"PATH=" + dir + "/stand-in:/usr/bin:/bin", "HOME=" + dir}, dir);
    EXPECT_EQ(r.status, 0) << r.out;  // -1: something it started still holds the output
    EXPECT_EQ(Count(r.out, "touch x=513 y=385\nrelease x=513 y=385\n"), 2u) << r.out;
    // A FIFO or port left from the first paste, a client before the daemon, the port pulled away.
    for (const char *bad : {"File exists", "is missing", "Device removed", "not running"})
        EXPECT_EQ(r.out.find(bad), std::string::npos) << bad << " in:\n" << r.out;
    RunProgram({"/bin/rm", "-rf", dir}, {});
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
