// Fuzzes a whole session on the distro file. The updater's own source, compiled unchanged, talks
// to the simulated card's logic in this process: its calls on the card's terminal are answered
// here, the distro is read through a stream that hands out reads of a chosen size and may fail
// at a chosen offset, and a fatal exit becomes an exception, so that one process runs millions
// of inputs. The card checks every command against the rules of a dialogue; a broken rule, a
// fatal exit or a read error not ending in result 6 aborts, which libFuzzer reports.
// Every header the updater includes comes first, so that the renaming below touches only the
// updater's own calls.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "simcard.hpp"

struct FatalExit { int code; };

namespace {

std::string distro;         // the distro's bytes
size_t offset = 0;          // the stream's position in them
size_t chunk = 1;           // the most one read of the stream brings, so buffer ends fall anywhere
size_t failat = SIZE_MAX;   // where the distro's reads fail
bool failed = false;        // a read failed
simcard::Script card;       // the card's default replies: it takes everything
simcard::Dialogue dialogue;
std::string replies;        // the card's replies not yet read

ssize_t distroread(void *, char *buf, size_t size)
{
    if (offset >= failat) {
        failed = true;
        errno = EIO;
        return -1;
    }
    size_t take = std::min({size, chunk, distro.size() - std::min(offset, distro.size()), failat - offset});
    memcpy(buf, distro.data() + offset, take);
    offset += take;
    return ssize_t(take);
}

int distroseek(void *, off64_t *pos, int whence)
{
    *pos += whence == SEEK_SET ? 0 : whence == SEEK_CUR ? off64_t(offset) : off64_t(distro.size());
    offset = size_t(*pos);
    return *pos < 0 ? -1 : 0;
}

[[noreturn]] void broken(const std::string &what)
{
    fprintf(stderr, "broken: %s\n", what.c_str());
    abort();
}

} // namespace

[[noreturn]] void fuzz_exit(int code) { throw FatalExit{code}; }

// No descriptor is opened: the card and the distro (a regular file) live in this process.
int fuzz_open(const char *, int, ...) { return 1 << 20; }
int fuzz_fstat(int, struct stat *st) { return *st = {}, st->st_mode = S_IFREG, 0; }

FILE *fuzz_fdopen(int, const char *mode)
{
    return fopencookie(nullptr, mode, cookie_io_functions_t{distroread, nullptr, distroseek, nullptr});
}

// Each write is one command, ended by its only CR; the card answers it.
ssize_t fuzz_write(int, const void *buf, size_t count)
{
    std::string_view command(static_cast<const char *>(buf), count);
    if (command.empty() || command.find('\r') != count - 1) broken("a write that is not one command");
    command.remove_suffix(1);
    int page = -1;
    std::string reply = simcard::defaultreply(simcard::classify(command, page), card);
    dialogue.command(command, reply);
    replies += reply;
    return ssize_t(count);
}

// Nothing left to read is a silent card: the updater's read fails.
ssize_t fuzz_read(int, void *buf, size_t count)
{
    size_t take = std::min(count, replies.size());
    memcpy(buf, replies.data(), take);
    replies.erase(0, take);
    return ssize_t(take);
}

#define main updater_main
#define exit fuzz_exit
#define read fuzz_read
#define write fuzz_write
#define open fuzz_open
#define fstat fuzz_fstat
#define fdopen fuzz_fdopen
#include "../updater/updater.cpp"
// The names stay replaced to the end of this file, which calls none of them.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = (std::cout.rdbuf(nullptr), true); // the log is not looked at
    (void)quiet;
    FuzzedDataProvider input(data, size);
    chunk = input.ConsumeIntegralInRange<size_t>(1, 4096);
    failat = input.ConsumeBool() ? input.ConsumeIntegralInRange<size_t>(0, 1 << 16) : SIZE_MAX;
    distro = input.ConsumeRemainingBytesAsString();
    offset = 0;
    failed = false;
    replies.clear();
    dialogue = simcard::Dialogue(distro);

    int status;
    try {
        status = update("ttyF", "/fuzz/lora.dist");
    } catch (const FatalExit &fatal) {
        broken("fatal exit " + std::to_string(fatal.code) + " with a card that answers everything");
    }
    dialogue.ended(status);
    if (!dialogue.broken().empty()) broken(dialogue.broken().front());
    if (failed && status != 6) broken("a read error ended with " + std::to_string(status));
    return 0;
}
