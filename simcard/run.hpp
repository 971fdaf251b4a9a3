// Runs a program the way a gateway's scripts would: its stdout captured, its end awaited.
#pragma once

#include <sys/resource.h>

#include <functional>
#include <string>
#include <vector>

namespace simcard {

struct Ended {
    int status = -1;     // the exit status, or 128 + the signal that ended it
    bool killed = false; // it outlived the deadline and was killed
    std::string out;     // its standard output (empty when discarded)
    rusage usage{};      // its CPU time and peak memory
};

// Runs argv[0] (searched in PATH) with the other arguments; stdout is captured, or sent to /dev/null when discard
// is set. A run still going after seconds is killed. While it runs, tick is called with its pid
// about every 5 ms.
Ended runprogram(const std::vector<std::string> &argv, double seconds, bool discard = false,
                 const std::function<void(pid_t)> &tick = {});

} // namespace simcard
