// The fatal exits that no simulated card can provoke, run in a child process on the program's
// own routines, and the order of every fatal line's number.
#include <sys/wait.h>

#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "harness.hpp"

#define main updater_main
#include "../updater/updater.cpp"
#undef main

namespace {

// Runs body in a child with stdout on a pipe; returns the exit status and what it printed.
std::pair<int, std::string> inchild(const std::function<void()> &body)
{
    int out[2];
    if (pipe(out) != 0) return {-1, ""};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        body();
        _exit(99);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t got; (got = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(got));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// Runs a fatal path in a child; checks its one ERROR line and returns the line number in it.
int fatalline(const std::function<void()> &body, const char *routine, int code)
{
    auto [status, text] = inchild(body);
    std::smatch m;
    std::string frame = "\\[UPD\\] ERROR updater/updater\\.cpp:([0-9]+) " + std::string(routine) + " exit code: " +
                        std::to_string(code) + "\n";
    EXPECT_EQ(status, code) << routine;
    EXPECT_TRUE(std::regex_match(text, m, std::regex(frame))) << text;
    return m.empty() ? 0 : std::stoi(m[1]);
}

} // namespace

// A short write, and a null first argument with an argument count of 2, cannot be caused from
// outside. All fatal line numbers follow the order of the checks in the source: opentty,
// sendcmd, readrepl, install, update, then main's four checks.
TEST(FatalLines, NumbersRiseInSourceOrder)
{
    auto e2e = [](auto change) {
        Rig setup;
        change(setup);
        return run(setup).fatalline;
    };
    char name[] = "updater";
    char *argv[] = {name, nullptr, nullptr};
    std::vector<int> numbers = {
        e2e([](Rig &s) { s.linked = false; }),
        fatalline([] { sendcmd(open("/dev/full", O_WRONLY), "!$=E0\r"); }, "sendcmd", 10),
        e2e([](Rig &s) { s.card.rules = {simcard::hangup(simcard::Cmd::Crc)}; }),
        e2e([](Rig &s) { s.distro = std::nullopt; }),
        e2e([](Rig &s) { s.card.rules = {simcard::reply(simcard::Cmd::Reboot, "NO")}; }),
        e2e([](Rig &s) { s.args = {}; }),
        fatalline([&] { updater_main(2, argv); }, "main", 7),
        e2e([](Rig &s) { s.vendor = "1"; }),
        e2e([](Rig &s) { s.product = "1"; }),
    };
    for (size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_GT(numbers[i], 0) << i;
        if (i > 0) {
            EXPECT_LT(numbers[i - 1], numbers[i]) << i;
        }
    }
}
