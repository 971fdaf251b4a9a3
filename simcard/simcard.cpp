#include "simcard.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace simcard {

Cmd classify(std::string_view command, int &page)
{
    auto starts = [&](std::string_view prefix) { return command.substr(0, prefix.size()) == prefix; };
    if (command == "!$=E0") return Cmd::Setting;
    if (command == "!$?c") return Cmd::Crc;
    if (command == "!C?V") return Cmd::Revision;
    if (command == "!DONE") return Cmd::Done;
    if (command == "!@=*") return Cmd::Reboot;
    if (starts("!UB")) return Cmd::Begin;
    if (starts("!UF")) {
        page = std::atoi(std::string(command.substr(3, 12)).c_str());
        return Cmd::Page;
    }
    return Cmd::Other;
}

Rule reply(Cmd cmd, std::string text, int page)
{
    return Rule{cmd, page, {text + "\r\n"}, false};
}

Rule raw(Cmd cmd, std::vector<std::string> pieces)
{
    return Rule{cmd, -1, std::move(pieces), false};
}

Rule silent(Cmd cmd, int page)
{
    return Rule{cmd, page, {}, false};
}

Rule hangup(Cmd cmd, int page)
{
    return Rule{cmd, page, {}, true};
}

std::string defaultreply(Cmd cmd, const Script &script)
{
    switch (cmd) {
    case Cmd::Crc: return script.crc + "\r\n";
    case Cmd::Revision: return script.revision + "\r\n";
    case Cmd::Begin:
    case Cmd::Reboot: return "\r\n";
    case Cmd::Setting:
    case Cmd::Page:
    case Cmd::Done: return "OK\r\n";
    case Cmd::Other: break;
    }
    return "ERR\r\n";
}

void writefile(const std::string &root, const std::string &path, std::string_view text)
{
    fs::path file = fs::path(root + path);
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(text.data(), std::streamsize(text.size()));
}

void layout(const std::string &root, const std::string &tty, std::optional<std::string> vendor,
            std::optional<std::string> product)
{
    std::string usb = "/sys/devices/simcard/usb-" + tty;
    fs::remove_all(root + usb);
    fs::create_directories(root + usb + "/" + tty + ":1.0");
    if (vendor) writefile(root, usb + "/idVendor", *vendor);
    if (product) writefile(root, usb + "/idProduct", *product);
    std::string entry = root + "/sys/class/tty/" + tty;
    fs::remove_all(entry);
    fs::create_directories(entry);
    fs::create_symlink("../../../devices/simcard/usb-" + tty + "/" + tty + ":1.0", entry + "/device");
}

namespace {

// The card's own end of a line: raw, so that it reads every byte as the updater sent it.
int openraw(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    // A card that comes on the bus has heard nothing yet: what the line kept from the card
    // before it (a USB gadget's line keeps it across an unbind) is not for this one.
    if (fd >= 0) tcflush(fd, TCIFLUSH);
    return fd;
}

// Runs a command for what it does to the bus; whether it worked shows on the card's line.
void shell(const std::string &command)
{
    if (command.empty()) return;
    [[maybe_unused]] int status = std::system(command.c_str());
}

} // namespace

void Dialogue::breaks(const std::string &rule, std::string_view command)
{
    std::string shown(command.substr(0, 40));
    broken_.push_back(rule + (command.size() > 40 ? " (at " + shown + "...)" : " (at " + shown + ")"));
}

void Dialogue::command(std::string_view command, std::string_view reply)
{
    static const char *const QUERIES[] = {"!$=E0", "!$?c", "!C?V"};
    int number = -1;
    Cmd cmd = classify(command, number);
    std::string_view answer = reply.substr(0, reply.find("\r\n"));
    size_t n = count_++;
    if (rebooted_) return breaks("nothing after the reboot", command);
    if (n < 3) {
        if (command != QUERIES[n]) breaks("the three queries come first, in order", command);
        return;
    }
    if ((done_ || refused_) && cmd != Cmd::Reboot) return breaks("nothing but the reboot after !DONE or a refusal", command);
    switch (cmd) {
    case Cmd::Begin:
        if (began_) breaks("one !UB, before page 0", command);
        began_ = true;
        refused_ = !answer.empty();
        break;
    case Cmd::Page:
        page(command);
        refused_ = answer.find("OK") == std::string_view::npos;
        break;
    case Cmd::Done: done_ = true; break;
    case Cmd::Reboot: rebooted_ = true; break;
    default: breaks("no other command after the queries", command);
    }
}

// "!UF" + number + "." + length + "." + data, where data is the next whole token of the distro.
void Dialogue::page(std::string_view command)
{
    size_t dot1 = command.find('.', 3);
    size_t dot2 = dot1 == std::string_view::npos ? dot1 : command.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos) return breaks("a page is !UF, number, length and data", command);
    if (!began_) breaks("one !UB, before page 0", command);
    if (command.substr(3, dot1 - 3) != std::to_string(nextpage_++)) breaks("pages numbered from 0 up by one", command);
    std::string_view data = command.substr(dot2 + 1);
    if (command.substr(dot1 + 1, dot2 - dot1 - 1) != std::to_string(data.size())) breaks("a page declares its length", command);
    if (!distro_) return;
    const std::string &text = *distro_;
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    bool clean = !data.empty() && data.find('\0') == std::string_view::npos;
    for (size_t at = text.find(data, tokenfrom_); clean && at != std::string::npos; at = text.find(data, at + 1)) {
        size_t end = at + data.size();
        if ((at == 0 || space(text[at - 1]) || text[at - 1] == '=') && (end == text.size() || space(text[end]))) {
            tokenfrom_ = end;
            return;
        }
    }
    breaks("each page is the next whole token of the distro", command);
}

void Dialogue::ended(int status)
{
    if (status == 2 && count_ == 0) return; // not a card of ours: nothing was sent
    bool normal = status == 0 || status == 1 || status == 2 || status == 5 || status == 6;
    if (normal && !rebooted_) breaks("a run that ends normally reboots the card", "");
    if (status == 0 && !done_) breaks("status 0 only after !DONE", "");
    if ((status == 5 || status == 6) && done_) breaks("no !DONE after a refusal", "");
    if ((status == 1 || status == 2) && (began_ || done_)) breaks("no upload when installed or not supported", "");
}

Card::Card(const std::string &root, const std::string &tty, Script script)
    : script_(std::move(script)), dialogue_(script_.distro)
{
    // Close-on-exec: an updater started from this process must not hold the card's ends open,
    // or a hang-up would never reach it.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    pty_ = ptsname(master_);
    // Bytes already on a line stay as they were sent only on a raw line; otherwise the line
    // keeps the kernel's defaults (CR to LF, echo, canonical input...) for the updater to undo.
    slave_ = script_.waiting.empty() ? open(pty_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : openraw(pty_);

    link_ = root + "/dev/" + tty;
    fs::create_directories(root + "/dev");
    fs::remove(link_);
    fs::create_symlink(pty_, link_);
    send(script_.waiting);
}

Card::Card(const std::string &device, Script script) : script_(std::move(script)), dialogue_(script_.distro)
{
    pty_ = device;
    master_ = openraw(device);
    if (master_ < 0) throw std::runtime_error("cannot open " + device);
}

Card::~Card()
{
    stop();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    // The pseudo-terminal's number goes to the next program that asks for one.
    std::error_code error;
    if (!link_.empty() && fs::read_symlink(link_, error) == pty_) fs::remove(link_, error);
}

void Card::start()
{
    quit_ = false;
    thread_ = std::thread([this] { serve(quit_); });
}

void Card::stop()
{
    quit_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> Card::commands() const
{
    std::vector<std::string> list;
    size_t from = 0;
    for (size_t cr; (cr = received_.find('\r', from)) != std::string::npos; from = cr + 1)
        list.push_back(received_.substr(from, cr + 1 - from));
    if (from < received_.size()) list.push_back(received_.substr(from));
    return list;
}

void Card::serve(const std::atomic<bool> &quit)
{
    std::string pending;
    char buf[8192];
    auto last = std::chrono::steady_clock::now();
    while (!quit && master_ >= 0) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
        ssize_t got = read(master_, buf, sizeof buf);
        if (got <= 0) continue;
        // An updater is never silent for longer than its 2-s reply time-out within its dialogue:
        // a longer silence ended it, cut short (the updater killed). What it left half sent is
        // dropped, as a card's input times out, and the next command begins a dialogue.
        if (script_.reboots && std::chrono::steady_clock::now() - last > std::chrono::seconds(3)) {
            pending.clear();
            if (dialogue_.commands() > 0) restart();
        }
        received_.append(buf, size_t(got));
        pending.append(buf, size_t(got));
        for (size_t cr; master_ >= 0 && (cr = pending.find('\r')) != std::string::npos;) {
            std::string command = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            pace(command.size() + 1);
            answer(command);
        }
        last = std::chrono::steady_clock::now();
    }
}

void Card::answer(const std::string &command)
{
    int page = -1;
    Cmd cmd = classify(command, page);
    const Rule *rule = nullptr;
    for (const Rule &r : script_.rules)
        if (!rule && r.cmd == cmd && (r.page < 0 || r.page == page)) rule = &r;
    std::vector<std::string> pieces = rule ? rule->pieces : std::vector<std::string>{defaultreply(cmd, script_)};
    if (cmd == Cmd::Page && !script_.refusetext.empty() &&
        command.find(script_.refusetext, command.rfind('.') + 1) != std::string::npos)
        pieces = {"ERR\r\n"};
    std::string reply;
    for (const std::string &piece : pieces) reply += piece;

    size_t known = dialogue_.broken().size();
    dialogue_.command(command, reply);
    if (script_.warn)
        for (size_t i = known; i < dialogue_.broken().size(); ++i)
            std::cerr << "simcard: warning: the updater broke a rule: " << dialogue_.broken()[i] << std::endl;
    if (rule && rule->hangup) return leave(false);
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(script_.gapms));
        send(pieces[i]);
    }
    if (cmd != Cmd::Reboot || !script_.reboots) return;
    if (script_.plug.empty()) restart();
    else leave(true);
}

// A card that reboots or leaves starts its next dialogue from scratch.
void Card::restart()
{
    if (script_.warn)
        std::cout << "simcard: dialogue ended, " << dialogue_.commands() << " commands, " << dialogue_.pages()
                  << " pages, " << dialogue_.broken().size() << " broken rules" << std::endl;
    if (!script_.reboots) return;
    ended_.push_back(dialogue_);
    dialogue_ = Dialogue(script_.distro);
}

std::vector<Dialogue> Card::dialogues() const
{
    std::vector<Dialogue> all = ended_;
    if (all.empty() || dialogue_.commands() > 0) all.push_back(dialogue_);
    return all;
}

// The card leaves the line: hung up or pulled, or rebooting, when it comes back a moment later.
void Card::leave(bool reboot)
{
    if (reboot) {
        tcdrain(master_); // the reboot reply goes out before the card leaves the bus
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // Both ends the card holds must go for the updater's end to see the hang-up.
    close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
    shell(script_.unplug);
    restart();
    if (!reboot) return;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    shell(script_.plug);
    for (int tries = 0; master_ < 0 && tries < 50; ++tries) {
        master_ = openraw(pty_);
        if (master_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void Card::send(std::string_view bytes)
{
    while (!bytes.empty() && master_ >= 0) {
        // On a paced line the bytes go out in slices of about a millisecond of wire time.
        size_t slice = script_.baud ? std::max<size_t>(1, script_.baud / 10 / 1000) : bytes.size();
        slice = std::min(slice, bytes.size());
        ssize_t put = write(master_, bytes.data(), slice);
        if (put <= 0) return;
        pace(size_t(put));
        bytes.remove_prefix(size_t(put));
    }
}

// Holds the card back for the time the bytes take on the wire, 10 bits each with 8N1 framing.
// The line's clock runs from deadline to deadline, so oversleeping once does not add up.
void Card::pace(size_t bytes)
{
    if (script_.baud == 0) return;
    auto now = std::chrono::steady_clock::now();
    if (linefree_ < now) linefree_ = now;
    linefree_ += std::chrono::nanoseconds(uint64_t(bytes) * 10'000'000'000ULL / script_.baud);
    std::this_thread::sleep_until(linefree_);
}

} // namespace simcard
