// A simulated LoRa card: the card's end of a pseudo-terminal (or of a real terminal such as a
// USB gadget's), plus the sysfs entries and the device link under a sandbox root that the
// sandboxed updater reads instead of the real ones. Its behaviour is data: a script of rules,
// one per command that should not get the default. Every dialogue is checked against the rules
// any updater must obey with a card.
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
    bool hangup = false;             // leave the line instead of answering
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
    std::optional<std::string> distro; // the distro the pages must come from, when known
    bool warn = false;         // print each broken dialogue rule on stderr as it happens
    bool reboots = false;      // a reboot ends the dialogue: the next command begins a new one
    std::string refusetext;    // a page whose data holds this text is refused, whatever the rules
    // Serving a real terminal: shell commands that take the card off the bus and put it back.
    // A reboot runs both, a second apart; a hang-up runs unplug.
    std::string unplug, plug;
};

// The reply a card gives when no rule says otherwise.
std::string defaultreply(Cmd cmd, const Script &script);

// The rules of a dialogue with a card: the three queries first and in order; one "!UB", before
// page 0; pages numbered from 0 up by one, each with its declared length and each the next
// whole token of the distro; nothing but the reboot after "!DONE" or a refusal; nothing after
// the reboot. What breaks one is kept, in words.
class Dialogue {
public:
    explicit Dialogue(std::optional<std::string> distro = std::nullopt) : distro_(std::move(distro)) {}
    // One command as the card received it, without its CR, and the reply the card gave.
    void command(std::string_view command, std::string_view reply);
    // The updater's exit status, against what the dialogue shows.
    void ended(int status);
    const std::vector<std::string> &broken() const { return broken_; }
    size_t commands() const { return count_; }
    int pages() const { return nextpage_; }

private:
    void page(std::string_view command);
    void breaks(const std::string &rule, std::string_view command);

    std::optional<std::string> distro_;
    std::vector<std::string> broken_;
    size_t count_ = 0;
    int nextpage_ = 0;
    size_t tokenfrom_ = 0; // where in the distro the next page's token may start
    bool began_ = false, done_ = false, refused_ = false, rebooted_ = false;
};

// Writes text to root + path, creating the directories on the way.
void writefile(const std::string &root, const std::string &path, std::string_view text);

// Lays out root/sys/class/tty/<tty>/device as the kernel does: a link to a USB interface
// directory whose parent holds idVendor and idProduct (an absent value leaves its file out).
void layout(const std::string &root, const std::string &tty, std::optional<std::string> vendor,
            std::optional<std::string> product);

class Card {
public:
    // Opens a pseudo-terminal and links root/dev/<tty> to it. The updater finds the line in the
    // kernel's default mode, as on a freshly plugged card, unless bytes are waiting on it.
    Card(const std::string &root, const std::string &tty, Script script);
    // Serves an existing terminal, the card's end of a real line.
    Card(const std::string &device, Script script);
    ~Card();
    Card(const Card &) = delete;
    Card &operator=(const Card &) = delete;

    void start();                              // plays the card on a thread of its own
    void stop();                               // ends that thread
    void serve(const std::atomic<bool> &quit); // plays the card until quit is set or it hangs up

    std::vector<std::string> commands() const;                // every byte received, split after each CR
    const std::string &pty() const { return pty_; }
    const Dialogue &dialogue() const { return dialogue_; }
    // With reboots on: one dialogue per reboot, then the one still open if it has begun.
    std::vector<Dialogue> dialogues() const;

private:
    void answer(const std::string &command);
    void leave(bool reboot);
    void restart();
    void send(std::string_view bytes);
    void pace(size_t bytes);

    Script script_;
    std::string pty_;
    std::string link_; // root/dev/<tty>, taken away with the card so it never leads to another's pty
    int master_ = -1; // the card's end
    int slave_ = -1;  // the updater's end, held so the line stays up between openers
    std::string received_;
    Dialogue dialogue_;
    std::vector<Dialogue> ended_; // the dialogues a reboot ended
    std::thread thread_;
    std::atomic<bool> quit_{false};
    std::chrono::steady_clock::time_point linefree_{};
};

} // namespace simcard
