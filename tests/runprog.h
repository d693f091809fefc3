// Runs a program to its end for a black-box test: its own environment only, optionally as
// another user, standard output and error collected together, killed at the deadline.
#pragma once
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fixture.h"

struct Outcome {
    int status = -1;  // exit status; -1 when it did not end in time or was killed
    std::string out;  // standard output and error together
};

// Who a child runs as: uid 0 = unchanged.
struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

[[noreturn]] inline void exec_as(const std::vector<std::string> &args, const std::vector<std::string> &env,
                          const Credentials &who, int out, const std::string &dir = "")
{
    dup2(out, 1);
    dup2(out, 2);
    if (!dir.empty() && chdir(dir.c_str()) != 0)
        _exit(126);
    // Another user may not enter the checkout (a private home, a mktemp folder): start from "/".
    if (who.uid != 0 && (setgroups(who.groups.size(), who.groups.data()) != 0 || setgid(who.gid) != 0 ||
                         setuid(who.uid) != 0 || chdir("/") != 0))
        _exit(126);
    std::vector<char *> argv, envp;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

// Runs args to their end (killed after WAIT_MS) with only env as its environment, in dir if given.
inline Outcome RunProgram(const std::vector<std::string> &args, const std::vector<std::string> &env,
               const Credentials &who = {}, const std::string &dir = "")
{
    Outcome r;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0)
        exec_as(args, env, who, fds[1], dir);
    close(fds[1]);
    char buf[4096];
    struct pollfd p = {fds[0], POLLIN, 0};
    ssize_t n = 1;
    while (n > 0 && poll(&p, 1, WAIT_MS) == 1 && (n = read(fds[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    if (n > 0)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}


// A copy of program, mode 0755, in dir (which must exist), for a child that runs as another user:
// the build folder may lie under a directory only its owner may enter. "" when it could not be made.
inline std::string CopyForOthers(const std::string &program, const std::string &dir)
{
    std::string copy = dir + program.substr(program.rfind('/'));
    int from = open(program.c_str(), O_RDONLY | O_CLOEXEC);
    int to = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    bool ok = from >= 0 && to >= 0;
    char buf[65536];
    ssize_t n;
    while (ok && (n = read(from, buf, sizeof buf)) != 0)
        ok = n > 0 && write(to, buf, static_cast<size_t>(n)) == n;
    ok = ok && fchmod(to, 0755) == 0;
    if (from >= 0)
        close(from);
    if (to >= 0 && close(to) != 0)
        ok = false;
    return ok ? copy : "";
}
