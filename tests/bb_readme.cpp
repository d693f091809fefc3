// The README's shell blocks, taken from README.md itself and run as a reader pastes them.
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
    // In a session of its own, so that whatever a faulty block leaves behind can be ended.
    Outcome r = RunProgram({"/usr/bin/setsid", "/bin/bash", "-c", "echo $$ > leader; . ./block && . ./block"},
                           {"PATH=" + dir + "/stand-in:/usr/bin:/bin", "HOME=" + dir}, {}, dir);
    std::ifstream leader(dir + "/leader");
    pid_t session = 0;
    if (leader >> session && session > 1)
        kill(-session, SIGKILL);
    EXPECT_EQ(r.status, 0) << r.out;  // -1: something it started still holds the output
    EXPECT_EQ(Count(r.out, "touch x=513 y=385\nrelease x=513 y=385\n"), 2u) << r.out;
    // A FIFO or port left from the first paste, a client before the daemon, the port pulled away.
    for (const char *bad : {"File exists", "is missing", "Device removed", "not running"})
        EXPECT_EQ(r.out.find(bad), std::string::npos) << bad << " in:\n" << r.out;
    RunProgram({"/bin/rm", "-rf", dir}, {});
}

}  // namespace
