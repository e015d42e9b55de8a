// Timing and peak-memory readings the benchmarks share.
#pragma once

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace benchsupport {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// A kB field of /proc/self/status, such as "VmHWM:"; -1 when it is not there.
inline long statusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
    return -1;
}

// Peak RSS is reset so each stage reports its own high-water mark.
inline void resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

}  // namespace benchsupport
