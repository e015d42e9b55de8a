// Registry benchmark: registry.reg load and save speed, peak memory against the file size, and
// the whole uninstall on machines of 100,000 and 1,000,000 keys.
//
//   bench_registry [KEYS [WORKDIR]]     KEYS defaults to 1000000, WORKDIR to /tmp
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "image/image.h"
#include "image/regfile.h"
#include "model/machine.h"
#include "model/registry.h"
#include "bench_support.h"
#include "dot4sim/runner.h"
#include "uninstaller/Dot4Uninstaller.h"

namespace {

using benchsupport::Clock;
using benchsupport::resetPeak;
using benchsupport::seconds;
using benchsupport::statusKb;

std::string dword(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string sz(const std::string& s) { return s + '\0'; }

const char* const kDot4Class = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr size_t kDot4Units = 64;
const char* const kCcs = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet";

// A machine of about `keys` keys: one Dot4 device with its ports and printers, plus the
// device interfaces, class instances, enumerator entries, printers and software settings of
// a crowded machine.
void generate(size_t keys, const std::string& file) {
    simwin::Registry r;
    const std::string dc = std::string(kCcs) + "\\Control\\DeviceClasses\\";
    const std::string cls = std::string(kCcs) + "\\Services\\Class\\";
    const std::string printers = std::string(kCcs) + "\\Control\\Print\\Printers\\";
    const std::string ports = std::string(kCcs) + "\\Control\\Print\\Ports\\";
    const std::string device = "VID_5E7A&PID_0C21";

    r.setValue("HKEY_LOCAL_MACHINE\\enum\\DOT4\\" + device + "\\1", "Class", REG_SZ, sz("DOT4"));
    r.setValue("HKEY_LOCAL_MACHINE\\enum\\DOT4PRT\\" + device + "\\1", "Class", REG_SZ,
               sz("DOT4PRINT"));
    r.setValue("HKEY_LOCAL_MACHINE\\enum\\USB\\" + device, "Driver", REG_SZ, sz("Dot4Usb.sys"));
    r.setValue(std::string(kCcs) + "\\Control\\Print\\Monitors\\Dot4 Monitor", "Driver", REG_SZ,
               sz("Dot4Mon.dll"));

    char buf[256];
    size_t unit = 0;
    while (r.keyCount() < keys) {
        // Device interfaces, on every other unit. Only the first few are Dot4 interfaces under
        // the {28...} classes: a machine has a handful of Dot4 ports (999 at the very most),
        // and the printers phase checks every printer against every port found.
        unsigned c = unit % 50;
        bool dot4 = unit < kDot4Units;
        if (unit % 2 == 0) {
            std::snprintf(buf, sizeof buf, "{%08x-5a12-11d1-ae5b-0000f803a8c2}",
                          dot4 && c % 4 == 0 ? 0x28d78fadu
                          : dot4             ? 0x28a7b1c4u
                                             : 0x6bdd1fc0u + c);
            std::string guid = buf;
            std::snprintf(buf, sizeof buf, "##?#USB#VID_%04X&PID_%04X#%08zu#%s",
                          unsigned(unit % 997), unsigned(unit % 8191), unit, guid.c_str());
            std::string inst = dc + guid + "\\" + buf;
            r.setValue(inst, "DeviceInstance", REG_SZ,
                       sz("USB\\VID_0000&PID_0000\\" + std::to_string(unit)));
            r.setValue(inst + "\\#", "SymbolicLink", REG_SZ, sz("\\\\?\\" + std::string(buf)));
            r.setValue(inst + "\\#\\Device Parameters", "Base Name", REG_SZ, sz("Dot4"));
            r.setValue(inst + "\\#\\Device Parameters", "Port Number", REG_DWORD,
                       dword(uint32_t(unit % 999 + 1)));
            r.setValue(inst + "\\Control", "Linked", REG_DWORD, dword(0));
        }

        // Class instances.
        static const char* const classes[] = {"DOT4", "DOT4PRINT", "DOT4USB", "Net",   "Ports",
                                              "USB",  "Printer",   "Image",   "Media", "HID"};
        std::snprintf(buf, sizeof buf, "%s%s\\%04zu", cls.c_str(), classes[unit % 10], unit / 10);
        std::string ci = buf;
        r.setValue(ci, "DriverDesc", REG_SZ, sz("Generic device " + std::to_string(unit)));
        r.setValue(ci, "InfPath", REG_SZ, sz("oem" + std::to_string(unit % 300) + ".inf"));
        r.setValue(ci, "MatchingDeviceId", REG_SZ,
                   sz(unit % 40 == 0 ? "usb\\" + device : "usb\\vid_0000&pid_0000"));
        r.setValue(ci + "\\Settings", "Flags", REG_BINARY, std::string(8, '\x01'));

        // Enumerator entries.
        std::snprintf(buf, sizeof buf, "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_%04X&PID_%04X\\%08zu",
                      unsigned(unit % 997), unsigned(unit % 8191), unit);
        r.setValue(buf, "HardwareID", REG_MULTI_SZ,
                   std::string("USB\\VID_0000&PID_0000\0USB\\VID_0000\0\0", 35));
        r.setValue(buf, "Driver", REG_SZ, sz("{36fc9e60-c465-11cf-8056-444553540000}\\0001"));

        // Software settings.
        std::snprintf(buf, sizeof buf, "HKEY_LOCAL_MACHINE\\Software\\Vendor%03zu\\App%06zu",
                      unit % 211, unit);
        r.setValue(std::string(buf) + "\\Settings", "Window", REG_BINARY, std::string(28, 'w'));
        std::snprintf(buf, sizeof buf, "HKEY_CURRENT_USER\\Software\\Vendor%03zu\\App%06zu",
                      unit % 211, unit);
        r.setValue(buf, "LastFile", REG_SZ, sz("C:\\Documents\\file" + std::to_string(unit)));

        // Printers and ports: one in ten, every fifth of those on a Dot4 port.
        if (unit % 10 == 0) {
            std::snprintf(buf, sizeof buf, "%sPrinter %06zu", printers.c_str(), unit);
            std::string p = buf;
            std::snprintf(buf, sizeof buf, "Dot4_%03zu", unit / 10 % 999 + 1);
            bool onDot4 = unit % 50 == 0 && unit < 50 * kDot4Units;
            std::string port = onDot4 ? std::string(buf) : "LPT1:";
            r.setValue(p, "Port", REG_SZ, sz(port));
            r.setValue(p, "Printer Driver", REG_SZ, sz("Generic / Text Only"));
            r.setValue(p + "\\DsSpooler", "printerName", REG_SZ, sz(p.substr(printers.size())));
            r.setValue(p + "\\PrinterDriverData", "Model", REG_SZ, sz("Text"));
            if (onDot4) r.setValue(ports + port, "Timeout", REG_DWORD, dword(90));
        }
        ++unit;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    simwin::writeRegFile(r, out);
}

std::string readAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(0, std::ios::end);
    std::string text(static_cast<size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    return text;
}

// Generating takes memory that must not count against the registry: it runs in a child.
bool makeImage(size_t keys, const std::string& dir) {
    std::string cmd = "mkdir -p '" + dir + "/drive_c/WINDOWS'";
    if (std::system(cmd.c_str()) != 0) return false;
    {
        std::ofstream ini(dir + "/machine.ini");
        ini << "[system]\nplatform=2\n\n[prompt]\nanswer=no\n";
    }
    pid_t pid = fork();
    if (pid == 0) {
        generate(keys, dir + "/registry.reg");
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double runUninstall(const std::string& dir) {
    simwin::RunOptions options;
    options.image = dir;
    std::ostringstream err;
    auto t0 = Clock::now();
    int rc = simwin::runImage(options, err);
    auto t1 = Clock::now();
    if (rc != 0) std::cerr << "uninstall run failed (" << rc << "): " << err.str();
    return seconds(t0, t1);
}

// The same run taken apart: image load, the program, image save (the run above is the total).
void runParts(const std::string& dir, size_t keys) {
    auto t0 = Clock::now();
    auto m = simwin::loadImage(dir);
    auto t1 = Clock::now();
    m->run.commandLine = m->config.system.program;
    simwin::activate(m.get());
    char args[1] = {0};
    WinMain(nullptr, nullptr, args, 1);
    auto t2 = Clock::now();
    simwin::saveImage(*m, true);
    auto t3 = Clock::now();
    simwin::activate(nullptr);
    std::printf("  %zu keys: image load %.3f s, program %.3f s, image save %.3f s\n", keys,
                seconds(t0, t1), seconds(t1, t2), seconds(t2, t3));
}

}  // namespace

int main(int argc, char** argv) {
    size_t keys = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    std::string work = argc > 2 ? argv[2] : "/tmp";
    std::string big = work + "/bench_registry_" + std::to_string(getpid());
    std::string small = big + "_small";
    size_t smallKeys = keys / 10;

    if (!makeImage(keys, big) || !makeImage(smallKeys, small)) {
        std::cerr << "cannot build the machine images under " << work << "\n";
        return 1;
    }
    const std::string file = big + "/registry.reg";

    double loadSeconds, saveSeconds, sizeMb;
    long peakKb, baseKb;
    size_t loadedKeys;
    bool same;
    {
        baseKb = statusKb("VmRSS:");
        resetPeak();
        std::string text = readAll(file);
        sizeMb = double(text.size()) / 1e6;
        simwin::Registry r;
        auto t0 = Clock::now();
        simwin::loadRegFile(r, text, file);
        auto t1 = Clock::now();
        loadedKeys = r.keyCount();
        {
            std::ofstream out(big + "/saved.reg", std::ios::binary | std::ios::trunc);
            auto t2 = Clock::now();
            simwin::writeRegFile(r, out);
            out.flush();
            auto t3 = Clock::now();
            saveSeconds = seconds(t2, t3);
        }
        peakKb = statusKb("VmHWM:");
        loadSeconds = seconds(t0, t1);
        same = readAll(big + "/saved.reg") == text;
    }
    std::remove((big + "/saved.reg").c_str());

    resetPeak();
    double smallRun = runUninstall(small);
    double bigRun = runUninstall(big);
    long runPeakKb = statusKb("VmHWM:");

    std::printf("registry.reg: %zu keys, %.1f MB\n", loadedKeys, sizeMb);
    std::printf("load:  %.3f s  %.0f MB/s   (target >= 150)\n", loadSeconds, sizeMb / loadSeconds);
    std::printf("save:  %.3f s  %.0f MB/s   (target >= 200)\n", saveSeconds, sizeMb / saveSeconds);
    std::printf("round trip byte-identical: %s\n", same ? "yes" : "NO");
    std::printf(
        "peak memory, text + registry: %.1f MB = %.2f x file size (target < 3; %.1f MB "
        "before loading)\n",
        peakKb * 1024.0 / 1e6, peakKb * 1024.0 / 1e6 / sizeMb, baseKb / 1024.0);
    std::printf("uninstall run (dot4sim run in process), %zu keys: %.3f s\n", smallKeys, smallRun);
    std::printf("uninstall run (dot4sim run in process), %zu keys: %.3f s\n", keys, bigRun);
    std::printf("growth for 10x keys: %.2f x   (target <= 11)\n", bigRun / smallRun);
    runParts(small, smallKeys);
    runParts(big, keys);
    std::printf("peak memory during the runs: %.1f MB\n", runPeakKb * 1024.0 / 1e6);

    std::string cleanup = "rm -rf '" + big + "' '" + small + "'";
    if (std::system(cleanup.c_str()) != 0) return 1;
    return same ? 0 : 1;
}
