// machine.ini [system] codepage: UTF-16 registry files stored in it, names compared by the
// family's case rules.
#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "TestImage.h"
#include "model/codepage.h"
#include "model/iconv.h"
#include "image/image.h"
#include "model/registry.h"
#include "model/registry_model.h"

using simwin::CodePage;
using testsupport::TestImage;

namespace {

// `text` converted from UTF-8 by iconv into `to`.
std::string fromUtf8(const std::string& text, const std::string& to) {
    iconv_t cd = iconv_open(to.c_str(), "UTF-8");
    std::string out(text.size() * 2 + 2, '\0');
    char* in = const_cast<char*>(text.data());
    char* o = &out[0];
    size_t il = text.size(), ol = out.size();
    EXPECT_NE(iconv(cd, &in, &il, &o, &ol), static_cast<size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - ol);
    return out;
}

std::string utf16FromUtf8(const std::string& text) {
    return "\xFF\xFE" + fromUtf8(text, "UTF-16LE");
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
}

const char kOtdel1251[] = "\xCE\xF2\xE4\xE5\xEB";  // "Отдел"
const char kPrinters[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers";

std::string ansiFromUtf8(const std::string& text, unsigned codePage) {
    return fromUtf8(text, "CP" + std::to_string(codePage));
}

// A live export of the Windows 98 sample with its printers renamed, as regedit writes it.
void foreignExport(TestImage& img, const std::string& codePageLine, const std::string& office,
                   const std::string& reception) {
    img.fromExample("road-of-one-device");
    std::string reg = img.readImageFile("registry.reg");
    replaceAll(reg, "REGEDIT4", "Windows Registry Editor Version 5.00");
    replaceAll(reg, "Office", office);
    replaceAll(reg, "Reception", reception);
    std::ofstream(img.dir() + "/registry.reg", std::ios::binary) << utf16FromUtf8(reg);
    img.machineIni("[system]\nplatform = 1\n" + codePageLine + "[prompt]\nanswer = no\n");
}

void cyrillicExport(TestImage& img, const std::string& codePageLine) {
    foreignExport(img, codePageLine, "Отдел", "Склад");
}

// In 932, "ソ" and "表" end in the byte of '\', and "ポ" in that of '|': they split no key,
// escape no quote and make no name invalid.
// Each unreadable byte keeps its stand-in, however many more bytes the stand-ins take.
TEST(CodePage, EveryUnreadableByteIsReplacedEvenPastTheFirstBuffer) {
    simwin::Iconv cv("UTF-8", "CP1252");
    std::string in(100, '\x81'), fffd = "\xEF\xBF\xBD", want;
    for (int i = 0; i < 100; ++i) want += fffd;
    EXPECT_EQ(cv.convert(in.data(), in.size(), fffd.c_str(), [](const char*, size_t) { return 1; }),
              want);
}

TEST(CodePage, AUtf16ExportKeepsEveryPrinterInTheMachinesCodePage) {
    const struct {
        unsigned codePage;
        std::string office, reception;
    } cases[] = {{1251, "Отдел", "Склад"}, {932, "ソフト表示プリンタ", "表ポ"}};
    for (const auto& c : cases) {
        TestImage img;
        foreignExport(img, "codepage = " + std::to_string(c.codePage) + "\n", c.office,
                      c.reception);
        auto run = img.run({"-l"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
        const std::string office = ansiFromUtf8(c.office, c.codePage);
        const std::string reception = ansiFromUtf8(c.reception, c.codePage);
        EXPECT_EQ(img.outcome("spooler", "deleted.1"), office) << c.codePage;
        const std::string saved = img.registryText();
        EXPECT_EQ(saved.rfind("REGEDIT4\r\n", 0), 0u);
        EXPECT_NE(saved.find(std::string(kPrinters) + "\\" + reception + "]"), std::string::npos);
        EXPECT_NE(saved.find("\"Name\"=\"" + reception + "\""), std::string::npos);

        // Written back in its code page, the file now reads back byte for byte.
        TestImage again;
        again.machineIni("[system]\nplatform = 1\ncodepage = " + std::to_string(c.codePage) + "\n")
            .registry(saved);
        testsupport::SimMachine sm(again);
        sm.save();
        EXPECT_EQ(again.registryText(), saved);
    }
}

TEST(CodePage, CharactersTheCodePageLacksAreWarnedOfByLine) {
    TestImage img;
    cyrillicExport(img, "");  // 1252 holds no Cyrillic
    std::ostringstream notes;
    auto m = simwin::loadImage(img.dir(), notes);
    // Both printers became "?????": one key, the Dot4 printer's port overwritten.
    EXPECT_EQ(m->run.registry->subkeyNames(kPrinters), std::vector<std::string>{"?????"});
    EXPECT_EQ(m->run.registry->value(std::string(kPrinters) + "\\?????", "Port")->bytes,
              std::string("LPT1:\0", 6));
    const std::string w = notes.str();
    const std::string where = img.dir() + "/registry.reg:60: characters with no form in code " +
                              "page 1252; 5 stored as '?': U+041E U+0442 U+0434 ...";
    EXPECT_NE(w.find("dot4sim: warning: " + where), std::string::npos) << w;
    EXPECT_NE(w.find("registry.reg:67: characters with no form"), std::string::npos) << w;
    size_t count = 0;
    for (size_t at = 0; (at = w.find("warning", at)) != std::string::npos; ++at) ++count;
    EXPECT_EQ(count, 5u);  // once for each of the five lines that name a printer
}

TEST(CodePage, MachineIniNamesItAndItsRulesNameKeysInIt) {
    simwin::Machine m;
    EXPECT_THROW(simwin::parseMachineIni(m, "[system]\ncodepage = 1234\n", "machine.ini"),
                 simwin::ImageError);
    simwin::parseMachineIni(m,
                            std::string("[registry]\nHKEY_LOCAL_MACHINE\\") + kOtdel1251 +
                                " = no_delete\n[system]\ncodepage = 1251\n"
                                "[privileges]\nadjust = not_all_assigned\n",
                            "machine.ini");
    EXPECT_TRUE(m.config.privileges.notAllAssigned);
    EXPECT_EQ(m.config.registryRule("HKEY_LOCAL_MACHINE\\\xCE\xD2\xC4\xC5\xCB"),  // ОТДЕЛ
              unsigned(simwin::kRuleNoDelete));
}

// The order must be one total order whose equal names are exactly those of equal fold(), and
// the registry's ASCII shortcut must agree with it, for every family and code page.
TEST(CodePage, NamesCompareByOneOrderThatTheShortcutAgreesWith) {
    const std::string alphabet[] = {"a",    "A",    "Z",    "_",    "\\",   "\xE0", "\xC0",
                                    "\xFF", "\x9F", "\x81", "\x82", "\x60", "\x83", "\xB5"};
    std::mt19937 rng(7);
    auto name = [&] {
        std::string s;
        for (int n = rng() % 5; n > 0; --n)
            s += alphabet[rng() % (sizeof alphabet / sizeof *alphabet)];
        return s;
    };
    for (unsigned number : {1250u, 1251u, 1252u, 932u}) {
        for (bool nt : {true, false}) {
            auto cp = CodePage::get(number, nt);
            simwin::setActiveCodePage(cp);
            for (int i = 0; i < 20000; ++i) {
                std::string a = name(), b = name(), c = name();
                int ab = cp->compare(a.data(), a.size(), b.data(), b.size());
                ASSERT_EQ(ab, -cp->compare(b.data(), b.size(), a.data(), a.size())) << a << b;
                ASSERT_EQ(ab == 0, cp->fold(a) == cp->fold(b)) << number << nt << a << " " << b;
                ASSERT_EQ(ab, simwin::compareNames(a.data(), a.size(), b.data(), b.size()));
                int bc = cp->compare(b.data(), b.size(), c.data(), c.size());
                if (ab <= 0 && bc <= 0) {
                    ASSERT_LE(cp->compare(a.data(), a.size(), c.data(), c.size()), 0);
                }
            }
        }
    }
    simwin::setActiveCodePage(CodePage::get(1252, true));
}

TEST(CodePage, EachFamilyFoldsItsOwnLetters) {
    auto same = [](unsigned number, bool nt, const std::string& a, const std::string& b) {
        return CodePage::get(number, nt)->compare(a.data(), a.size(), b.data(), b.size()) == 0;
    };
    for (bool nt : {true, false}) {
        EXPECT_TRUE(same(1251, nt, kOtdel1251, "\xCE\xD2\xC4\xC5\xCB")) << nt;  // ОТДЕЛ
        EXPECT_TRUE(same(1252, nt, "caf\xE9", "CAF\xC9")) << nt;
        EXPECT_TRUE(same(1250, nt, "\xB9", "\xA5")) << nt;  // ą Ą
        EXPECT_FALSE(same(1252, nt, "\xDF", "SS")) << nt;   // ß has no one-letter capital
        // A trail byte is no letter of its own: ツ (83 63) is not ャ (83 43).
        EXPECT_FALSE(same(932, nt, "\x83\x63", "\x83\x43")) << nt;
    }
    // Full-width letters have Unicode capitals; 95/98 upper-case single bytes only.
    EXPECT_TRUE(same(932, true, "\x82\x81", "\x82\x60"));  // ａ Ａ
    EXPECT_FALSE(same(932, false, "\x82\x81", "\x82\x60"));
}

}  // namespace

// Drive files are named in UTF-8 on the host and in the machine's code page inside it.
TEST(CodePage, DriveNamesAreUtf8OnTheHost) {
    TestImage img;
    img.machineIni("[system]\ncodepage = 1251\n").file("C:\\Документы\\a.txt", "a");
    {
        testsupport::SimMachine sm(img);
        const std::string docs = "C:\\" + ansiFromUtf8("Документы", 1251);
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((docs.substr(0, 4) + "*").c_str(), &found);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ("C:\\" + std::string(found.cFileName), docs);
        FindClose(h);
        EXPECT_TRUE(DeleteFileA((docs + "\\a.txt").c_str()));
        EXPECT_TRUE(CreateDirectoryA(("C:\\" + ansiFromUtf8("Склад", 1251)).c_str(), nullptr));
        sm.save();
    }
    EXPECT_FALSE(std::ifstream(img.dir() + "/drive_c/Документы/a.txt").good());
    EXPECT_TRUE(std::ifstream(img.dir() + "/drive_c/Склад").good());
}
