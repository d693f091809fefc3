// Test helpers for child processes: waiting with a deadline, starting a fed child, its state, its end.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "readfile.h"

// Polls pred until it holds or ms have passed.
inline bool Eventually(const std::function<bool()> &pred, int ms = 10000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// In a forked child: runs args[0] with args; never returns.
[[noreturn]] inline void ExecArgs(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// Voluntary context switches of pid (one each time it blocked: its wake-ups), or -1.
inline long VoluntarySwitches(int pid)
{
    std::istringstream f(ReadWholeFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(f, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(24));
    return -1;
}

// Starts args with a pipe as standard input; the test holds the write end in *feed,
// so a child that reads stays until the test lets it go. -1 when no pipe could be made.
inline int SpawnFed(const std::vector<std::string> &args, int *feed)
{
    *feed = -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    int pid = fork();
    if (pid == 0) {
        dup2(fds[0], 0);
        ExecArgs(args);
    }
    close(fds[0]);
    *feed = fds[1];
    return pid;
}

// Ends a child of the test with SIGTERM unless something ended it first; the signal that did.
inline int EndAndReap(int pid)
{
    kill(pid, SIGTERM);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// The state letter of /proc/PID/stat ('Z' for ended but not reaped), or 0 when pid is gone.
inline char ProcState(int pid)
{
    std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}

// CPU time of pid in clock ticks (utime + stime, fields 14 and 15 of /proc/PID/stat), or -1.
inline long CpuTicks(int pid)
{
    std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(paren + 2));  // field 3, the state, on
    std::string field;
    long ticks = 0;
    for (int k = 3; k <= 15 && rest >> field; k++)
        if (k >= 14)
            ticks += atol(field.c_str());
    return ticks;
}

// Starts Xvfb on a free display (it picks one and writes its number to -displayfd), in its own
// process group, with the given screen geometry such as "640x480x24" and any extra arguments
// (":17" asks for that display). Returns its pid with the display number in *display ("17"), or
// -1 when Xvfb is missing or did not start.
inline int StartXvfb(const char *geometry, std::string *display, const std::vector<std::string> &extra = {})
{
    display->clear();
    if (access("/usr/bin/Xvfb", X_OK) != 0)
        return -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    int pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(fds[1], 3);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::vector<const char *> argv = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", geometry};
        for (const std::string &a : extra)
            argv.push_back(a.c_str());
        argv.push_back(nullptr);
        execv("/usr/bin/Xvfb", const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    close(fds[1]);
    // The server writes the number once it accepts connections; a bounded read, it may never come.
    struct pollfd p = {fds[0], POLLIN, 0};
    char c;
    while (display->size() < 8 && poll(&p, 1, 15000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n')
        *display += c;
    close(fds[0]);
    if (display->empty() || pid < 0) {
        if (pid > 0) {
            kill(-pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        return -1;
    }
    return pid;
}

inline void StopXvfb(int pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}
