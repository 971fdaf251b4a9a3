// Faults at every step of a run: how it ends, what it logs last, and that nothing more reaches
// the card after the failure.
#include <filesystem>

#include <gtest/gtest.h>

#include "harness.hpp"

using simcard::Cmd;
namespace fs = std::filesystem;

TEST(Faults, EveryStepEndsAsItShould)
{
    struct Step {
        Cmd cmd;
        int page;
        const char *before; // the last line before the ERROR line
        const char *lastsent;
    } steps[] = {
        {Cmd::Setting, -1, "Installing /pckg/iot/distros/lora_zl9ab.dist,", "!$=E0\r"},
        {Cmd::Crc, -1, "Installing /pckg/iot/distros/lora_zl9ab.dist,", "!$?c\r"},
        {Cmd::Revision, -1, "FW CRC A1B2C3D4,", "!C?V\r"},
        {Cmd::Begin, -1, "Distro FW CRC DEADBEEF,", "!UBN0NCE\r"},
        {Cmd::Page, 1, "Firmware page 1: 4,", "!UF1.4.BBBB\r"},
        {Cmd::Done, -1, "Firmware page 2: 6,", "!DONE\r"},
        {Cmd::Reboot, -1, "Rebooting device,", "!@=*\r"},
    };
    for (bool hangup : {true, false}) {
        for (const Step &step : steps) {
            Rig rig;
            rig.card.rules = {hangup ? simcard::hangup(step.cmd, step.page) : simcard::silent(step.cmd, step.page)};
            Outcome out = run(rig);
            std::string name = std::string(hangup ? "hang-up at " : "silence at ") + step.lastsent;
            EXPECT_EQ(out.status, 10) << name;
            ASSERT_GE(out.log.size(), 2u) << name;
            EXPECT_EQ(out.log.back(), "ERROR readrepl exit code: 10") << name;
            EXPECT_EQ(out.log[out.log.size() - 2], lines({step.before})[0]) << name;
            EXPECT_EQ(out.sent.back(), step.lastsent) << name;
            EXPECT_EQ(std::count(out.sent.begin(), out.sent.end(), step.lastsent), 1) << name;
        }
    }
}

TEST(Faults, FilesAndDevices)
{
    struct Row {
        const char *name;
        std::function<void(Rig &)> change;
        int status;
        const char *last;
        bool queried, rebooted;
    } rows[] = {
        {"terminal names no device", [](Rig &r) { r.linked = false; }, 9, "ERROR opentty exit code: 9", false, false},
        {"distro missing", [](Rig &r) { r.distro = std::nullopt; }, 9, "ERROR install exit code: 9", true, false},
        {"distro a dangling link", [](Rig &r) {
             r.distro = std::nullopt;
             r.prepare = [] { fs::create_symlink("nowhere.dist", ZL9A_DISTRO); };
         }, 9, "ERROR install exit code: 9", true, false},
        // A directory opens, then reads as an empty file.
        {"distro a directory", [](Rig &r) {
             r.distro = std::nullopt;
             r.prepare = [] { fs::create_directories(ZL9A_DISTRO); };
         }, 0, "Update status: 0,", true, true},
        {"sysfs files missing", [](Rig &r) { r.vendor = r.product = std::nullopt; }, 2, "ERROR main exit code: 2", false, false},
    };
    for (Row &row : rows) {
        Rig rig;
        row.change(rig);
        Outcome out = run(rig);
        EXPECT_EQ(out.status, row.status) << row.name;
        EXPECT_EQ(out.log.back(), lines({row.last})[0]) << row.name;
        EXPECT_EQ(out.sent.size() >= 3 && out.sent[2] == "!C?V\r", row.queried) << row.name;
        EXPECT_EQ(!out.sent.empty() && out.sent.back() == "!@=*\r", row.rebooted) << row.name;
        EXPECT_EQ(out.sent.size(), row.rebooted ? 5u : row.queried ? 3u : 0u) << row.name;
    }
}
