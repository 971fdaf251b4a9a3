// The distro parse written with the three scan formats "%[^=]=", "%*[^\n] " and "%s " and the
// stream position as the line-end mark: the reference the updater's getc-based parse must agree
// with, key for key and token for token.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace reference {

inline bool readkey(FILE *f, char (&key)[32])
{
    int stop = 0;
    if (fscanf(f, "%31[^=]%n", key, &stop) != 1) return false;
    bool whole = strlen(key) == size_t(stop);
    int c;
    while ((c = getc(f)) != EOF && c != '=') whole = false;
    if (!whole) key[0] = '\0';
    return c == '=';
}

inline bool readtoken(FILE *f, char (&value)[4096], size_t &len)
{
    int start = 0, stop = 0;
    if (fscanf(f, " %n%4095s%n", &start, value, &stop) != 1) return false;
    len = size_t(stop - start);
    int c;
    while ((c = getc(f)) != EOF && !isspace(c)) ++len;
    if (c != EOF) (void)ungetc(c, f);
    (void)fscanf(f, " ");
    return true;
}

inline long lineend(FILE *f)
{
    long here = ftell(f);
    (void)fscanf(f, "%*[^\n] ");
    long mark = ftell(f);
    (void)fseek(f, here, SEEK_SET);
    return mark;
}

// Every (key, token, full length) the parse acts on, in order.
inline std::vector<std::string> events(FILE *f)
{
    std::vector<std::string> out;
    char key[32], value[4096];
    size_t len = 0;
    // Qualified: FILE is in the global namespace, where the updater's own parse lives too.
    while (reference::readkey(f, key)) {
        long mark = reference::lineend(f);
        do {
            if (!reference::readtoken(f, value, len)) return out;
            out.push_back(std::string(key) + '\1' + value + '\1' + std::to_string(len));
        } while (ftell(f) < mark);
    }
    return out;
}

} // namespace reference
