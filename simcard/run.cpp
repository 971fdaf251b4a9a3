#include "run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace simcard {

Ended runprogram(const std::vector<std::string> &argv, double seconds, bool discard,
                 const std::function<void(pid_t)> &tick)
{
    Ended ended;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return ended;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // A discarded stdout still holds the pipe, whose end tells when the program is over.
    if (discard) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], discard ? 3 : 1);
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (failed != 0) {
        close(out[0]);
        return ended;
    }

    // Read until the program closes its end of the pipe, which it does when it ends.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buf[4096];
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            ended.killed = true;
            break;
        }
        if (tick) tick(pid);
        if (poll(&p, 1, 5) <= 0) continue;
        ssize_t got = read(out[0], buf, sizeof buf);
        if (got <= 0) break;
        ended.out.append(buf, size_t(got));
    }
    close(out[0]);
    int status = 0;
    wait4(pid, &status, 0, &ended.usage);
    ended.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return ended;
}

} // namespace simcard
