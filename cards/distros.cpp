// lora-cards: the distros. A distro is given to its cards only once its stat (inode, size, times)
// has stayed the same for the quiet time, so that a file still being written or copied in is
// never taken; it is then read once, whole, for the two things the states keep of it: the sha256
// of its content (from Nettle) and what a card would get from it.
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cards.h"

namespace {

// The content's sha256 in lower-case hex.
std::string sha256(const std::string &data)
{
    sha256_ctx ctx{};
    uint8_t md[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    sha256_update(&ctx, data.size(), reinterpret_cast<const uint8_t *>(data.data()));
    sha256_digest(&ctx, sizeof md, md);
    char hex[2 * SHA256_DIGEST_SIZE + 1];
    for (size_t i = 0; i < sizeof md; i++) (void)snprintf(hex + 2 * i, 3, "%02x", md[i]);
    return hex;
}

}  // namespace

// Reads a distro whose stat has been quiet: its sha256 and what a card would get from it, or what
// is wrong with it.
void readdistro(Distro &d, const std::string &path)
{
    d.problem.clear(), d.check = Check{};
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st{};
    if (fd < 0) {
        d.problem = errno == ENOENT ? "missing" : std::string("cannot be read (") + strerror(errno) + ")";
        return;
    }
    std::string text;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) d.problem = "not a regular file";
    char buf[65536];
    for (ssize_t n = 1; d.problem.empty() && n > 0;) {
        n = read(fd, buf, sizeof buf);
        if (n < 0 && errno != EINTR) d.problem = std::string("cannot be read (") + strerror(errno) + ")";
        if (n > 0) text.append(buf, size_t(n));
    }
    close(fd);
    if (!d.problem.empty()) return;
    d.sha = sha256(text), d.check = checkdistro(text);
    d.version = d.check.version.empty() ? "?" : d.check.version;
    if (!d.check.wrong.empty()) d.problem = verdict(d.check);
}

// Looks at a distro again: a change restarts its quiet time, and a quiet one is read once.
// Returns true when it may be given to its cards.
bool ready(Distro &d, const std::string &dir, const std::string &name, double quiet, double t)
{
    std::string key = statkey(dir + "/" + name);
    if (key != d.stat) d.stat = key, d.changed = t, d.read = false;
    if (t - d.changed < quiet) return false;
    if (!d.read) {
        std::string was = d.problem;
        readdistro(d, dir + "/" + name);
        // Written to while it was read: read again once it is quiet.
        if (statkey(dir + "/" + name) != d.stat) {
            d.stat.clear();
            return false;
        }
        d.read = true;
        // A file that is not a distro is said once, as a missing one is; its cards keep their states.
        if (!d.problem.empty() && d.problem != was)
            say(3, name + ": " + d.problem + ": nothing is sent to its cards until " +
                       (d.check.wrong.empty() ? "it can be read" : "a distro replaces it"));
        else if (d.problem.empty() && !was.empty())
            say(6, name + ": " + verdict(d.check));
    }
    return d.problem.empty();
}
