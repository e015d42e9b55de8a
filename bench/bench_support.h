// Timing and peak-memory readings the benchmarks share.
#pragma once

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
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

// The Dot4 stack of one device as an XP machine holds it below the control set `cs`, as
// REGEDIT text: `key(path, values)` is called for each key. `usb` adds the device's USB side.
template <class Key>
void dot4Stack(const std::string& cs, bool usb, Key&& key) {
    const std::string dev = "VID_5E7A&PID_0C21";
    const std::string ifc = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    const std::string inst =
        cs + "\\Control\\DeviceClasses\\" + ifc + "\\##?#DOT4#" + dev + "&MI_00#1&2a3b4c&0#" + ifc;
    key(inst, "\"DeviceInstance\"=\"DOT4\\\\" + dev + "&MI_00\\\\1&2a3b4c&0\"\r\n");
    if (usb) key(inst + "\\#", "");
    key(inst + "\\#\\Device Parameters",
        "\"Base Name\"=\"Dot4\"\r\n\"Port Number\"=dword:00000001\r\n");
    key(cs + "\\Control\\Print\\Monitors\\Dot4 Monitor", "\"Driver\"=\"Dot4Mon.dll\"\r\n");
    key(cs + "\\Control\\Print\\Monitors\\Local Port", "\"Driver\"=\"localspl.dll\"\r\n");
    key(cs + "\\Control\\Print\\Ports\\Dot4_001", "");
    key(cs + "\\Control\\Print\\Printers\\Office",
        "\"Port\"=\"Dot4_001\"\r\n\"Printer Driver\"=\"Dot4 Printer\"\r\n");
    key(cs + "\\Enum\\DOT4\\" + dev + "&MI_00", "\"HardwareID\"=\"DOT4\\\\" + dev + "&MI_00\"\r\n");
    if (usb) key(cs + "\\Enum\\USB\\" + dev, "\"Driver\"=\"DOT4USB\\\\0000\"\r\n");
    key(cs + "\\Services\\Class\\DOT4\\0000", "\"InfPath\"=\"mirelc.inf\"\r\n");
    key(cs + "\\Services\\Class\\DOT4PRINT\\0000", "\"InfPath\"=\"mirelPrt.inf\"\r\n");
    if (usb)
        key(cs + "\\Services\\Class\\DOT4USB\\0000", "\"InfPath\"=\"QuillmarkMIRELUSB.INF\"\r\n");
}

// Runs one stage in process and prints its time and peak memory against `size` bytes (`of`
// names them); exits on failure. Returns what the stage printed.
inline std::string measure(const char* what, double size, const char* of,
                           const std::function<int(std::ostream&, std::ostream&)>& f) {
    std::ostringstream out, err;
    resetPeak();
    auto t0 = Clock::now();
    int st = f(out, err);
    auto t1 = Clock::now();
    long peak = statusKb("VmHWM:");
    if (st != 0) {
        std::cerr << what << " failed:\n" << err.str();
        std::exit(1);
    }
    std::printf("%s: %.3f s, peak %.0f MB = %.2f x %s\n", what, seconds(t0, t1), peak / 1024.0,
                peak * 1024.0 / size, of);
    return out.str();
}

}  // namespace benchsupport
