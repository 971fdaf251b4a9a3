// End-to-end runs of the installer: how distro files parse, what goes to the card, the results.
#include <gtest/gtest.h>

#include "harness.hpp"

using simcard::Cmd;
using namespace std::string_literals;

namespace {

struct Row {
    const char *name;
    std::string distro;
    std::vector<std::string> log;  // the installer's lines
    std::vector<std::string> sent; // the installer's commands
    int status;
    std::vector<simcard::Rule> rules = {};
};

std::string page(size_t n, char c = 'P') { return std::string(n, c); }

// Runs each row with the default card and checks the whole log, every command and the status.
void check(const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        Rig setup;
        setup.distro = row.distro;
        setup.card.rules = row.rules;
        expect(setup, HEAD + row.log + lines({"Rebooting device,", "Update status: " + std::to_string(row.status) + ","}),
               row.status, row.name, QUERIES + row.sent + std::vector<std::string>{"!@=*\r"});
    }
}

const std::vector<std::string> DONE_SENT = {"!DONE\r"};
const std::vector<std::string> DONE = lines({"Done OK,"});
const std::vector<std::string> SUPPORTS = lines({"Distro supports rev3,", "Device supports distro,"});

} // namespace

TEST(Distro, KeysAndDecisions)
{
    check({
        {"every key, reboot reply of blanks", SAMPLE, SAMPLE_LOG, SAMPLE_SENT, 0, {reply(Cmd::Reboot, "     ")}},
        {"already installed", "support=rev3\nfw_crc=A1B2C3D4\nfirmware=AA\n",
         SUPPORTS + lines({"Distro FW CRC A1B2C3D4,", "Current distro already installed,"}), {}, 1},
        {"no firmware", "support=rev3\nbegin=X\n", SUPPORTS + lines({"Distro nonce X,", "Done OK,"}), DONE_SENT, 0},
        {"second support token matches", "support=rev1 rev3\nfirmware=AB\n",
         lines({"Distro supports rev1,"}) + SUPPORTS + lines({"Firmware page 0: 2,", "Done OK,"}),
         {"!UB\r", "!UF0.2.AB\r", "!DONE\r"}, 0},
        {"not supported", "support=rev2\nfirmware=AB\n", lines({"Distro supports rev2,", "Distro not supported,"}), {}, 2},
        {"support tested before the CRC", "fw_crc=A1B2C3D4\nfirmware=AB\n",
         lines({"Distro FW CRC A1B2C3D4,", "Distro not supported,"}), {}, 2},
        {"installed CRC without firmware", "support=rev3\nfw_crc=A1B2C3D4\n", SUPPORTS + lines({"Distro FW CRC A1B2C3D4,", "Done OK,"}),
         DONE_SENT, 0},
        {"support after the first page is too late", "firmware=AB\nsupport=rev3\n", lines({"Distro not supported,"}), {}, 2},
        {"pages numbered on across lines, one begin", "support=rev3\nbegin=N\nfirmware=A B\nfw_version=9\nfirmware=C\nbegin=M\n",
         SUPPORTS + lines({"Distro nonce N,", "Firmware page 0: 1,", "Firmware page 1: 1,", "fw_version 9,", "Firmware page 2: 1,",
                           "Distro nonce M,", "Done OK,"}),
         {"!UBN\r", "!UF0.1.A\r", "!UF1.1.B\r", "!UF2.1.C\r", "!DONE\r"}, 0},
        {"later begin replaces the nonce", "support=rev3\nbegin=N1 N2\nfirmware=" + page(256) + "\n",
         SUPPORTS + lines({"Distro nonce N1,", "Distro nonce N2,", "Firmware page 0: 256,", "Done OK,"}),
         {"!UBN2\r", "!UF0.256." + page(256) + "\r", "!DONE\r"}, 0},
        {"unknown keys are silent", "other=1 2\nsupport=rev3\nSupport=rev3\n", SUPPORTS + DONE, DONE_SENT, 0},
    });
}

// How the scan formats read unusual lines.
TEST(Distro, LineShapes)
{
    check({
        {"CR LF line ends and blank lines", "support=rev3\r\n\r\n\n  \nfw_version=1\r\n", SUPPORTS + lines({"fw_version 1,", "Done OK,"}),
         DONE_SENT, 0},
        {"first line blank loses the first key line", "\nsupport=rev3\nfw_version=1\n", lines({"fw_version 1,", "Done OK,"}), DONE_SENT, 0},
        {"blank before the equals sign", "support =rev3\nfw_version=1\n", lines({"fw_version 1,", "Done OK,"}), DONE_SENT, 0},
        {"line without equals runs into the next", "junk\nsupport=rev3\nfw_version=1\n", lines({"fw_version 1,", "Done OK,"}),
         DONE_SENT, 0},
        {"empty value takes the next word", "fw_version=\nsupport=rev3 x\nfw_git_sha=g\nfw_version=2\n",
         lines({"fw_version support=rev3,", "fw_version 2,", "Done OK,"}), DONE_SENT, 0},
        {"blanks only after the equals sign", "fw_version=  \t\nfw_git_sha=g\n", lines({"fw_version fw_git_sha=g,", "Done OK,"}),
         DONE_SENT, 0},
        {"line starting with equals ends the parse", "fw_version=1\n =x\nsupport=rev3\n", lines({"fw_version 1,", "Done OK,"}),
         DONE_SENT, 0},
        {"CR alone as line end makes one key line", "support=rev3\rfw_version=1\rfirmware=AB\r",
         SUPPORTS + lines({"Distro supports fw_version=1,", "Distro supports firmware=AB,", "Done OK,"}), DONE_SENT, 0},
        {"key without a value at the end", "fw_version=1\nsupport=", lines({"fw_version 1,", "Done OK,"}), DONE_SENT, 0},
        {"key without equals at the end", "fw_version=1\nsupport", lines({"fw_version 1,", "Done OK,"}), DONE_SENT, 0},
        {"key too long matches nothing, parse goes on", page(40, 'k') + "=v w\nfw_version=1\n", lines({"fw_version 1,", "Done OK,"}),
         DONE_SENT, 0},
        {"NUL inside a key", "fw_version\0x=1\nfw_git_sha=g\n"s, lines({"fw_git_sha g,", "Done OK,"}), DONE_SENT, 0},
        {"empty file", "", DONE, DONE_SENT, 0},
    });
}

// Pages at and past what fits the 4096-byte command buffer, nonces at and past their 64-byte
// field, and the card's refusals.
TEST(Distro, LimitsAndRefusals)
{
    const std::string fits = page(4084);     // "!UF0.4084." + 4084 + CR is 4095 bytes
    const std::string too_long = page(4085); // one more and the NUL does not fit
    check({
        {"longest page that fits", "support=rev3\nfirmware=" + fits + "\n",
         SUPPORTS + lines({"Firmware page 0: 4084,", "Done OK,"}), {"!UB\r", "!UF0.4084." + fits + "\r", "!DONE\r"}, 0},
        {"page command one byte too long", "support=rev3\nfirmware=" + too_long + "\n",
         SUPPORTS + lines({"Firmware page 0: 4085,", "Installation error on page0,"}), {"!UB\r"}, 6},
        {"token longer than its field is not split", "support=rev3\nfirmware=A " + page(5000) + " B\n",
         SUPPORTS + lines({"Firmware page 0: 1,", "Firmware page 1: 5000,", "Installation error on page1,"}), {"!UB\r", "!UF0.1.A\r"}, 6},
        {"token with a NUL is not sent", "support=rev3\nfirmware=" + "AB\0CD"s + "\n",
         SUPPORTS + lines({"Firmware page 0: 5,", "Installation error on page0,"}), {"!UB\r"}, 6},
        {"longest nonce", "support=rev3\nbegin=" + page(63, 'n') + "\nfirmware=A\n",
         SUPPORTS + lines({"Distro nonce " + page(63, 'n') + ",", "Firmware page 0: 1,", "Done OK,"}),
         {"!UB" + page(63, 'n') + "\r", "!UF0.1.A\r", "!DONE\r"}, 0},
        {"nonce too long is never cut", "support=rev3\nbegin=" + page(64, 'n') + "\nfirmware=A\n",
         SUPPORTS + lines({"Distro nonce " + page(64, 'n') + ",", "Installation error,"}), {}, 5},
        {"overlong token logged cut to its field", "support=rev3" + page(5000, ' ') + page(4100, 'r') + "\nfirmware=A\n",
         SUPPORTS + lines({"Distro supports " + page(4095, 'r') + ",", "Firmware page 0: 1,", "Done OK,"}),
         {"!UB\r", "!UF0.1.A\r", "!DONE\r"}, 0},
        {"begin refused by a blank", "support=rev3\nfirmware=A B\n", SUPPORTS + lines({"Installation error,"}), {"!UB\r"}, 5,
         {reply(Cmd::Begin, " ")}},
        {"page refused", "support=rev3\nfirmware=A B C\n",
         SUPPORTS + lines({"Firmware page 0: 1,", "Firmware page 1: 1,", "Installation error on page1,"}),
         {"!UB\r", "!UF0.1.A\r", "!UF1.1.B\r"}, 6, {reply(Cmd::Page, "ERR", 1)}},
        // The card's words are only logged: a "Done" reply that reads like a refusal is not one.
        {"OK anywhere in a page reply", "support=rev3\nfirmware=A\n",
         SUPPORTS + lines({"Firmware page 0: 1,", "Done Installation error on page1, ttyACM0,"}), {"!UB\r", "!UF0.1.A\r", "!DONE\r"}, 0,
         {reply(Cmd::Page, "page stored OK 1"), reply(Cmd::Done, "Installation error on page1, ttyACM0")}},
    });
}

// The stream reads the file 64 KiB at a time, and the line-end mark looks ahead past a block's
// end: pages and keys astride a block's end read whole.
TEST(Distro, TokensAstrideReadBlocks)
{
    std::string distro = "support=rev3\nfirmware=";
    std::vector<std::string> log = lines({"Distro supports rev3,", "Device supports distro,"}), sent = {"!UB\r"};
    for (int p = 0; p < 40; ++p) { // 40 pages of 3001 to 3040 characters: 120 KiB
        std::string token = page(3001 + size_t(p), char('A' + p % 26));
        distro += token + (p % 7 == 6 ? "\nfw_version=" + std::to_string(p) + "\nfirmware=" : " ");
        log.push_back(lines({"Firmware page " + std::to_string(p) + ": " + std::to_string(token.size()) + ","})[0]);
        sent.push_back("!UF" + std::to_string(p) + "." + std::to_string(token.size()) + "." + token + "\r");
        if (p % 7 == 6) log.push_back(lines({"fw_version " + std::to_string(p) + ","})[0]);
    }
    check({{"pages over three blocks", distro + page(70000, 'x') + "\n", log + lines({"Firmware page 40: 70000,", "Installation error on page40,"}), sent, 6}});
}
