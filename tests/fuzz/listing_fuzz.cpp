// A dir /s /b listing as import reads it, on a 1252, 1251 or 932 machine (the size chooses):
// read, or refused with nothing taken; what is read names only what a host folder can hold, each
// folder before what it holds, with at most two warnings a line.
#include <iconv.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "fuzz_support.h"
#include "imports/listing.h"
#include "model/codepage.h"

namespace {

namespace fs = std::filesystem;

// What 'a' + i of a sample's names becomes on each machine: 'o' is ソ, whose second byte in 932
// is that of '\'.
const struct {
    unsigned acp, oem;
    char32_t a, step;
} kMachines[] = {{1252, 850, U'à', 1}, {1251, 866, U'а', 1}, {932, 932, U'ァ', 2}};

std::string convert(const std::string& text, const std::string& to, const char* from, bool& ok) {
    iconv_t cd = iconv_open(to.c_str(), from);
    std::string out(text.size() * 4 + 16, '\0');
    char *in = const_cast<char*>(text.data()), *o = &out[0];
    size_t il = text.size(), ol = out.size();
    ok = iconv(cd, &in, &il, &o, &ol) != size_t(-1);
    iconv_close(cd);
    return out.substr(0, out.size() - ol);
}

}  // namespace

// With DOT4_FUZZ_SEEDS=DIR, writes the seeds: the sample images' drives as dir /s /b lists them,
// in each machine's script, in every encoding a listing comes in.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* seeds = std::getenv("DOT4_FUZZ_SEEDS");
    if (!seeds) return 0;
    int n = 0;
    for (auto& image : fs::directory_iterator(std::string(SOURCE_DIR) + "/examples/machines")) {
        const fs::path c = image.path() / "drive_c";
        for (size_t m = 0; fs::is_directory(c) && m < 3; ++m) {
            std::u32string text;
            for (auto& e : fs::recursive_directory_iterator(c))
                for (char ch : "C:/" + fs::relative(e.path(), c).string() + "\r\n")
                    text += ch == '/' ? U'\\'
                            : std::islower(static_cast<unsigned char>(ch))
                                ? kMachines[m].a + kMachines[m].step * (ch - 'a')
                                : char32_t(ch);
            const std::string u32(reinterpret_cast<const char*>(text.data()), text.size() * 4);
            bool ok;
            const std::string wide = convert(u32, "UTF-16LE", "UTF-32LE", ok),
                              utf8 = convert(u32, "UTF-8", "UTF-32LE", ok);
            for (std::string bytes :
                 {wide, "\xFF\xFE" + wide, utf8, "\xEF\xBB\xBF" + utf8,
                  convert(u32, "CP" + std::to_string(kMachines[m].oem), "UTF-32LE", ok)}) {
                while (bytes.size() % 3 != m) bytes += '\n';
                std::ofstream(std::string(seeds) + "/" + std::to_string(n++), std::ios::binary)
                    << bytes;
            }
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const fuzz::HeapBound heap;
    const auto& m = kMachines[size % 3];
    simwin::setActiveCodePage(simwin::CodePage::get(m.acp, true));
    simwin::Listing l;
    std::ostringstream warnings;
    const std::string why =
        simwin::readListing(raw, "files.txt", simwin::listingEncoding(raw, m.oem), l, warnings);
    if (!why.empty() && !l.entries.empty()) fuzz::die("a refused listing was taken: " + why);
    std::set<std::string> folders;
    for (const simwin::Listing::Entry& e : l.entries) {
        const size_t slash = e.path.rfind('/');
        const std::string name = e.path.substr(slash + 1);
        bool utf8;
        convert(name, "UTF-16LE", "UTF-8", utf8);
        if (!e.drive && (!folders.count(e.path.substr(0, slash)) || !utf8 || name.empty() ||
                         name.size() > 255 || name == "." || name == ".."))
            fuzz::die("a name no host folder can hold, or before its folder: " + e.path);
        if (e.folder) folders.insert(e.path);
    }
    const std::string w = warnings.str();
    if (std::count(w.begin(), w.end(), '\n') > 2 * std::count(raw.begin(), raw.end(), '\n') + 2)
        fuzz::die("more than two warnings a line:\n" + w);
    heap.check(size, "the listing reader");
    return 0;
}
