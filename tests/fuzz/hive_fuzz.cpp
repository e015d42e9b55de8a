// A partition's registry file, the first byte choosing NT (even: the SYSTEM hive beside empty
// SOFTWARE and DEFAULT) or 95/98 (odd: SYSTEM.DAT): refused naming the file, or read into a
// registry whose saved text the strict reader loads.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "Partition.h"
#include "model/codepage.h"
#include "fuzz_support.h"
#include "imports/hive.h"
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
    write(file, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
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
    } else if (err.str().find(file) == std::string::npos) {
        fuzz::die("a refusal does not name " + file + ": " + err.str());
    }
    std::filesystem::remove_all(root);
    heap.check(size, "the hive reader");
    return 0;
}
