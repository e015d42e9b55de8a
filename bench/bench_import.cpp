// Import benchmark: a synthetic XP export of about 100 MB in UTF-16LE (ControlSet001 and
// Select, no CurrentControlSet; the Dot4 device and its printer among a million keys, and one
// Cyrillic value of 5 MB that code page 1252 cannot hold) and a listing of 50,000 files become
// an image; then that image is previewed. Time and peak memory of each, against the export's
// size.
//
//   bench_import [MEGABYTES [WORKDIR]]     MEGABYTES of UTF-16 defaults to 100, WORKDIR to /tmp
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "bench_support.h"
#include "dot4sim/runner.h"

namespace {

using benchsupport::Clock;
using benchsupport::resetPeak;
using benchsupport::seconds;
using benchsupport::statusKb;

// ASCII text as UTF-16LE, appended to the file.
class Utf16Out {
  public:
    explicit Utf16Out(const std::string& file) : out_(file, std::ios::binary | std::ios::trunc) {
        out_.write("\xFF\xFE", 2);
    }
    ~Utf16Out() { flush(); }
    void put(const std::string& s) {
        for (char c : s) buf_ += c, buf_ += '\0';
        if (buf_.size() > (1 << 20)) flush();
    }
    void putUnits(uint16_t unit, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            buf_ += static_cast<char>(unit & 0xFF), buf_ += static_cast<char>(unit >> 8);
            if (buf_.size() > (1 << 20)) flush();
        }
    }
    void flush() {
        written_ += buf_.size();
        out_.write(buf_.data(), static_cast<std::streamsize>(buf_.size()));
        buf_.clear();
    }
    size_t written() const { return written_ + buf_.size() + 2; }

  private:
    std::ofstream out_;
    std::string buf_;
    size_t written_ = 0;
};

const size_t kLongValue = 5 * 1000 * 1000;  // bytes of UTF-16

// Returns the number of key headers written.
size_t generateExport(const std::string& file, size_t bytes) {
    Utf16Out o(file);
    size_t keys = 0;
    auto key = [&](const std::string& path, const std::string& values = "") {
        o.put("[" + path + "]\r\n" + values + "\r\n");
        ++keys;
    };
    const std::string cs = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001";
    o.put("Windows Registry Editor Version 5.00\r\n\r\n");
    key("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
        "\"CurrentVersion\"=\"5.1\"\r\n\"CurrentBuildNumber\"=\"2600\"\r\n"
        "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n");
    key("HKEY_LOCAL_MACHINE\\SYSTEM\\Select",
        "\"Current\"=dword:00000001\r\n\"Default\"=dword:00000001\r\n");
    key(cs + "\\Control\\Nls\\CodePage", "\"ACP\"=\"1252\"\r\n\"OEMCP\"=\"850\"\r\n");
    benchsupport::dot4Stack(cs, true, key);
    // One value of 5 MB in a script code page 1252 cannot hold: each character is lost.
    o.put("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Long]\r\n\"Text\"=\"");
    o.putUnits(0x0416, kLongValue / 2);
    o.put("\"\r\n\r\n");
    ++keys;
    char buf[256];
    for (size_t u = 0; o.written() < bytes; ++u) {
        // Mostly what fills a real HKLM: file types and class registrations, few values each.
        std::snprintf(buf, sizeof buf, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.%06zx", u);
        key(buf, u % 10 == 0 ? "@=\"t\"\r\n" : "");
        if (u % 8 == 0) {
            std::snprintf(buf, sizeof buf, "%s\\Enum\\USB\\VID_%04X&PID_%04X\\%06zu", cs.c_str(),
                          unsigned(u % 997), unsigned(u % 8191), u);
            key(buf, "\"Driver\"=\"{36fc9e60-c465-11cf-8056-444553540000}\\\\0001\"\r\n");
        }
        if (u % 500 == 0) {
            std::snprintf(buf, sizeof buf, "%s\\Control\\Print\\Printers\\Printer %06zu",
                          cs.c_str(), u);
            key(buf, "\"Port\"=\"LPT1:\"\r\n");
        }
    }
    return keys;
}

void generateListing(const std::string& file, size_t files) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "C:\\WINDOWS\\system32\r\nC:\\WINDOWS\\system32\\drivers\r\n";
    for (const char* f : {"Dot4.sys", "Dot4Prt.sys", "Dot4Usb.sys", "usbprint.sys"})
        out << "C:\\WINDOWS\\system32\\drivers\\" << f << "\r\n";
    out << "C:\\WINDOWS\\system32\\Dot4Mon.dll\r\nC:\\WINDOWS\\INF\\mirelc.inf\r\n";
    for (size_t i = 6; i < files; ++i)
        out << "C:\\WINDOWS\\system32\\d" << i / 500 << "\\f" << i << ".dll\r\n";
}

// This process's CPU seconds: on a machine shared with other builds, what the wall clock is not.
double cpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    std::string work = (argc > 2 ? argv[2] : "/tmp") + std::string("/bench_import");
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    const std::string reg = work + "/hklm.reg", files = work + "/files.txt", machine = work + "/m";
    size_t keys = generateExport(reg, megabytes * 1000 * 1000);
    generateListing(files, 50000);
    double size = static_cast<double>(std::filesystem::file_size(reg));
    std::printf("export: %.1f MB UTF-16LE, %zu keys; listing: 50000 files\n", size / 1e6, keys);

    std::ostringstream out, err;
    resetPeak();
    double c0 = cpuSeconds();
    auto t0 = Clock::now();
    int st = simwin::importMain({machine, reg, "--listing", files}, out, err);
    auto t1 = Clock::now();
    double c1 = cpuSeconds();
    long importPeak = statusKb("VmHWM:");
    if (st != 0) {
        std::cerr << err.str();
        return 1;
    }
    std::printf("import: %.3f s (CPU %.3f s), peak %.0f MB = %.2f x the export\n", seconds(t0, t1),
                c1 - c0, importPeak / 1024.0, importPeak * 1024.0 / size);
    const std::string warned = err.str();
    std::printf("import warnings: %zu lines, %zu bytes (the 5 MB value's lost characters: %s)\n",
                static_cast<size_t>(std::count(warned.begin(), warned.end(), '\n')), warned.size(),
                warned.find("; 2500000 stored as '?'") != std::string::npos ? "one warning" : "?");

    std::ostringstream pout, perr;
    resetPeak();
    t0 = Clock::now();
    st = simwin::previewMain({machine, "--json", work + "/p.json"}, pout, perr);
    t1 = Clock::now();
    long previewPeak = statusKb("VmHWM:");
    if (st != 0) {
        std::cerr << perr.str();
        return 1;
    }
    std::printf("preview: %.3f s, peak %.0f MB = %.2f x the export\n", seconds(t0, t1),
                previewPeak / 1024.0, previewPeak * 1024.0 / size);
    std::string p = pout.str();
    std::printf("preview names the printer Office: %s, Dot4.sys: %s\n",
                p.find("  Office") != std::string::npos ? "yes" : "no",
                p.find("Dot4.sys") != std::string::npos ? "yes" : "no");
    std::filesystem::remove_all(work);
    return 0;
}
