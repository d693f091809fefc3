// Panel registry: select-set bookkeeping and descriptors select cannot hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "quilmod.h"

namespace {

TouchPanel *fake_panel(const char *device, int fd)
{
    auto *p = static_cast<TouchPanel *>(calloc(1, sizeof(TouchPanel) + strlen(device) + 1));
    p->device = reinterpret_cast<char *>(p + 1);
    memcpy(p->device, device, strlen(device) + 1);
    p->fd = fd;
    p->present = 1;
    return p;
}

}  // namespace

TEST(Registry, ClosePortUnlinksEveryMatchAndLowersFdMaxByOne)
{
    FD_ZERO(&fdSet);
    fdMax = -1;
    panelList = nullptr;
    int a = open("/dev/null", O_RDONLY), b = open("/dev/null", O_RDONLY);
    AddPanel(fake_panel("/dev/ttyS0", a));
    AddPanel(fake_panel("/dev/ttyS1", b));
    ASSERT_EQ(fdMax, b);
    ClosePort((char *)"/dev/ttyS9");  // not registered: nothing changes
    EXPECT_EQ(fdMax, b);
    ClosePort((char *)"/dev/ttyS1");
    EXPECT_EQ(fdMax, b - 1);
    EXPECT_FALSE(FD_ISSET(b, &fdSet));
    ASSERT_NE(panelList, nullptr);
    EXPECT_STREQ(panelList->device, "/dev/ttyS0");
    EXPECT_EQ(panelList->next, nullptr);
    ClosePort((char *)"/dev/ttyS0");
    EXPECT_EQ(panelList, nullptr);
}

TEST(Registry, DescriptorsBeyondTheSelectSetAreRefused)
{
    struct rlimit old, raised;
    getrlimit(RLIMIT_NOFILE, &old);
    raised = old;
    raised.rlim_cur = raised.rlim_max;
    if (raised.rlim_cur <= FD_SETSIZE + 8 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
        GTEST_SKIP() << "cannot open more than FD_SETSIZE descriptors here";
    char root[] = "/tmp/qlmreg.XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    setenv("QUILMOD_ROOT", root, 1);
    std::string dev = std::string(root) + "/dev";
    mkdir(dev.c_str(), 0755);
    close(open((dev + "/USB_Port_0").c_str(), O_CREAT | O_WRONLY, 0644));
    std::vector<int> filler;  // take every descriptor select could watch
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0 && fd < FD_SETSIZE;)
        filler.push_back(fd);
    EXPECT_EQ(WatchFd(FD_SETSIZE), 1);
    testing::internal::CaptureStdout();
    TouchPanel *p = NewPanel((char *)"/dev/USB_Port_0", 9600);
    std::string out = testing::internal::GetCapturedStdout();
    for (int fd : filler)
        close(fd);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(out, "Test /dev/USB_Port_0....open failed\nquilmod: /dev/USB_Port_0: Too many open files\n");
    unsetenv("QUILMOD_ROOT");
    setrlimit(RLIMIT_NOFILE, &old);
    system((std::string("rm -rf ") + root).c_str());
}
