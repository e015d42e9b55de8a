// Offline benchmark for Windows 95/98/Me: the sample 98 machine as a partition whose SYSTEM.DAT
// is grown to about 5 MB (tens of thousands of keys, the Dot4 stack among them) is imported,
// previewed, applied and undone. Time and peak memory of each.
//
//   bench_offline98 [SYSTEM_MB [WORKDIR]]     5 and /tmp by default
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>

#include "Partition.h"
#include "bench_support.h"
#include "dot4sim/offline.h"
#include "dot4sim/runner.h"

namespace fs = std::filesystem;
using benchsupport::Clock;

namespace {

// Devices and their drivers' keys as a crowded 98 machine holds them, as REGEDIT4 lines.
std::string ballast(size_t keys) {
    std::string t;
    char b[200];
    for (size_t u = 0; u < keys; ++u) {
        std::snprintf(b, sizeof b,
                      "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_%04X&DEV_%04X\\BUS_%02zu&DEV_%02zu]\r\n"
                      "\"HardwareID\"=\"PCI\\\\VEN_%04X&DEV_%04X\"\r\n\"Class\"=\"System\"\r\n"
                      "\"Driver\"=\"System\\\\%04zu\"\r\n\r\n",
                      unsigned(u / 400), unsigned(u % 97), u % 100, u % 32, unsigned(u / 400),
                      unsigned(u % 97), u % 10000);
        t += b;
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const double systemMb = argc > 1 ? std::atof(argv[1]) : 5;
    const std::string work = (argc > 2 ? argv[2] : "/tmp") + std::string("/bench_offline98");
    const std::string root = work + "/part", machine = work + "/m", backup = work + "/backup";
    const std::string image = std::string(SOURCE_DIR) + "/tests/wine/scenarios/w98-whole-stack";
    fs::remove_all(work);
    // Built in a child, so that building costs nothing in the memory figures.
    pid_t pid = ::fork();
    if (pid == 0) {
        size_t keys = 20000;
        for (int round = 0; round < 2; ++round) {  // the second scaled to the size asked for
            fs::remove_all(root);
            testsupport::makePartition(image, root, false, ballast(keys));
            keys = static_cast<size_t>(keys * systemMb * 1e6 /
                                       fs::file_size(root + "/WINDOWS/SYSTEM.DAT"));
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (status != 0) return 1;
    const double size = static_cast<double>(fs::file_size(root + "/WINDOWS/SYSTEM.DAT"));
    std::printf("SYSTEM.DAT %.1f MB\n", size / 1e6);
    auto measure = [&](const char* what,
                       const std::function<int(std::ostream&, std::ostream&)>& f) {
        return benchsupport::measure(what, size, "SYSTEM.DAT", f);
    };
    std::string imported = measure("import", [&](std::ostream& o, std::ostream& e) {
        return simwin::importMain({machine, "--root", root}, o, e);
    });
    std::printf("  %s", imported.substr(imported.rfind("wrote")).c_str());
    measure("preview",
            [&](std::ostream& o, std::ostream& e) { return simwin::previewMain({machine}, o, e); });
    std::istringstream none;
    std::string applied = measure("apply", [&](std::ostream& o, std::ostream& e) {
        return simwin::applyMain({machine, "--root", root, "--backup", backup, "--yes"}, none, o,
                                 e);
    });
    std::printf("  %s", applied.substr(applied.find("applied to")).c_str());
    measure("undo", [&](std::ostream& o, std::ostream& e) {
        return simwin::undoMain({"--backup", backup, "--root", root}, none, o, e);
    });
    fs::remove_all(work);
    return 0;
}
