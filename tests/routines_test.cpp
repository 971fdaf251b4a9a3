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

int lineof(const std::string &fatalline)
{
    return std::atoi(fatalline.c_str() + fatalline.find(':') + 1);
}

} // namespace

TEST(FatalLines, ShortWriteAndNullArgument)
{
    auto [status, text] = inchild([] { sendcmd(open("/dev/full", O_WRONLY), "!$=E0\r"); });
    EXPECT_EQ(status, 10);
    EXPECT_TRUE(std::regex_match(text, std::regex("\\[UPD\\] ERROR updater/updater\\.cpp:[0-9]+ sendcmd exit code: 10\n")))
        << text;

    char name[] = "updater";
    char *argv[] = {name, nullptr, nullptr};
    std::tie(status, text) = inchild([&] { updater_main(2, argv); });
    EXPECT_EQ(status, 7);
    EXPECT_TRUE(std::regex_match(text, std::regex("\\[UPD\\] ERROR updater/updater\\.cpp:[0-9]+ main exit code: 7\n"))) << text;
}

// The line numbers follow the order of the checks: opentty, sendcmd, readrepl, install, update,
// then main's four checks.
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
        lineof(inchild([] { sendcmd(open("/dev/full", O_WRONLY), "!$=E0\r"); }).second),
        e2e([](Rig &s) { s.card.rules = {simcard::hangup(simcard::Cmd::Crc)}; }),
        e2e([](Rig &s) { s.distro = std::nullopt; }),
        e2e([](Rig &s) { s.card.rules = {simcard::reply(simcard::Cmd::Reboot, "NO")}; }),
        e2e([](Rig &s) { s.args = {}; }),
        lineof(inchild([&] { updater_main(2, argv); }).second),
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
