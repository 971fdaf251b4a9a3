// updater: firmware updater for the LoRa cards behind a USB serial terminal.
//
//   updater TTY     identifies the card behind /dev/TTY from its USB ids in sysfs, uploads the
//                   matching distro file and reboots the card; exits with the installer's result.
//
// The routines, in the order of a run:
//   logline(pieces...)            one "[UPD] " line on stdout, flushed.
//   fatal(routine, code)          the ERROR line naming this file, the line and the routine; exits.
//   opentty(tty)                  opens /dev/TTY for this program alone, 115200 baud, 8N1, no
//                                 translation, 2 s read time-out; fatal 9 (also if in use).
//   sendcmd(fd, cmd)              writes one command in one write (what a stop signal cuts off
//                                 follows at once); fatal 10 if not written whole.
//   readrepl(fd, buf, cap)        reads one CR LF line into buf, cleaned; fatal 10 on silence.
//   trimrepl(buf, index)          clears blanks and control bytes off the end of a reply.
//   begincmd, pagecmd             build "!UB" and "!UF" commands; replies judged by crcreply,
//                                 revreply, beginok, pageok, rebootok.
//   install(fd, distro, ...)      parses the distro and uploads it; returns 0, 1, 2, 5 or 6;
//                                 fatal 9 if the distro is not a regular file that opens. A stop
//                                 signal, or a distro that changed while it was read, takes the
//                                 place of the next upload command: result 6.
//   update(tty, distro)           queries, install, reboot; fatal 10 on a refused reboot.
//   main(argc, argv)              outlives its log's reader (SIGPIPE, SIGHUP ignored); the first
//                                 SIGTERM or SIGINT asks for a stop, a second one kills; identifies
//                                 the card from sysfs; fatal 7 (usage) or 2 (unknown card).
//
// UPDATER_ROOT is prefixed to every path the program opens and to nothing else: empty in the
// release build, a scratch directory in the sandboxed build that runs against a simulated card.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
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

// A line that cannot be written (its reader gone) is dropped; the next line is tried again.
template <typename... Pieces> void logline(const Pieces &...pieces)
{
    std::cout.clear();
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

// ---- Stop signals ------------------------------------------------------------------------------

// Set by the first SIGTERM or SIGINT. A card left in update mode with a reply still on its way
// would poison the next run on the line, so the run is never cut in the middle of an exchange:
// the upload stops at the next page boundary and the card is rebooted as after a refusal.
volatile sig_atomic_t stopsignal = 0;
timespec stoppedat{}; // when; only the handler touches it, and it never runs twice at once

constexpr long REPEAT_MS = 250;

// A second stop signal takes the default action: an operator can always end the process at once.
// One that comes within REPEAT_MS of the first is the same stop sent twice (GNU timeout signals
// the process, then its process group) and is let be.
void onstop(int sig)
{
    int saved = errno;
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    long since = (now.tv_sec - stoppedat.tv_sec) * 1000 + (now.tv_nsec - stoppedat.tv_nsec) / 1000000;
    if (stopsignal == 0) {
        stopsignal = sig;
        stoppedat = now;
    } else if (since >= REPEAT_MS) {
        (void)signal(sig, SIG_DFL);
        (void)raise(sig); // delivered, and fatal, as soon as this handler returns
    }
    errno = saved;
}

// SA_RESTART resumes a read or write that the signal interrupted before it moved a byte: the
// signal is neither the card's silence nor a failed command. A stop signal the caller ignored
// stays ignored, as a shell's background job keeps SIGINT ignored.
void catchstops()
{
    struct sigaction stop, was;
    memset(&stop, 0, sizeof stop);
    stop.sa_handler = onstop;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    sigaddset(&stop.sa_mask, SIGTERM);
    sigaddset(&stop.sa_mask, SIGINT);
    for (int sig : {SIGTERM, SIGINT})
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN) (void)sigaction(sig, &stop, nullptr);
}

// ---- Serial link ------------------------------------------------------------------------------

int opentty(std::string_view tty)
{
    int fd = open(rooted("/dev/"s.append(tty)).c_str(), O_RDWR | O_NOCTTY | O_SYNC);
    if (fd == -1) fatal("opentty", 9);
    // Another program's bytes on the line would land in the middle of an upload. Programs that
    // share serial lines take this lock; exclusive mode also keeps out later openers that are
    // not root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) { logline("Terminal busy, ", tty); fatal("opentty", 9); }
    (void)ioctl(fd, TIOCEXCL);

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

// A write that a stop signal interrupts after some bytes returns short: the rest is written at
// once, so that the card never holds half a command. Any other short write is a failure.
size_t sendcmd(int fd, const char *cmd)
{
    size_t len = strlen(cmd);
    for (size_t done = 0; done < len;) {
        ssize_t sent = write(fd, cmd + done, len - done);
        if (sent < 0 && errno == EINTR) continue; // nothing written: the same bytes again
        if (sent <= 0 || (size_t(sent) < len - done && stopsignal == 0)) fatal("sendcmd", 10);
        done += size_t(sent);
    }
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
        // SA_RESTART covers our own handler; under an emulator (qemu-user) even an ignored
        // signal can cut a read short.
        while (got < 0 && errno == EINTR) got = read(fd, buf + fill, cap - fill);
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

constexpr int GO_ON = -1; // no result yet: the parse goes on
constexpr int DONE = 0;
constexpr int INSTALLED = 1;
constexpr int UNSUPPORTED = 2;
constexpr int BEGIN_REFUSED = 5;
constexpr int PAGE_REFUSED = 6;

// Only a regular file is a distro: a directory would read as an empty distro and a FIFO would
// hold the run with the card waiting. O_NONBLOCK lets a FIFO be opened, and refused, at once.
// opened gets what the open file was like, to be compared before the upload is finished.
FILE *opendistro(std::string_view distro, struct stat &opened)
{
    int dfd = open(rooted(distro).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (dfd == -1) return nullptr;
    FILE *f = fstat(dfd, &opened) == 0 && S_ISREG(opened.st_mode) ? fdopen(dfd, "rb") : nullptr;
    if (f == nullptr) close(dfd);
    return f;
}

// A distro written into place, or cut short, while it was read: the pages sent may not be the
// file's. A file renamed over the distro is not a change: the open file is still the old one.
bool changed(FILE *f, const struct stat &opened)
{
    struct stat now;
    return fstat(fileno(f), &now) != 0 || now.st_size != opened.st_size ||
           now.st_mtim.tv_sec != opened.st_mtim.tv_sec || now.st_mtim.tv_nsec != opened.st_mtim.tv_nsec;
}

// Reads "key=" with "%[^=]=": every character up to the "=", line ends and blanks included. A
// key too long for its field, or holding a NUL, is read to its "=" and left empty, so it
// matches no known key. False when no key is left: end of file, or a line that starts with "=".
bool readkey(FILE *f, char (&key)[KEY_SIZE])
{
    int stop = 0;
    if (fscanf(f, "%31[^=]%n", key, &stop) != 1) return false;
    bool whole = strlen(key) == size_t(stop);
    int c;
    while ((c = getc(f)) != EOF && c != '=') whole = false;
    if (!whole) key[0] = '\0';
    return c == '=';
}

// Where the key line's tokens end: past the rest of the line and the whitespace after it
// ("%*[^\n] "). The stream is put back where it was.
long lineend(FILE *f)
{
    long here = ftell(f);
    [[maybe_unused]] int assigned = fscanf(f, "%*[^\n] "); // none: only where it stops counts
    long mark = ftell(f);
    (void)fseek(f, here, SEEK_SET);
    return mark;
}

// Reads one token and the whitespace after it ("%s "). A token longer than its field is read
// to its end, so it is never taken for two tokens: value holds its start, len its full length.
bool readtoken(FILE *f, char (&value)[VALUE_SIZE], size_t &len)
{
    int start = 0, stop = 0;
    if (fscanf(f, " %n%4095s%n", &start, value, &stop) != 1) return false;
    len = size_t(stop - start);
    int c;
    while ((c = getc(f)) != EOF && !isspace(c)) ++len;
    if (c != EOF) (void)ungetc(c, f);
    [[maybe_unused]] int assigned = fscanf(f, " ");
    return true;
}

// The next key and token of the distro: a key line's tokens go on until the stream passes the
// line-end mark, and then the next key line is read. False when the parse is over.
bool nexttoken(FILE *f, char (&key)[KEY_SIZE], long &mark, char (&value)[VALUE_SIZE], size_t &len)
{
    if (ftell(f) >= mark) {
        if (!readkey(f, key)) return false;
        mark = lineend(f);
    }
    return readtoken(f, value, len);
}

// The upload ends at this page unfinished: no "!DONE"; the card is rebooted.
int unfinished(int page, std::string_view tty)
{
    logline("Installation error on page", page, ", ", tty);
    return PAGE_REFUSED;
}

// A stop takes the place of the next upload command ("!UB", a page or "!DONE").
bool stopped(int page, std::string_view tty)
{
    if (stopsignal == 0) return false;
    logline("Stopped by signal ", int(stopsignal), ", ", tty);
    (void)unfinished(page, tty);
    return true;
}

// At the first page the distro's support, CRC and nonce are judged and the update begins. A
// nonce too long to be sent whole (null here) is never cut: the update does not begin.
int beginupdate(int fd, bool supported, bool installed, const char *nonce, char (&buf)[COMMAND_SIZE],
                std::string_view tty)
{
    if (!supported) {
        logline("Distro not supported, ", tty);
        return UNSUPPORTED;
    }
    if (installed) {
        logline("Current distro already installed, ", tty);
        return INSTALLED;
    }
    if (stopped(0, tty)) return PAGE_REFUSED;
    if (nonce != nullptr) {
        begincmd(nonce, buf);
        sendcmd(fd, buf);
        readrepl(fd, buf, sizeof buf);
    }
    if (nonce != nullptr && beginok(buf)) return GO_ON;
    logline("Installation error, ", tty);
    return BEGIN_REFUSED;
}

// Sends one page, unless a stop came first. A token cut to its field, holding a NUL, or too long
// for the command is not the page of the file, and is never sent; the last page number is kept
// back so that the counter never overflows.
int sendpage(int fd, int page, const char *token, size_t len, char (&buf)[COMMAND_SIZE], std::string_view tty)
{
    if (stopped(page, tty)) return PAGE_REFUSED;
    logline("Firmware page ", page, ": ", len, ", ", tty);
    bool sendable = strlen(token) == len && page < INT_MAX && pagecmd(page, token, buf);
    if (sendable) {
        sendcmd(fd, buf);
        readrepl(fd, buf, sizeof buf);
    }
    return sendable && pageok(buf) ? GO_ON : unfinished(page, tty);
}

// The parse is over. "!DONE" ends the upload, unless a stop was asked for, or the distro could
// not be read to its end (what was read after the error is not to be trusted) or changed while
// it was read; the card's reply is logged as it came.
int endupload(int fd, FILE *f, const struct stat &opened, int page, char (&buf)[COMMAND_SIZE], std::string_view tty)
{
    if (ferror(f) || changed(f, opened)) return unfinished(page, tty);
    if (stopped(page, tty)) return PAGE_REFUSED;
    sendcmd(fd, DONE_CMD);
    readrepl(fd, buf, SESSION_REPLY_SIZE);
    logline("Done ", buf, ", ", tty);
    return DONE;
}

int install(int fd, std::string_view distro, std::string_view revision, std::string_view crc,
            std::string_view tty)
{
    struct stat opened;
    FILE *f = opendistro(distro, opened);
    if (f == nullptr) fatal("install", 9);
    char stream[1 << 16]; // one read brings many pages
    (void)setvbuf(f, stream, _IOFBF, sizeof stream);

    char key[KEY_SIZE] = {}, value[VALUE_SIZE], nonce[NONCE_SIZE] = {}, buf[COMMAND_SIZE];
    bool nonceok = true, supported = false, installed = false;
    int page = 0, result = GO_ON;
    long mark = 0;
    size_t len = 0;
    // After a read error the stream may go on past the bytes it lost: not one more token is used.
    while (result == GO_ON && nexttoken(f, key, mark, value, len) && !ferror(f)) {
        bool whole = strlen(value) == len; // not cut to its field, no NUL inside
        if (key == "support"sv) {
            logline("Distro supports ", value, ", ", tty);
            if (whole && revision == value) logline("Device supports distro, ", tty);
            supported = supported || (whole && revision == value);
        } else if (key == "begin"sv) {
            logline("Distro nonce ", value, ", ", tty);
            nonceok = whole && len < sizeof nonce;
            if (nonceok) memcpy(nonce, value, len + 1);
        } else if (key == "fw_version"sv || key == "fw_git_sha"sv) {
            logline(key, " ", value, ", ", tty);
        } else if (key == "fw_crc"sv) {
            logline("Distro FW CRC ", value, ", ", tty);
            installed = installed || (whole && crc == value);
        } else if (key == "firmware"sv) {
            if (page == 0) result = beginupdate(fd, supported, installed, nonceok ? nonce : nullptr, buf, tty);
            if (result == GO_ON) result = sendpage(fd, page++, value, len, buf, tty);
        }
    }
    if (result == GO_ON) result = endupload(fd, f, opened, page, buf, tty);
    (void)fclose(f); // read-only: nothing is lost if the close fails
    return result;
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

// A descriptor the caller left closed would be the next one opened: the card's terminal would
// then receive the log. Such a gap is filled with /dev/null first.
void fillstdio()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) return;
}

int main(int argc, char *argv[])
{
    // A log reader that goes away (a closed pipe, a dropped session) must not cut an update
    // short and leave the card in update mode.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGHUP, SIG_IGN);
    catchstops();
    fillstdio();
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
