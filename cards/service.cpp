// lora-cards --serve: the service. It looks at the bus and the distros every TICK, and runs the
// updater for each card that needs it, every such card at once (each its own updater, on its own
// terminal) unless LORA_PARALLEL caps them, keeping the packet forwarder off the cards meanwhile.
// What it does with a card, in order:
//   - its model's distro missing, unreadable, or changed in the last few seconds: nothing yet;
//   - no state, another serial number on its port, another distro content, or (a card with no
//     serial number) an arrival that is not its return from our own update: an update, tries
//     counted anew;
//   - done (updater status 0, 1, or 2: the distro does not support it) or given up: nothing;
//   - stopped: an update (a stop is not a try);
//   - retrying: an update once its back-off is over, when it comes back on the bus, or at the
//     service's start; after 3 tries at one distro it is given up, and reported once;
//   - updating, found at the service's start: the service ended during that try (killed, a
//     power cut); it counts as a failed try.
// A state the disk refuses waits in memory until the disk takes it.
//
// Environment (systemd sets the first two):
//   STATE_DIRECTORY      the cards' states and the hold (default /var/lib/lora-updater)
//   RUNTIME_DIRECTORY    the forwarder hand-over's request (default /run/lora-updater); the
//                        helper answers in the same path with "-forwarder" added
//   LORA_FORWARDER       the packet forwarder's unit, kept stopped while cards are updated
//   LORA_UPDATE_COMMAND  the updater, run with the terminal name (default /usr/bin/updater)
//   LORA_ROOT            put in front of /sys, /dev and /pckg, for simulated cards
//   LORA_QUIET, LORA_BACKOFF  seconds a distro must stay unchanged (3), and the waits before a
//                        second and a third try ("10,30")
//   LORA_PARALLEL        the most updaters run at once (unset: no limit); anything but a whole
//                        number from 1 up refuses the start
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "cards.h"

namespace {

const double RETURN = 60;      // seconds a card may take to come back from its reboot
const double HANDOVER = 30;    // seconds the forwarder may take to leave the cards
const double UNWRITABLE = 10;  // seconds before a terminal the service cannot open is reported

volatile sig_atomic_t stopsig = 0;

void onstop(int sig)
{
    stopsig = sig;
}

// ---- What to do with a card

enum Plan { LEAVE, RETRY, FRESH };

// arrived: the card came on the bus since it was last looked at, and not back from our update;
// due: the end of its back-off (0 at the service's start).
Plan plan(const Card &c, const State &s, const Distro &d, bool arrived, double due, double t)
{
    // A card with no serial number that arrives may be another card, unless it still has tries
    // to make at this distro: a card that resets after a failed try is not counted anew.
    bool other = c.serial.empty() && arrived && (s.state == "done" || s.state == "given up");
    if (!s.known || s.serial != c.serial || s.sha != d.sha || other) return FRESH;
    if (s.state == "stopped" || (s.state == "retrying" && (arrived || t >= due))) return RETRY;
    return LEAVE;
}

// What follows an update that ended with the updater's status: the state's word.
std::string outcome(int status, int tries, bool stopped)
{
    if (status == 0 || status == 1 || status == 2) return "done";
    if (stopped) return "stopped";
    return tries >= TRIES ? "given up" : "retrying";
}

// ---- Running the updater

// Starts the updater for one terminal: its pid, or -1.
pid_t runupdater(const std::string &command, const std::string &tty)
{
    (void)fflush(stdout);
    // A stop that lands between fork and exec must reach the updater, not this handler.
    sigset_t stops, was;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, &was);
    pid_t pid = fork();
    if (pid == 0) {
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) (void)signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &was, nullptr);
        execl(command.c_str(), command.c_str(), tty.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    sigprocmask(SIG_SETMASK, &was, nullptr);
    return pid;
}

// One updater in flight, for one card.
struct Run {
    pid_t pid = -1;
    State s;             // its state while the updater runs: "updating", the try counted
    int before = 0;      // the tries before this one
    bool told = false;   // the service's stop was handed to it
};

// The updater's exit status (128 + the signal that ended it) once it has ended; -1 while it
// runs. A stop of the service is handed to it: it finishes the exchange in flight and reboots
// the card.
int ended(Run &r)
{
    int st = 0;
    pid_t got = waitpid(r.pid, &st, WNOHANG);
    if (got == r.pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (got < 0 && errno != EINTR) return 127;
    if (stopsig && !r.told) kill(r.pid, SIGTERM), r.told = true;
    return -1;
}

std::string clock(long long at)
{
    time_t t = time_t(at);
    char text[32];
    if (strftime(text, sizeof text, "%H:%M:%S", localtime(&t)) == 0) return "?";
    return text;
}

// ---- The service

struct Service {
    std::string root, state, runtime, distros, command, forwarder;
    double quiet = 3, backoff[TRIES - 1] = {10, 30};
    std::map<std::string, Distro> distro;       // by file name
    std::map<std::string, std::string> seen;    // port -> card id, as last seen on the bus
    std::map<std::string, bool> arrived;        // port -> came on the bus, not back from our update
    std::map<std::string, double> due;          // port -> end of the back-off
    std::map<std::string, double> returning;    // port -> until when we wait for its return
    std::map<std::string, double> unwritable;   // card id -> since when its terminal is refused
    std::map<std::string, State> unsaved;       // port -> a state the disk refused, until it takes one
    std::map<std::string, Run> running;         // port -> its updater in flight
    long parallel = 0;                          // the most updaters at once; 0: no limit
    bool handedover = false, held = false, gaveup = false;
    long series = 0;                            // forwarder hand-overs so far
};

// Cards that came on the bus since the last look, and cards back from their reboot. Returns
// whether the bus changed: a card came or left, or one we rebooted did not come back in time.
bool arrivals(Service &sv, const std::vector<Card> &cards, double t)
{
    std::map<std::string, std::string> present;
    for (const Card &c : cards) {
        present[c.port] = c.id;
        if (sv.seen.count(c.port) && sv.seen[c.port] == c.id) continue;
        if (sv.returning.count(c.port)) sv.returning.erase(c.port);
        else sv.arrived[c.port] = true;
    }
    size_t awaited = sv.returning.size();
    for (auto it = sv.returning.begin(); it != sv.returning.end();)
        it = t > it->second ? sv.returning.erase(it) : std::next(it);
    bool changed = present != sv.seen || awaited != sv.returning.size();
    sv.seen = present;
    return changed;
}

// The forwarder leaves the cards before the first update of a series (lora-updater-forwarder
// stops it and answers), and is given them back once no updater runs and the last card updated
// is on the bus again.
void handover(Service &sv)
{
    if (sv.forwarder.empty() || sv.handedover) return;
    // Each series has a number of its own, which the answer repeats: an answer left from the
    // series before, while the helper was giving the forwarder back, is not taken for this one.
    // The helper answers from its own runtime directory, beside ours: root writes nothing where
    // this service's user can.
    std::string ack = sv.runtime + "-forwarder/forwarder-off", series = std::to_string(getpid()) + "." + std::to_string(++sv.series);
    // The file names no unit: root takes the forwarder from this service's own configuration.
    replace(sv.runtime, "updating", series + "\n");
    sv.handedover = true;
    double until = now() + HANDOVER;
    while (firstline(ack) != series && !stopsig && now() < until) usleep(100000);
    if (firstline(ack) != series && !stopsig)
        say(4, sv.forwarder + " was not reported stopped in " + std::to_string(int(HANDOVER)) +
                   " s (is lora-updater-forwarder.path active?): updating anyway");
}

void giveback(Service &sv)
{
    if (!sv.handedover) return;
    unlink((sv.runtime + "/updating").c_str());
    sv.handedover = false;
}

// A full or read-only disk must not make the card new again at its next look: the state waits
// in memory, and is written as soon as the disk takes it.
void store(Service &sv, const State &s)
{
    if (save(sv.state, s)) sv.unsaved.erase(s.port);
    else {
        if (!sv.unsaved.count(s.port)) say(3, s.port + ": cannot write its state in " + sv.state + "/cards: " + strerror(errno));
        sv.unsaved[s.port] = s;
    }
}

void flush(Service &sv)
{
    for (auto it = sv.unsaved.begin(); it != sv.unsaved.end();) {
        if (!save(sv.state, it->second)) {
            ++it;
            continue;
        }
        say(5, it->first + ": its state is written again in " + sv.state + "/cards");
        it = sv.unsaved.erase(it);
    }
}

// The cards may still answer the killed updaters' last commands: what they send within their 2-s
// reply time is discarded, so that it does not begin the next dialogue. The updater itself takes
// the line as it finds it. Every card updated side by side at the kill is drained in the same
// 2.5 s.
void drain(const std::vector<std::string> &devs)
{
    std::vector<int> fds;
    for (const std::string &dev : devs) {
        int fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        if (isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0) fds.push_back(fd);
        else close(fd);
    }
    for (double until = now() + 2.5; !fds.empty() && now() < until && !stopsig; usleep(100000))
        for (int fd : fds) tcflush(fd, TCIFLUSH);
    for (int fd : fds) close(fd);
}

// The end of the journal's line for a card given up, whatever gave it up.
std::string givenup(const std::string &port)
{
    return "given up until its distro changes or \"lora-cards --forget " + port + "\"";
}

// While the updater runs, the card's state says "updating" with the try counted: a service killed
// in the update (SIGKILL, a power cut, a watchdog) finds it at its next start, and counts it. A
// card whose update kills the service each time is given up like any other.
void cutshort(Service &sv, const std::vector<Card> &cards)
{
    std::vector<State> all;
    states(sv.state, all);
    // Now, whatever comes next for the cards: the next update of one may come much later, after a
    // give-up and a --forget, and would find the reply still waiting.
    std::vector<std::string> devs;
    for (const State &s : all)
        for (const Card &c : cards)
            if (s.state == "updating" && c.port == s.port) devs.push_back(sv.root + "/dev/" + c.tty);
    drain(devs);
    for (State &s : all) {
        if (s.state != "updating") continue;
        s.state = s.tries >= TRIES ? "given up" : "retrying";
        // One line per try, as for the others: the status is unknown, -1.
        std::string head = s.tty + " (usb " + s.port + "): update status -1, update cut short (the service ended during it), try " +
                           std::to_string(s.tries) + " of " + std::to_string(TRIES) + ", ";
        if (s.state == "retrying") say(4, head + "tried again now");
        else say(3, head + givenup(s.port)), sv.gaveup = true;
        store(sv, s);
    }
}

// Each card's state says whether the card is on the bus now: one pulled, or dead, shows as absent
// in the table, the inventory and the textfile until it comes back or is forgotten. A card
// rebooting from our own update is awaited, not absent.
void presence(Service &sv, const std::vector<Card> &cards)
{
    std::vector<State> all;
    if (!states(sv.state, all)) return;
    std::map<std::string, State> byport;
    for (const State &s : all) byport[s.port] = s;
    for (const auto &u : sv.unsaved) byport[u.first] = u.second;
    for (auto &entry : byport) {
        State &s = entry.second;
        bool here = sv.returning.count(s.port) > 0 ||
                    std::any_of(cards.begin(), cards.end(), [&](const Card &c) { return c.port == s.port && c.serial == s.serial; });
        if (here == s.present) continue;
        s.present = here;
        store(sv, s);
    }
}

// The end of a card's update: its state, and one line in the journal.
void finish(Service &sv, Run &r, int status)
{
    State &s = r.s;
    s.status = status;
    s.tries = r.told ? r.before : r.before + 1;
    s.when = time(nullptr);
    s.state = outcome(s.status, s.tries, r.told);
    // Every updater status but 9 and 10 comes after the reboot command.
    if (s.status != 9 && s.status != 10) sv.returning[s.port] = now() + RETURN;
    // Looks went on during the update: a card pulled meanwhile was seen leaving, and no look
    // may see it leave again.
    s.present = sv.returning.count(s.port) > 0 || sv.seen.count(s.port) > 0;
    store(sv, s);
    std::string head = s.tty + " (usb " + s.port + "): update status " + std::to_string(s.status) + ", ";
    std::string tries = "try " + std::to_string(s.tries) + " of " + std::to_string(TRIES) + ", ";
    if (s.state == "done") say(6, head + "done");
    else if (s.state == "stopped") say(5, head + "stopped, taken again at the next start");
    else if (s.state == "given up") {
        sv.gaveup = true;
        say(3, head + tries + givenup(s.port));
    } else {
        double wait = sv.backoff[s.tries - 1];
        sv.due[s.port] = now() + wait;
        say(4, head + tries + "tried again at " + clock(s.when + (long long)wait) + " or when it comes back");
    }
}

// Starts a card's update. While its updater runs, the card's state says "updating" with the try
// counted.
void updatecard(Service &sv, const Card &c, const Distro &d, Plan p, const State &was)
{
    Run r;
    State &s = r.s;
    s.port = c.port, s.tty = c.tty, s.model = modelname(c.product), s.serial = c.serial;
    s.sha = d.sha, s.version = d.version, s.known = true;
    r.before = p == FRESH ? 0 : was.tries;
    handover(sv);
    if (stopsig) return;
    sv.arrived.erase(c.port);
    s.state = "updating", s.tries = r.before + 1, s.when = time(nullptr);
    store(sv, s);
    r.pid = runupdater(sv.command, c.tty);
    if (r.pid > 0) sv.running[c.port] = r;
    else finish(sv, r, 127);  // no process: waitpid(-1) would take any child's end
}

// Takes the ends of the updaters that have ended.
void reap(Service &sv)
{
    for (auto it = sv.running.begin(); it != sv.running.end();) {
        int status = ended(it->second);
        if (status < 0) {
            ++it;
            continue;
        }
        finish(sv, it->second, status);
        it = sv.running.erase(it);
    }
}

// Until the next look. While updaters run, their ends are taken every 50 ms and a stop reaches
// them at once; with none, the service sleeps the whole tick.
void rest(Service &sv)
{
    if (sv.running.empty()) {
        usleep(useconds_t(TICK * 1e6));
        return;
    }
    for (double until = now() + TICK; !stopsig && now() < until && !sv.running.empty(); usleep(50000)) reap(sv);
}

// udev gives the terminal to dialout a moment after it appears: a terminal the service cannot
// open is waited for, and reported once after a while.
bool writable(Service &sv, const Card &c, double t)
{
    std::string dev = sv.root + "/dev/" + c.tty;
    if (access(dev.c_str(), R_OK | W_OK) == 0) return true;
    double &since = sv.unwritable[c.id];
    if (since == 0) since = t;
    if (since > 0 && t - since >= UNWRITABLE) {
        say(4, c.tty + " (usb " + c.port + "): the service cannot open " + dev + " (" + strerror(errno) + ")");
        since = -1;
    }
    return false;
}

// Whether a card's terminal is already some updater's: never two on one card.
bool busy(const Service &sv, const Card &c)
{
    return sv.running.count(c.port) || std::any_of(sv.running.begin(), sv.running.end(), [&](const auto &r) { return r.second.s.tty == c.tty; });
}

// One look at the bus and the distros; starts the update of every card that needs it, as many
// as LORA_PARALLEL lets run. Returns whether a card still needs the forwarder off: one updating
// or to update, one retrying, one not back yet.
bool look(Service &sv)
{
    reap(sv);  // before the scan: a card back from its reboot is a return, not an arrival
    double t = now();
    std::vector<Card> cards = scan(sv.root);
    if (arrivals(sv, cards, t)) presence(sv, cards);
    flush(sv);
    for (auto it = sv.unwritable.begin(); it != sv.unwritable.end();)
        it = std::none_of(cards.begin(), cards.end(), [&](const Card &c) { return c.id == it->first; }) ? sv.unwritable.erase(it) : std::next(it);
    bool held = exists(sv.state + "/hold");
    if (held != sv.held) say(5, held ? "updates held: no card is updated until \"lora-cards --release\"" : "updates released");
    sv.held = held;
    bool pending = !sv.returning.empty();
    for (const Card &c : cards) {
        if (busy(sv, c) || stopsig) continue;
        std::string name = distroname(c.product);
        Distro &d = sv.distro[name];
        if (!ready(d, sv.distros, name, sv.quiet, t)) continue;
        State s = sv.unsaved.count(c.port) ? sv.unsaved[c.port] : load(sv.state, c.port);
        Plan p = plan(c, s, d, sv.arrived[c.port], sv.due[c.port], t);
        if (p == LEAVE || held) {
            pending = pending || s.state == "retrying";
            continue;
        }
        // A terminal reported as closed to the service gives the forwarder back meanwhile.
        if (!writable(sv, c, t)) {
            pending = pending || sv.unwritable[c.id] >= 0;
            continue;
        }
        // A card beyond LORA_PARALLEL waits for a look at which an updater has ended.
        if (sv.parallel > 0 && long(sv.running.size()) >= sv.parallel) pending = true;
        else updatecard(sv, c, d, p, s);
    }
    return (pending && !held) || !sv.running.empty();
}

// At a stop, the cards the updaters have just rebooted are waited for (2 s at most) until they
// have left the bus: a poweroff that follows at once must not come before a card's reboot.
void leaving(Service &sv)
{
    for (double until = now() + 2; now() < until; usleep(100000)) {
        std::vector<Card> cards = scan(sv.root);
        if (std::none_of(cards.begin(), cards.end(), [&](const Card &c) { return sv.returning.count(c.port) && sv.seen[c.port] == c.id; }))
            return;
    }
}

// At a stop, every updater in flight is handed the stop and waited for.
void stopall(Service &sv)
{
    while (!sv.running.empty()) {
        reap(sv);
        if (!sv.running.empty()) usleep(50000);
    }
}

// The cap on updaters at once: unset or empty, none (0); -1 for anything but a whole number from
// 1 up. A cap written wrong was meant as a limit: running with none could brown out the hub it
// was set for.
long cap(const std::string &text)
{
    if (text.empty()) return 0;
    if (text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    long n = strtol(text.c_str(), nullptr, 10);
    return n >= 1 ? n : -1;
}

}  // namespace

int serve()
{
    Service sv;
    sv.root = env("LORA_ROOT", "");
    sv.state = env("STATE_DIRECTORY", "/var/lib/lora-updater");
    sv.runtime = env("RUNTIME_DIRECTORY", "/run/lora-updater");
    sv.command = env("LORA_UPDATE_COMMAND", "/usr/bin/updater");
    sv.forwarder = env("LORA_FORWARDER", "");
    sv.distros = sv.root + distrodir();
    sv.parallel = cap(env("LORA_PARALLEL", ""));
    if (sv.parallel < 0) {
        say(3, "LORA_PARALLEL is not a whole number from 1 up: \"" + env("LORA_PARALLEL", "") + "\"; not started");
        return 2;
    }
    char *end = nullptr;
    sv.quiet = strtod(env("LORA_QUIET", "3").c_str(), &end);
    std::string backoff = env("LORA_BACKOFF", "10,30");
    sv.backoff[0] = strtod(backoff.c_str(), &end);
    sv.backoff[1] = *end == ',' ? strtod(end + 1, nullptr) : sv.backoff[0];
    mkdir((sv.state + "/cards").c_str(), 0755);
    struct sigaction sa{};
    sa.sa_handler = onstop;
    sigaction(SIGTERM, &sa, nullptr), sigaction(SIGINT, &sa, nullptr);
    signal(SIGHUP, SIG_IGN), signal(SIGPIPE, SIG_IGN);
    // The cards already on the bus are not arrivals: their states say what they need.
    std::vector<Card> cards = scan(sv.root);
    for (const Card &c : cards) sv.seen[c.port] = c.id;
    cutshort(sv, cards);
    presence(sv, cards);
    say(6, "watching the LoRa cards and " + sv.distros);
    while (!stopsig) {
        if (!look(sv)) giveback(sv);
        if (!stopsig) rest(sv);
    }
    stopall(sv);
    leaving(sv);
    giveback(sv);
    say(5, "stopped by signal " + std::to_string(stopsig) + (sv.gaveup ? ", a card was given up in this run" : ""));
    return sv.gaveup ? 1 : 0;
}
