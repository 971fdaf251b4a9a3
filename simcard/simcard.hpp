// A simulated LoRa card: the card's end of a pseudo-terminal, plus the sysfs entries and the
// device link under a sandbox root that the sandboxed updater reads instead of the real ones.
// Its behaviour is data: a script of rules, one per command that should not get the default.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace simcard {

enum class Cmd { Setting, Crc, Revision, Begin, Page, Done, Reboot, Other };

// The kind of a command as the card reads it; page is set for "!UF" commands.
Cmd classify(std::string_view command, int &page);

// What the card does with one command instead of its default reply.
struct Rule {
    Cmd cmd;
    int page = -1;                   // a Page rule for this page only; -1 for every page
    std::vector<std::string> pieces; // the reply, one write per piece; no pieces: silence
    bool hangup = false;             // close the line instead of answering
};

Rule reply(Cmd cmd, std::string text, int page = -1); // text + CR LF in one write
Rule raw(Cmd cmd, std::vector<std::string> pieces);   // exactly these bytes, piece by piece
Rule silent(Cmd cmd, int page = -1);
Rule hangup(Cmd cmd, int page = -1);

struct Script {
    std::string waiting;       // bytes already on the line before the updater opens it
    std::vector<Rule> rules;   // the first rule that matches a command wins
    std::string crc = "0xA1B2C3D4";
    std::string revision = "rev3";
    unsigned baud = 0;         // when set, bytes move no faster than an 8N1 line of this speed
    unsigned gapms = 40;       // pause between the pieces of a split reply
};

// The reply a card gives when no rule says otherwise.
std::string defaultreply(Cmd cmd, const Script &script);

// Writes text to root + path, creating the directories on the way.
void writefile(const std::string &root, const std::string &path, std::string_view text);

// Lays out root/sys/class/tty/<tty>/device as the kernel does: a link to a USB interface
// directory whose parent holds idVendor and idProduct (an absent value leaves its file out).
void layout(const std::string &root, const std::string &tty, std::optional<std::string> vendor,
            std::optional<std::string> product);

class Card {
public:
    // Opens a pseudo-terminal in raw mode and links root/dev/<tty> to it.
    Card(const std::string &root, const std::string &tty, Script script);
    ~Card();
    Card(const Card &) = delete;
    Card &operator=(const Card &) = delete;

    void start();                            // plays the card on a thread of its own
    void stop();                             // ends that thread
    void serve(const std::atomic<bool> &quit); // plays the card until quit is set or it hangs up

    const std::string &received() const { return received_; } // every byte the updater sent
    std::vector<std::string> commands() const;                // received, split after each CR
    const std::string &pty() const { return pty_; }

private:
    void answer(const std::string &command);
    void send(std::string_view bytes);
    void pace(size_t bytes);

    Script script_;
    std::string pty_;
    int master_ = -1;
    int slave_ = -1;
    std::string received_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    std::chrono::steady_clock::time_point linefree_{};
};

} // namespace simcard
