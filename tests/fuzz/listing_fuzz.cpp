// A dir /s /b listing as import reads it, on a 1252, 1251 or 932 machine (the size chooses):
// read, or refused with a reason and nothing taken; what is read names only what a host folder
// can hold, each folder before what it holds; no more than a few warnings per line.
#include <iconv.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "fuzz_support.h"
#include "imports/listing.h"
#include "model/codepage.h"

namespace {

namespace fs = std::filesystem;

const struct {
    unsigned acp, oem;
    char32_t letterA;  // what each letter of a sample's names becomes: 'a' + i -> letterA + step i
    unsigned step;
} kMachines[] = {{1252, 850, U'à', 1}, {1251, 866, U'а', 1}, {932, 932, U'ァ', 2}};  // 'o': ソ

std::string convert(const std::string& text, const char* to, const char* from, bool* ok) {
    iconv_t cd = iconv_open(to, from);
    std::string out(text.size() * 4 + 16, '\0');
    char *in = const_cast<char*>(text.data()), *o = &out[0];
    size_t il = text.size(), ol = out.size();
    *ok = cd != reinterpret_cast<iconv_t>(-1) && iconv(cd, &in, &il, &o, &ol) != size_t(-1);
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    return out.substr(0, out.size() - ol);
}

std::string utf8(char32_t c) {
    bool ok;
    return convert(std::string(reinterpret_cast<const char*>(&c), 4), "UTF-8", "UTF-32LE", &ok);
}

void write(const std::string& path, std::string bytes, size_t machine) {
    while (bytes.size() % 3 != machine) bytes += '\n';
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

// With DOT4_FUZZ_SEEDS=DIR, writes the seeds: the sample images' drives as dir /s /b lists them,
// their letters also in each machine's script, in every encoding a listing comes in.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* seeds = std::getenv("DOT4_FUZZ_SEEDS");
    if (!seeds) return 0;
    int n = 0;
    for (auto& image : fs::directory_iterator(std::string(SOURCE_DIR) + "/examples/machines")) {
        if (!fs::is_directory(image.path() / "drive_c")) continue;
        std::string ascii;
        for (auto& e : fs::recursive_directory_iterator(image.path() / "drive_c")) {
            std::string rel = fs::relative(e.path(), image.path() / "drive_c").string();
            for (char& c : rel) c = c == '/' ? '\\' : c;
            ascii += "C:\\" + rel + "\r\n";
        }
        for (size_t m = 0; m < 3; ++m) {
            std::string text;
            for (char c : ascii)
                text += std::islower(static_cast<unsigned char>(c))
                            ? utf8(kMachines[m].letterA + kMachines[m].step * (c - 'a'))
                            : std::string(1, c);
            bool ok;
            const std::string wide = convert(text, "UTF-16LE", "UTF-8", &ok);
            const std::string oem =
                convert(text, ("CP" + std::to_string(kMachines[m].oem)).c_str(), "UTF-8", &ok);
            const std::string prefix = std::string(seeds) + "/" + std::to_string(n++);
            for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"ascii", ascii},
                                              {"utf8", text},
                                              {"utf8bom", "\xEF\xBB\xBF" + text},
                                              {"utf16", wide},
                                              {"utf16bom", "\xFF\xFE" + wide},
                                              {"oem", ok ? oem : ascii}})
                write(prefix + "-" + name, bytes, m);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
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
        convert(name, "UTF-16LE", "UTF-8", &utf8);
        if (e.drive ? slash != std::string::npos || name.size() != 7 || name.compare(0, 6, "drive_")
                    : !folders.count(e.path.substr(0, slash)))
            fuzz::die("an entry before its folder, or no drive: " + e.path);
        if (name.empty() || name == "." || name == ".." || name.size() > 255 || !utf8 ||
            name.find_first_of(std::string("\\/\0", 3)) != std::string::npos)
            fuzz::die("a name no host folder can hold: " + e.path);
        if (e.folder) folders.insert(e.path);
    }
    const std::string w = warnings.str();
    size_t lines = 1, warned = 0;
    for (char c : raw) lines += c == '\n';
    for (size_t at = 0; (at = w.find('\n', at)) != std::string::npos; ++at) ++warned;
    if (warned > 2 * lines) fuzz::die("more than two warnings a line:\n" + w);
    for (size_t at = 0; at < w.size(); at = w.find('\n', at) + 1)
        if (w.compare(at, 28, "dot4sim: warning: files.txt:") != 0 || !std::isdigit(w[at + 28]))
            fuzz::die("a warning without the file and its line:\n" + w);
    return 0;
}
