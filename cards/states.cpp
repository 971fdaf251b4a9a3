// lora-cards: each card's state, and what people and tools read of it.
//
// A state is one file per physical card, named after its USB port, in the state directory: the
// card's serial number and model, the sha256 and fw_version of the distro it was last given, the
// updater's last status and when, the tries at that distro, and one of "done", "retrying",
// "given up", "stopped" and "updating" (the updater runs, the try already counted). It is
// replaced whole (written beside, synced, renamed), so a power cut leaves the old state or the
// new one. A file that is not a whole state is no state.
//
// The same states make the table of "lora-cards", Mender's inventory (--inventory) and the
// Prometheus textfile (--metrics).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>

#include "cards.h"

namespace {

long long number(const std::string &text, long long fallback)
{
    char *end = nullptr;
    long long n = strtoll(text.c_str(), &end, 10);
    return text.empty() || *end ? fallback : n;
}

const char *const WORDS[] = {"done", "retrying", "given up", "stopped", "updating"};

}  // namespace

std::string statedir()
{
    return env("STATE_DIRECTORY", "/var/lib/lora-updater");
}

// A state file is trusted only whole: a regular file (not a link), of a state's size, with one of
// the state words. Anything else (empty, cut, garbage, edited into a megabyte) is no state: the
// card is updated anew, and its state written over it.
State load(const std::string &dir, const std::string &port)
{
    State s;
    int fd = open((dir + "/cards/" + port).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st{};
    char text[4096];
    ssize_t n = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, text, sizeof text) : -1;
    if (fd >= 0) close(fd);
    if (n <= 0 || size_t(n) == sizeof text) return s;
    std::map<std::string, std::string> kv;
    for (size_t at = 0; at < size_t(n);) {
        size_t end = std::find(text + at, text + n, '\n') - text;
        std::string line(text + at, end - at);
        size_t eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
        at = end + 1;
    }
    s.port = port, s.tty = kv["tty"], s.model = kv["model"], s.serial = kv["serial"], s.sha = kv["sha256"];
    s.version = kv["fw_version"], s.state = kv["state"];
    s.status = int(number(kv["status"], -1));
    s.tries = int(std::min(std::max(number(kv["tries"], 0), 0LL), (long long)TRIES));
    s.when = number(kv["when"], 0);
    s.known = std::find(std::begin(WORDS), std::end(WORDS), s.state) != std::end(WORDS);
    s.present = kv["present"] != "no";  // states from before presence was kept: as last seen
    return s;
}

bool save(const std::string &dir, const State &s)
{
    std::string text = "port=" + s.port + "\ntty=" + s.tty + "\nmodel=" + s.model + "\nserial=" + s.serial +
                       "\nsha256=" + s.sha + "\nfw_version=" + s.version + "\nstatus=" + std::to_string(s.status) +
                       "\nwhen=" + std::to_string(s.when) + "\ntries=" + std::to_string(s.tries) +
                       "\nstate=" + s.state + "\npresent=" + (s.present ? "yes" : "no") + "\n";
    return replace(dir + "/cards", s.port, text);
}

// Every card's state, in the order of their ports; false if the states cannot be read.
bool states(const std::string &dir, std::vector<State> &all)
{
    DIR *d = opendir((dir + "/cards").c_str());
    if (!d && errno != ENOENT) {
        complain(dir + "/cards: " + strerror(errno) + (errno == EACCES ? " (run as root)" : ""));
        return false;
    }
    std::vector<std::string> ports;
    while (dirent *e = d ? readdir(d) : nullptr)
        if (goodport(e->d_name)) ports.push_back(e->d_name);
    if (d) closedir(d);
    std::sort(ports.begin(), ports.end());
    for (const std::string &port : ports) {
        State s = load(dir, port);
        if (s.known) all.push_back(s);
    }
    return true;
}

// ---- What people and tools read

namespace {

// When the card's last update ended, in UTC; "-" if never.
std::string utc(long long at)
{
    char text[32] = "-";
    time_t t = time_t(at);
    const tm *when = at > 0 ? gmtime(&t) : nullptr;
    if (when && strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", when) == 0) text[0] = 0;
    return text;
}


// A serial number as every output shows it: "-" for a card that has none.
std::string shown(const std::string &serial)
{
    return serial.empty() ? "-" : serial;
}

// When the hold was laid, in seconds since the epoch; 0 when updates are not held.
long long heldsince(const std::string &dir)
{
    struct stat st{};
    return stat((dir + "/hold").c_str(), &st) == 0 ? (long long)st.st_mtime : 0;
}

}  // namespace

int show()
{
    std::string dir = statedir();
    std::vector<std::vector<std::string>> rows = {
        {"PORT", "TTY", "MODEL", "SERIAL", "FW_VERSION", "STATUS", "WHEN", "TRIES", "PRESENT", "STATE"}};
    std::vector<State> all;
    if (!states(dir, all)) return 1;
    std::transform(all.begin(), all.end(), std::back_inserter(rows), [](const State &s) {
        return std::vector<std::string>{s.port,          s.tty,       s.model,   shown(s.serial),
                                        s.version,       std::to_string(s.status), utc(s.when),
                                        std::to_string(s.tries), s.present ? "yes" : "no", s.state};
    });
    std::vector<size_t> width(rows[0].size());
    for (const auto &r : rows)
        for (size_t i = 0; i < r.size(); i++) width[i] = std::max(width[i], r[i].size());
    for (const auto &r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); i++) line += r[i] + (i + 1 < r.size() ? std::string(width[i] - r[i].size() + 2, ' ') : "");
        printf("%s\n", line.c_str());
    }
    if (rows.size() == 1) printf("no card has been updated yet\n");
    if (exists(dir + "/hold")) printf("updates are held: \"lora-cards --release\" lifts the hold\n");
    return 0;
}

// Mender's inventory: one attribute per line, "name=value"; a name given more than once is a
// list. The gateway's own attributes carry no port, so that the server can group gateways by
// them (lora_cards_given_up != 0, lora_models = ZL9C); each card's attributes are named after
// its port, which it keeps across reboots, and lora_cards lists the ports.
int inventory()
{
    std::string dir = statedir();
    std::vector<State> all;
    if (!states(dir, all)) return 1;
    auto count = [&](const std::function<bool(const State &)> &is) { return std::count_if(all.begin(), all.end(), is); };
    printf("lora_cards_held=%s\n", heldsince(dir) ? "yes" : "no");
    printf("lora_cards_given_up=%ld\n", long(count([](const State &s) { return s.state == "given up"; })));
    printf("lora_cards_retrying=%ld\n", long(count([](const State &s) { return s.state == "retrying"; })));
    printf("lora_cards_absent=%ld\n", long(count([](const State &s) { return !s.present; })));
    std::vector<std::string> models, versions;
    for (const State &s : all) {
        if (!s.present) continue;
        if (std::find(models.begin(), models.end(), s.model) == models.end()) models.push_back(s.model);
        if (std::find(versions.begin(), versions.end(), s.model + ":" + s.version) == versions.end()) versions.push_back(s.model + ":" + s.version);
    }
    for (const std::string &m : models) printf("lora_models=%s\n", m.c_str());
    for (const std::string &v : versions) printf("lora_fw_versions=%s\n", v.c_str());
    for (const State &s : all) printf("lora_cards=%s\n", s.port.c_str());
    for (const State &s : all) {
        std::string p = "lora_card_" + s.port + "_";
        printf("%smodel=%s\n%sserial=%s\n%stty=%s\n%sfw_version=%s\n%sstatus=%d\n%swhen=%s\n%stries=%d\n%sstate=%s\n%spresent=%s\n",
               p.c_str(), s.model.c_str(), p.c_str(), shown(s.serial).c_str(), p.c_str(), s.tty.c_str(), p.c_str(),
               s.version.c_str(), p.c_str(), s.status, p.c_str(), utc(s.when).c_str(), p.c_str(), s.tries, p.c_str(),
               s.state.c_str(), p.c_str(), s.present ? "yes" : "no");
    }
    return 0;
}


namespace {

// A label value in Prometheus's text format.
std::string label(const std::string &v)
{
    std::string out;
    // node-exporter refuses a whole file for one label that is not UTF-8: a state edited by hand
    // must not take every card's series away.
    for (char c : v) out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c < 0x20 || c > 0x7e ? "_" : std::string(1, c);
    return out;
}

std::string family(const char *name, const char *help)
{
    return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

// The states as Prometheus series, one per card and metric, each card by its port; the model,
// serial number and fw_version in an info series, to be joined on the port.
std::string promtext(const std::vector<State> &all, long long held)
{
    std::string text = family("lora_card_info", "The LoRa card on a USB port: its terminal, model, serial number and the fw_version of the distro it was last given.");
    for (const State &s : all)
        text += "lora_card_info{port=\"" + label(s.port) + "\",tty=\"" + label(s.tty) + "\",model=\"" + label(s.model) +
                "\",serial=\"" + label(shown(s.serial)) + "\",fw_version=\"" + label(s.version) + "\"} 1\n";
    const struct {
        const char *name, *help;
        long long (*value)(const State &);
    } gauges[] = {
        {"lora_card_update_status", "The updater's exit status at the card's last update: 0, 1 and 2 leave the card done.",
         [](const State &s) { return (long long)s.status; }},
        {"lora_card_update_timestamp_seconds", "When the card's last update ended, in seconds since the epoch.",
         [](const State &s) { return s.when; }},
        {"lora_card_update_tries", "The updates tried at the card's distro; the card is given up after 3 that fail.",
         [](const State &s) { return (long long)s.tries; }},
        {"lora_card_given_up", "1 if the card's updates are given up until its distro changes or it is forgotten.",
         [](const State &s) { return (long long)(s.state == "given up"); }},
        {"lora_card_present", "1 if the card is on the USB bus now, 0 if it left it (pulled, or dead) since.",
         [](const State &s) { return (long long)s.present; }},
    };
    for (const auto &g : gauges) {
        text += family(g.name, g.help);
        for (const State &s : all) text += std::string(g.name) + "{port=\"" + label(s.port) + "\"} " + std::to_string(g.value(s)) + "\n";
    }
    text += family("lora_card_state", "The card's state: 1 for the one it is in, 0 for the others.");
    for (const State &s : all)
        for (const char *word : WORDS)
            text += "lora_card_state{port=\"" + label(s.port) + "\",state=\"" + word + "\"} " + (s.state == word ? "1" : "0") + "\n";
    text += family("lora_cards_held", "Whether the gateway's updates are held (lora-cards --hold): 1, or 0.");
    text += "lora_cards_held " + std::string(held ? "1" : "0") + "\n";
    text += family("lora_cards_hold_timestamp_seconds", "When the hold was laid, in seconds since the epoch; 0 when not held.");
    text += "lora_cards_hold_timestamp_seconds " + std::to_string(held) + "\n";
    return text;
}

}  // namespace

// node-exporter reads every *.prom file of its directory at each scrape: the file is replaced
// whole, and written again while the states change under it.

int metrics(const std::string &out)
{
    std::string dir = statedir();
    for (int round = 0; round < 10; round++) {
        std::string before = statkey(dir + "/cards");
        std::vector<State> all;
        if (!states(dir, all)) return 1;
        if (!replace(out, "lora_cards.prom", promtext(all, heldsince(dir)))) return complain(out + "/lora_cards.prom: " + strerror(errno));
        if (statkey(dir + "/cards") == before) return 0;
    }
    return 0;
}
