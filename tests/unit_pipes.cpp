// Named pipes: discarding unread content, and the flush of both data pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "quilmod.h"

namespace {

int pending(int fd)
{
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

struct PipeRoot {
    char dir[32] = "/tmp/qlmpipe.XXXXXX";
    PipeRoot()
    {
        mkdtemp(dir);
        mkdir((std::string(dir) + "/dev").c_str(), 0755);
        setenv("QUILMOD_ROOT", dir, 1);
    }
    ~PipeRoot()
    {
        unsetenv("QUILMOD_ROOT");
        system((std::string("rm -rf ") + dir).c_str());
    }
};

}  // namespace

TEST(Pipes, EmptyPipeIsOneReadOfAtMost5000Bytes)
{
    PipeRoot root;
    int fd = CreatePipe((char *)"/dev/qvdat0", 0622);
    ASSERT_GE(fd, 0);
    std::string big(6000, 'x');
    ASSERT_EQ(write(fd, big.data(), big.size()), 6000);
    EmptyPipe(fd);
    EXPECT_EQ(pending(fd), 1000);
    EmptyPipe(fd);
    EmptyPipe(fd);  // empty: returns at once
    EXPECT_EQ(pending(fd), 0);
    close(fd);
}

TEST(Pipes, FlushOutputLeavesBothDataPipesEmpty)
{
    PipeRoot root;
    ASSERT_EQ(CreateDatPipe(), 0);
    unsigned char frames[15] = {0x81};
    ASSERT_EQ(write(fdOuts[0], frames, sizeof frames), 15);
    FlushOutput();
    EXPECT_EQ(pending(fdOuts[0]), 0);
    EXPECT_EQ(pending(fdOuts[1]), 0);
    close(fdOuts[0]);
    close(fdOuts[1]);
}

TEST(Pipes, NonFifoIsReplacedAndAnUnremovableOneFails)
{
    PipeRoot root;
    std::string path = std::string(root.dir) + "/dev/qvshrin";
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0644));
    testing::internal::CaptureStdout();
    int fd = CreatePipe((char *)"/dev/qvshrin", 0622);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "/dev/qvshrin should be a pipe.\nDelete it and try again...\n");
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, (mode_t)(S_IFIFO | 0622));
    close(fd);
    std::string dir = std::string(root.dir) + "/dev/qvcmdout";
    mkdir(dir.c_str(), 0755);
    close(open((dir + "/keep").c_str(), O_CREAT | O_WRONLY, 0644));
    testing::internal::CaptureStdout();
    EXPECT_EQ(CreatePipe((char *)"/dev/qvcmdout", 0644), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "quilmod: /dev/qvcmdout: Is a directory\n");
}
