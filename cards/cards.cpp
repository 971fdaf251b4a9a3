// lora-cards: keeps every LoRa card of the gateway on its distro, one card at a time, and shows
// what happened to each.
//
//   lora-cards                shows each card's state, one line per card
//   lora-cards --forget PORT  forgets the state of the card on USB port PORT: it is updated again
//   lora-cards --hold         no card is updated until --release, across reboots and distro drops
//   lora-cards --release      lifts the hold: what is pending is updated
//   lora-cards --serve        the service (lora-updater.service): watches the cards and the
//                             distros and runs the updater for each card that needs it
//   lora-cards --wait NAME... waits for the cards on the bus that take these distros to end
//                             their updates: 0 when every one is done with the distro's content
//   lora-cards --inventory    the cards' states as Mender inventory attributes
//   lora-cards --metrics DIR  the cards' states as a Prometheus textfile, DIR/lora_cards.prom
//
// A card's state is one file per physical card, named after its USB port, in the state directory:
// the card's serial number and model, the sha256 and fw_version of the distro it was last given,
// the updater's last status and when, the tries at that distro, and one of "done", "retrying",
// "given up", "stopped" and "updating" (the updater runs, the try already counted). It is replaced
// whole (written beside, synced, renamed), so a power cut leaves the old state or the new one. A
// state the disk refuses waits in memory until the disk takes it; a file that is not a whole
// state is no state.
//
// What the service does with a card, in order:
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
// Every wait is measured on the monotonic clock: a distro is taken once its stat (inode, size,
// times) has stayed the same for the quiet time, whatever the wall clock says.
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
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

const int TRIES = 3;
const double TICK = 0.5;       // seconds between two looks at the bus and the distros
const double RETURN = 60;      // seconds a card may take to come back from its reboot
const double HANDOVER = 30;    // seconds the forwarder may take to leave the cards
const double UNWRITABLE = 10;  // seconds before a terminal the service cannot open is reported

volatile sig_atomic_t stopsig = 0;

void onstop(int sig)
{
    stopsig = sig;
}

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::string env(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

// Lines for the journal: under systemd a "<N>" prefix sets the line's priority.
void say(int priority, const std::string &line)
{
    if (getenv("JOURNAL_STREAM")) (void)printf("<%d>", priority);
    (void)printf("%s\n", line.c_str());
    (void)fflush(stdout);
}

// ---- Files

// The first line of a file, without its end; empty if it cannot be read.
std::string firstline(const std::string &path)
{
    std::string line;
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return line;
    for (int ch = fgetc(f); ch != EOF && ch != '\n' && line.size() < 256; ch = fgetc(f)) line += char(ch);
    (void)fclose(f);
    return line;
}

// A sysfs hex attribute of one to eight digits, or -1.
long hexattr(const std::string &path)
{
    std::string v = firstline(path);
    if (v.empty() || v.size() > 8 || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return -1;
    return strtol(v.c_str(), nullptr, 16);
}

// Replaces a file whole: a reader, or a power cut, finds the old content or the new one. The
// mode is 0644 whatever the umask: node-exporter reads the textfile as another user.
bool replace(const std::string &dir, const std::string &name, const std::string &text)
{
    std::string tmp = dir + "/." + name + ".new", path = dir + "/" + name;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0644) == 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok && rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the directory.
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d >= 0) {
        fsync(d);
        close(d);
    }
    return true;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// ---- SHA-256 of a distro's content

const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void sha256block(uint32_t h[8], const unsigned char *p)
{
    uint32_t w[64];
    for (size_t i = 0; i < 16; i++, p += 4) w[i] = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
}

std::string sha256(const std::string &data)
{
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string tail = data.substr(data.size() - data.size() % 64);
    for (size_t i = 0; i + 64 <= data.size(); i += 64) sha256block(h, reinterpret_cast<const unsigned char *>(data.data() + i));
    tail += '\x80';
    while (tail.size() % 64 != 56) tail += '\0';
    for (int i = 7; i >= 0; i--) tail += char(uint64_t(data.size()) * 8 >> (8 * i));
    for (size_t i = 0; i < tail.size(); i += 64) sha256block(h, reinterpret_cast<const unsigned char *>(tail.data() + i));
    char hex[65];
    for (size_t i = 0; i < 8; i++) (void)snprintf(hex + 8 * i, 9, "%08x", h[i]);
    return hex;
}

// ---- Cards on the bus, as the updater identifies them

struct Card {
    std::string tty, port, serial;
    std::string id;  // the port and the USB device number: another on every enumeration
    long product = 0;
};

const char *modelname(long product)
{
    static const char *const NAMES[] = {"ZL9A", "ZL9B", "ZL9C", "ZL9AH", "ZL9BH"};
    return product >= 0x310 && product <= 0x314 ? NAMES[product - 0x310] : "?";
}

std::string distroname(long product)
{
    return product <= 0x311 ? "lora_zl9ab.dist" : product == 0x312 ? "lora_gw_2g4.dist" : "lora_zl9abH.dist";
}

// A port name is a file name in the state directory.
bool goodport(const std::string &port)
{
    return !port.empty() && port[0] != '.' && port.size() < 64 &&
           port.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:_-") == std::string::npos;
}

// The serial number as the state keeps it: one line of printable characters.
std::string cleanserial(std::string s)
{
    std::replace_if(s.begin(), s.end(), [](char c) { return c < 0x21 || c > 0x7e; }, '_');
    return s;
}

// The cards on the bus: ttyACM terminals whose USB device has the cards' vendor id and one of
// their product ids, in the order of their ports.
std::vector<Card> scan(const std::string &root)
{
    std::vector<Card> cards;
    DIR *d = opendir((root + "/sys/class/tty").c_str());
    if (!d) return cards;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        std::string usb = root + "/sys/class/tty/";
        usb += name + "/device/..";
        if (name.rfind("ttyACM", 0) != 0 || hexattr(usb + "/idVendor") != 0x3c5e) continue;
        Card c;
        c.tty = name, c.product = hexattr(usb + "/idProduct");
        char *real = realpath(usb.c_str(), nullptr);
        if (real) c.port = strrchr(real, '/') + 1, free(real);
        if (c.product < 0x310 || c.product > 0x314 || !goodport(c.port)) continue;
        c.serial = cleanserial(firstline(usb + "/serial"));
        c.id = c.port + "#" + firstline(usb + "/busnum");
        c.id += "." + firstline(usb + "/devnum");
        c.id += "." + name;
        cards.push_back(c);
    }
    closedir(d);
    std::sort(cards.begin(), cards.end(), [](const Card &a, const Card &b) { return a.port < b.port; });
    return cards;
}

// ---- Distros

struct Distro {
    std::string stat;     // what stat said last: a change of it restarts the quiet time
    double changed = 0;   // when it last changed, on the monotonic clock
    bool read = false;    // the content below is the one of that stat
    std::string sha, version, problem;
};

std::string statkey(const std::string &path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) return "error " + std::to_string(errno);
    char key[160];
    (void)snprintf(key, sizeof key, "%llu %llu %llu %o %lld.%09ld %lld.%09ld", (unsigned long long)st.st_dev,
             (unsigned long long)st.st_ino, (unsigned long long)st.st_size, unsigned(st.st_mode),
             (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    return key;
}

// The fw_version key of a distro, among the keys before its first page; "?" without one.
std::string fwversion(const std::string &text)
{
    size_t at = 0;
    while (at < text.size() && text.compare(at, 9, "firmware=") != 0) {
        size_t end = text.find('\n', at);
        if (text.compare(at, 11, "fw_version=") == 0) {
            std::string v = cleanserial(text.substr(at + 11, std::min(end, text.size()) - at - 11));
            return v.empty() ? "?" : v.substr(0, 64);
        }
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return "?";
}

// Reads a distro whose stat has been quiet: its sha256 and fw_version, or what is wrong with it.
void readdistro(Distro &d, const std::string &path)
{
    d.problem.clear();
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st{};
    if (fd < 0) {
        d.problem = errno == ENOENT ? "missing" : std::string("cannot be read (") + strerror(errno) + ")";
        return;
    }
    std::string text;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) d.problem = "not a regular file";
    char buf[65536];
    for (ssize_t n = 1; d.problem.empty() && n > 0;) {
        n = read(fd, buf, sizeof buf);
        if (n < 0 && errno != EINTR) d.problem = std::string("cannot be read (") + strerror(errno) + ")";
        if (n > 0) text.append(buf, size_t(n));
    }
    close(fd);
    if (d.problem.empty()) d.sha = sha256(text), d.version = fwversion(text);
}

// Looks at a distro again: a change restarts its quiet time, and a quiet one is read once.
// Returns true when it may be given to its cards.
bool ready(Distro &d, const std::string &dir, const std::string &name, double quiet, double t)
{
    std::string key = statkey(dir + "/" + name);
    if (key != d.stat) d.stat = key, d.changed = t, d.read = false;
    if (t - d.changed < quiet) return false;
    if (!d.read) {
        std::string was = d.problem;
        readdistro(d, dir + "/" + name);
        // Written to while it was read: read again once it is quiet.
        if (statkey(dir + "/" + name) != d.stat) {
            d.stat.clear();
            return false;
        }
        d.read = true;
        if (!d.problem.empty() && d.problem != was)
            say(3, name + ": " + d.problem + ": nothing is sent to its cards until it can be read");
        else if (d.problem.empty() && !was.empty())
            say(6, name + ": readable again, fw_version " + d.version);
    }
    return d.problem.empty();
}

// ---- The cards' states

struct State {
    std::string port, tty, model, serial, sha, version, state;
    int status = -1, tries = 0;
    long long when = 0;  // wall clock, for people: never used to decide
    bool known = false;
};

long long number(const std::string &text, long long fallback)
{
    char *end = nullptr;
    long long n = strtoll(text.c_str(), &end, 10);
    return text.empty() || *end ? fallback : n;
}

const char *const WORDS[] = {"done", "retrying", "given up", "stopped", "updating"};

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
    return s;
}

bool save(const std::string &dir, const State &s)
{
    std::string text = "port=" + s.port + "\ntty=" + s.tty + "\nmodel=" + s.model + "\nserial=" + s.serial +
                       "\nsha256=" + s.sha + "\nfw_version=" + s.version + "\nstatus=" + std::to_string(s.status) +
                       "\nwhen=" + std::to_string(s.when) + "\ntries=" + std::to_string(s.tries) +
                       "\nstate=" + s.state + "\n";
    return replace(dir + "/cards", s.port, text);
}

int complain(const std::string &what)
{
    (void)fprintf(stderr, "lora-cards: %s\n", what.c_str());
    return 1;
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

// Runs the updater for one terminal and returns its exit status (128 + the signal that ended
// it). A stop of the service is handed to it: it finishes the exchange in flight and reboots
// the card.
int runupdater(const std::string &command, const std::string &tty, bool &stopped)
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
    if (pid < 0) return 127;
    int st = 0;
    bool told = false;
    for (pid_t got = 0; got != pid;) {
        got = waitpid(pid, &st, WNOHANG);
        if (got < 0 && errno != EINTR) return 127;
        if (stopsig && !told) kill(pid, SIGTERM), told = true;
        if (got != pid) usleep(50000);
    }
    stopped = told;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
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
    bool handedover = false, held = false, gaveup = false;
    long series = 0;                            // forwarder hand-overs so far
};

// Cards that came on the bus since the last look, and cards back from their reboot.
void arrivals(Service &sv, const std::vector<Card> &cards, double t)
{
    std::map<std::string, std::string> present;
    for (const Card &c : cards) {
        present[c.port] = c.id;
        if (sv.seen.count(c.port) && sv.seen[c.port] == c.id) continue;
        if (sv.returning.count(c.port)) sv.returning.erase(c.port);
        else sv.arrived[c.port] = true;
    }
    for (auto it = sv.returning.begin(); it != sv.returning.end();)
        it = t > it->second ? sv.returning.erase(it) : std::next(it);
    sv.seen = present;
}

// The forwarder leaves the cards before the first update of a series (lora-updater-forwarder
// stops it and answers), and is given them back once the last card updated is on the bus again.
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

// The card may still answer the killed updater's last command: what it sends within its 2-s
// reply time is discarded, so that it does not begin the next dialogue. The updater itself takes
// the line as it finds it.
void drain(const std::string &dev)
{
    int fd = open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    if (isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0)
        for (double until = now() + 2.5; now() < until && !stopsig; usleep(100000)) tcflush(fd, TCIFLUSH);
    close(fd);
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
    for (State &s : all) {
        if (s.state != "updating") continue;
        // Now, whatever comes next for the card: its next update may come much later, after a
        // give-up and a --forget, and would find the reply still waiting.
        for (const Card &c : cards)
            if (c.port == s.port) drain(sv.root + "/dev/" + c.tty);
        s.state = s.tries >= TRIES ? "given up" : "retrying";
        // One line per try, as for the others: the status is unknown, -1.
        std::string head = s.tty + " (usb " + s.port + "): update status -1, update cut short (the service ended during it), try " +
                           std::to_string(s.tries) + " of " + std::to_string(TRIES) + ", ";
        if (s.state == "retrying") say(4, head + "tried again now");
        else say(3, head + givenup(s.port)), sv.gaveup = true;
        store(sv, s);
    }
}

void updatecard(Service &sv, const Card &c, const Distro &d, Plan p, const State &was)
{
    State s;
    s.port = c.port, s.tty = c.tty, s.model = modelname(c.product), s.serial = c.serial;
    s.sha = d.sha, s.version = d.version, s.known = true;
    int before = p == FRESH ? 0 : was.tries;
    handover(sv);
    if (stopsig) return;
    sv.arrived.erase(c.port);
    s.state = "updating", s.tries = before + 1, s.when = time(nullptr);
    (void)save(sv.state, s);
    bool stopped = false;
    s.status = runupdater(sv.command, c.tty, stopped);
    s.tries = stopped ? before : before + 1;
    s.when = time(nullptr);
    s.state = outcome(s.status, s.tries, stopped);
    store(sv, s);
    // Every updater status but 9 and 10 comes after the reboot command.
    if (s.status != 9 && s.status != 10) sv.returning[c.port] = now() + RETURN;
    std::string head = c.tty + " (usb " + c.port + "): update status " + std::to_string(s.status) + ", ";
    std::string tries = "try " + std::to_string(s.tries) + " of " + std::to_string(TRIES) + ", ";
    if (s.state == "done") say(6, head + "done");
    else if (s.state == "stopped") say(5, head + "stopped, taken again at the next start");
    else if (s.state == "given up") {
        sv.gaveup = true;
        say(3, head + tries + givenup(c.port));
    } else {
        double wait = sv.backoff[s.tries - 1];
        sv.due[c.port] = now() + wait;
        say(4, head + tries + "tried again at " + clock(s.when + (long long)wait) + " or when it comes back");
    }
}

// One look at the bus and the distros; updates the first card that needs it. Returns whether
// a card still needs the forwarder off: one to update, one retrying, one not back yet.
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

bool look(Service &sv)
{
    double t = now();
    std::vector<Card> cards = scan(sv.root);
    arrivals(sv, cards, t);
    flush(sv);
    for (auto it = sv.unwritable.begin(); it != sv.unwritable.end();)
        it = std::none_of(cards.begin(), cards.end(), [&](const Card &c) { return c.id == it->first; }) ? sv.unwritable.erase(it) : std::next(it);
    bool held = exists(sv.state + "/hold");
    if (held != sv.held) say(5, held ? "updates held: no card is updated until \"lora-cards --release\"" : "updates released");
    sv.held = held;
    bool pending = !sv.returning.empty();
    for (const Card &c : cards) {
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
        updatecard(sv, c, d, p, s);
        return true;
    }
    return pending && !held;
}

// At a stop, the card the updater has just rebooted is waited for (2 s at most) until it has
// left the bus: a poweroff that follows at once must not come before the card's reboot.
void leaving(Service &sv)
{
    for (double until = now() + 2; now() < until; usleep(100000)) {
        std::vector<Card> cards = scan(sv.root);
        if (std::none_of(cards.begin(), cards.end(), [&](const Card &c) { return sv.returning.count(c.port) && sv.seen[c.port] == c.id; }))
            return;
    }
}

int serve()
{
    Service sv;
    sv.root = env("LORA_ROOT", "");
    sv.state = env("STATE_DIRECTORY", "/var/lib/lora-updater");
    sv.runtime = env("RUNTIME_DIRECTORY", "/run/lora-updater");
    sv.command = env("LORA_UPDATE_COMMAND", "/usr/bin/updater");
    sv.forwarder = env("LORA_FORWARDER", "");
    sv.distros = sv.root + "/pckg/iot/distros";
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
    say(6, "watching the LoRa cards and " + sv.distros);
    while (!stopsig) {
        if (!look(sv)) giveback(sv);
        if (!stopsig) usleep(useconds_t(TICK * 1e6));
    }
    leaving(sv);
    giveback(sv);
    say(5, "stopped by signal " + std::to_string(stopsig) + (sv.gaveup ? ", a card was given up in this run" : ""));
    return sv.gaveup ? 1 : 0;
}

// ---- The commands for people

std::string statedir()
{
    return env("STATE_DIRECTORY", "/var/lib/lora-updater");
}

// When the card's last update ended, in UTC; "-" if never.
std::string utc(long long at)
{
    char text[32] = "-";
    time_t t = time_t(at);
    const tm *when = at > 0 ? gmtime(&t) : nullptr;
    if (when && strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", when) == 0) text[0] = 0;
    return text;
}

int show()
{
    std::string dir = statedir();
    std::vector<std::vector<std::string>> rows = {
        {"PORT", "TTY", "MODEL", "SERIAL", "FW_VERSION", "STATUS", "WHEN", "TRIES", "STATE"}};
    std::vector<State> all;
    if (!states(dir, all)) return 1;
    std::transform(all.begin(), all.end(), std::back_inserter(rows), [](const State &s) {
        return std::vector<std::string>{s.port, s.tty, s.model, s.serial.empty() ? "-" : s.serial, s.version,
                                        std::to_string(s.status), utc(s.when), std::to_string(s.tries), s.state};
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

// Mender's inventory: one attribute per line, "name=value". Each card's attributes are named
// after its port, which it keeps across reboots; lora_cards lists the ports.
int inventory()
{
    std::vector<State> all;
    if (!states(statedir(), all)) return 1;
    for (const State &s : all) printf("lora_cards=%s\n", s.port.c_str());
    for (const State &s : all) {
        std::string p = "lora_card_" + s.port + "_";
        printf("%smodel=%s\n%sserial=%s\n%stty=%s\n%sfw_version=%s\n%sstatus=%d\n%swhen=%s\n%stries=%d\n%sstate=%s\n",
               p.c_str(), s.model.c_str(), p.c_str(), s.serial.c_str(), p.c_str(), s.tty.c_str(), p.c_str(),
               s.version.c_str(), p.c_str(), s.status, p.c_str(), utc(s.when).c_str(), p.c_str(), s.tries, p.c_str(),
               s.state.c_str());
    }
    return 0;
}

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
std::string promtext(const std::vector<State> &all)
{
    std::string text = family("lora_card_info", "The LoRa card on a USB port: its terminal, model, serial number and the fw_version of the distro it was last given.");
    for (const State &s : all)
        text += "lora_card_info{port=\"" + label(s.port) + "\",tty=\"" + label(s.tty) + "\",model=\"" + label(s.model) +
                "\",serial=\"" + label(s.serial) + "\",fw_version=\"" + label(s.version) + "\"} 1\n";
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
    };
    for (const auto &g : gauges) {
        text += family(g.name, g.help);
        for (const State &s : all) text += std::string(g.name) + "{port=\"" + label(s.port) + "\"} " + std::to_string(g.value(s)) + "\n";
    }
    text += family("lora_card_state", "The card's state: 1 for the one it is in, 0 for the others.");
    for (const State &s : all)
        for (const char *word : WORDS)
            text += "lora_card_state{port=\"" + label(s.port) + "\",state=\"" + word + "\"} " + (s.state == word ? "1" : "0") + "\n";
    return text;
}

// node-exporter reads every *.prom file of its directory at each scrape: the file is replaced
// whole, and written again while the states change under it.
int metrics(const std::string &out)
{
    std::string dir = statedir();
    for (int round = 0; round < 10; round++) {
        std::string before = statkey(dir + "/cards");
        std::vector<State> all;
        if (!states(dir, all)) return 1;
        if (!replace(out, "lora_cards.prom", promtext(all))) return complain(out + "/lora_cards.prom: " + strerror(errno));
        if (statkey(dir + "/cards") == before) return 0;
    }
    return 0;
}

// Waits for the cards on the bus now that take these distros: each must end done with its
// distro's content as it is now (a card that was given up or stopped fails the wait). Cards
// absent now are not waited for; a distro that is missing has no card to wait for.
int waitcards(const std::vector<std::string> &names)
{
    std::string root = env("LORA_ROOT", ""), dir = statedir(), distros = root + "/pckg/iot/distros";
    double limit = strtod(env("LORA_WAIT", "1800").c_str(), nullptr), start = now();
    auto unknown = std::find_if(names.begin(), names.end(), [](const std::string &n) {
        return n != distroname(0x310) && n != distroname(0x312) && n != distroname(0x313);
    });
    if (unknown != names.end()) {
        complain(*unknown + ": not a distro name (lora_zl9ab.dist, lora_gw_2g4.dist, lora_zl9abH.dist)");
        return 2;
    }
    std::vector<Card> cards, all = scan(root);
    std::copy_if(all.begin(), all.end(), std::back_inserter(cards), [&](const Card &c) {
        return std::find(names.begin(), names.end(), distroname(c.product)) != names.end() && exists(distros + "/" + distroname(c.product));
    });
    int failed = 0;
    std::map<std::string, Distro> content;  // read again only when its stat changes
    while (!cards.empty()) {
        for (auto it = cards.begin(); it != cards.end();) {
            const Card &c = *it;
            std::string name = distroname(c.product), head = c.tty + " (usb " + c.port + "): ", path = distros + "/";
            Distro &d = content[name];
            path += name;
            std::string key = statkey(path);
            if (key != d.stat) d.stat = key, d.sha.clear(), readdistro(d, path);
            State s = load(dir, c.port);
            bool ours = s.known && s.serial == c.serial && !d.sha.empty() && s.sha == d.sha;
            bool ended = ours && (s.state == "done" || s.state == "given up" || s.state == "stopped");
            bool late = now() - start > limit;
            if (!ended && !late) {
                ++it;
                continue;
            }
            if (ended) printf("%s%s with %s, fw_version %s, update status %d\n", head.c_str(), s.state.c_str(), name.c_str(), s.version.c_str(), s.status);
            else printf("%snot done with %s after %.0f s\n", head.c_str(), name.c_str(), limit);
            failed += !ended || s.state != "done";
            it = cards.erase(it);
        }
        (void)fflush(stdout);
        // A hold fails the wait only for the cards it keeps from their updates.
        if (!cards.empty() && exists(dir + "/hold")) return complain("updates are held: \"lora-cards --release\" lifts the hold");
        if (!cards.empty()) usleep(useconds_t(TICK * 1e6));
    }
    return failed ? 1 : 0;
}

int usage()
{
    (void)fprintf(stderr, "usage: lora-cards [--forget PORT | --hold | --release | --serve | --wait NAME... |\n"
                          "                   --inventory | --metrics DIR]\n");
    return 2;
}

int forget(const std::string &port)
{
    std::string path = statedir() + "/cards/" + port;
    if (!goodport(port)) return complain(port + ": not a USB port name, such as 1-1"), usage();
    if (unlink(path.c_str()) != 0) return complain("no state for a card on usb " + port + ": " + strerror(errno));
    printf("forgot the card on usb %s: it is updated again\n", port.c_str());
    return 0;
}

int hold(bool on)
{
    std::string dir = statedir(), path = dir + "/hold";
    if (on && !exists(dir)) mkdir(dir.c_str(), 0755);
    bool ok = on ? replace(dir, "hold", "held\n") : (unlink(path.c_str()) == 0 || errno == ENOENT);
    if (!ok) return complain(path + ": " + strerror(errno));
    printf(on ? "updates held: no card is updated until \"lora-cards --release\"\n"
              : "updates released: the cards that need it are updated now\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string opt = argc > 1 ? argv[1] : "";
    if (argc == 1) return show();
    if (opt == "--forget" && argc == 3) return forget(argv[2]);
    if (opt == "--metrics" && argc == 3) return metrics(argv[2]);
    if (opt == "--wait" && argc > 2) return waitcards(std::vector<std::string>(argv + 2, argv + argc));
    if (argc != 2) return usage();
    if (opt == "--hold" || opt == "--release") return hold(opt == "--hold");
    if (opt == "--serve") return serve();
    if (opt == "--inventory") return inventory();
    if (opt == "--help" || opt == "-h") return usage(), 0;
    return usage();
}
