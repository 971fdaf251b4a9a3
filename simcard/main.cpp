// simcard: runs one simulated card until stopped, for the demo and for trying scripts that act
// on the updater's exit status without a card on the desk.
//
//   simcard [--model MODEL] [--tty NAME] [--distro FILE] [--crc TEXT]
//           [--installed] [--revision TEXT] [--refuse-begin] [--refuse-page N] [--refuse-text TEXT]
//           [--reboot-reply TEXT] [--silent CMD] [--hangup CMD] [--baud N] [--root DIR]
//           [--serve DEVICE [--unplug SHELL] [--plug SHELL]]
//
// MODEL is a model of the card table (ZL9A by default). CMD is one of setting, crc, revision, begin, page, done, reboot; --hangup also takes page:N for
// one page. It lays out the card under the
// sandbox root (or, with --serve, plays the card on the card's end of a real line such as a USB
// gadget's /dev/ttyGS0), prints "simcard: ready, ..." and answers until SIGINT or SIGTERM, or
// until it hangs up. Each command is checked against the rules of a card dialogue: a broken rule
// gives a "simcard: warning: ..." line on stderr, and each dialogue's end a summary line.
#include "cardtable.h"
#include "simcard.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#ifndef UPDATER_ROOT
#define UPDATER_ROOT ""
#endif
#ifndef UPDATER_SANDBOX_BIN
#define UPDATER_SANDBOX_BIN "updater-sandbox"
#endif

namespace {

std::atomic<bool> quit{false};

void onsignal(int)
{
    quit = true;
}

// The row of the card table for a model name, or none.
const CardModel *findmodel(const std::string &name)
{
    for (const CardModel &m : CARD_MODELS)
        if (name == m.model) return &m;
    return nullptr;
}

// A sysfs id as the kernel writes it: four lower-case hex digits and a newline.
std::string sysfsid(long id)
{
    char text[16];
    (void)snprintf(text, sizeof text, "%04lx\n", id);
    return text;
}

const std::map<std::string, simcard::Cmd> COMMANDS = {
    {"setting", simcard::Cmd::Setting}, {"crc", simcard::Cmd::Crc},   {"revision", simcard::Cmd::Revision},
    {"begin", simcard::Cmd::Begin},     {"page", simcard::Cmd::Page}, {"done", simcard::Cmd::Done},
    {"reboot", simcard::Cmd::Reboot},
};

// A decimal number of at most nine digits, or -1.
long number(const std::string &text)
{
    bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
    return digits ? std::stol(text) : -1;
}

const char USAGE[] =
    "usage: simcard [--model MODEL] [--tty NAME] [--distro FILE]\n"
    "               [--crc TEXT] [--installed] [--revision TEXT] [--refuse-begin] [--refuse-page N]\n"
    "               [--refuse-text TEXT]\n"
    "               [--reboot-reply TEXT] [--silent CMD] [--hangup CMD] [--baud N] [--root DIR]\n"
    "               [--serve DEVICE [--unplug SHELL] [--plug SHELL]]\n"
    "CMD: setting crc revision begin page done reboot (--hangup also takes page:N, one page).\n"
    "The card runs until SIGINT or SIGTERM\n"
    "(Ctrl-C, or kill PID when started in the background), or until it hangs up (--hangup).\n"
    "--serve plays the card on an existing terminal; a reboot runs --unplug, then --plug.\n";

std::string models()
{
    std::string line = "MODEL:";
    for (const CardModel &m : CARD_MODELS) line += std::string(" ") + m.model;
    return line + "\n";
}

int usage(const std::string &why)
{
    std::cerr << "simcard: " << why << "\n" << USAGE << models();
    return 64;
}

// The first "fw_crc" token of a distro, as the card would report it (after two characters that
// are not part of the value).
std::string installedcrc(const std::string &distro)
{
    size_t at = distro.rfind("fw_crc=", 0) == 0 ? 0 : distro.find("\nfw_crc=");
    if (at == std::string::npos) return "0xNONE";
    std::istringstream rest(distro.substr(distro.find('=', at) + 1));
    std::string token;
    rest >> token;
    return "0x" + token;
}

} // namespace

int main(int argc, char *argv[])
{
    std::string root = UPDATER_ROOT, tty = "ttyACM0", model = "ZL9A", distro, device;
    simcard::Script script;
    script.warn = script.reboots = true;
    bool installed = false;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::cout << USAGE << models();
            return 0;
        }
        if (opt == "--refuse-begin" || opt == "--installed") {
            if (opt == "--installed") installed = true;
            else script.rules.push_back(simcard::reply(simcard::Cmd::Begin, "ERR"));
            continue;
        }
        if (i + 1 >= argc) return usage("missing value or unknown option " + opt);
        std::string val = argv[++i];
        if (opt == "--model" && findmodel(val)) model = val;
        else if (opt == "--tty" && !val.empty() && val.find('/') == std::string::npos) tty = val;
        else if (opt == "--distro") distro = val;
        else if (opt == "--root") root = val;
        else if (opt == "--serve") device = val;
        else if (opt == "--unplug") script.unplug = val;
        else if (opt == "--plug") script.plug = val;
        else if (opt == "--crc") script.crc = val;
        else if (opt == "--revision") script.revision = val;
        else if (opt == "--baud" && number(val) >= 0) script.baud = unsigned(number(val));
        else if (opt == "--refuse-page" && number(val) >= 0)
            script.rules.push_back(simcard::reply(simcard::Cmd::Page, "ERR", int(number(val))));
        else if (opt == "--refuse-text" && !val.empty()) script.refusetext = val;
        else if (opt == "--reboot-reply") script.rules.push_back(simcard::reply(simcard::Cmd::Reboot, val));
        else if (opt == "--silent" && COMMANDS.count(val)) script.rules.push_back(simcard::silent(COMMANDS.at(val)));
        else if (opt == "--hangup" && COMMANDS.count(val)) script.rules.push_back(simcard::hangup(COMMANDS.at(val)));
        else if (opt == "--hangup" && val.rfind("page:", 0) == 0 && number(val.substr(5)) >= 0)
            script.rules.push_back(simcard::hangup(simcard::Cmd::Page, int(number(val.substr(5)))));
        else return usage("bad option " + opt + " " + val);
    }
    if (root.empty() && device.empty()) return usage("no sandbox root: pass --root DIR");

    // The distro given, or the one already in the sandbox: the card checks the pages against it.
    const CardModel &row = *findmodel(model);
    std::string distropath = row.distro;
    std::string from = distro.empty() ? root + distropath : distro;
    std::ifstream in(from, std::ios::binary);
    if (!in)
        return usage("no distro: pass --distro FILE (" + from + " cannot be read), or the card would "
                     "serve an update with nothing to check it against");
    std::stringstream text;
    text << in.rdbuf();
    script.distro = text.str();
    if (installed) script.crc = installedcrc(text.str());
    std::signal(SIGINT, onsignal);
    std::signal(SIGTERM, onsignal);
    // Scripts read the ready line and go: a summary line nobody reads must not end the card.
    std::signal(SIGPIPE, SIG_IGN);
    if (!device.empty()) {
        if (access(device.c_str(), R_OK | W_OK) != 0) return usage("cannot open " + device);
        simcard::Card card(device, script);
        std::cout << "simcard: ready, serving " << device << " as a " << model << " card (pid " << getpid() << ")"
                  << std::endl;
        card.serve(quit);
        return 0;
    }
    simcard::layout(root, tty, sysfsid(CARD_VENDOR), sysfsid(row.product));
    if (!distro.empty()) simcard::writefile(root, distropath, text.str());
    simcard::Card card(root, tty, script);
    std::cout << "simcard: ready, tty " << tty << " (" << model << " at " << card.pty() << ", root " << root << ")\n"
              << "simcard: run " << UPDATER_SANDBOX_BIN << " " << tty << "; stop the card with Ctrl-C, or kill "
              << getpid() << " when it runs in the background" << std::endl;
    if (root != UPDATER_ROOT)
        std::cout << "simcard: that updater reads " << UPDATER_ROOT << "; for this root, build one with -DUPDATER_ROOT='\""
                  << root << "\"'" << std::endl;
    card.serve(quit);
    return 0;
}
