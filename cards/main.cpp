// lora-cards: the commands for people, and --wait for Mender's module. Each reads the states
// and the bus as they are now, and ends.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cards.h"

namespace {

// Waits for the cards on the bus now that take these distros: each must end done with its
// distro's content as it is now (a card that was given up or stopped fails the wait). Cards
// absent now are not waited for; a distro that is missing has no card to wait for.
int waitcards(const std::vector<std::string> &names)
{
    std::string root = env("LORA_ROOT", ""), dir = statedir(), distros = root + distrodir();
    double limit = strtod(env("LORA_WAIT", "1800").c_str(), nullptr), start = now();
    std::vector<std::string> known = distronames();
    auto unknown = std::find_if(names.begin(), names.end(), [&](const std::string &n) {
        return std::find(known.begin(), known.end(), n) == known.end();
    });
    if (unknown != names.end()) {
        std::string list;
        for (const std::string &n : known) list += (list.empty() ? "" : ", ") + n;
        complain(*unknown + ": not a distro name (" + list + ")");
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
            // No card takes a file that is not a distro: waiting for it would wait for nothing.
            if (!d.check.wrong.empty()) {
                printf("%snot updated with %s, %s\n", head.c_str(), name.c_str(), d.problem.c_str());
                failed++;
                it = cards.erase(it);
                continue;
            }
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

// What a card would get from each file: one line each; 1 if one is not a distro, or unreadable.
int check(const std::vector<std::string> &files)
{
    int bad = 0;
    for (const std::string &file : files) {
        Distro d;
        readdistro(d, file);
        printf("%s: %s\n", file.c_str(), d.problem.empty() ? verdict(d.check).c_str() : d.problem.c_str());
        bad += !d.problem.empty();
    }
    return bad ? 1 : 0;
}

// The fw_version of a distro alone, for the software version of a Mender artifact.
int fwversion(const std::string &file)
{
    Distro d;
    readdistro(d, file);
    if (!d.problem.empty()) return complain(file + ": " + d.problem);
    printf("%s\n", d.version.c_str());
    return 0;
}

int usage()
{
    (void)fprintf(stderr, "usage: lora-cards [--forget PORT | --hold | --release | --serve | --wait NAME... |\n"
                          "                   --check FILE... | --fw-version FILE | --inventory | --metrics DIR]\n");
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
    // A hold laid again keeps its time: the alert on a hold left on counts from the first.
    bool ok = on ? exists(path) || replace(dir, "hold", "held\n") : (unlink(path.c_str()) == 0 || errno == ENOENT);
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
    if (opt == "--fw-version" && argc == 3) return fwversion(argv[2]);
    if (opt == "--metrics" && argc == 3) return metrics(argv[2]);
    if (opt == "--wait" && argc > 2) return waitcards(std::vector<std::string>(argv + 2, argv + argc));
    if (opt == "--check" && argc > 2) return check(std::vector<std::string>(argv + 2, argv + argc));
    if (argc != 2) return usage();
    if (opt == "--hold" || opt == "--release") return hold(opt == "--hold");
    if (opt == "--serve") return serve();
    if (opt == "--inventory") return inventory();
    if (opt == "--help" || opt == "-h") return usage(), 0;
    return usage();
}
