// Offline benchmark: an XP partition with a SOFTWARE hive of about 30 MB, a SYSTEM hive of about
// 10 MB (the Dot4 device among them) and 50,000 files is imported, previewed, applied and
// undone. Time and peak memory of each, against the hives' size.
//
//   bench_offline [SOFTWARE_MB [SYSTEM_MB [WORKDIR [keep]]]]     30, 10 and /tmp by default;
//   "keep" leaves WORKDIR/bench_offline/part, undone, for trying the commands by hand
//
// The hives are written compactly here, as Windows keeps them, instead of key by key through
// libhivex, which leaves every outgrown sub-key list behind as a hole.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "bench_support.h"
#include "model/codepage.h"
#include "dot4sim/offline.h"
#include "imports/hive.h"
#include "image/regfile.h"
#include "model/registry.h"
#include "dot4sim/runner.h"

namespace fs = std::filesystem;
using benchsupport::Clock;
using benchsupport::resetPeak;
using benchsupport::seconds;
using benchsupport::statusKb;

namespace {

void put32(std::string& s, size_t at, uint32_t v) { std::memcpy(&s[at], &v, 4); }
void put16(std::string& s, size_t at, uint16_t v) { std::memcpy(&s[at], &v, 2); }

// A regf file: the base block of an empty hive, then bins of cells, each key's cells together.
class RegfWriter {
  public:
    explicit RegfWriter(const std::string& name) : base_(simwin::emptyHive(name).substr(0, 4096)) {
        newBin(4096);
        sk_ = cell(48);  // one security descriptor for every key
        std::memcpy(&bins_[sk_ + 4], "sk", 2);
        put32(bins_, sk_ + 8, sk_), put32(bins_, sk_ + 12, sk_);
        put32(bins_, sk_ + 20, 20), bins_[sk_ + 24] = 1, put16(bins_, sk_ + 26, 0x8000);
    }

    std::string finish(const simwin::Registry& r, const std::string& keyPath) {
        uint32_t root = key(r, r.find(keyPath), 0, true);
        closeBin();
        put32(bins_, sk_ + 16, keys_);
        put32(base_, 36, root), put32(base_, 40, static_cast<uint32_t>(bins_.size()));
        uint32_t x = 0;
        for (int i = 0; i < 127; ++i) {
            uint32_t w;
            std::memcpy(&w, &base_[4 * i], 4);
            x ^= w;
        }
        put32(base_, 508, x);
        return base_ + bins_;
    }

  private:
    uint32_t cell(size_t n) {
        n = (n + 4 + 7) & ~size_t(7);
        if (bins_.size() + n > binEnd_) {
            closeBin();
            newBin((n + 32 + 4095) & ~size_t(4095));
        }
        uint32_t at = static_cast<uint32_t>(bins_.size());
        bins_.resize(bins_.size() + n, '\0');
        put32(bins_, at, static_cast<uint32_t>(-static_cast<int32_t>(n)));
        return at;
    }
    void newBin(size_t size) {
        size_t at = bins_.size();
        bins_.resize(at + 32, '\0');
        std::memcpy(&bins_[at], "hbin", 4);
        put32(bins_, at + 4, static_cast<uint32_t>(at)),
            put32(bins_, at + 8, static_cast<uint32_t>(size));
        binEnd_ = at + size;
    }
    void closeBin() {
        size_t rest = binEnd_ - bins_.size();
        if (rest == 0) return;
        size_t at = bins_.size();
        bins_.resize(binEnd_, '\0');
        put32(bins_, at, static_cast<uint32_t>(rest));  // free
    }

    uint32_t key(const simwin::Registry& r, const simwin::Registry::Key* k, uint32_t parent,
                 bool root) {
        std::string name = root ? "ROOT" : std::string(k->name, k->nameLength);
        uint32_t nk = cell(76 + name.size());
        ++keys_;
        std::memcpy(&bins_[nk + 4], "nk", 2);
        put16(bins_, nk + 6, root ? 0x2C : 0x20);
        put32(bins_, nk + 20, parent), put32(bins_, nk + 36, 0xFFFFFFFF);
        put32(bins_, nk + 48, sk_), put32(bins_, nk + 52, 0xFFFFFFFF);
        put16(bins_, nk + 76, static_cast<uint16_t>(name.size()));
        std::memcpy(&bins_[nk + 80], name.data(), name.size());
        uint32_t maxName = 0, maxData = 0;
        std::vector<uint32_t> vks;
        for (uint32_t i = 0; i < k->valueCount; ++i) {
            const simwin::Registry::Value& v = k->values[i];
            std::string data(reinterpret_cast<const char*>(v.data()), v.dataLength);
            if (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)
                data = simwin::codePageToUtf16(data);
            uint32_t vk = cell(20 + v.nameLength);
            std::memcpy(&bins_[vk + 4], "vk", 2);
            put16(bins_, vk + 6, static_cast<uint16_t>(v.nameLength));
            if (data.size() <= 4) {
                put32(bins_, vk + 8, static_cast<uint32_t>(data.size()) | 0x80000000u);
                std::memcpy(&bins_[vk + 12], data.data(), data.size());
            } else {
                uint32_t d = cell(data.size());
                std::memcpy(&bins_[d + 4], data.data(), data.size());
                put32(bins_, vk + 8, static_cast<uint32_t>(data.size())), put32(bins_, vk + 12, d);
            }
            put32(bins_, vk + 16, v.type), put16(bins_, vk + 20, 1);
            std::memcpy(&bins_[vk + 24], v.name, v.nameLength);
            vks.push_back(vk);
            maxName = std::max(maxName, v.nameLength * 2);
            maxData = std::max(maxData, static_cast<uint32_t>(data.size()));
        }
        if (!vks.empty()) {
            uint32_t list = cell(4 * vks.size());
            for (size_t i = 0; i < vks.size(); ++i) put32(bins_, list + 4 + 4 * i, vks[i]);
            put32(bins_, nk + 40, static_cast<uint32_t>(vks.size())), put32(bins_, nk + 44, list);
        }
        std::vector<std::pair<uint32_t, uint32_t>> kids;  // offset, hash
        uint32_t maxKey = 0;
        for (uint32_t i = 0; i < k->childCount; ++i) {
            const simwin::Registry::Key* c = k->children()[i];
            if (c->deleted || c->isLink) continue;
            uint32_t hash = 0;
            for (uint32_t j = 0; j < c->nameLength; ++j)
                hash = hash * 37 + static_cast<unsigned char>(std::toupper(c->name[j]));
            kids.emplace_back(key(r, c, nk, false), hash);
            maxKey = std::max(maxKey, c->nameLength * 2);
        }
        if (!kids.empty()) {
            uint32_t lh = cell(4 + 8 * kids.size());
            std::memcpy(&bins_[lh + 4], "lh", 2);
            put16(bins_, lh + 6, static_cast<uint16_t>(kids.size()));
            for (size_t i = 0; i < kids.size(); ++i)
                put32(bins_, lh + 8 + 8 * i, kids[i].first),
                    put32(bins_, lh + 12 + 8 * i, kids[i].second);
            put32(bins_, nk + 24, static_cast<uint32_t>(kids.size())), put32(bins_, nk + 32, lh);
        }
        put32(bins_, nk + 56, maxKey), put32(bins_, nk + 64, maxName),
            put32(bins_, nk + 68, maxData);
        return nk;
    }

    std::string base_, bins_;
    size_t binEnd_ = 0;
    uint32_t sk_ = 0, keys_ = 0;
};

// HKLM\SOFTWARE and HKLM\SYSTEM of a crowded XP machine, the Dot4 device among them, as
// REGEDIT4 text; `units` scales it.
std::string registryText(size_t softwareKeys, size_t systemKeys) {
    std::string t = "REGEDIT4\r\n\r\n";
    auto key = [&](const std::string& path, const std::string& values = "") {
        t += "[" + path + "]\r\n" + values + "\r\n";
    };
    const std::string cs = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001";
    key("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
        "\"CurrentVersion\"=\"5.1\"\r\n\"CurrentBuildNumber\"=\"2600\"\r\n\"SystemRoot\"=\"C:"
        "\\\\WINDOWS\"\r\n");
    key("HKEY_LOCAL_MACHINE\\SYSTEM\\Select", "\"Current\"=dword:00000001\r\n");
    key(cs + "\\Control\\Nls\\CodePage", "\"ACP\"=\"1252\"\r\n\"OEMCP\"=\"850\"\r\n");
    benchsupport::dot4Stack(cs, false, key);
    char b[256];
    for (size_t u = 0; u < softwareKeys; ++u) {
        // Grouped as a real SOFTWARE hive is: no key of it has tens of thousands of sub-keys.
        std::snprintf(b, sizeof b, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Kind%03zu\\.%06zx",
                      u / 2000, u);
        key(b, u % 2 ? "@=\"a file type\"\r\n" : "\"Content Type\"=\"application/x-bench\"\r\n");
    }
    for (size_t u = 0; u < systemKeys; ++u) {
        std::snprintf(b, sizeof b, "%s\\Enum\\USB\\VID_%04X&PID_%04X\\%06zu", cs.c_str(),
                      unsigned(u / 500), unsigned(u % 7), u);
        key(b, "\"Driver\"=\"{36fc9e60-c465-11cf-8056-444553540000}\\\\0001\"\r\n");
    }
    return t;
}

size_t buildPartition(const std::string& root, double softwareMb, double systemMb) {
    simwin::setActiveCodePage(simwin::CodePage::get(1252, true));
    const std::string config = root + "/WINDOWS/system32/config";
    fs::create_directories(config);
    size_t sw = 200000, sys = 50000;
    std::string software, system;
    for (int round = 0; round < 2; ++round) {  // the second round scaled to the sizes asked for
        simwin::Registry r;
        simwin::loadRegFile(r, registryText(sw, sys), "bench.reg");
        software = RegfWriter("SOFTWARE").finish(r, "HKEY_LOCAL_MACHINE\\SOFTWARE");
        system = RegfWriter("SYSTEM").finish(r, "HKEY_LOCAL_MACHINE\\SYSTEM");
        sw = static_cast<size_t>(sw * softwareMb * 1e6 / software.size());
        sys = static_cast<size_t>(sys * systemMb * 1e6 / system.size());
    }
    std::ofstream(config + "/SOFTWARE", std::ios::binary) << software;
    std::ofstream(config + "/SYSTEM", std::ios::binary) << system;
    std::ofstream(config + "/DEFAULT", std::ios::binary) << simwin::emptyHive("DEFAULT");
    const std::string drivers = root + "/WINDOWS/system32/drivers";
    fs::create_directories(drivers);
    for (const char* f : {"Dot4.sys", "Dot4Prt.sys", "Dot4Usb.sys"})
        std::ofstream(drivers + "/" + f) << "x";
    std::ofstream(root + "/WINDOWS/system32/Dot4Mon.dll") << "x";
    for (size_t i = 4; i < 50000; ++i) {
        std::string dir = root + "/WINDOWS/system32/d" + std::to_string(i / 500);
        if (i % 500 == 0 || i == 4) fs::create_directories(dir);
        std::ofstream(dir + "/f" + std::to_string(i) + ".dll");
    }
    return software.size() + system.size() + 8192;
}

}  // namespace

int main(int argc, char** argv) {
    double softwareMb = argc > 1 ? std::atof(argv[1]) : 30,
           systemMb = argc > 2 ? std::atof(argv[2]) : 10;
    const std::string work = (argc > 3 ? argv[3] : "/tmp") + std::string("/bench_offline");
    const std::string root = work + "/part", machine = work + "/m", backup = work + "/backup";
    fs::remove_all(work);
    fs::create_directories(work);
    // Built in a child, so that building costs nothing in the memory figures.
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(buildPartition(root, softwareMb, systemMb) > 0 ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (status != 0) return 1;
    double hives = 0;
    for (const char* h : {"SOFTWARE", "SYSTEM", "DEFAULT"})
        hives += static_cast<double>(fs::file_size(root + "/WINDOWS/system32/config/" + h));
    std::printf("hives: SOFTWARE %.1f MB, SYSTEM %.1f MB; 50000 files\n",
                fs::file_size(root + "/WINDOWS/system32/config/SOFTWARE") / 1e6,
                fs::file_size(root + "/WINDOWS/system32/config/SYSTEM") / 1e6);

    auto measure = [&](const char* what,
                       const std::function<int(std::ostream&, std::ostream&)>& f) {
        return benchsupport::measure(what, hives, "the hives", f);
    };
    std::string imported = measure("import", [&](std::ostream& o, std::ostream& e) {
        return simwin::importMain({machine, "--root", root}, o, e);
    });
    std::printf("  %s", imported.substr(imported.rfind("wrote")).c_str());
    std::string previewed = measure("preview", [&](std::ostream& o, std::ostream& e) {
        return simwin::previewMain({machine}, o, e);
    });
    std::printf("  preview deletes the printer Office: %s\n",
                previewed.find("  Office") != std::string::npos ? "yes" : "no");
    std::istringstream none;
    std::string applied = measure("apply", [&](std::ostream& o, std::ostream& e) {
        return simwin::applyMain({machine, "--root", root, "--backup", backup, "--yes"}, none, o,
                                 e);
    });
    std::printf("  %s", applied.substr(applied.find("applied to")).c_str());
    measure("undo", [&](std::ostream& o, std::ostream& e) {
        return simwin::undoMain({"--backup", backup, "--root", root}, none, o, e);
    });
    if (argc <= 4 || std::string(argv[4]) != "keep") fs::remove_all(work);
    return 0;
}
