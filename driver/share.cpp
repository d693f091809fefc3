// Port sharing: one port's raw stream to /dev/qvshrout, and bytes from /dev/qvshrin to the port.
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "quilmod.h"

char PortShared[PORT_SHARED_SIZE];

constexpr char SHARE_OK[] = "SHROK\n";
constexpr size_t SHARE_IN_READ = 1000;

void SharePort(char *name)
{
    if (!panelList) {
        PortShared[0] = '\0';
        return;
    }
    int changes = 0, matched = 0;
    for (TouchPanel *p = panelList; p; p = p->next) {
        int flag = 0;
        if (strcmp(name, p->device) == 0 && p->present) {
            snprintf(PortShared, sizeof PortShared, "%s", p->device);
            PipeWrite(fdCmdOut, SHARE_OK, sizeof SHARE_OK - 1);
            matched = flag = 1;
        }
        if (flag != p->sharing)
            changes++;
        p->sharing = flag;
        if (!flag)
            p->shrlen = 0;
    }
    if (changes) {
        // Marks the change in the stream, then drops what the old reader had not taken.
        const unsigned char zero = 0;
        PipeWrite(fdShrOut, &zero, 1);
        EmptyPipe(fdShrOut);
    }
    if (!matched)
        PortShared[0] = '\0';
}

// Ports stay blocking for reads; a port that takes no more bytes must not stall the daemon.
static void write_without_waiting(int fd, const unsigned char *buf, size_t len)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        return;
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    PipeWrite(fd, buf, len);
    fcntl(fd, F_SETFL, flags);
}

void ProcessShare()
{
    unsigned char buf[SHARE_IN_READ];
    ssize_t n = read(fdShrIn, buf, sizeof buf);
    if (n <= 0)
        return;
    for (TouchPanel *p = panelList; p; p = p->next) {
        if (p->sharing) {
            write_without_waiting(p->fd, buf, (size_t)n);
            return;
        }
    }
}
