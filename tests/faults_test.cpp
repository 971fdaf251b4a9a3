// Faults at every step of a run, and what a gateway does to a run: paths that are not what they
// should be, a second program on the card's line, a log reader that goes away, a failing disk.
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "harness.hpp"

using simcard::Cmd;
namespace fs = std::filesystem;

namespace {

// Two updaters at once; the first holds the line for half a second while its first reply comes.
void race(Rig &r)
{
    r.copies = 2;
    r.card.gapms = 500;
    r.card.rules = {simcard::raw(Cmd::Setting, {"O", "K\r\n"})};
}

// The card takes 1.5 s over the second half of its reply to page 1 (or to a query: then the CRC).
void slow(Rig &r, Cmd cmd = Cmd::Page)
{
    r.card.gapms = 1500;
    if (cmd == Cmd::Page) r.card.rules = {simcard::Rule{cmd, 1, {"O", "K\r\n"}}};
    else r.card.rules = {simcard::raw(cmd, {"0xA1B2", "C3D4\r\n"})};
}

// A tick that does its deeds once each, from 0.7 s into the run on (0.5 s apart): the card is
// then half-way through its slow reply.
std::function<void(pid_t)> later(std::vector<std::function<void(pid_t)>> deeds)
{
    auto start = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    auto done = std::make_shared<size_t>(0);
    return [=](pid_t pid) {
        if (*done < deeds.size() && std::chrono::steady_clock::now() - *start > std::chrono::milliseconds(700 + 500 * *done))
            deeds[(*done)++](pid);
    };
}

// Sent twice, 20 ms apart, as GNU timeout may deliver it: one stop.
std::function<void(pid_t)> signal(int sig)
{
    return [sig](pid_t pid) { kill(pid, sig), std::this_thread::sleep_for(std::chrono::milliseconds(20)), kill(pid, sig); };
}
std::function<void(pid_t)> todistro(std::function<void()> change) { return [change](pid_t) { change(); }; }

} // namespace

TEST(Faults, EveryStepEndsAsItShould)
{
    const char *installing = "Installing /pckg/iot/distros/lora_zl9ab.dist,";
    struct Step {
        simcard::Rule rule;
        const char *before; // the last line before the ERROR line
        const char *lastsent;
        double waits = 0; // seconds the reader must have waited
    } steps[] = {
        {simcard::hangup(Cmd::Setting), installing, "!$=E0\r"},
        {simcard::hangup(Cmd::Crc), installing, "!$?c\r"},
        {simcard::hangup(Cmd::Revision), "FW CRC A1B2C3D4,", "!C?V\r"},
        {simcard::hangup(Cmd::Begin), "Distro FW CRC DEADBEEF,", "!UBN0NCE\r"},
        {simcard::hangup(Cmd::Page, 1), "Firmware page 1: 4,", "!UF1.4.BBBB\r"},
        {simcard::hangup(Cmd::Done), "Firmware page 2: 6,", "!DONE\r"},
        {simcard::hangup(Cmd::Reboot), "Rebooting device,", "!@=*\r"},
        // A reply without CR LF keeps the reader waiting until the line is silent for 2 s.
        {simcard::raw(Cmd::Crc, {"0xAB\n"}), installing, "!$?c\r", 1.9},
    };
    for (const Step &step : steps) {
        Rig rig;
        rig.card.rules = {step.rule};
        auto start = std::chrono::steady_clock::now();
        Outcome out = run(rig);
        std::string name = std::string("at ") + step.lastsent;
        EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), step.waits) << name;
        EXPECT_EQ(out.status, 10) << name;
        ASSERT_GE(out.log.size(), 2u) << name;
        EXPECT_EQ(std::vector<std::string>(out.log.end() - 2, out.log.end()),
                  lines({step.before, "ERROR readrepl exit code: 10"})) << name;
        EXPECT_EQ(out.sent.back(), step.lastsent) << name;
    }
}

// What a gateway does to a run. A path that leads nowhere, or to something that is not a regular
// file, ends it with exit 9 at once; one program on the line at a time; a lost log reader, a
// hang-up or a closed stdout never cut an update short; a failing disk stops it cleanly.
TEST(Faults, Gateway)
{
    auto distroas = [](std::function<void()> make) { return [make](Rig &r) { r.distro = std::nullopt, r.prepare = make; }; };
    auto lock = std::make_shared<int>(-1);
    const std::vector<std::string> queried(QUERIES), all = QUERIES + SAMPLE_SENT + std::vector<std::string>{"!@=*\r"};
    const auto busy = std::vector<std::string>(HEAD.begin(), HEAD.begin() + 3) + lines({"Terminal busy,", "ERROR opentty exit code: 9"});
    struct Row {
        const char *name;
        std::function<void(Rig &)> change;
        std::vector<int> statuses;                    // of every updater started, sorted
        std::map<int, std::vector<std::string>> logs; // the last lines of a run, by status
        std::optional<std::vector<std::string>> sent;
    } rows[] = {
        {"terminal names no device", [](Rig &r) { r.linked = false; }, {9}, {{9, {"ERROR opentty exit code: 9"}}}, {{}}},
        {"distro missing", distroas(nullptr), {9}, {{9, {"ERROR install exit code: 9"}}}, queried},
        {"distro a directory", distroas([] { fs::create_directories(ZL9A_DISTRO); }), {9}, {{9, {"ERROR install exit code: 9"}}}, queried},
        {"distro a FIFO nobody writes", distroas([] { mkfifo(ZL9A_DISTRO.c_str(), 0600); }), {9},
         {{9, {"ERROR install exit code: 9"}}}, queried},
        {"two updaters started at once", race, {0, 9}, {{0, TAIL0}, {9, busy}}, all},
        {"terminal locked by another program", [lock](Rig &r) {
             r.prepare = [lock] { flock(*lock = open(SANDBOX_ROOT "/dev/ttyACM0", O_RDWR | O_NOCTTY | O_CLOEXEC), LOCK_EX); };
         }, {9}, {{9, busy}}, {{}}},
        {"log reader gone after the first lines", [](Rig &r) { r.keep = 100; }, {0}, {}, all},
        {"hang-up signal during the upload", [](Rig &r) { slow(r), r.tick = later({signal(SIGHUP)}); }, {0}, {{0, HEAD + SAMPLE_LOG + TAIL0}}, all},
        // A stop lets the exchange in flight end and sends nothing after it but the reboot, so
        // that a run after it finds nothing left on the line.
        {"stop signal during the upload, then a run again", [](Rig &r) { slow(r), r.again = true, r.tick = later({signal(SIGTERM)}); },
         {0, 6}, {{0, HEAD + SAMPLE_LOG + TAIL0}, {6, lines({"Firmware page 1: 4,", "Stopped by signal 15,", "Installation error on page2,",
                                                            "Rebooting device,", "Update status: 6,"})}},
         QUERIES + std::vector<std::string>{"!UBN0NCE\r", "!UF0.4.AAAA\r", "!UF1.4.BBBB\r", "!@=*\r"} + all},
        {"interrupt while a query is answered", [](Rig &r) { slow(r, Cmd::Crc), r.tick = later({signal(SIGINT)}); }, {6},
         {{6, HEAD + std::vector<std::string>(SAMPLE_LOG.begin(), SAMPLE_LOG.begin() + 7) +
                  lines({"Stopped by signal 2,", "Installation error on page0,", "Rebooting device,", "Update status: 6,"})}},
         QUERIES + std::vector<std::string>{"!@=*\r"}},
        {"a second stop, 0.5 s later, kills", [](Rig &r) { slow(r), r.tick = later({signal(SIGTERM), signal(SIGTERM)}); }, {128 + SIGTERM},
         {{128 + SIGTERM, lines({"Firmware page 1: 4,"})}}, std::nullopt},
        {"interrupt ignored by the caller", [](Rig &r) { slow(r), r.wrap = {"sh", "-c", "trap '' INT; exec \"$0\" \"$@\""}, r.tick = later({signal(SIGINT)}); },
         {0}, {{0, HEAD + SAMPLE_LOG + TAIL0}}, all},
        // A distro written or cut short while it is read is not finished; one renamed over it is
        // another file, and the open one is uploaded whole.
        {"distro appended to during the upload", [](Rig &r) {
             slow(r), r.tick = later({todistro([] { std::ofstream(ZL9A_DISTRO, std::ios::app) << "fw_git_sha=def456\n"; })});
         }, {6}, {{6, lines({"Firmware page 2: 6,", "fw_git_sha def456,", "Installation error on page3,", "Rebooting device,", "Update status: 6,"})}},
         std::nullopt},
        {"distro cut short during the upload", [](Rig &r) { slow(r), r.tick = later({todistro([] { fs::resize_file(ZL9A_DISTRO, 20); })}); },
         {6}, {{6, lines({"Firmware page 1: 4,", "Installation error on page2,", "Rebooting device,", "Update status: 6,"})}}, std::nullopt},
        {"distro renamed over during the upload", [](Rig &r) {
             slow(r), r.tick = later({todistro([] {
                 simcard::writefile("", ZL9A_DISTRO + ".new", "support=rev3\nfirmware=ZZZZ\n");
                 fs::rename(ZL9A_DISTRO + ".new", ZL9A_DISTRO);
             })});
         }, {0}, {{0, HEAD + SAMPLE_LOG + TAIL0}}, all},
        // A log line written to the card would break the first command.
        {"started with stdout closed", [](Rig &r) { r.wrap = {"sh", "-c", "exec \"$0\" \"$@\" >&-"}; }, {0}, {}, all},
        // strace fails the third and fourth reads of the distro, as the stream crosses into its
        // second 64 KiB: one of them is the stream's own. The 21 pages before go out whole (the
        // card's rules check it), then nothing but the reboot, though later reads succeed.
        {"disk failing under the distro", [](Rig &r) {
             r.distro = "support=rev3\n";
             for (int p = 0; p < 100; ++p) *r.distro += "firmware=" + std::string(3000, char('A' + p % 26)) + "\n";
             // LeakSanitizer cannot work under ptrace: a sanitized build checks for leaks elsewhere.
             r.wrap = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq", "-o", "/dev/null", "-P", ZL9A_DISTRO,
                       "-e", "trace=read", "-e", "inject=read:error=EIO:when=3..4"};
         }, {6}, {{6, lines({"Installation error on page21,", "Rebooting device,", "Update status: 6,"})}}, std::nullopt},
    };
    for (Row &row : rows) {
        Rig rig;
        row.change(rig);
        std::vector<Outcome> outs = runall(rig);
        std::vector<int> statuses;
        for (const Outcome &out : outs) {
            statuses.push_back(out.status);
            const std::vector<std::string> &last = row.logs[out.status];
            EXPECT_EQ(std::vector<std::string>(out.log.end() - long(std::min(last.size(), out.log.size())), out.log.end()), last)
                << row.name;
        }
        std::sort(statuses.begin(), statuses.end());
        EXPECT_EQ(statuses, row.statuses) << row.name;
        EXPECT_EQ(row.sent.value_or(outs[0].sent), outs[0].sent) << row.name;
        if (*lock >= 0) close(*lock);
        *lock = -1;
    }
}

// The fatal line numbers rise in the order of the checks in the source: opentty (no device, line
// in use), readrepl, install, update, then main's checks.
TEST(Faults, FatalLinesRiseInSourceOrder)
{
    std::function<void(Rig &)> changes[] = {
        [](Rig &s) { s.linked = false; },
        race,
        [](Rig &s) { s.card.rules = {simcard::hangup(Cmd::Crc)}; },
        [](Rig &s) { s.distro = std::nullopt; },
        [](Rig &s) { s.card.rules = {simcard::reply(Cmd::Reboot, "NO")}; },
        [](Rig &s) { s.args = {}; },
        [](Rig &s) { s.vendor = "1"; },
        [](Rig &s) { s.product = "1"; },
    };
    int last = 0;
    for (auto &change : changes) {
        Rig setup;
        change(setup);
        int line = 0;
        for (const Outcome &out : runall(setup)) line = std::max(line, out.fatalline);
        EXPECT_LT(last, line) << "after line " << last;
        last = line;
    }
}
