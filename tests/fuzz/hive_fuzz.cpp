// A partition's registry file, the first byte choosing NT (even: the SYSTEM hive beside empty
// SOFTWARE and DEFAULT) or 95/98 (odd: SYSTEM.DAT): refused naming the file, or read into a
// registry whose saved text the strict reader loads. NT with bit 1 of that byte: the input goes
// on with the hive's and SYSTEM.LOG1's lengths (4 bytes each), the hive, SYSTEM.LOG1 and
// SYSTEM.LOG2; a dirty hive is recovered from them (bit 2: read as it is when none fits).
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "Partition.h"
#include "model/codepage.h"
#include "fuzz_support.h"
#include "imports/creg.h"
#include "imports/hive.h"
#include "imports/hivelog.h"
#include "image/regfile.h"
#include "model/registry.h"

namespace {

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// What the reader takes, the writer edits so that libcreg reads it back: a sub-tree goes, a key
// comes with a value, another key's values change.
void checkWriter(const simwin::Partition& p, const simwin::Registry& r, const std::string& file) {
    simwin::creg::Editor ed;
    if (!ed.open(read(file)).empty()) return;  // a structure the writer refuses to edit
    std::vector<std::string> names;
    if (const simwin::Registry::Key* top = r.find("HKEY_LOCAL_MACHINE"))
        for (uint32_t c = 0; c < top->childCount; ++c)
            if (!top->children()[c]->deleted)
                names.emplace_back(top->children()[c]->name, top->children()[c]->nameLength);
    std::string why;
    if (!names.empty()) why += ed.deleteKey({names[0]});
    why += ed.createKey({"dot4 fuzz"}, {{"v", "data", 1}});
    if (names.size() > 1) why += ed.setValues({names[1]}, {{"", std::string(300, 'x'), 3}});
    if (!why.empty()) fuzz::die("the writer cannot edit a file the reader took: " + why);
    write(file, ed.bytes());
    std::ostringstream err, warnings;
    simwin::Registry again;
    if (!simwin::checkHives(p, err) || !simwin::readHives(p, again, warnings, err))
        fuzz::die("what the writer wrote is refused: " + err.str());
}

// libcreg keeps a little memory when it gives up on a broken file: its leak, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcreg.so\n"; }

// With DOT4_FUZZ_SEEDS=DIR, writes the seeds: each sample image's registry as both kinds.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* seeds = std::getenv("DOT4_FUZZ_SEEDS");
    if (!seeds) return 0;
    simwin::setActiveCodePage(simwin::CodePage::get(1252, true));
    for (auto& image :
         std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/examples/machines")) {
        std::string name = image.path().filename().string(), why;
        simwin::Registry r;
        simwin::loadRegFile(r, read(image.path().string() + "/registry.reg"), "registry.reg");
        std::string hive = std::string(seeds) + "/" + name + ".nt";
        std::remove(hive.c_str());
        if (!simwin::writeHive(hive, "SYSTEM", r, "HKEY_LOCAL_MACHINE\\System", why))
            fuzz::die(why);
        write(hive, std::string(1, '\0') + read(hive));
        write(std::string(seeds) + "/" + name + ".98",
              "\1" + testsupport::cregFile(r, "HKEY_LOCAL_MACHINE"));
    }
    // A dirty hive beside the new-format logs Windows wrote for it, and beside an old-format log
    // of the pages Windows' recovery changed (a real one is half a megabyte: too slow here).
    const std::string dir = std::string(SOURCE_DIR) + "/../shared/hives/yarp-logs/NewDirtyHive1/";
    auto u32 = [](const std::string& b, size_t at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
        return v;
    };
    auto put32 = [](std::string& b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    };
    auto seed = [&](const char* name, const std::string& hive, const std::string& log1,
                    const std::string& log2) {
        std::string head(9, '\2');
        put32(head, 1, static_cast<uint32_t>(hive.size()));
        put32(head, 5, static_cast<uint32_t>(log1.size()));
        write(std::string(seeds) + "/" + name, head + hive + log1 + log2);
    };
    std::string hive = read(dir + "NewDirtyHive"), done = read(dir + "RecoveredHive_Windows10");
    const uint32_t bins = u32(hive, 40);
    hive.resize(4096 + bins), done.resize(4096 + bins);
    seed("new.logs", hive, read(dir + "NewDirtyHive.LOG1"), read(dir + "NewDirtyHive.LOG2"));
    std::string old = hive.substr(0, 512), vector = "DIRT" + std::string(bins / 4096, '\0'), pages;
    put32(old, 8, u32(old, 4)), put32(old, 28, 1);
    uint32_t sum = 0;
    for (size_t i = 0; i < 508; i += 4) sum ^= u32(old, i);
    put32(old, 508, sum);
    for (uint32_t page = 0; page < bins / 512; ++page)
        if (hive.compare(4096 + page * 512, 512, done, 4096 + page * 512, 512) != 0) {
            vector[4 + page / 8] = static_cast<char>(vector[4 + page / 8] | 1 << (page % 8));
            pages += done.substr(4096 + page * 512, 512);
        }
    vector.resize(512, '\0');
    seed("old.logs", hive, old + vector + pages, "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const fuzz::HeapBound heap;
    const bool nt = data[0] % 2 == 0;
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/dot4hive.XXXXXX" : "/tmp/dot4hive.XXXXXX";
    const std::string root = mkdtemp(&pattern[0]);
    const std::string windows = root + "/WINDOWS", config = windows + "/system32/config";
    std::filesystem::create_directories(config);
    const std::string file = nt ? config + "/SYSTEM" : windows + "/SYSTEM.DAT";
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (nt && data[0] & 2) {
        size_t n[2] = {};
        for (size_t i = 0; i < 8 && i < input.size(); ++i)
            n[i / 4] |= size_t{static_cast<unsigned char>(input[i])} << (i % 4 * 8);
        input.erase(0, std::min<size_t>(8, input.size()));
        const std::string hive = input.substr(0, n[0]);
        const std::string log1 = input.substr(hive.size(), n[1]);
        write(config + "/SYSTEM.LOG1", log1);
        write(config + "/SYSTEM.LOG2", input.substr(hive.size() + log1.size()));
        input = hive;
    }
    write(file, input);
    if (nt) {
        write(config + "/SOFTWARE", simwin::emptyHive("SOFTWARE"));
        write(config + "/DEFAULT", simwin::emptyHive("DEFAULT"));
    } else {
        static const std::string user = testsupport::cregFile(simwin::Registry(), "HKEY_USERS");
        write(windows + "/USER.DAT", user);
    }
    simwin::setActiveCodePage(simwin::CodePage::get(1252, nt));
    simwin::Partition p;
    std::ostringstream err, warnings;
    simwin::Registry r;
    if (!simwin::openPartition(root, p, err)) fuzz::die("the partition is not found: " + err.str());
    std::vector<std::string> notes, stale;
    const bool usable = simwin::recoverHives(p, data[0] & 4, notes, stale, err);
    if (usable && p.hives[0].recovered && simwin::hiveIsDirty(read(p.hives[0].readPath())))
        fuzz::die("a recovered hive is not clean: " + notes[0]);
    if (usable && simwin::checkHives(p, err) && simwin::readHives(p, r, warnings, err)) {
        std::ostringstream saved;
        simwin::writeRegFile(r, saved);
        simwin::Registry again;
        try {
            simwin::loadRegFile(again, saved.str(), "imported.reg");
        } catch (const simwin::ImageError& e) {
            fuzz::die(std::string("a registry read from a hive is refused: ") + e.what());
        }
        if (!nt) checkWriter(p, r, file);
    } else if (err.str().find(file) == std::string::npos) {
        fuzz::die("a refusal does not name " + file + ": " + err.str());
    }
    std::filesystem::remove_all(root);
    heap.check(size, "the hive reader");
    return 0;
}
