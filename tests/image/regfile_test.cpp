#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "model/machine.h"
#include "image/regfile.h"
#include "TestImage.h"
#include "model/registry.h"

namespace {

using simwin::Registry;

std::string save(const Registry& r) {
    std::ostringstream out;
    simwin::writeRegFile(r, out);
    return out.str();
}

std::string crlf(const std::string& lf) { return testsupport::withCrlf(lf); }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find("\r\n", pos);
        if (e == std::string::npos) e = text.size();
        out.push_back(text.substr(pos, e - pos));
        pos = e + 2;
    }
    return out;
}

std::string utf16le(const std::string& ansi) {
    std::string out = "\xFF\xFE";
    for (char c : ansi) {
        out += c;
        out += '\0';
    }
    return out;
}

// What this program writes, in its canonical form: keys depth first in enumeration order,
// every intermediate key, the class comment, each value form, regedit's hex wrapping.
const char* const kCanonical =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Quillmark]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis]\n"
    ";class=\"Varnholt\"\n"
    "@=\"default\"\n"
    "\"Path\"=\"C:\\\\WINDOWS\\\\system32 \\\"quoted\\\"\"\n"
    "\"Empty\"=\"\"\n"
    "\"Count\"=dword:0000002a\n"
    "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
    "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\n"
    "  30,31,32,33,34,35,36,37,38,39,3a,3b\n"
    "\"Expand\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,00\n"
    "\"Multi\"=hex(7):61,00,62,00,00\n"
    "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\n"
    "\"NoNul\"=hex(1):61,62\n"
    "\"ShortDword\"=hex(4):01,02\n"
    "\"NoData\"=hex:\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\System]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\System\\a]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\System\\B]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\System\\_c]\n"
    "\n"
    "[HKEY_USERS]\n"
    "\n"
    "[HKEY_USERS\\.DEFAULT]\n"
    "\"x\"=dword:ffffffff\n"
    "\n";

TEST(RegFile, LoadingThenSavingOwnOutputChangesNoByte) {
    Registry r;
    const std::string text = crlf(kCanonical);
    simwin::loadRegFile(r, text, "registry.reg");
    EXPECT_EQ(save(r), text);
    for (const std::string& l : lines(text)) EXPECT_LE(l.size(), 80u) << l;

    Registry again;
    simwin::loadRegFile(again, save(r), "registry.reg");
    EXPECT_EQ(save(again), text);
    EXPECT_EQ(r.keyClass("HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis"), "Varnholt");
    EXPECT_EQ(r.value("HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis", "Path")->bytes,
              std::string("C:\\WINDOWS\\system32 \"quoted\"", 29));
}

TEST(RegFile, ValuesSetByProgramsRoundTrip) {
    // Data that a quoted string cannot carry (inner NULs, line breaks) must come back exact.
    Registry r;
    const std::string k = "HKEY_CURRENT_USER\\Odd";
    r.setValue(k, "inner nul", REG_SZ, std::string("a\0b\0", 4));
    r.setValue(k, "line break", REG_SZ, std::string("a\r\nb\0", 5));
    r.setValue(k, "n\"a\\me", REG_SZ, std::string("v\0", 2));
    r.setValue(k, "long", REG_BINARY, std::string(300, '\x7f'));
    r.setValue(k, "type 0x20000", 0x20000, "zz");
    std::string first = save(r);
    Registry back;
    simwin::loadRegFile(back, first, "registry.reg");
    EXPECT_EQ(save(back), first);
    for (const char* name : {"inner nul", "line break", "n\"a\\me", "long", "type 0x20000"}) {
        auto a = r.value(k, name), b = back.value(k, name);
        ASSERT_TRUE(b.has_value()) << name;
        EXPECT_EQ(a->type, b->type) << name;
        EXPECT_EQ(a->bytes, b->bytes) << name;
    }
    for (const std::string& l : lines(first)) EXPECT_LE(l.size(), 80u);
}

TEST(RegFile, ClassEndsAtItsFirstNul) {
    Registry r;
    simwin::loadRegFile(r,
                        "REGEDIT4\r\n\r\n[HKEY_USERS\\K]\r\n;class=\"ab\\0cd\"\r\n\r\n"
                        "[HKEY_USERS\\E]\r\n;class=\"\\0x\"\r\n",
                        "x.reg");
    EXPECT_EQ(r.keyClass("HKEY_USERS\\K"), "ab");
    EXPECT_EQ(r.keyClass("HKEY_USERS\\E"), std::nullopt);
    Registry back;
    simwin::loadRegFile(back, save(r), "saved.reg");
    EXPECT_EQ(save(back), save(r));
}

TEST(RegFile, AcceptsLfCommentsBlanksAndUnsortedKeys) {
    Registry r;
    simwin::loadRegFile(
        r,
        "REGEDIT4\n"
        "; exported by hand\n"
        "[HKEY_LOCAL_MACHINE\\Z\\Deep]\n"
        "\n"
        "   \"v\" = \"1\"   \n"
        "[hkey_local_machine\\z\\deep]\n"
        "\"w\"=dword:7\n"
        "[HKEY_LOCAL_MACHINE\\a]\n"
        "\"bin\"=hex:01, 02,\\\n"
        "    03 ,\\\n"
        "\n"
        ";class=\"NotAClass\" is a plain comment when it does not follow the header\n"
        "\n",
        "lf.reg");
    EXPECT_EQ(r.subkeyNames("HKEY_LOCAL_MACHINE"), (std::vector<std::string>{"a", "Z"}));
    EXPECT_EQ(r.valueNames("HKEY_LOCAL_MACHINE\\Z\\Deep"), (std::vector<std::string>{"v", "w"}));
    EXPECT_EQ(r.value("HKEY_LOCAL_MACHINE\\Z\\Deep", "w")->bytes, std::string("\x07\0\0\0", 4));
    EXPECT_EQ(r.value("HKEY_LOCAL_MACHINE\\a", "bin")->bytes, "\x01\x02\x03");
    EXPECT_FALSE(r.keyClass("HKEY_LOCAL_MACHINE\\a").has_value());
    EXPECT_TRUE(r.subkeyNames("HKEY_LOCAL_MACHINE\\Missing").empty());
}

TEST(RegFile, RemovalsOfKeysAndValues) {
    Registry r;
    simwin::loadRegFile(r,
                        "REGEDIT4\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Gone\\Child]\r\n\"a\"=\"1\"\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Stay]\r\n\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n\r\n"
                        "[-HKEY_LOCAL_MACHINE\\Gone]\r\n\"ignored\"=\"x\"\r\n\r\n"
                        "[-HKEY_LOCAL_MACHINE\\NeverThere]\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Stay]\r\n\"a\"=-\r\n\"missing\"=-\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Gone\\Again]\r\n\r\n",
                        "del.reg");
    EXPECT_FALSE(r.hasKey("HKEY_LOCAL_MACHINE\\Gone\\Child"));
    EXPECT_TRUE(r.hasKey("HKEY_LOCAL_MACHINE\\Gone\\Again"));
    EXPECT_EQ(r.valueNames("HKEY_LOCAL_MACHINE\\Stay"), std::vector<std::string>{"b"});
    EXPECT_TRUE(r.valueNames("HKEY_LOCAL_MACHINE\\Gone").empty());
}

TEST(RegFile, ImportsVersion5FilesInUtf16) {
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager]\r\n"
        "\"PendingFileRenameOperations\"=hex(7):5c,00,3f,00,3f,00,5c,00,43,00,3a,00,"
        "5c,00,\\\r\n"
        "  61,00,00,00,00,00,00,00\r\n"
        "\"Expand\"=hex(2):25,00,57,00,25,00,00,00\r\n"
        "\"Text\"=\"caf\xE9\"\r\n"
        "\"Bin\"=hex:01,00\r\n\r\n";
    const std::string key =
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager";
    for (const std::string& form : {text, utf16le(text)}) {
        Registry r;
        simwin::loadRegFile(r, form, "export.reg");
        EXPECT_EQ(r.value(key, "PendingFileRenameOperations")->bytes,
                  std::string("\\??\\C:\\a\0\0\0", 11));
        EXPECT_EQ(r.value(key, "Expand")->bytes, std::string("%W%\0", 4));
        EXPECT_EQ(r.value(key, "Text")->bytes, std::string("caf\xE9\0", 5));
        EXPECT_EQ(r.value(key, "Bin")->bytes, std::string("\x01\0", 2));  // binary stays bytes
        // Written back as REGEDIT4 with 8-bit strings.
        EXPECT_EQ(lines(save(r))[0], "REGEDIT4");
    }
    // The euro sign is 0x80 in the default code page, 1252.
    Registry r;
    simwin::loadRegFile(
        r,
        "Windows Registry Editor Version 5.00\r\n[HKEY_USERS\\K]\r\n\"e\"=hex(2):ac,20,00,00\r\n",
        "x.reg");
    EXPECT_EQ(r.value("HKEY_USERS\\K", "e")->bytes, std::string("\x80\0", 2));
}

std::string deep(int levels) {
    std::string path;
    for (int i = 0; i < levels; ++i) path += "\\k";
    return path;
}

// Windows' limit: 512 levels below the root.
TEST(RegFile, KeysNestUpTo512Levels) {
    Registry r;
    const std::string text = "REGEDIT4\r\n\r\n[HKEY_USERS" + deep(512) + "]\r\n\r\n";
    simwin::loadRegFile(r, text, "deep.reg");
    EXPECT_EQ(lines(save(r)).size(), 2u + 2u * 513u);  // each key: its header, a blank line
}

TEST(RegFile, MalformedFilesAreRefusedWithTheLineAndNothingChanges) {
    struct Case {
        std::string text;
        int line;
    };
    const std::vector<Case> cases = {
        {"", 1},
        {"REGEDIT5\r\n", 1},
        {"REGEDIT4\r\n\"v\"=\"no key yet\"\r\n", 2},
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K\r\n", 3},
        {"REGEDIT4\r\n[HKEY_NOWHERE\\K]\r\n", 2},
        {"REGEDIT4\r\n[HKEY_PERFORMANCE_DATA\\K]\r\n", 2},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=\"open\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"\"x\"\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=dword:123456789\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=dword:12g4\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=hex:01,2\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=hex:01,\\\r\n  zz\r\n", 4},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=hex:01,\\\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=hex(7:01\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=text\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\"v\"=\"a\\qb\"\r\n", 3},
        {"REGEDIT4\r\n[HKEY_USERS\\K]\r\n\r\nstray words\r\n", 4},
        {"REGEDIT4\r\n[HKEY_USERS" + deep(513) + "]\r\n", 2},
        {"REGEDIT4\r\n[HKEY_USERS" + deep(300) + "]\r\n[HKEY_USERS" + deep(513) + "]\r\n", 3},
    };
    for (const Case& c : cases) {
        Registry r;
        r.setValue("HKEY_LOCAL_MACHINE\\Before", "v", REG_SZ, std::string("x\0", 2));
        const std::string before = save(r);
        try {
            simwin::loadRegFile(r, c.text, "bad.reg");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const simwin::ImageError& e) {
            EXPECT_EQ(e.file(), "bad.reg");
            EXPECT_EQ(e.line(), c.line) << c.text << " -> " << e.what();
            EXPECT_EQ(e.message().rfind("expected", 0), 0u) << e.message();
        }
        EXPECT_EQ(save(r), before) << c.text;
    }
}

}  // namespace
