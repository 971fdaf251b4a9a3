// Runs the sandboxed updater against a simulated card and collects what can be seen of the run.
// Every run's dialogue is checked against the card's rules.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "simcard.hpp"

// A distro that exercises every known key, with what a run of it logs and sends from the
// installer on, when the card accepts it.
extern const std::string SAMPLE;
extern const std::vector<std::string> SAMPLE_LOG;
extern const std::vector<std::string> SAMPLE_SENT;

struct Rig {
    std::optional<std::string> distro = SAMPLE; // written to every distro path; none: absent
    std::function<void()> prepare;              // changes the sandbox once it is laid out
    std::optional<std::string> vendor = "3c5e\n";
    std::optional<std::string> product = "0310\n";
    simcard::Script card;
    std::vector<std::string> args = {"ttyACM0"};
    std::vector<std::string> wrap;             // a command the updater runs under (strace ...)
    bool linked = true;                        // /dev/ttyACM0 leads to the card
    int copies = 1;                            // updaters started at once on the one card
    bool again = false;                        // then one more run on the same card and line
    size_t keep = SIZE_MAX;                    // bytes of the log read before its reader goes
    std::function<void(pid_t)> tick;           // called while the (first) updater runs
};

struct Outcome {
    int status = -1;
    std::vector<std::string> log; // without "[UPD] " ("?" where it was missing); fatal
                                  // lines without file and line number
    std::vector<std::string> sent; // the commands the card received, each with its CR
    int fatalline = 0;             // the line number of the ERROR line, if any
};

// One outcome per copy of the updater, and one for the run again; they share the card, and so
// its commands.
std::vector<Outcome> runall(const Rig &setup);
Outcome run(const Rig &setup);
// Runs setup and checks the whole log, the status and, when given, every command sent.
void expect(const Rig &setup, const std::vector<std::string> &log, int status, const std::string &name,
            const std::optional<std::vector<std::string>> &sent = std::nullopt);

// Expected log lines; a line ending in "," gets the terminal name " ttyACM0" after it.
std::vector<std::string> lines(std::vector<std::string> pieces);
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b);

extern const std::string ZL9A_DISTRO;            // the ZL9A's distro file in the sandbox
extern const std::vector<std::string> HEAD;     // the first five lines of a run on a ZL9A card
extern const std::vector<std::string> QUERIES;  // the three queries of every session
extern const std::vector<std::string> TAIL0;    // the reboot and a status of 0
