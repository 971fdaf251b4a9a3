// lora-cards: the small tools every room uses. Waits are measured on the monotonic clock, the
// journal's lines carry their priority, and files are read bounded and replaced whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "cards.h"

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::string env(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

// Lines for the journal: under systemd a "<N>" prefix sets the line's priority.
void say(int priority, const std::string &line)
{
    if (getenv("JOURNAL_STREAM")) (void)printf("<%d>", priority);
    (void)printf("%s\n", line.c_str());
    (void)fflush(stdout);
}

int complain(const std::string &what)
{
    (void)fprintf(stderr, "lora-cards: %s\n", what.c_str());
    return 1;
}

// The first line of a file, without its end; empty if it cannot be read.
std::string firstline(const std::string &path)
{
    std::string line;
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return line;
    for (int ch = fgetc(f); ch != EOF && ch != '\n' && line.size() < 256; ch = fgetc(f)) line += char(ch);
    (void)fclose(f);
    return line;
}

// Replaces a file whole: a reader, or a power cut, finds the old content or the new one. The
// mode is 0644 whatever the umask: node-exporter reads the textfile as another user.
bool replace(const std::string &dir, const std::string &name, const std::string &text)
{
    std::string tmp = dir + "/." + name + ".new", path = dir + "/" + name;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0644) == 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok && rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the directory.
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d >= 0) {
        fsync(d);
        close(d);
    }
    return true;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// What stat says of a file (device, inode, size, mode, times): another key whenever the file is
// replaced, written to or touched.
std::string statkey(const std::string &path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) return "error " + std::to_string(errno);
    char key[160];
    (void)snprintf(key, sizeof key, "%llu %llu %llu %o %lld.%09ld %lld.%09ld", (unsigned long long)st.st_dev,
             (unsigned long long)st.st_ino, (unsigned long long)st.st_size, unsigned(st.st_mode),
             (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    return key;
}

