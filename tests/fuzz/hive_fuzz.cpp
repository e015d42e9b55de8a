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
    // Dirty hives beside the logs Windows wrote for them.
    const std::string logs = std::string(SOURCE_DIR) + "/../shared/hives/yarp-logs/";
    for (const char* dir : {"NewDirtyHive1", "NewDirtyHive2", "OldDirtyHive"}) {
        std::string hive = logs + dir + "/" + (dir[0] == 'N' ? "NewDirtyHive" : "OldDirtyHive");
        std::string bytes = read(hive), log1 = read(hive + ".LOG1"), head(9, '\2');
        for (int i = 0; i < 4; ++i)
            head[1 + i] = static_cast<char>(bytes.size() >> (8 * i)),
                     head[5 + i] = static_cast<char>(log1.size() >> (8 * i));
        write(std::string(seeds) + "/" + dir + ".logs", head + bytes + log1 + read(hive + ".LOG2"));
    }
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
        size_t lengths[2] = {};
        for (size_t i = 0; i < 8 && i < input.size(); ++i)
            lengths[i / 4] |= static_cast<size_t>(static_cast<unsigned char>(input[i]))
                              << (i % 4 * 8);
        input.erase(0, 8);
        for (const char* log : {"/SYSTEM.LOG1", "/SYSTEM.LOG2"}) {
            const size_t n = std::min(lengths[0], input.size());
            write(config + (log[11] == '1' ? "/SYSTEM" : log + 0), input.substr(0, n));
            input.erase(0, n);
            lengths[0] = log[11] == '1' ? lengths[1] : 0;
        }
    }
    write(file, input);
    if (nt) {
        write(config + "/SOFTWARE", simwin::emptyHive("SOFTWARE"));
        write(config + "/DEFAULT", simwin::emptyHive("DEFAULT"));
    }
    simwin::setActiveCodePage(simwin::CodePage::get(1252, nt));
    simwin::Partition p;
    std::ostringstream err, warnings;
    simwin::Registry r;
    if (!simwin::openPartition(root, p, err)) fuzz::die("the partition is not found: " + err.str());
    if (simwin::checkHives(p, err) && simwin::readHives(p, r, warnings, err)) {
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
