// lora-cards: what a card would get from a distro, read with the updater's own reading of it.
// The updater's source is compiled here whole, in a namespace of its own and with its main
// renamed, so that the check takes the distro's keys and tokens exactly as the updater does:
// a change of the updater's reading is a change of the check. Every header the updater includes
// comes first, so that its includes inside the namespace add nothing.
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

namespace updater {
#define main updatermain
#include "../updater/updater.cpp"  // NOLINT(bugprone-suspicious-include): compiled in on purpose
#undef main
#undef fatal
}  // namespace updater

#include "cards.h"

namespace {

void wrong(Check &c, const std::string &why)
{
    c.wrong += (c.wrong.empty() ? "" : "; ") + why;
}

}  // namespace

// A distro is what gives a card a whole update: a firmware page, the revisions it supports, a
// fw_version, and every page (and the nonce before them) short enough to be sent whole. The
// updater by hand still takes any file; the service and Mender's module give cards distros only.
Check checkdistro(const std::string &text)
{
    Check c;
    char key[updater::KEY_SIZE] = {}, value[updater::VALUE_SIZE], buf[updater::COMMAND_SIZE];
    long mark = 0;
    size_t len = 0, nonce = 0;
    long cut = -1;
    // fmemopen refuses an empty buffer: an empty file has no key at all.
    FILE *f = text.empty() ? nullptr : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    while (f && updater::nexttoken(f, key, mark, value, len)) {
        bool whole = strlen(value) == len;
        std::string_view k = key;
        if (k == "support") c.supports += (c.supports.empty() ? "" : " ") + std::string(value);
        else if (k == "fw_version" && c.version.empty()) c.version = cleanserial(std::string(value).substr(0, 64));
        else if (k == "fw_crc" && c.crc.empty()) c.crc = cleanserial(std::string(value).substr(0, 64));
        else if (k == "begin" && c.pages == 0) nonce = whole && len < updater::NONCE_SIZE ? 0 : len;
        else if (k == "firmware") {
            if (cut < 0 && !(whole && updater::pagecmd(int(c.pages), value, buf))) cut = c.pages;
            c.longest = std::max(c.longest, len);
            c.pages++;
        }
    }
    if (f) (void)fclose(f);
    if (c.pages == 0) wrong(c, "no firmware page");
    if (c.supports.empty()) wrong(c, "no support");
    if (c.version.empty()) wrong(c, "no fw_version");
    if (nonce > 0) wrong(c, "a begin nonce of " + std::to_string(nonce) + " characters, which cannot be sent whole");
    if (cut >= 0) wrong(c, "page " + std::to_string(cut) + " cannot be sent whole");
    return c;
}

// One line on a distro, the same for people, the module and the journal.
std::string verdict(const Check &c)
{
    if (!c.wrong.empty()) return "not a distro: " + c.wrong;
    return "a distro for " + c.supports + ", fw_version " + c.version + ", fw_crc " + (c.crc.empty() ? "-" : c.crc) + ", " +
           std::to_string(c.pages) + (c.pages == 1 ? " page" : " pages") + ", the longest of " + std::to_string(c.longest) + " characters";
}
