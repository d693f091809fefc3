// Test helpers for child processes: waiting with a deadline, starting a fed child, its state, its end.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

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

// Starts args with a pipe as standard input; the test holds the write end in *feed,
// so a child that reads stays until the test lets it go. -1 when no pipe could be made.
inline int SpawnFed(const std::vector<std::string> &args, int *feed)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    int pid = fork();
    if (pid == 0) {
        dup2(fds[0], 0);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
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
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}
