#include "run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace simcard {

Ended runprogram(const Launch &launch)
{
    Ended ended;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return ended;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (launch.discard) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    else posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char *> args;
    for (const std::string &arg : launch.argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (failed != 0) {
        close(out[0]);
        return ended;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(launch.seconds);
    int status = 0;
    char buf[4096];
    while (wait4(pid, &status, WNOHANG, &ended.usage) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            ended.killed = true;
            wait4(pid, &status, 0, &ended.usage);
            break;
        }
        if (launch.tick) launch.tick(pid);
        pollfd p{out[0], POLLIN, 0};
        if (out[0] < 0 || poll(&p, 1, 5) <= 0) {
            if (out[0] < 0) usleep(5000);
            continue;
        }
        ssize_t got = read(out[0], buf, std::min(sizeof buf, launch.keep - ended.out.size()));
        if (got > 0) ended.out.append(buf, size_t(got));
        if (got <= 0 || ended.out.size() >= launch.keep) {
            close(out[0]);
            out[0] = -1;
        }
    }
    // What the program wrote just before it ended is still in the pipe.
    for (ssize_t got; out[0] >= 0 && (got = read(out[0], buf, sizeof buf)) > 0;) ended.out.append(buf, size_t(got));
    if (out[0] >= 0) close(out[0]);
    ended.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return ended;
}

} // namespace simcard
