// registry.reg: refused with the file and a line, the registry unchanged; or loaded, and what
// is saved loads back to the same text. Read leniently, as import does, nothing is refused.
#include <sstream>

#include "fuzz_support.h"
#include "model/codepage.h"
#include "model/registry.h"
#include "image/regfile.h"

namespace {

std::string saved(const simwin::Registry& r) {
    std::ostringstream out;
    simwin::writeRegFile(r, out);
    return out.str();
}

const char kBefore[] = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Before]\r\n\"v\"=\"x\"\r\n\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Every other input in a double-byte code page, where a trail byte may be '\\' or '"'.
    simwin::setActiveCodePage(simwin::CodePage::get(size % 2 ? 932 : 1252, true));
    // dot4sim import: any text is read leniently, and what it makes loads strictly.
    {
        const fuzz::HeapBound heap;
        simwin::Registry lenient;
        std::ostringstream warnings;
        try {
            simwin::readRegFile(lenient, text, "export.reg", warnings, true);
        } catch (const std::exception& e) {
            fuzz::die(std::string("the lenient reader refused a text: ") + e.what());
        }
        simwin::Registry strict;
        try {
            simwin::loadRegFile(strict, saved(lenient), "imported.reg");
        } catch (const simwin::ImageError& e) {
            fuzz::die(std::string("an imported registry is refused: ") + e.what());
        }
        heap.check(size, "the export reader");
    }
    simwin::Registry r;
    simwin::loadRegFile(r, kBefore, "before.reg");
    const std::string before = saved(r);
    try {
        simwin::loadRegFile(r, text, "registry.reg");
    } catch (const simwin::ImageError& e) {
        fuzz::checkRefusal(e, "registry.reg");
        if (saved(r) != before) fuzz::die("a refused registry.reg changed the registry");
        fuzz::checkOnDisk(text, "registry.reg");
        return 0;
    }
    const std::string once = saved(r);
    simwin::Registry again;
    try {
        simwin::loadRegFile(again, once, "saved.reg");
    } catch (const simwin::ImageError& e) {
        fuzz::die(std::string("the saved registry is refused: ") + e.what());
    }
    if (saved(again) != once) fuzz::die("the saved registry does not load back the same");
    fuzz::checkOnDisk(text, "registry.reg");
    return 0;
}
