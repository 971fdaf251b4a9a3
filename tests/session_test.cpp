// End-to-end runs of the sandboxed updater: identification, reply reading, the session's rules.
#include <filesystem>

#include <gtest/gtest.h>

#include "harness.hpp"

using simcard::Cmd;
using namespace std::string_literals;

TEST(Identification, UsageAndCardTable)
{
    const std::vector<std::string> START = lines({"Running LoRa firmware updater,"});
    auto unknown = [&](const char *id) { return START + lines({"Unkonwn product id:"s + id + " ,", "ERROR main exit code: 2"}); };
    auto vendor = [&](const char *id) { return START + lines({"vendor "s + id + " is not supported,", "ERROR main exit code: 2"}); };
    struct Row {
        const char *name;
        std::vector<std::string> args;
        std::optional<std::string> vendor, product;
        std::vector<std::string> log;
        int status;
    } rows[] = {
        {"no argument", {}, "3c5e\n", "0310\n", {"ERROR main exit code: 7"}, 7},
        {"wrong vendor, in decimal", {"ttyACM0"}, "1234\n", std::nullopt, vendor("4660"), 2},
        {"vendor file missing", {"ttyACM0"}, std::nullopt, "0310\n", vendor("0"), 2},
        {"vendor not hex", {"ttyACM0"}, "zz3c5e\n", "0310\n", vendor("0"), 2},
        {"vendor too large, in a huge file", {"ttyACM0"}, std::string(1 << 20, 'f'), "0310\n", vendor("4294967295"), 2},
        {"vendor trimmed of blanks and NULs", {"ttyACM0"}, " \t3C5E\r\n\0"s, "0315\n", unknown("789"), 2},
        {"product one past the table", {"ttyACM0"}, "3c5e\n", "0315\n", unknown("789"), 2},
        {"product below the table", {"ttyACM0"}, "3c5e\n", "030f\n", unknown("783"), 2},
        {"terminal with a directory part", {"/dev/ttyACM0"}, "3c5e\n", "0310\n",
         {"Running LoRa firmware updater, /dev/ttyACM0", "vendor 0 is not supported, /dev/ttyACM0", "ERROR main exit code: 2"}, 2},
    };
    for (const Row &row : rows) {
        Rig setup;
        setup.args = row.args;
        setup.vendor = row.vendor;
        setup.product = row.product;
        expect(setup, row.log, row.status, row.name, std::vector<std::string>{});
    }
}

TEST(Identification, EveryModelGetsItsDistro)
{
    const char *rows[][3] = {{"0310", "ZL9A", "lora_zl9ab.dist"},   {"0311", "ZL9B", "lora_zl9ab.dist"},
                             {"0312", "ZL9C", "lora_gw_2g4.dist"},  {"0313", "ZL9AH", "lora_zl9abH.dist"},
                             {"0314", "ZL9BH", "lora_zl9abH.dist"}};
    for (auto &row : rows) {
        Rig setup;
        setup.product = std::string(row[0]);
        setup.args = {"ttyACM0", "ignored"};
        // Only the model's own distro exists: a run that opened another would end in exit 9.
        setup.prepare = [own = std::string(row[2])] {
            for (const auto &file : std::filesystem::directory_iterator(ZL9A_DISTRO.substr(0, ZL9A_DISTRO.rfind('/'))))
                if (file.path().filename() != own) std::filesystem::remove(file.path());
        };
        std::vector<std::string> head = HEAD;
        head[1] = lines({"Updating "s + row[1] + " card,"})[0];
        head[2] = lines({"Installing /pckg/iot/distros/"s + row[2] + ","})[0];
        expect(setup, head + SAMPLE_LOG + TAIL0, 0, row[1], QUERIES + SAMPLE_SENT + std::vector<std::string>{"!@=*\r"});
    }
}

// The CRC and revision lines show what the reply reader made of the card's bytes.
TEST(ReplyReading, QueriesAsTheCardAnswersThem)
{
    struct Row {
        const char *name;
        std::vector<simcard::Rule> rules;
        std::vector<std::string> queries; // the "FW CRC" and "Device revision" lines
        std::vector<std::string> after = lines({"Done OK,"}) + TAIL0;
        std::string waiting = "";         // on the line before the updater opens it
    } rows[] = {
        {"plain replies", {}, lines({"FW CRC A1B2C3D4,", "Device revision rev3,"})},
        {"reply and its CR LF over several reads", {raw(Cmd::Crc, {"0x", "12", "34\r", "\n"})}, lines({"FW CRC 1234,", "Device revision rev3,"})},
        {"two characters or fewer", {reply(Cmd::Crc, "ab"), reply(Cmd::Revision, "r2")}, lines({"FW CRC n/a,", "Device revision r1,"})},
        {"length taken before trimming", {reply(Cmd::Crc, "ab "), reply(Cmd::Revision, "   ")}, lines({"FW CRC ,", "Device revision ,"})},
        {"trailing blanks and controls trimmed", {raw(Cmd::Crc, {"0xCAFE \t\x01\r\n"}), reply(Cmd::Revision, "rev3  \t")},
         lines({"FW CRC CAFE,", "Device revision rev3,"})},
        // XON and XOFF are data too: flow control by the line would swallow them.
        {"tab, 0xFF, NUL, XON and XOFF become blanks", {raw(Cmd::Crc, {"0x\tF\xff" "F\0G\x11\x13H\r\n"s})},
         lines({"FW CRC  F F G  H,", "Device revision rev3,"})},
        {"lone CR and LF stay", {raw(Cmd::Crc, {"0xA\rB\nC\r\n"})}, lines({"FW CRC A\rB", "?C,", "Device revision rev3,"})},
        {"bytes after the CR LF are dropped", {raw(Cmd::Crc, {"0xAB\r\nstale\r\n"})}, lines({"FW CRC AB,", "Device revision rev3,"})},
        // 70 characters into 64 bytes: 63 are kept, the 64th is lost under the NUL and the
        // last six begin the next reply.
        {"cut at capacity", {raw(Cmd::Setting, {std::string(60, 's') + "0123456789\r\n"}), silent(Cmd::Crc)},
         lines({"FW CRC 6789,", "Device revision rev3,"})},
        // The card keeps quiet at "!DONE", so the rest is all the updater reads there.
        {"revision cut at capacity, its rest read as the next reply",
         {raw(Cmd::Revision, {std::string(60, 's') + "0123456789\r\n"}), silent(Cmd::Done)},
         lines({"FW CRC A1B2C3D4,", "Device revision " + std::string(60, 's') + "012,"}), lines({"Done 456789,"}) + TAIL0},
        {"bytes waiting on the line begin the first reply", {silent(Cmd::Setting)},
         lines({"FW CRC A1B2C3D4,", "Device revision rev3,"}), lines({"Done OK,"}) + TAIL0, "OK\r\n"},
    };
    for (const Row &row : rows) {
        Rig setup;
        setup.distro = "";
        setup.card.rules = row.rules;
        setup.card.waiting = row.waiting;
        expect(setup, std::vector<std::string>(HEAD.begin(), HEAD.begin() + 3) + row.queries + row.after, 0, row.name);
    }
}

// The reboot follows every result (see the distro tables); a reply left after trimming is a
// refusal, reported by its length.
TEST(Session, RebootRefused)
{
    Rig setup;
    setup.card.rules = {reply(Cmd::Reboot, "ab   ")};
    expect(setup, HEAD + SAMPLE_LOG + lines({"Rebooting device,", "Reboot error: 2", "ERROR update exit code: 10"}), 10, "refused");
}
