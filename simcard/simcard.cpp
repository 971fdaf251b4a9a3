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

Card::Card(const std::string &root, const std::string &tty, Script script) : script_(std::move(script))
{
    // Close-on-exec: an updater started from this process must not hold the card's ends open,
    // or a hang-up would never reach it.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    pty_ = ptsname(master_);
    // The card keeps the terminal open itself, raw, so that bytes it sends before the updater
    // opens the line are neither echoed nor translated.
    slave_ = open(pty_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);

    std::string link = root + "/dev/" + tty;
    fs::create_directories(root + "/dev");
    fs::remove(link);
    fs::create_symlink(pty_, link);
    send(script_.waiting);
}

Card::~Card()
{
    stop();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
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
    while (!quit && master_ >= 0) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
        ssize_t got = read(master_, buf, sizeof buf);
        if (got <= 0) continue;
        received_.append(buf, size_t(got));
        pending.append(buf, size_t(got));
        for (size_t cr; master_ >= 0 && (cr = pending.find('\r')) != std::string::npos;) {
            std::string command = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            pace(command.size() + 1);
            answer(command);
        }
    }
}

void Card::answer(const std::string &command)
{
    int page = -1;
    Cmd cmd = classify(command, page);
    for (const Rule &rule : script_.rules) {
        if (rule.cmd != cmd || (rule.page >= 0 && rule.page != page)) continue;
        if (rule.hangup) {
            // Both ends the card holds must go for the updater's end to see the hang-up.
            close(master_);
            close(slave_);
            master_ = slave_ = -1;
            return;
        }
        for (size_t i = 0; i < rule.pieces.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(script_.gapms));
            send(rule.pieces[i]);
        }
        return;
    }
    send(defaultreply(cmd, script_));
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
