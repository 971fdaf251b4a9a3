// Measures the sandboxed updater against the simulated card and prints a Markdown report:
// exchange overhead against a bare exchange loop, time on a paced 115200-baud line against the
// wire time, scaling with the distro's size, and the binary's footprint.
//
//   updater_bench            the whole report (a few minutes)
//   updater_bench --stopping only how long a stopped run takes to end
//   updater_bench --floor TTY COMMANDS   (internal) the bare loop: each command of the file,
//                            one per CR, written to /dev/TTY in the sandbox and its reply read
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cardtable.h"
#include "run.hpp"
#include "simcard.hpp"

namespace {

const std::string DISTRO = CARD_MODELS[0].distro;  // the ZL9A's

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double cpu(const rusage &u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A page token of n characters drawn from the hex digits, different for every page.
std::string token(size_t n, size_t seed)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string t(n, '0');
    for (size_t i = 0; i < n; ++i) t[i] = HEX[(i * 7 + seed * 13 + (i >> 4)) & 15];
    return t;
}

// A distro of the given pages, with the other keys mixed in every tenth page.
std::string makedistro(size_t pages, size_t pagelen)
{
    std::string d = "support=rev2 rev3\nbegin=5f3a9c0e21d7\nfw_version=2.4.1\nfw_crc=7C3E91A0\n";
    for (size_t p = 0; p < pages; ++p) {
        if (p % 10 == 0) d += (p ? "\n" : "") + std::string("fw_git_sha=9e41c7b other=") + std::to_string(p) + "\nfirmware=";
        else d += ' ';
        d += token(pagelen, p);
    }
    return d + "\n";
}

// The commands the updater sends for makedistro(pages, pagelen) on a card that accepts it.
std::vector<std::string> dialogue(size_t pages, size_t pagelen)
{
    std::vector<std::string> cmds = {"!$=E0\r", "!$?c\r", "!C?V\r", "!UB5f3a9c0e21d7\r"};
    for (size_t p = 0; p < pages; ++p)
        cmds.push_back("!UF" + std::to_string(p) + "." + std::to_string(pagelen) + "." + token(pagelen, p) + "\r");
    cmds.push_back("!DONE\r");
    cmds.push_back("!@=*\r");
    return cmds;
}

struct Sample {
    double wall = 0, cpu = 0, rss_kb = 0;
    int status = -1;
};

// The peak resident memory of a running process, from its own memory map. (The ru_maxrss of
// wait4 is no use here: a child's count starts from its parent's size at the fork.)
double vmhwm(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6);
    return 0;
}

// One run of a program against a fresh simulated card. For the memory figure the card holds
// its answer to the reboot back for a moment, so that the last sample sees the final peak.
Sample against(simcard::Script script, const std::vector<std::string> &argv, bool memory = false)
{
    if (memory) {
        script.gapms = 100;
        script.rules.push_back(simcard::raw(simcard::Cmd::Reboot, {"", "\r\n"}));
    }
    simcard::Card card(SANDBOX_ROOT, "ttyACM0", script);
    card.start();
    double peak = 0;
    auto sample = [&](pid_t pid) { peak = std::max(peak, vmhwm(pid)); };
    auto start = std::chrono::steady_clock::now();
    simcard::Ended ended = simcard::runprogram({argv, 600, true, SIZE_MAX, memory ? sample : std::function<void(pid_t)>()});
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    card.stop();
    return {wall, cpu(ended.usage), peak, ended.status};
}

void setdistro(const std::string &text)
{
    simcard::layout(SANDBOX_ROOT, "ttyACM0", "3c5e\n", "0310\n");
    simcard::writefile(SANDBOX_ROOT, DISTRO, text);
}

std::string fmt(double v, int decimals)
{
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(decimals);
    s << v;
    return s.str();
}

std::string verdict(bool ok)
{
    return ok ? "within bar" : "**misses bar**";
}

void overhead(const std::string &self)
{
    const size_t pages = 1000, pagelen = 4000, rounds = 21;
    setdistro(makedistro(pages, pagelen));
    std::string cmdfile = std::string(SANDBOX_ROOT) + "/floor.commands";
    std::ofstream(cmdfile, std::ios::binary) << [&] {
        std::string all;
        for (const std::string &c : dialogue(pages, pagelen)) all += c;
        return all;
    }();
    // Each round runs the two side by side; the ratio is taken per round, so that a round the
    // machine was busy for weighs on both of its runs alike.
    std::vector<double> uw, uc, fw, fc, wall, cpus;
    for (size_t r = 0; r < rounds; ++r) {
        Sample u = against({}, {UPDATER_BIN, "ttyACM0"});
        Sample f = against({}, {self, "--floor", "ttyACM0", cmdfile});
        if (u.status != 0 || f.status != 0) std::cerr << "bench: run failed: " << u.status << " " << f.status << "\n";
        uw.push_back(u.wall / pages * 1e6);
        uc.push_back(u.cpu / pages * 1e6);
        fw.push_back(f.wall / pages * 1e6);
        fc.push_back(f.cpu / pages * 1e6);
        wall.push_back(u.wall / f.wall);
        cpus.push_back(f.cpu > 0 ? u.cpu / f.cpu : 0);
    }
    double ratio = median(wall);
    std::cout << "### Exchange overhead: " << pages << " pages of " << pagelen << " characters, card answering at once, "
              << rounds << " rounds, medians\n\n"
              << "| | wall µs/page | CPU µs/page |\n|---|---|---|\n"
              << "| updater | " << fmt(median(uw), 1) << " | " << fmt(median(uc), 1) << " |\n"
              << "| bare exchange loop (floor) | " << fmt(median(fw), 1) << " | " << fmt(median(fc), 1) << " |\n"
              << "| ratio updater/floor, per round | " << fmt(ratio, 3) << " | " << fmt(median(cpus), 3) << " |\n\n"
              << "CPU ratio " << fmt(median(cpus), 3) << " (bar 1.5): " << verdict(median(cpus) <= 1.5)
              << ". The line, not the CPU, sets the pace of a real update (see the paced run).\n\n";
}

void paced()
{
    const size_t pages = 64, pagelen = 1000, rounds = 3;
    const unsigned baud = 115200;
    setdistro(makedistro(pages, pagelen));
    simcard::Script script;
    script.baud = baud;
    size_t bytes = 0;
    for (const std::string &c : dialogue(pages, pagelen)) {
        int page = -1;
        bytes += c.size() + simcard::defaultreply(simcard::classify(c.substr(0, c.size() - 1), page), script).size();
    }
    double wire = double(bytes) * 10 / baud;
    std::vector<double> wall;
    for (size_t r = 0; r < rounds; ++r) wall.push_back(against(script, {UPDATER_BIN, "ttyACM0"}).wall);
    double ratio = median(wall) / wire;
    std::cout << "### On the line: " << pages << " pages of " << pagelen << " characters at " << baud << " baud 8N1, "
              << rounds << " rounds, median\n\n"
              << "| bytes both ways | wire time s | updater s | ratio |\n|---|---|---|---|\n"
              << "| " << bytes << " | " << fmt(wire, 3) << " | " << fmt(median(wall), 3) << " | " << fmt(ratio, 4) << " |\n\n"
              << "Ratio " << fmt(ratio, 4) << " (bar 1.02): " << verdict(ratio <= 1.02) << ".\n\n";
}

void scaling()
{
    const size_t pagelen = 4000, rounds = 3;
    std::cout << "### Scaling: distros of pages of " << pagelen << " characters with other keys mixed in, " << rounds
              << " rounds, medians\n\n| distro | pages | s/MiB | peak RSS KiB |\n|---|---|---|---|\n";
    std::vector<double> rss;
    for (size_t mib : {1, 16, 64}) {
        size_t pages = mib * 1048576 / (pagelen + 1);
        std::string distro = makedistro(pages, pagelen);
        setdistro(distro);
        std::vector<double> perm;
        for (size_t r = 0; r < rounds; ++r)
            perm.push_back(against({}, {UPDATER_BIN, "ttyACM0"}).wall / (double(distro.size()) / 1048576));
        rss.push_back(against({}, {UPDATER_BIN, "ttyACM0"}, true).rss_kb);
        std::cout << "| " << mib << " MiB | " << pages << " | " << fmt(median(perm), 3) << " | " << fmt(rss.back(), 0) << " |\n";
    }
    double spread = rss.back() / rss.front();
    std::cout << "\n(peak RSS from one run each, read from the process's VmHWM)\n\nPeak RSS 64 MiB / 1 MiB: " << fmt(spread, 3) << " (bar within 5%): " << verdict(spread <= 1.05 && spread >= 0.95)
              << ".\n\n";
}

long strippedsize(const std::string &binary)
{
    std::string copy = std::string(SANDBOX_ROOT) + "/stripped";
    simcard::runprogram({{"/usr/bin/strip", "-o", copy, binary}, 60, true, SIZE_MAX, {}});
    struct stat st {};
    return stat(copy.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

void footprint()
{
    setdistro(makedistro(64, 1000));
    std::cout << "### Footprint: the release binary, and a full simulated update of 64 pages (median of 5 runs)\n\n"
              << "| flags | stripped size bytes | peak RSS KiB |\n|---|---|---|\n";
    const char *rows[][3] = {{"default (-O3)", RELEASE_BIN, UPDATER_BIN}, {"-Os", RELEASE_OS_BIN, UPDATER_OS_BIN}};
    for (auto &row : rows) {
        std::vector<double> mem;
        for (int r = 0; r < 5; ++r) mem.push_back(against({}, {row[2], "ttyACM0"}, true).rss_kb);
        std::cout << "| " << row[0] << " | " << strippedsize(row[1]) << " | " << fmt(median(mem), 0) << " |\n";
    }
    std::cout << "\n";
}

// The floor: the same exchanges with nothing else, on a line set up the way the updater sets it.
int floorloop(const std::string &tty, const std::string &cmdfile)
{
    // The commands are mapped, not copied, so the loop does nothing but the exchanges.
    int cmdfd = open(cmdfile.c_str(), O_RDONLY);
    struct stat st {};
    if (cmdfd < 0 || fstat(cmdfd, &st) != 0) return 1;
    void *map = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, cmdfd, 0);
    if (map == MAP_FAILED) return 1;
    const std::string_view all(static_cast<const char *>(map), size_t(st.st_size));
    int fd = open((std::string(SANDBOX_ROOT) + "/dev/" + tty).c_str(), O_RDWR | O_NOCTTY | O_SYNC);
    if (fd < 0) return 9;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 20;
    tcsetattr(fd, TCSANOW, &tio);
    static char reply[4096];
    for (size_t from = 0, cr; (cr = all.find('\r', from)) != std::string_view::npos; from = cr + 1) {
        if (write(fd, all.data() + from, cr + 1 - from) != ssize_t(cr + 1 - from)) return 10;
        size_t fill = 0;
        do {
            ssize_t got = read(fd, reply + fill, sizeof reply - 1 - fill);
            if (got <= 0) return 10;
            fill += size_t(got);
            reply[fill] = '\0';
        } while (!strstr(reply, "\r\n"));
    }
    close(fd);
    return 0;
}

void machine()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "?";
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    std::cout << "Machine: " << model << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, Linux " << u.release
              << "; the card runs on a thread of the benchmark, the updater and the floor as child processes.\n\n";
}

// How long a stopped run takes to end: SIGTERM at a random moment of the upload, timed from the
// signal to the exit. The run finishes the page in flight, then reboots the card; its worst case
// is a card that takes nearly its 2 s over both replies.
void stopping()
{
    const size_t pages = 12, pagelen = 4000, rounds = 9;
    const unsigned baud = 115200;
    setdistro(makedistro(pages, pagelen));
    simcard::Script prompt, slow;
    prompt.baud = slow.baud = baud;
    slow.gapms = 1900;
    slow.rules = {simcard::raw(simcard::Cmd::Page, {"O", "K\r\n"}), simcard::raw(simcard::Cmd::Reboot, {"\r", "\n"})};
    std::cout << "### Stopping: SIGTERM at a random moment of an upload of " << pages << " pages of " << pagelen
              << " characters at " << baud << " baud, " << rounds << " rounds\n\n"
              << "| card | signal to exit, median s | max s | runs ended 6 |\n|---|---|---|---|\n";
    std::mt19937 random(1);
    for (auto [name, script, span] : {std::tuple{"answers at once", prompt, 3.5}, std::tuple{"1.9 s over each reply", slow, 12.0}}) {
        std::vector<double> took;
        int sixes = 0;
        for (size_t r = 0; r < rounds; ++r) {
            double at = std::uniform_real_distribution<double>(0.3, span)(random);
            simcard::Card card(SANDBOX_ROOT, "ttyACM0", script);
            card.start();
            auto start = std::chrono::steady_clock::now(), signalled = start;
            auto tick = [&](pid_t pid) {
                if (signalled == start && std::chrono::steady_clock::now() - start > std::chrono::duration<double>(at))
                    kill(pid, SIGTERM), signalled = std::chrono::steady_clock::now();
            };
            sixes += simcard::runprogram({{UPDATER_BIN, "ttyACM0"}, 600, true, SIZE_MAX, tick}).status == 6;
            took.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count());
            card.stop();
        }
        std::cout << "| " << name << " | " << fmt(median(took), 3) << " | " << fmt(*std::max_element(took.begin(), took.end()), 3)
                  << " | " << sixes << " of " << rounds << " |\n";
    }
    std::cout << "\n";
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && std::string(argv[1]) == "--floor") return floorloop(argv[2], argv[3]);
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    std::cout << "## Performance\n\n";
    if (argc == 2 && std::string(argv[1]) == "--stopping") return stopping(), 0;
    machine();
    overhead(self);
    paced();
    scaling();
    footprint();
    stopping();
    return 0;
}
