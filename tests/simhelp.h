// Test helper: runs the controller simulator (quilmosim) as a child and reads its lines with deadlines.
#pragma once
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

struct SimProc {
    pid_t pid = -1;
    int in = -1;         // script lines go here
    int out = -1;        // its standard output
    int err = -1;        // its standard error
    std::string outBuf;  // read from out, not yet taken as lines
    std::string errBuf;
};

inline long long SimNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Directory of the running test program; the build puts quilmosim beside it.
inline std::string SimBinDir()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string s(path, static_cast<size_t>(n));
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? "." : s.substr(0, slash);
}

// Starts program with args, its three standard streams on pipes. false if it could not start.
inline bool SimStart(SimProc &s, const std::string &program, const std::vector<std::string> &args)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    signal(SIGPIPE, SIG_IGN);  // a simulator that ended must not kill the test on the next line
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&s.pid, program.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    s.in = in[1];
    s.out = out[0];
    s.err = err[0];
    if (rc != 0)
        s.pid = -1;
    return rc == 0;
}

// Next whole line from fd (buffered in buf), without its newline. false at the deadline or
// at end of file with no whole line left.
inline bool SimReadLine(int fd, std::string &buf, int timeoutMs, std::string &line)
{
    long long deadline = SimNowMs() + timeoutMs;
    for (;;) {
        size_t nl = buf.find('\n');
        if (nl != std::string::npos) {
            line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            return true;
        }
        long long left = deadline - SimNowMs();
        if (left <= 0)
            return false;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buf.append(chunk, static_cast<size_t>(n));
    }
}

// Reads lines from fd until one starts with prefix; lines passed over go to skipped.
inline bool SimWaitLine(int fd, std::string &buf, std::string_view prefix, int timeoutMs, std::string *found,
                        std::vector<std::string> *skipped)
{
    long long deadline = SimNowMs() + timeoutMs;
    std::string line;
    while (SimReadLine(fd, buf, static_cast<int>(deadline - SimNowMs()), line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            if (found)
                *found = line;
            return true;
        }
        if (skipped)
            skipped->push_back(line);
    }
    return false;
}

// Waits for a line on its standard output.
inline bool SimWaitFor(SimProc &s, std::string_view prefix, int timeoutMs, std::string *found = nullptr,
                       std::vector<std::string> *skipped = nullptr)
{
    return SimWaitLine(s.out, s.outBuf, prefix, timeoutMs, found, skipped);
}

// Waits for a line on its standard error.
inline bool SimWaitForError(SimProc &s, std::string_view prefix, int timeoutMs, std::string *found = nullptr)
{
    return SimWaitLine(s.err, s.errBuf, prefix, timeoutMs, found, nullptr);
}

// Writes script text (lines with their newlines) to its standard input.
inline bool SimSend(SimProc &s, std::string_view text)
{
    while (!text.empty()) {
        ssize_t n = write(s.in, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Ends the script (end of file on standard input).
inline void SimCloseInput(SimProc &s)
{
    if (s.in >= 0)
        close(s.in);
    s.in = -1;
}

// Waits for the child to end, at most timeoutMs; its wait status, or -1 if it still runs.
inline int SimWait(SimProc &s, int timeoutMs)
{
    long long deadline = SimNowMs() + timeoutMs;
    for (;;) {
        int status;
        pid_t r = waitpid(s.pid, &status, WNOHANG);
        if (r == s.pid) {
            s.pid = -1;
            return status;
        }
        if (r < 0 || SimNowMs() >= deadline)
            return -1;
        usleep(2000);
    }
}

// SIGTERM, then SIGKILL if it does not end in time; closes the pipes. The wait status or -1.
inline int SimStop(SimProc &s, int timeoutMs = 5000)
{
    int status = -1;
    if (s.pid > 0) {
        kill(s.pid, SIGTERM);
        status = SimWait(s, timeoutMs);
        if (status == -1 && s.pid > 0) {
            kill(s.pid, SIGKILL);
            SimWait(s, timeoutMs);
        }
    }
    SimCloseInput(s);
    for (int *fd : {&s.out, &s.err}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    return status;
}
