// Runs a program the way a gateway's scripts would: its stdout captured, its end awaited.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace simcard {

struct Launch {
    std::vector<std::string> argv; // argv[0] is searched in PATH
    double seconds = 20;           // a run still going after this is killed
    bool discard = false;          // stdout to /dev/null instead of captured
    size_t keep = SIZE_MAX;        // the reader goes away after this many bytes of stdout
    std::function<void(pid_t)> tick; // called with the pid about every 5 ms while it runs
};

struct Ended {
    int status = -1;     // the exit status, or 128 + the signal that ended it
    bool killed = false; // it outlived the deadline and was killed
    std::string out;     // its standard output (empty when discarded)
    rusage usage{};      // its CPU time and peak memory
};

Ended runprogram(const Launch &launch);

} // namespace simcard
