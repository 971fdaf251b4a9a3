// The updater's own source, compiled unchanged, with its system calls to the card answered by a
// card simulated in this process, and its fatal exits turned into an exception so that one
// process can run millions of inputs. Every command the updater writes is checked as it is
// written; a broken rule aborts, which libFuzzer reports as a finding.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

struct FatalExit {
    int code;
};

[[noreturn]] void fuzz_exit(int code);
ssize_t fuzz_read(int fd, void *buf, size_t count);
ssize_t fuzz_write(int fd, const void *buf, size_t count);
int fuzz_open(const char *path, int flags, ...);
FILE *fuzz_fopen(const char *path, const char *mode);
int fuzz_fclose(FILE *f);

#define main updater_main
#define exit fuzz_exit
#define read fuzz_read
#define write fuzz_write
#define open fuzz_open
#define fopen fuzz_fopen
#define fclose fuzz_fclose
#include "../updater/updater.cpp"
#undef main
#undef exit
#undef read
#undef write
#undef open
#undef fopen
#undef fclose

namespace card {

// Where the card's replies come from: the default replies of a card that accepts everything, or
// a stream of bytes handed out in chunks of the sizes the fuzzer chose.
inline bool scripted = false;
inline std::string stream;
inline std::vector<size_t> chunks;
inline size_t chunk = 0;

inline std::string distro;            // the distro file's contents, to check the pages against
inline std::vector<std::string> sent; // the commands, in order
inline std::string queued;            // the accepting card's replies not yet read
inline size_t tokenfrom = 0;          // where in the distro the next page's token must start
inline int nextpage = 0;
inline bool began = false;
inline FILE *distrofile = nullptr;    // left open by a fatal exit, as a process exit would

// The log as one record per log line. A record starts with each "[UPD] " the log writes on its
// own, so a reply that holds line feeds or log-like text stays inside its line's record.
struct Records : std::streambuf {
    std::vector<std::string> lines;
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        if (n == 6 && memcmp(s, "[UPD] ", 6) == 0) lines.emplace_back();
        if (lines.empty()) lines.emplace_back();
        lines.back().append(s, size_t(n));
        return n;
    }
    int_type overflow(int_type c) override
    {
        char ch = char(c);
        if (c != traits_type::eof()) xsputn(&ch, 1);
        return c;
    }
};
inline Records log;

[[noreturn]] inline void broken(const char *rule, std::string_view command)
{
    fprintf(stderr, "rule broken: %s; command: %.*s\n", rule, int(std::min<size_t>(command.size(), 200)),
            command.data());
    abort();
}

// A page's data must be a whole token of the distro, after the previous page's token.
inline void wholetoken(std::string_view data, std::string_view command)
{
    for (size_t at = distro.find(data, tokenfrom); at != std::string::npos; at = distro.find(data, at + 1)) {
        bool starts = at == 0 || space(distro[at - 1]) || distro[at - 1] == '=';
        bool ends = at + data.size() == distro.size() || space(distro[at + data.size()]);
        if (starts && ends) {
            tokenfrom = at + data.size();
            return;
        }
    }
    broken("page data is not the next whole token of the distro", command);
}

inline void checkpage(std::string_view command)
{
    if (!began) broken("page before the update began", command);
    size_t dot1 = command.find('.'), dot2 = command.find('.', dot1 + 1);
    if (dot1 == std::string_view::npos || dot2 == std::string_view::npos) broken("page command shape", command);
    if (std::string(command.substr(3, dot1 - 3)) != std::to_string(nextpage)) broken("page numbers rise by one from 0", command);
    std::string_view data = command.substr(dot2 + 1, command.size() - dot2 - 2);
    if (std::string(command.substr(dot1 + 1, dot2 - dot1 - 1)) != std::to_string(data.size()))
        broken("declared length is the data's length", command);
    if (data.empty() || data.find('\0') != std::string_view::npos) broken("page data empty or with a NUL", command);
    if (!distro.empty()) wholetoken(data, command);
    ++nextpage;
}

// Checks one command against the dialogue so far and queues the accepting card's reply.
inline void receive(std::string_view command)
{
    if (command.size() > COMMAND_SIZE - 1) broken("command longer than its buffer", command);
    if (command.empty() || command.back() != '\r' || command.find('\r') != command.size() - 1)
        broken("one command per write, ended by its only CR", command);
    static const char *const order[] = {SETTING_CMD, CRC_CMD, REVISION_CMD};
    size_t n = sent.size();
    if (n < 3 && command != order[n]) broken("session starts with setting, CRC, revision", command);
    bool rebooted = std::find(sent.begin(), sent.end(), REBOOT_CMD) != sent.end();
    bool done = std::find(sent.begin(), sent.end(), DONE_CMD) != sent.end();
    if (rebooted) broken("nothing after the reboot command", command);
    std::string reply = "OK\r\n";
    if (n >= 3 && command.substr(0, 3) == "!UB") {
        if (began || done) broken("!UB at most once, before page 0", command);
        began = true;
        reply = "\r\n";
    } else if (n >= 3 && command.substr(0, 3) == "!UF") {
        if (done) broken("page after !DONE", command);
        checkpage(command);
    } else if (command == CRC_CMD) {
        reply = "0xA1B2C3D4\r\n";
    } else if (command == REVISION_CMD) {
        reply = "rev3\r\n";
    } else if (command == REBOOT_CMD) {
        reply = "\r\n";
    } else if (n >= 3 && command != DONE_CMD) {
        broken("unknown command", command);
    }
    sent.emplace_back(command);
    if (!scripted) queued += reply;
}

inline void reset(std::string distrotext)
{
    distro = std::move(distrotext);
    sent.clear();
    queued.clear();
    stream.clear();
    chunks.clear();
    chunk = 0;
    tokenfrom = 0;
    nextpage = 0;
    began = false;
    log.lines.clear();
}

// Runs body; returns its result, or minus the exit code of a fatal exit. Whatever a fatal exit
// leaves open is closed here, as the process exit would.
template <typename Body> int outcome(Body body)
{
    static bool quiet = (std::cout.rdbuf(&log), true);
    (void)quiet;
    try {
        return body();
    } catch (const FatalExit &fatal) {
        if (distrofile) fuzz_fclose(distrofile);
        return -fatal.code;
    }
}

// The rules that hold for a whole run: a result is one the installer gives, a refusal is never
// followed by !DONE, and a run that returns has sent the reboot command last.
inline void checkrun(int result, bool returned)
{
    bool refused = false;
    for (const std::string &line : log.lines)
        refused = refused || line == "[UPD] Installation error, ttyF\n" ||
                  line.rfind("[UPD] Installation error on page", 0) == 0;
    bool done = std::find(sent.begin(), sent.end(), DONE_CMD) != sent.end();
    if (returned && result != 0 && result != 1 && result != 2 && result != 5 && result != 6)
        broken("result is 0, 1, 2, 5 or 6", std::to_string(result));
    if ((result == 5 || result == 6 || refused) && done)
        broken("no !DONE after a refusal", DONE_CMD);
    if (result == 0 && returned && !done) broken("result 0 only after !DONE", "");
}

inline std::string distropath()
{
    static const std::string path = "/dev/shm/updater-fuzz-" + std::to_string(getpid()) + ".dist";
    return path;
}

inline void writedistro(const uint8_t *data, size_t size)
{
    FILE *f = ::fopen(distropath().c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size) abort();
    ::fclose(f);
}

} // namespace card

[[noreturn]] void fuzz_exit(int code)
{
    std::cout.flush();
    throw FatalExit{code};
}

ssize_t fuzz_write(int, const void *buf, size_t count)
{
    card::receive(std::string_view(static_cast<const char *>(buf), count));
    return ssize_t(count);
}

// An empty reply source reads as the end of the line: the updater's read fails.
ssize_t fuzz_read(int, void *buf, size_t count)
{
    std::string &source = card::scripted ? card::stream : card::queued;
    size_t take = std::min(count, source.size());
    if (card::scripted && card::chunk < card::chunks.size()) take = std::min(take, card::chunks[card::chunk++]);
    memcpy(buf, source.data(), take);
    source.erase(0, take);
    return ssize_t(take);
}

int fuzz_open(const char *, int, ...)
{
    return 1 << 20; // no descriptor is opened (this one cannot exist): the card is simulated here
}

FILE *fuzz_fopen(const char *path, const char *mode)
{
    FILE *f = ::fopen(path, mode);
    if (std::string_view(path) == card::distropath()) card::distrofile = f;
    return f;
}

int fuzz_fclose(FILE *f)
{
    if (f == card::distrofile) card::distrofile = nullptr;
    return ::fclose(f);
}
