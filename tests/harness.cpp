#include "harness.hpp"

#include <filesystem>
#include <future>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "run.hpp"

namespace fs = std::filesystem;

const std::vector<std::string> HEAD = lines({"Running LoRa firmware updater,", "Updating ZL9A card,",
                                             "Installing /pckg/iot/distros/lora_zl9ab.dist,",
                                             "FW CRC A1B2C3D4,", "Device revision rev3,"});
const std::string ZL9A_DISTRO = SANDBOX_ROOT "/pckg/iot/distros/lora_zl9ab.dist";
const std::vector<std::string> QUERIES = {"!$=E0\r", "!$?c\r", "!C?V\r"};
const std::vector<std::string> TAIL0 = lines({"Rebooting device,", "Update status: 0,"});

std::vector<std::string> lines(std::vector<std::string> pieces)
{
    for (std::string &line : pieces)
        if (!line.empty() && line.back() == ',') line += " ttyACM0";
    return pieces;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

namespace {

std::vector<std::string> command(const Rig &setup)
{
    std::vector<std::string> argv = setup.wrap;
    std::istringstream launcher(UPDATER_LAUNCHER); // a cross-build's emulator, "|" between words
    for (std::string word; std::getline(launcher, word, '|');) argv.push_back(word);
    argv.push_back(UPDATER_BIN);
    argv.insert(argv.end(), setup.args.begin(), setup.args.end());
    return argv;
}

// The log split into lines, the prefix and the fatal line's place taken off.
Outcome parse(const simcard::Ended &ended, bool whole)
{
    Outcome outcome;
    outcome.status = ended.status;
    static const std::regex fatal("ERROR updater/updater\\.cpp:([1-9][0-9]*) (.*)");
    const std::string &text = ended.out;
    size_t from = 0;
    for (size_t lf; (lf = text.find('\n', from)) != std::string::npos; from = lf + 1) {
        std::string line = text.substr(from, lf - from);
        // A line without the prefix (a reply's own line feed split it) is kept marked with "?".
        line = line.compare(0, 6, "[UPD] ") == 0 ? line.substr(6) : "?" + line;
        std::smatch m;
        if (std::regex_match(line, m, fatal)) {
            outcome.fatalline = std::stoi(m[1]);
            line = "ERROR " + m[2].str();
        }
        outcome.log.push_back(line);
    }
    EXPECT_TRUE(from == text.size() || !whole) << "output does not end in a line feed";
    return outcome;
}

} // namespace

std::vector<Outcome> runall(const Rig &setup)
{
    simcard::layout(SANDBOX_ROOT, "ttyACM0", setup.vendor, setup.product);
    for (const char *name : {"lora_zl9ab.dist", "lora_gw_2g4.dist", "lora_zl9abH.dist"}) {
        fs::remove_all(SANDBOX_ROOT "/pckg/iot/distros/" + std::string(name));
        if (setup.distro) simcard::writefile(SANDBOX_ROOT, "/pckg/iot/distros/" + std::string(name), *setup.distro);
    }
    simcard::Script script = setup.card;
    script.distro = setup.distro;
    script.reboots = setup.again;
    simcard::Card card(SANDBOX_ROOT, "ttyACM0", script);
    if (!setup.linked) fs::remove(SANDBOX_ROOT + std::string("/dev/ttyACM0"));
    if (setup.prepare) setup.prepare();
    card.start();
    std::vector<std::future<simcard::Ended>> runs;
    for (int i = 0; i < setup.copies; ++i)
        runs.push_back(std::async(std::launch::async, [&, i] {
            return simcard::runprogram({command(setup), 20, false, setup.keep, i == 0 ? setup.tick : nullptr});
        }));
    std::vector<Outcome> outcomes;
    for (auto &r : runs) {
        simcard::Ended ended = r.get();
        EXPECT_FALSE(ended.killed) << "the updater did not end in time";
        outcomes.push_back(parse(ended, setup.keep == SIZE_MAX));
    }
    if (setup.again) outcomes.push_back(parse(simcard::runprogram({command(setup), 20, false, SIZE_MAX, nullptr}), true));
    card.stop();
    // Copies started at once share one dialogue; a run again has one of its own.
    std::vector<simcard::Dialogue> dialogues = card.dialogues();
    EXPECT_EQ(dialogues.size(), setup.again ? outcomes.size() : 1) << "dialogues";
    for (size_t i = 0; i < outcomes.size(); ++i) dialogues[std::min(i, dialogues.size() - 1)].ended(outcomes[i].status);
    for (const simcard::Dialogue &dialogue : dialogues)
        EXPECT_EQ(dialogue.broken(), std::vector<std::string>{}) << "the card's rules";
    for (Outcome &o : outcomes) o.sent = card.commands();
    return outcomes;
}

Outcome run(const Rig &setup)
{
    return runall(setup)[0];
}

void expect(const Rig &setup, const std::vector<std::string> &log, int status, const std::string &name,
            const std::optional<std::vector<std::string>> &sent)
{
    Outcome out = run(setup);
    EXPECT_EQ(out.log, log) << name;
    EXPECT_EQ(out.status, status) << name;
    EXPECT_EQ(sent.value_or(out.sent), out.sent) << name;
}

const std::string SAMPLE = "support=rev2 rev3\nbegin=N0NCE\nfw_version=1.2.3\nfw_git_sha=abc123\n"
                           "fw_crc=DEADBEEF\nfirmware=AAAA BBBB\r\nfirmware=CCCCCC\n";
const std::vector<std::string> SAMPLE_LOG =
    lines({"Distro supports rev2,", "Distro supports rev3,", "Device supports distro,", "Distro nonce N0NCE,",
           "fw_version 1.2.3,", "fw_git_sha abc123,", "Distro FW CRC DEADBEEF,", "Firmware page 0: 4,",
           "Firmware page 1: 4,", "Firmware page 2: 6,", "Done OK,"});
const std::vector<std::string> SAMPLE_SENT = {"!UBN0NCE\r", "!UF0.4.AAAA\r", "!UF1.4.BBBB\r", "!UF2.6.CCCCCC\r",
                                              "!DONE\r"};
