#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>
#include <sstream>

#include "TestImage.h"
#include "model/codepage.h"
#include "image/regfile.h"
#include "image/image.h"
#include "model/registry.h"
#include "dot4sim/runner.h"

namespace fs = std::filesystem;
using testsupport::TestImage;

namespace {

const char* const kNt = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char* const k9x = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// UTF-8 source text as UTF-16LE, CRLF line ends, as reg export and cmd /u write it.
std::string utf16(const std::string& utf8, bool bom = true) {
    std::string out = bom ? "\xFF\xFE" : "";
    auto put = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF), out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        uint32_t u = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) u = u << 6 | (utf8[i + k] & 0x3F);
        i += 1 + extra;
        if (u == '\n') put('\r');
        put(u);  // no character here lies past U+FFFF
    }
    return out;
}

struct Import {
    TestImage scratch;
    std::string machine = scratch.dir() + "/m";
    int status = -1;
    std::string out, err;

    std::string write(const std::string& name, const std::string& bytes) {
        std::string path = scratch.dir() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    Import& run(std::vector<std::string> args) {
        args.insert(args.begin(), machine);
        std::ostringstream o, e;
        status = simwin::importMain(args, o, e);
        out = o.str();
        err = e.str();
        return *this;
    }
    // The image as dot4sim run reads it: the strict reader.
    std::unique_ptr<simwin::Machine> load() {
        std::ostringstream notes;
        return simwin::loadImage(machine, notes);
    }
    std::string ini() {
        std::ifstream in(machine + "/machine.ini", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

std::string sz(const std::string& s) { return s + std::string(1, '\0'); }

// UTF-8 source text in a code page.
std::string encode(const std::string& utf8, unsigned cp) {
    const std::string u = utf16(utf8, false);
    return simwin::CodePage::get(cp, true)->fromUtf16(u.data(), u.size(), [](uint32_t, size_t) {});
}

std::string codePages(unsigned acp, unsigned oem) {
    return "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\n"
           "\"ACP\"=\"" +
           std::to_string(acp) + "\"\n\"OEMCP\"=\"" + std::to_string(oem) + "\"\n";
}

TEST(Import, DerivesTheSystemFromTheExportAndSaysWhatItAssumed) {
    const std::string nt = kNt, w9x = k9x, nls = "\\Control\\Nls\\CodePage";
    struct Case {
        std::string reg;
        std::vector<std::string> notes;
        simwin::SystemConfig want;
    } cases[] = {
        {"[" + nt +
             "]\n\"CurrentVersion\"=\"5.1\"\n\"CurrentBuildNumber\"=\"2600\"\n"
             "\"SystemRoot\"=\"D:\\\\WINNT\"\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n"
             "\"Current\"=dword:00000002\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001" +
             nls + "]\n\"ACP\"=\"1251\"\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002" + nls +
             "]\n\"ACP\"=\"1250\"\n",
         {"derived: platform=2 from " + nt + " CurrentVersion",
          "derived: minor=1 from " + nt + " CurrentVersion \"5.1\"",
          "derived: windows_directory=D:\\WINNT from " + nt + " SystemRoot",
          "derived: codepage=1250 from HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002" + nls +
              " ACP (the control set HKEY_LOCAL_MACHINE\\SYSTEM\\Select Current names)"},
         {2, 5, 1, 2600, {}, "D:\\WINNT", {}, "", "", 1250}},
        {"[" + w9x +
             "]\n\"VersionNumber\"=\"4.10.2222\"\n\"SystemRoot\"=\"C:\\\\WIN98\"\n"
             "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\Nls\\CodePage]\n"
             "\"ACP\"=\"1252\"\n\"OEMCP\"=\"850\"\n",
         {"derived: platform=1 from " + w9x + " VersionNumber",
          "derived: build=2222 from " + w9x + " VersionNumber \"4.10.2222\"",
          "derived: listings' code page 850"},
         {1, 4, 10, 2222, {}, "C:\\WIN98", {}, "", "", 1252}},
        {"[HKEY_CURRENT_USER\\x]\n",
         {"assumed: platform=2 (neither", "assumed: build=2600 (no readable",
          "assumed: windows_directory=C:\\WINDOWS (no", "assumed: codepage=1252 (no readable",
          "assumed: listings' code page 437"},
         {2, 5, 1, 2600, {}, "C:\\WINDOWS", {}, "", "", 1252}},
    };
    for (const Case& c : cases) {
        Import im;
        im.run({im.write("x.reg", "REGEDIT4\n" + c.reg)});
        ASSERT_EQ(im.status, 0) << im.err;
        for (const auto& l : c.notes) EXPECT_TRUE(has(im.out, l)) << l << "\n" << im.out;
        const simwin::SystemConfig s = im.load()->config.system;
        EXPECT_EQ(std::vector<unsigned>({s.platform, s.major, s.minor, s.build, s.codePage}),
                  std::vector<unsigned>(
                      {c.want.platform, c.want.major, c.want.minor, c.want.build, c.want.codePage}))
            << im.out;
        EXPECT_EQ(s.windowsDirectory, c.want.windowsDirectory);
    }
}

TEST(Import, SetOverridesAndIsCheckedBeforeAnythingIsWritten) {
    Import im;
    std::string reg = im.write(
        "x.reg", "REGEDIT4\n[" + std::string(k9x) + "]\n\"VersionNumber\"=\"4.10.2222\"\n");
    im.run({reg, "--set", "system.codepage=1234"});
    EXPECT_EQ(im.status, 2);
    EXPECT_TRUE(has(im.err, "codepage")) << im.err;
    EXPECT_FALSE(fs::exists(im.machine));
    im.run({reg, "--set", "system.platform=2", "--set", "prompt.answer=yes"});
    ASSERT_EQ(im.status, 0) << im.err;
    auto m = im.load();
    EXPECT_TRUE(m->config.isNT());
    EXPECT_EQ(m->config.promptAnswer, IDYES);
    EXPECT_TRUE(has(im.out, "set: prompt.answer=yes (--set)"));
    im.run({reg});  // the image is there now
    EXPECT_EQ(im.status, 2);
    EXPECT_TRUE(has(im.err, "is not empty")) << im.err;

    // What was assumed follows the family --set gives.
    Import bare;
    bare.run({bare.write("x.reg", "REGEDIT4\n"), "--set", "system.platform=1"});
    ASSERT_EQ(bare.status, 0) << bare.err;
    EXPECT_TRUE(has(bare.out, "assumed: build=2222 (")) << bare.out;
    EXPECT_EQ(bare.load()->config.system.build, 2222u);
}

TEST(Import, LaterExportsWinAndDeleteKeysAndValues) {
    Import im;
    std::string a =
        im.write("a.reg",
                 "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"A\"=\"first\"\n\"B\"=\"b\"\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone\\Deep]\n\"X\"=\"x\"\n");
    std::string b =
        im.write("b.reg",
                 "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\v]\n"
                 "\"a\"=\"second\"\n\"B\"=-\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\GONE]\n"
                 "[HKEY_USERS\\.DEFAULT\\Software]\n\"U\"=dword:00000007\n");
    im.run({a, b});
    ASSERT_EQ(im.status, 0) << im.err;
    auto m = im.load();
    auto& r = *m->run.registry;
    EXPECT_EQ(r.value("HKEY_LOCAL_MACHINE\\SOFTWARE\\V", "A")->bytes, sz("second"));
    EXPECT_FALSE(r.value("HKEY_LOCAL_MACHINE\\SOFTWARE\\V", "B"));
    EXPECT_FALSE(r.hasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone"));
    EXPECT_EQ(r.value("HKEY_USERS\\.DEFAULT\\Software", "U")->bytes, std::string("\7\0\0\0", 4));
}

// The code page comes from the export itself, before its UTF-16 text is converted: names
// then compare by its letters, and what it lacks is warned about by line.
TEST(Import, AUtf16ExportIsStoredInTheCodePageItNames) {
    Import im;
    std::string reg =
        im.write("hklm.reg",
                 utf16("Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Тест]\n@=\"Привет\"\n\"Ж\"=\"中\"\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ТЕСТ]\n\"M\"=hex(7):1f,04,00,00,00,00\n\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\n"
                       "\"ACP\"=\"1251\"\n"));
    im.run({reg});
    ASSERT_EQ(im.status, 0) << im.err;
    EXPECT_TRUE(has(
        im.err, "hklm.reg:5: characters with no form in code page 1251; 1 stored as '?': U+4E2D"))
        << im.err;
    auto m = im.load();
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\\xD2\xE5\xF1\xF2";
    EXPECT_EQ(m->run.registry->subkeyNames("HKEY_LOCAL_MACHINE\\SOFTWARE").size(), 1u);
    EXPECT_EQ(m->run.registry->value(key, "")->bytes, sz("\xCF\xF0\xE8\xE2\xE5\xF2"));
    EXPECT_EQ(m->run.registry->value(key, "\xC6")->bytes, sz("?"));
    EXPECT_EQ(m->run.registry->value(key, "M")->bytes, std::string("\xCF\0\0", 3));
}

// What real exports hold, read as regedit reads it; each line named with why.
TEST(Import, ReadsRealWorldOdditiesLeniently) {
    const std::string text =
        "REGEDIT4\n"
        "# exported from the lab machine\n"                // 2
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\wceload]\n"  // 3
        "\"Flags\"=dWord:00000010\n"                       // 4
        "\"Padded\"=dword:000000001\n"                     // 5
        "\"Huge\"=dword:123456789\n"                       // 6
        "@=\"\\\\Windows\\\\wceload.exe \"%1\"\"\n"        // 7
        "\"Bin\"=HEX:01,02\n"                              // 8
        "[NOWHERE\\x]\n"                                   // 9
        "\"Lost\"=\"x\"\n"                                 // 10
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\After]\n"    // 11
        "\"Cont\"=hex:01,\\\n  zz\n"                       // 12-13
        "\"Ok\"=\"yes\"\n";                                // 14
    Import im;
    im.run({im.write("odd.reg", text)});
    ASSERT_EQ(im.status, 0) << im.err;
    const std::string f = im.scratch.dir() + "/odd.reg:";
    for (const std::string& w : {
             f + "2: a # line is no comment in this format; skipped",
             f + "4: type dWord: is not in lower case; read as dword:",
             f + "5: dword: with more than 8 hex digits; read without its leading zeros",
             f + "6: expected dword: and 1 to 8 hex digits; line skipped",
             f + "7: quotes inside the text are not escaped",
             f + "8: type HEX is not in lower case",
             f + "9: expected a key path under",
             f + "10: expected a [KEY] line before the first value; line skipped",
             f + "13: expected hex bytes of two digits separated by commas; lines 12 to 13 skipped",
         })
        EXPECT_TRUE(has(im.err, "dot4sim: warning: " + w)) << w << "\n" << im.err;
    auto m = im.load();
    auto& r = *m->run.registry;
    const std::string k = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\wceload";
    EXPECT_EQ(r.value(k, "Flags")->bytes, std::string("\x10\0\0\0", 4));
    EXPECT_EQ(r.value(k, "Padded")->bytes, std::string("\1\0\0\0", 4));
    EXPECT_FALSE(r.value(k, "Huge"));
    EXPECT_EQ(r.value(k, "")->bytes, sz("\\Windows\\wceload.exe \"%1\""));
    EXPECT_EQ(r.value(k, "Bin")->bytes, "\1\2");
    EXPECT_FALSE(r.value("HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\After", "Cont"));
    EXPECT_EQ(r.value("HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\After", "Ok")->bytes, sz("yes"));

    // The image format itself stays strict: each oddity alone is refused with its line.
    std::istringstream lines(text);
    std::string line;
    for (int n = 1; std::getline(lines, line); ++n) {
        if (n == 1 || n == 3 || n >= 10) continue;
        simwin::Registry strict;
        std::ostringstream warnings;
        std::string one = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\wceload]\n" + line + "\n";
        EXPECT_THROW(simwin::loadRegFile(strict, one, "x.reg", &warnings), simwin::ImageError)
            << line;
    }
}

TEST(Import, ListingsBecomeFilesAndTheFoldersAboveThem) {
    Import im;
    std::string reg = im.write("x.reg",
                               "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                               "Control\\Nls\\CodePage]\n\"ACP\"=\"1252\"\n\"OEMCP\"=\"850\"\n");
    // dir /s /b in code page 850 (\x82 is e-acute), and cmd /u's UTF-16 without a mark.
    std::string oem =
        im.write("oem.txt",
                 "C:\\WINDOWS\\system32\r\nC:\\WINDOWS\\system32\\drivers\\Dot4.sys\r\n"
                 "C:\\WINDOWS\\Caf\x82.txt\r\n\\\\server\\share\\x.txt\r\n"
                 "C:\\WINDOWS\\INF\r\nC:\\WINDOWS\\..\\..\\..\\out.txt\r\n");
    std::string wide = im.write("wide.txt", utf16("D:\\Data\\a.txt\nC:\\windows\\SYSTEM32\\x.dll\n"
                                                  "C:\\WINDOWS\\INF\\mirelc.inf\n",
                                                  false));
    im.run({reg, "--listing", oem, "--listing", wide});
    ASSERT_EQ(im.status, 0) << im.err;
    EXPECT_TRUE(has(im.err, "oem.txt:4: expected a path on a drive letter")) << im.err;
    EXPECT_TRUE(has(im.err, "oem.txt:6: expected a path without . or ..")) << im.err;
    auto m = im.load();
    const std::string c = im.machine + "/drive_c/WINDOWS/";
    EXPECT_TRUE(fs::is_directory(c + "system32/drivers"));
    EXPECT_TRUE(fs::is_regular_file(c + "system32/drivers/Dot4.sys"));
    EXPECT_TRUE(fs::is_regular_file(c + "system32/x.dll"));  // one folder, as first spelt
    EXPECT_TRUE(fs::is_regular_file(c + "Café.txt"));        // host names are UTF-8
    EXPECT_TRUE(fs::is_directory(c + "INF"));                // the later listing lists a file in it
    EXPECT_TRUE(fs::is_regular_file(c + "INF/mirelc.inf"));
    EXPECT_TRUE(fs::is_regular_file(im.machine + "/drive_d/Data/a.txt"));
    EXPECT_EQ(fs::file_size(c + "system32/x.dll"), 0u);
    EXPECT_TRUE(has(im.out, "5 files, 5 folders")) << im.out;
}

// An XP machine as its administrator hands it over: reg export HKLM (UTF-16, ControlSet001 and
// Select, no CurrentControlSet) and dir /s /b of C:\WINDOWS; the preview of the image names what
// the program removes.
TEST(Import, AnXpExportAndListingPreviewAsTheMachine) {
    Import im;
    std::ifstream in(std::string(SOURCE_DIR) + "/examples/machines/only-device/registry.reg",
                     std::ios::binary);
    std::string sample(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(has(sample, "CurrentControlSet"));
    ASSERT_TRUE(has(sample, "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]"));
    std::string body = sample.substr(sample.find('\n') + 1);
    std::string text;
    for (char ch : "Windows Registry Editor Version 5.00\n" + body + "\n[" + kNt +
                       "]\n\"CurrentVersion\"=\"5.1\"\n\"CurrentBuildNumber\"=\"2600\"\n"
                       "\"SystemRoot\"=\"C:\\\\WINDOWS\"\n")
        if (ch != '\r') text += ch;
    std::string reg = im.write("hklm.reg", utf16(text));
    std::string files = im.write("files.txt",
                                 "C:\\WINDOWS\\system32\r\nC:\\WINDOWS\\system32\\drivers\r\n"
                                 "C:\\WINDOWS\\system32\\drivers\\Dot4.sys\r\n"
                                 "C:\\WINDOWS\\system32\\drivers\\Dot4Prt.sys\r\n"
                                 "C:\\WINDOWS\\system32\\drivers\\usbprint.sys\r\n"
                                 "C:\\WINDOWS\\INF\r\nC:\\WINDOWS\\INF\\mirelc.inf\r\n");
    TestImage::Result r = im.scratch.cli({"import", im.machine, reg, "--listing", files});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "derived: platform=2")) << r.out;
    r = im.scratch.cli({"preview", im.machine, "--json", im.scratch.dir() + "/p.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "NT 5.1.2600")) << r.out;
    EXPECT_TRUE(
        has(r.out, "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\Office"))
        << r.out;
    EXPECT_TRUE(has(r.out, "printers deleted through the spooler: 1\n  Office")) << r.out;
    std::ifstream pj(im.scratch.dir() + "/p.json");
    std::string json(std::istreambuf_iterator<char>(pj), {});
    EXPECT_TRUE(has(json, "C:\\\\WINDOWS\\\\system32\\\\drivers\\\\Dot4.sys")) << json;
    EXPECT_FALSE(has(json, "usbprint.sys")) << json;
}

// A folder named on its own line or only inside a file's path, in each encoding a listing comes
// in; in 932, ソ and 表 end in the byte of '\'.
TEST(Import, ListedNamesImportInEveryEncodingFoldersIncluded) {
    const struct {
        unsigned acp, oem;
        std::string name;
    } machines[] = {{1252, 850, "Startmenü"}, {1251, 866, "Документы"}, {932, 932, "ソフト表示"}};
    for (const auto& m : machines)
        for (const std::string& text :
             {"C:\\" + m.name + "\\a.txt\n", "C:\\" + m.name + "\nC:\\" + m.name + "\\a.txt\n"})
            for (const auto& [kind, bytes] : std::map<std::string, std::string>{
                     {"UTF-16LE (byte-order mark)", utf16(text)},
                     {"UTF-16LE (no byte-order mark", utf16(text, false)},
                     {"UTF-8 (byte-order mark)", "\xEF\xBB\xBF" + text},
                     {"UTF-8 (no byte-order mark", text},
                     {"code page " + std::to_string(m.oem), encode(text, m.oem)}}) {
                Import im;
                im.run({im.write("x.reg", codePages(m.acp, m.oem)), "--listing",
                        im.write("l.txt", bytes)});
                ASSERT_EQ(im.status, 0) << im.err;
                EXPECT_TRUE(fs::is_regular_file(im.machine + "/drive_c/" + m.name + "/a.txt"));
                EXPECT_TRUE(has(im.out, "l.txt as " + kind)) << im.out;
                EXPECT_FALSE(has(im.err, "warning")) << im.err;
            }
}

// Refused with a hint before anything is made, or failed (a path over the host's 4096 bytes,
// after the files before it were made): no MACHINE, nothing beside it.
TEST(Import, MistakesAndFailuresLeaveNothing) {
    Import im;
    const std::string dir = im.scratch.dir(), reg = im.write("x.reg", codePages(1252, 850));
    const std::string files = im.write("files.txt", "C:\\WINDOWS\\a.dll\r\n");
    const std::string wide = im.write("wide.txt", utf16("C:\\WINDOWS\\a.dll\n", false));
    std::string deep = "C:\\ok.txt\r\nC:";
    for (char c = 'a'; c < 'u'; ++c) deep += "\\" + std::string(250, c);
    const std::string tooLong = im.write("deep.txt", deep + "\\x.txt\r\n");
    const auto count = [&] { return std::distance(fs::directory_iterator(dir), {}); };
    const auto before = count();
    for (const auto& [args, status, says] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{reg, files}, 2, files + ": it is a dir /s /b listing"},
             {{reg, wide}, 2, "not a registry export; give listings with --listing FILE"},
             {{reg, "--listing", reg}, 2, "it is a registry export, not a dir /s /b listing"},
             {{dir}, 2, "cannot read " + dir + ": Is a directory"},
             {{dir + "/no.reg"}, 2, "cannot read " + dir + "/no.reg: No such file or directory"},
             {{reg, "--listing", files, "--set", "system.oemcp=1"}, 2, "--set system.oemcp=N"},
             {{reg, "--listing", tooLong}, 1, "File name too long"},
         }) {
        im.run(args);
        EXPECT_EQ(im.status, status) << says;
        EXPECT_TRUE(has(im.err, says)) << im.err;
        EXPECT_EQ(count(), before) << says;
    }
}

// Of each reason the first five, then how many more, unless all are asked for; a name longer
// than Windows allows is skipped.
TEST(Import, WarningsAreCountedByReason) {
    Import im;
    std::string text = "REGEDIT4\n";
    for (int i = 0; i < 8; ++i) text += "# note\n";
    const std::string reg = im.write("x.reg", text + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\V\n");
    const std::string listing = im.write(
        "l.txt", "C:\\" + std::string(255, 'n') + "\r\nC:\\" + std::string(256, 'l') + "\r\n");
    for (const std::string all : {"", "all"}) {
        fs::remove_all(im.machine);
        std::vector<std::string> args = {reg, "--listing", listing};
        if (!all.empty()) args.insert(args.end(), {"--warnings", all});
        im.run(args);
        ASSERT_EQ(im.status, 0) << im.err;
        EXPECT_EQ(has(im.err, "x.reg:7: a # line"), !all.empty()) << im.err;  // lines 2 to 9
        for (const std::string line :
             {"l.txt:2: a name longer than 255 characters, which Windows does not allow; line "
              "skipped (256)\n",
              all.empty() ? "... and 3 more: a # line is no comment in this format\ndot4sim "
                            "import: 10 warnings (3 reasons); 3 not printed: --warnings all "
                            "prints each one\n"
                          : "(256)\ndot4sim import: 10 warnings (3 reasons)\n"})
            EXPECT_TRUE(has(im.err, line)) << line << im.err;
        EXPECT_TRUE(fs::is_regular_file(im.machine + "/drive_c/" + std::string(255, 'n')));
    }
}

}  // namespace
