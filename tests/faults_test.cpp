// Faults at every step of a run, and what a gateway does to a run: paths that are not what they
// should be, a second program on the card's line, a log reader that goes away, a failing disk.
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "harness.hpp"

using simcard::Cmd;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> ALL_SENT = QUERIES + SAMPLE_SENT + std::vector<std::string>{"!@=*\r"};
const std::vector<std::string> ALL_LOG = HEAD + SAMPLE_LOG + TAIL0;
const std::vector<std::string> BUSY =
    std::vector<std::string>(HEAD.begin(), HEAD.begin() + 3) + lines({"Terminal busy,", "ERROR opentty exit code: 9"});

double since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

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
        EXPECT_GE(since(start), step.waits) << name;
        EXPECT_EQ(out.status, 10) << name;
        ASSERT_GE(out.log.size(), 2u) << name;
        EXPECT_EQ(out.log.back(), "ERROR readrepl exit code: 10") << name;
        EXPECT_EQ(out.log[out.log.size() - 2], lines({step.before})[0]) << name;
        EXPECT_EQ(out.sent.back(), step.lastsent) << name;
        EXPECT_EQ(std::count(out.sent.begin(), out.sent.end(), step.lastsent), 1) << name;
    }
}

// A path that leads nowhere, or to something that is not a regular file, ends the run with
// exit 9 at once: nothing blocks, and the card gets no upload and no reboot.
TEST(Faults, FilesAndDevices)
{
    auto distroas = [](std::function<void()> make) {
        return [make](Rig &r) {
            r.distro = std::nullopt;
            r.prepare = make;
        };
    };
    struct Row {
        const char *name;
        std::function<void(Rig &)> change;
        int status;
        const char *last;
        size_t sent;
    } rows[] = {
        {"terminal names no device", [](Rig &r) { r.linked = false; }, 9, "ERROR opentty exit code: 9", 0},
        {"distro missing", distroas(nullptr), 9, "ERROR install exit code: 9", 3},
        {"distro a dangling link", distroas([] { fs::create_symlink("nowhere.dist", ZL9A_DISTRO); }), 9,
         "ERROR install exit code: 9", 3},
        {"distro a directory", distroas([] { fs::create_directories(ZL9A_DISTRO); }), 9, "ERROR install exit code: 9", 3},
        {"distro a FIFO nobody writes", distroas([] { mkfifo(ZL9A_DISTRO.c_str(), 0600); }), 9,
         "ERROR install exit code: 9", 3},
        {"sysfs files missing", [](Rig &r) { r.vendor = r.product = std::nullopt; }, 2, "ERROR main exit code: 2", 0},
    };
    for (Row &row : rows) {
        Rig rig;
        row.change(rig);
        Outcome out = run(rig);
        EXPECT_EQ(out.status, row.status) << row.name;
        EXPECT_EQ(out.log.back(), lines({row.last})[0]) << row.name;
        EXPECT_EQ(out.sent, std::vector<std::string>(QUERIES.begin(), QUERIES.begin() + long(row.sent))) << row.name;
    }
}

// One program on a card's line at a time, and an update that outlives its log reader.
TEST(Gateway, SharedLineAndLostReader)
{
    auto lock = std::make_shared<int>(-1);
    struct Row {
        const char *name;
        std::function<void(Rig &)> change;
        std::vector<int> statuses;                      // of every updater started, in order
        std::map<int, std::vector<std::string>> logs;   // by status; none: not looked at
        std::vector<std::string> sent;
    } rows[] = {
        // The first updater holds the line for half a second while its first reply comes in.
        {"two updaters started at once", [](Rig &r) {
             r.copies = 2;
             r.card.gapms = 500;
             r.card.rules = {simcard::raw(Cmd::Setting, {"O", "K\r\n"})};
         }, {0, 9}, {{0, ALL_LOG}, {9, BUSY}}, ALL_SENT},
        {"terminal locked by another program", [lock](Rig &r) {
             r.prepare = [lock] {
                 *lock = open(SANDBOX_ROOT "/dev/ttyACM0", O_RDWR | O_NOCTTY | O_CLOEXEC);
                 flock(*lock, LOCK_EX);
             };
         }, {9}, {{9, BUSY}}, {}},
        {"log reader gone after the first lines", [](Rig &r) { r.keep = 100; }, {0}, {}, ALL_SENT},
        // The card takes a second over page 1; the updater's session hangs up meanwhile.
        {"hang-up signal during the upload", [](Rig &r) {
             r.card.gapms = 1000;
             r.card.rules = {simcard::raw(Cmd::Page, {"O", "K\r\n"})};
             auto start = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
             r.tick = [start](pid_t pid) {
                 if (since(*start) > 0.5) kill(pid, SIGHUP);
             };
         }, {0}, {{0, ALL_LOG}}, ALL_SENT},
        // A log line written to the card would break the first command.
        {"started with stdout closed", [](Rig &r) { r.wrap = {"sh", "-c", "exec \"$0\" \"$@\" >&-"}; }, {0}, {{0, {}}}, ALL_SENT},
    };
    for (Row &row : rows) {
        Rig rig;
        row.change(rig);
        std::vector<Outcome> outs = runall(rig);
        std::vector<int> statuses;
        for (const Outcome &out : outs) {
            statuses.push_back(out.status);
            if (row.logs.count(out.status)) {
                EXPECT_EQ(out.log, row.logs[out.status]) << row.name;
            }
        }
        std::sort(statuses.begin(), statuses.end());
        EXPECT_EQ(statuses, row.statuses) << row.name;
        EXPECT_EQ(outs[0].sent, row.sent) << row.name;
        if (*lock >= 0) close(*lock);
        *lock = -1;
    }
}

// A disk that fails under the distro (strace fails every read of the file from the third on) ends
// the upload with no page cut short and no "!DONE"; the card is rebooted.
TEST(Gateway, DistroReadError)
{
    if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    Rig rig;
    rig.distro = "support=rev3\n";
    for (int p = 0; p < 100; ++p) *rig.distro += "firmware=" + std::string(3000, char('A' + p % 26)) + "\n";
    rig.wrap = {"strace", "-f", "-qq", "-o", "/dev/null", "-P", ZL9A_DISTRO, "-e", "trace=read",
                "-e", "inject=read:error=EIO:when=3+"};
    Outcome out = run(rig);
    EXPECT_EQ(out.status, 6);
    // The pages before the failed read went out; the card's rules check that each was whole.
    size_t pages = out.sent.size() - 3 - 1 - 1;
    EXPECT_GT(pages, 0u);
    EXPECT_LT(pages, 100u);
    ASSERT_GE(out.log.size(), 3u);
    EXPECT_EQ(out.log[out.log.size() - 3], lines({"Installation error on page" + std::to_string(pages) + ","})[0]);
    EXPECT_EQ(out.sent.back(), "!@=*\r");
}

// The fatal line numbers rise in the order of the checks in the source: opentty, readrepl,
// install, update, then main's checks.
TEST(FatalLines, NumbersRiseInSourceOrder)
{
    auto fatalline = [](std::function<void(Rig &)> change) {
        Rig setup;
        change(setup);
        int line = 0;
        for (const Outcome &out : runall(setup)) line = std::max(line, out.fatalline);
        return line;
    };
    std::vector<int> numbers = {
        fatalline([](Rig &s) { s.linked = false; }),
        fatalline([](Rig &s) { s.copies = 2, s.card.gapms = 500, s.card.rules = {simcard::raw(Cmd::Setting, {"O", "K\r\n"})}; }),
        fatalline([](Rig &s) { s.card.rules = {simcard::hangup(Cmd::Crc)}; }),
        fatalline([](Rig &s) { s.distro = std::nullopt; }),
        fatalline([](Rig &s) { s.card.rules = {simcard::reply(Cmd::Reboot, "NO")}; }),
        fatalline([](Rig &s) { s.args = {}; }),
        fatalline([](Rig &s) { s.vendor = "1"; }),
        fatalline([](Rig &s) { s.product = "1"; }),
    };
    for (size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_GT(numbers[i], 0) << i;
        if (i > 0) {
            EXPECT_LT(numbers[i - 1], numbers[i]) << i;
        }
    }
}
