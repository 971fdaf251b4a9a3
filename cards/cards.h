// lora-cards: keeps every LoRa card of the gateway on its distro, and shows what happened to each.
//
//   lora-cards                shows each card's state, one line per card
//   lora-cards --forget PORT  forgets the state of the card on USB port PORT: it is updated again
//   lora-cards --hold         no card is updated until --release, across reboots and distro drops
//   lora-cards --release      lifts the hold: what is pending is updated
//   lora-cards --serve        the service (lora-updater.service): watches the cards and the
//                             distros and runs the updater for each card that needs it,
//                             side by side
//   lora-cards --wait NAME... waits for the cards on the bus that take these distros to end
//                             their updates: 0 when every one is done with the distro's content
//   lora-cards --inventory    the cards' states as Mender inventory attributes
//   lora-cards --metrics DIR  the cards' states as a Prometheus textfile, DIR/lora_cards.prom
//
// The program's rooms, each read top to bottom:
//   files.cpp     the clock, the journal's lines, files read and replaced whole
//   bus.cpp       the cards on the bus, as the updater identifies them (its card table)
//   check.cpp     what a card would get from a distro, read with the updater's own reading
//   distros.cpp   the distros: when one may be given to its cards, its sha256 and fw_version
//   states.cpp    each card's state on disk, and what people and tools read of it: the table,
//                 Mender's inventory, the Prometheus textfile
//   service.cpp   --serve: what to do with each card, the updaters' runs side by side, the
//                 forwarder's hand-over
//   main.cpp      the commands for people, and --wait
// This header declares what one room takes from another.
#pragma once

#include <csignal>
#include <map>
#include <string>
#include <vector>

const int TRIES = 3;            // updates tried at one distro before a card is given up
const double TICK = 0.5;        // seconds between two looks at the bus and the distros

// ---- files.cpp
double now();
std::string env(const char *name, const char *fallback);
void say(int priority, const std::string &line);
int complain(const std::string &what);
std::string firstline(const std::string &path);
bool replace(const std::string &dir, const std::string &name, const std::string &text);
bool exists(const std::string &path);
std::string statkey(const std::string &path);

// ---- bus.cpp
struct Card {
    std::string tty, port, serial;
    std::string id;  // the port and the USB device number: another on every enumeration
    long product = 0;
};

const char *modelname(long product);
std::string distroname(long product);
std::vector<std::string> distronames();
std::string distrodir();
bool goodport(const std::string &port);
std::string cleanserial(std::string s);
std::vector<Card> scan(const std::string &root);

// ---- check.cpp
struct Check {
    std::string supports, version, crc;  // the support tokens, blank-separated; the first fw_version, fw_crc
    long pages = 0;
    size_t longest = 0;                  // characters of the longest page
    std::string wrong;                   // why it is not a distro; empty if it is one
};

Check checkdistro(const std::string &text);
std::string verdict(const Check &c);

// ---- distros.cpp
struct Distro {
    std::string stat;     // what stat said last: a change of it restarts the quiet time
    double changed = 0;   // when it last changed, on the monotonic clock
    bool read = false;    // the content below is the one of that stat
    std::string sha, version, problem;
    Check check;          // what a card would get from it
};

void readdistro(Distro &d, const std::string &path);
bool ready(Distro &d, const std::string &dir, const std::string &name, double quiet, double t);

// ---- states.cpp
struct State {
    std::string port, tty, model, serial, sha, version, state;
    int status = -1, tries = 0;
    long long when = 0;  // wall clock, for people: never used to decide
    bool known = false;
    bool present = true;  // on the bus at the service's last look
};

std::string statedir();
State load(const std::string &dir, const std::string &port);
bool save(const std::string &dir, const State &s);
bool states(const std::string &dir, std::vector<State> &all);
int show();
int inventory();
int metrics(const std::string &out);

// ---- service.cpp
int serve();
