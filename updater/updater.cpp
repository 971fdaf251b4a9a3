// updater: firmware updater for the LoRa cards behind a USB serial terminal.
//
//   updater TTY     identifies the card behind /dev/TTY from its USB ids in sysfs, uploads the
//                   matching distro file and reboots the card; exits with the installer's result.
//
// The routines, in the order of a run:
//   logline(pieces...)            one "[UPD] " line on stdout, flushed.
//   fatal(routine, code)          the ERROR line naming this file, the line and the routine; exits.
//   opentty(tty)                  opens /dev/TTY raw at 115200 baud, 2 s read time-out; fatal 9.
//   sendcmd(fd, cmd)              writes one command in one write; fatal 10 if not written whole.
//   readrepl(fd, buf, cap)        reads one CR LF line into buf, cleaned; fatal 10 on silence.
//   trimrepl(buf, index)          clears blanks and control bytes off the end of a reply.
//   begincmd, pagecmd             build "!UB" and "!UF" commands; replies judged by crcreply,
//                                 revreply, beginok, pageok, rebootok.
//   install(fd, distro, ...)      parses the distro and uploads it; returns 0, 1, 2, 5 or 6;
//                                 fatal 9 if the distro cannot be opened.
//   update(tty, distro)           queries, install, reboot; fatal 10 on a refused reboot.
//   main(argc, argv)              identification from sysfs; fatal 7 (usage) or 2 (unknown card).
//
// UPDATER_ROOT is prefixed to every path the program opens and to nothing else: empty in the
// release build, a scratch directory in the sandboxed build that runs against a simulated card.

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
#include <string>
#include <string_view>

#ifndef UPDATER_ROOT
#define UPDATER_ROOT ""
#endif

using namespace std::literals;

// ---- Log and fatal exits ----------------------------------------------------------------------

template <typename... Pieces> void logline(const Pieces &...pieces)
{
    std::cout << "[UPD] ";
    (std::cout << ... << pieces);
    std::cout << '\n' << std::flush;
}

[[noreturn]] void fatalat(int line, const char *routine, int code)
{
    logline("ERROR updater/updater.cpp:", line, " ", routine, " exit code: ", code);
    exit(code);
}

// Every fatal line names the line of the check that failed, so a check and its fatal call share
// one source line.
#define fatal(routine, code) fatalat(__LINE__, routine, code)

std::string rooted(std::string_view path)
{
    return std::string(UPDATER_ROOT).append(path);
}

// ---- Serial link ------------------------------------------------------------------------------

int opentty(std::string_view tty)
{
    int fd = open(rooted("/dev/"s.append(tty)).c_str(), O_RDWR | O_NOCTTY | O_SYNC);
    if (fd == -1) fatal("opentty", 9);

    // Only the named bits change: the rest of the device's settings stay as they were, and the
    // queues are not flushed, so bytes already on the line begin the first reply.
    termios tio;
    memset(&tio, 0, sizeof tio);
    tcgetattr(fd, &tio);
    cfsetospeed(&tio, B115200);
    cfsetispeed(&tio, B115200);
    tio.c_iflag &= ~tcflag_t(IGNBRK | ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~tcflag_t(OPOST | NLDLY | TABDLY);
    tio.c_cflag &= ~tcflag_t(CSTOPB | PARENB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 0;   // a read returns as soon as anything arrives,
    tio.c_cc[VTIME] = 20; // or with nothing after 2.0 s of silence
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

size_t sendcmd(int fd, const char *cmd)
{
    size_t len = strlen(cmd);
    ssize_t sent = write(fd, cmd, len);
    if (sent < 0 || size_t(sent) != len) fatal("sendcmd", 10);
    return len;
}

bool printable(char c)
{
    return c >= 0x20 && c <= 0x7E;
}

size_t readrepl(int fd, char *buf, size_t cap)
{
    for (size_t fill = 0;;) {
        ssize_t got = read(fd, buf + fill, cap - fill);
        if (got <= 0) fatal("readrepl", 10);
        size_t end = fill + size_t(got);
        size_t nul = end < cap ? end : cap - 1;
        buf[nul] = '\0';
        for (size_t i = fill; i < nul; ++i)
            if (buf[i] != '\r' && buf[i] != '\n' && !printable(buf[i])) buf[i] = ' ';
        // The whole text so far is searched, so a CR LF split across two reads is found.
        if (char *crlf = strstr(buf, "\r\n")) {
            *crlf = '\0';
            return size_t(crlf - buf);
        }
        if (end == cap) return cap - 1;
        fill = end;
    }
}

void trimrepl(char *buf, size_t index)
{
    for (size_t i = index + 1; i-- > 0;) {
        if (printable(buf[i]) && buf[i] != ' ') return;
        buf[i] = '\0';
    }
}

// ---- Card command set -------------------------------------------------------------------------

const char *const SETTING_CMD = "!$=E0\r";
const char *const CRC_CMD = "!$?c\r";
const char *const REVISION_CMD = "!C?V\r";
const char *const DONE_CMD = "!DONE\r";
const char *const REBOOT_CMD = "!@=*\r";

constexpr size_t SESSION_REPLY_SIZE = 64;
constexpr size_t COMMAND_SIZE = 4096;

void begincmd(const char *nonce, char (&buf)[COMMAND_SIZE])
{
    (void)snprintf(buf, sizeof buf, "!UB%s\r", nonce); // a nonce is at most 63 characters: it fits
}

// Returns false when the command does not fit the buffer whole: such a page is never sent.
bool pagecmd(int page, const char *token, char (&buf)[COMMAND_SIZE])
{
    int len = snprintf(buf, sizeof buf, "!UF%i.%zu.%s\r", page, strlen(token), token);
    return len > 0 && size_t(len) < sizeof buf;
}

// The first two characters of the CRC reply are not part of the value.
std::string crcreply(const char *reply, size_t n)
{
    std::string_view text = reply;
    return n > 2 ? std::string(text.substr(text.size() > 2 ? 2 : text.size())) : "n/a";
}

std::string revreply(const char *reply, size_t n)
{
    return n > 2 ? reply : "r1";
}

bool beginok(const char *reply)
{
    return reply[0] == '\0';
}

bool pageok(const char *reply)
{
    return strstr(reply, "OK") != nullptr;
}

bool rebootok(const char *trimmed)
{
    return trimmed[0] == '\0';
}

// ---- Distro file and installer ----------------------------------------------------------------

constexpr size_t KEY_SIZE = 32;
constexpr size_t VALUE_SIZE = 4096;
constexpr size_t NONCE_SIZE = 64;

constexpr int DONE = 0;
constexpr int INSTALLED = 1;
constexpr int UNSUPPORTED = 2;
constexpr int BEGIN_REFUSED = 5;
constexpr int PAGE_REFUSED = 6;

// The whitespace of the distro format: blank, tab, line feed, vertical tab, form feed, CR.
bool space(int c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The distro is read a block at a time into a window: at is the next byte in it, end the end of
// what the last read brought, where a NUL follows. A window holds many pages, so a page's token
// is found and copied as a block instead of a character at a time through the stream.
constexpr size_t WINDOW_SIZE = (1 << 16) + 1;
const char *const WHITESPACE = " \t\n\v\f\r";

// Reads the next block of the distro into the window; false at the end of the file.
bool refill(FILE *f, char (&window)[WINDOW_SIZE], size_t &at, size_t &end)
{
    end = fread(window, 1, WINDOW_SIZE - 1, f);
    window[end] = '\0';
    at = 0;
    return end > 0;
}

// The next byte of the distro, or EOF.
int nextbyte(FILE *f, char (&window)[WINDOW_SIZE], size_t &at, size_t &end)
{
    if (at == end && !refill(f, window, at, end)) return EOF;
    return static_cast<unsigned char>(window[at++]);
}

// Reads "key=" into key: every character up to the "=", line ends and blanks included. A key too
// long for the field, or holding a NUL, is consumed whole and left empty, so it matches no known
// key. False at the end of the file or when the key would be empty (the line starts with "=").
bool readkey(FILE *f, char (&window)[WINDOW_SIZE], size_t &at, size_t &end, char (&key)[KEY_SIZE])
{
    size_t len = 0;
    bool whole = true;
    int c;
    while ((c = nextbyte(f, window, at, end)) != EOF && c != '=') {
        if (len < KEY_SIZE - 1) key[len] = char(c);
        whole = whole && c != '\0';
        ++len;
    }
    key[whole && len < KEY_SIZE ? len : 0] = '\0';
    return c == '=' && len > 0;
}

// Skips whitespace, noting in passed whether a line feed was among it; the window is left at the
// next byte. False at the end of the file.
bool skipspace(FILE *f, char (&window)[WINDOW_SIZE], size_t &at, size_t &end, bool &passed)
{
    int c;
    while ((c = nextbyte(f, window, at, end)) != EOF && space(c)) passed = passed || c == '\n';
    if (c == EOF) return false;
    --at; // c begins what follows
    return true;
}

// Reads the next token and all whitespace around it; len is the token's full length in the file.
// A token longer than the field is consumed whole, so it is never taken for two tokens; value
// then holds its start. newline tells whether a line feed was passed: a key line's tokens go on
// until one is. False at the end of the file.
bool readtoken(FILE *f, char (&window)[WINDOW_SIZE], size_t &at, size_t &end, char (&value)[VALUE_SIZE],
               size_t &len, bool &newline)
{
    newline = false;
    if (!skipspace(f, window, at, end, newline)) return false;

    // The token may run on across several windows.
    size_t n = 0;
    for (;;) {
        size_t stop = at + strcspn(window + at, WHITESPACE);
        while (stop < end && window[stop] == '\0') stop += 1 + strcspn(window + stop + 1, WHITESPACE);
        size_t kept = std::min(n, VALUE_SIZE - 1);
        memcpy(value + kept, window + at, std::min(stop - at, VALUE_SIZE - 1 - kept));
        n += stop - at;
        at = stop;
        if (at < end || !refill(f, window, at, end)) break;
    }
    value[std::min(n, VALUE_SIZE - 1)] = '\0';
    len = n;
    skipspace(f, window, at, end, newline);
    return true;
}

template <typename... Pieces> int finish(FILE *f, int result, const Pieces &...pieces)
{
    logline(pieces...);
    (void)fclose(f); // read-only: nothing is lost if the close fails
    return result;
}

int install(int fd, std::string_view distro, std::string_view revision, std::string_view crc,
            std::string_view tty)
{
    FILE *f = fopen(rooted(distro).c_str(), "rb");
    if (f == nullptr) fatal("install", 9);
    // The window is the only buffer the distro needs.
    (void)setvbuf(f, nullptr, _IONBF, 0);
    char window[WINDOW_SIZE];
    size_t at = 0, end = 0;

    char key[KEY_SIZE];
    char value[VALUE_SIZE];
    char nonce[NONCE_SIZE] = {};
    bool nonceok = true; // false while the last "begin" token is too long to be sent whole
    char buf[COMMAND_SIZE];
    int page = 0;
    bool supported = false;
    bool installed = false;
    size_t len = 0;

    bool newline = false;
    while (readkey(f, window, at, end, key)) {
        do {
            if (!readtoken(f, window, at, end, value, len, newline)) goto done;
            // A token cut to its field, or holding a NUL, is not the token of the file.
            bool whole = strlen(value) == len;
            if (key == "support"sv) {
                logline("Distro supports ", value, ", ", tty);
                if (whole && revision == value) {
                    logline("Device supports distro, ", tty);
                    supported = true;
                }
            } else if (key == "begin"sv) {
                logline("Distro nonce ", value, ", ", tty);
                nonceok = whole && len < sizeof nonce;
                if (nonceok) memcpy(nonce, value, len + 1);
            } else if (key == "fw_version"sv) {
                logline("fw_version ", value, ", ", tty);
            } else if (key == "fw_git_sha"sv) {
                logline("fw_git_sha ", value, ", ", tty);
            } else if (key == "fw_crc"sv) {
                logline("Distro FW CRC ", value, ", ", tty);
                if (whole && crc == value) installed = true;
            } else if (key == "firmware"sv) {
                if (page == 0) {
                    if (!supported) return finish(f, UNSUPPORTED, "Distro not supported, ", tty);
                    if (installed)
                        return finish(f, INSTALLED, "Current distro already installed, ", tty);
                    if (!nonceok) return finish(f, BEGIN_REFUSED, "Installation error, ", tty);
                    begincmd(nonce, buf);
                    sendcmd(fd, buf);
                    readrepl(fd, buf, sizeof buf);
                    if (!beginok(buf)) return finish(f, BEGIN_REFUSED, "Installation error, ", tty);
                }
                logline("Firmware page ", page, ": ", len, ", ", tty);
                // The last page number is kept back so that the counter never overflows.
                bool sendable = whole && page < INT_MAX && pagecmd(page, value, buf);
                if (sendable) {
                    sendcmd(fd, buf);
                    readrepl(fd, buf, sizeof buf);
                }
                if (!sendable || !pageok(buf))
                    return finish(f, PAGE_REFUSED, "Installation error on page", page, ", ", tty);
                ++page;
            }
        } while (!newline);
    }
done:
    sendcmd(fd, DONE_CMD);
    readrepl(fd, buf, SESSION_REPLY_SIZE);
    return finish(f, DONE, "Done ", buf, ", ", tty);
}

// ---- Update session ---------------------------------------------------------------------------

// Sends a session command and reads its reply, trimmed; returns the length before trimming.
size_t exchange(int fd, const char *cmd, char (&repl)[SESSION_REPLY_SIZE])
{
    sendcmd(fd, cmd);
    size_t n = readrepl(fd, repl, sizeof repl);
    trimrepl(repl, n);
    return n;
}

int update(std::string_view tty, std::string_view distro)
{
    logline("Installing ", distro, ", ", tty);
    int fd = opentty(tty);
    char repl[SESSION_REPLY_SIZE];

    exchange(fd, SETTING_CMD, repl);
    size_t n = exchange(fd, CRC_CMD, repl);
    std::string crc = crcreply(repl, n);
    logline("FW CRC ", crc, ", ", tty);
    n = exchange(fd, REVISION_CMD, repl);
    std::string revision = revreply(repl, n);
    logline("Device revision ", revision, ", ", tty);

    int result = install(fd, distro, revision, crc, tty);

    // The card is rebooted whatever the installer decided.
    logline("Rebooting device, ", tty);
    exchange(fd, REBOOT_CMD, repl);
    if (!rebootok(repl)) { logline("Reboot error: ", strlen(repl)); fatal("update", 10); }
    logline("Update status: ", result, ", ", tty);
    close(fd);
    return result;
}

// ---- Entry and card identification ------------------------------------------------------------

const uint32_t CARD_VENDOR_ID = 0x3C5E;
const uint32_t FIRST_PRODUCT_ID = 0x0310;

// Model name and distro file, indexed by product id minus FIRST_PRODUCT_ID.
const char *const CARDS[][2] = {
    {"ZL9A", "/pckg/iot/distros/lora_zl9ab.dist"},
    {"ZL9B", "/pckg/iot/distros/lora_zl9ab.dist"},
    {"ZL9C", "/pckg/iot/distros/lora_gw_2g4.dist"},
    {"ZL9AH", "/pckg/iot/distros/lora_zl9abH.dist"},
    {"ZL9BH", "/pckg/iot/distros/lora_zl9abH.dist"},
};
constexpr uint32_t CARD_COUNT = sizeof CARDS / sizeof CARDS[0];

const std::string_view TRIM_SET = " \t\n\r\0"sv;

std::string trim(std::string_view text, std::string_view set)
{
    size_t first = text.find_first_not_of(set);
    if (first == std::string_view::npos) return "";
    return std::string(text.substr(first, text.find_last_not_of(set) - first + 1));
}

// The contents of the file, from offset on and at most max bytes; empty if it cannot be read.
std::string readFile(std::string_view path, uint32_t max, uint32_t offset)
{
    FILE *f = fopen(rooted(path).c_str(), "rb");
    if (f == nullptr) return "";
    std::string text;
    if (fseek(f, long(offset), SEEK_SET) == 0) {
        char chunk[4096];
        for (size_t got; text.size() < max && (got = fread(chunk, 1, sizeof chunk, f)) > 0;)
            text.append(chunk, std::min<size_t>(got, max - text.size()));
    }
    bool failed = ferror(f) != 0;
    (void)fclose(f);
    return failed ? "" : text;
}

// The value of the leading hexadecimal digits; a value too large for 32 bits gives UINT32_MAX,
// which matches no card.
uint32_t hex2u(std::string_view text)
{
    uint32_t value = 0;
    for (char c : text) {
        int digit = isdigit(static_cast<unsigned char>(c))    ? c - '0'
                    : isxdigit(static_cast<unsigned char>(c)) ? tolower(c) - 'a' + 10
                                                                : -1;
        if (digit < 0) break;
        if (value > (UINT32_MAX - uint32_t(digit)) / 16) return UINT32_MAX;
        value = value * 16 + uint32_t(digit);
    }
    return value;
}

uint32_t usbid(std::string_view tty, std::string_view attribute)
{
    std::string path = "/sys/class/tty/"s.append(tty).append("/device/../").append(attribute);
    return hex2u(trim(readFile(path, UINT32_MAX, 0), TRIM_SET));
}

int main(int argc, char *argv[])
{
    if (argc < 2) fatal("main", 7);
    if (argv[1] == nullptr) fatal("main", 7);
    std::string_view tty = argv[1];
    logline("Running LoRa firmware updater, ", tty);

    uint32_t vendor = usbid(tty, "idVendor");
    if (vendor != CARD_VENDOR_ID) { logline("vendor ", vendor, " is not supported, ", tty); fatal("main", 2); }

    uint32_t product = usbid(tty, "idProduct");
    uint32_t row = product - FIRST_PRODUCT_ID;
    if (row >= CARD_COUNT) { logline("Unkonwn product id:", product, " , ", tty); fatal("main", 2); }
    logline("Updating ", CARDS[row][0], " card, ", tty);

    return update(tty, CARDS[row][1]);
}
