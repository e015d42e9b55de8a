#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "win32/handles.h"
#include "image/regfile.h"
#include "model/iconv.h"
#include "model/machine.h"
#include "model/registry.h"

namespace {

class RegistryApi : public ::testing::Test {
  protected:
    void SetUp() override {
        simwin::activate(&m);
        m.run.registry->settle(m.config, "test.reg", warnings);
    }
    void TearDown() override { simwin::activate(nullptr); }

    void load(const std::string& body) {
        simwin::loadRegFile(*m.run.registry, "REGEDIT4\r\n\r\n" + body, "test.reg");
        m.run.registry->settle(m.config, "test.reg", warnings);
    }

    HKEY open(const char* sub, REGSAM access = KEY_ALL_ACCESS, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY h = nullptr;
        EXPECT_EQ(RegOpenKeyExA(root, sub, 0, access, &h), ERROR_SUCCESS) << sub;
        return h;
    }

    LONG create(const char* sub, const char* cls = nullptr, DWORD* disposition = nullptr,
                REGSAM access = KEY_ALL_ACCESS, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY h = nullptr;
        LONG rc = RegCreateKeyExA(root, sub, 0, const_cast<char*>(cls), 0, access, nullptr, &h,
                                  disposition);
        if (rc == ERROR_SUCCESS) RegCloseKey(h);
        return rc;
    }

    std::vector<std::string> enumerate(HKEY h) {
        std::vector<std::string> names;
        char name[256];
        for (DWORD i = 0; RegEnumKeyA(h, i, name, sizeof name) == ERROR_SUCCESS; ++i)
            names.push_back(name);
        return names;
    }

    bool has(const std::string& path) { return m.run.registry->hasKey(path); }

    simwin::Machine m;
    std::ostringstream warnings;
};

TEST_F(RegistryApi, CreateMakesIntermediateKeysAndSetsTheClassOnlyOnNewKeys) {
    DWORD disposition = 0;
    ASSERT_EQ(create("Software\\Quillmark\\Corlis", "Varnholt", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(has("HKEY_LOCAL_MACHINE\\Software\\Quillmark"));
    EXPECT_EQ(m.run.registry->keyClass("HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis"),
              "Varnholt");
    EXPECT_FALSE(m.run.registry->keyClass("HKEY_LOCAL_MACHINE\\Software\\Quillmark").has_value());

    ASSERT_EQ(create("SOFTWARE\\quillmark\\CORLIS", "Other", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(m.run.registry->keyClass("HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis"),
              "Varnholt");
    // Case-preserving: the first spelling stays.
    EXPECT_EQ(m.run.registry->subkeyNames("HKEY_LOCAL_MACHINE\\software"),
              std::vector<std::string>{"Quillmark"});
    EXPECT_EQ(create("Software\\Trailing\\", nullptr, &disposition), ERROR_SUCCESS);
    EXPECT_TRUE(has("HKEY_LOCAL_MACHINE\\Software\\Trailing"));
}

TEST_F(RegistryApi, EnumerationIsSortedWithoutCaseAndChecksTheNameBuffer) {
    for (const char* k : {"b", "_x", "A", "c", "Ab"})
        ASSERT_EQ(create((std::string("Software\\Top\\") + k).c_str()), ERROR_SUCCESS);
    HKEY h = open("Software\\Top");
    // Windows orders on the upper-cased name, so '_' sorts after the letters.
    EXPECT_EQ(enumerate(h), (std::vector<std::string>{"A", "Ab", "b", "c", "_x"}));
    char name[8];
    EXPECT_EQ(RegEnumKeyA(h, 5, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(h, 1, name, 2), ERROR_MORE_DATA);  // "Ab" needs 3 with its NUL
    EXPECT_EQ(RegEnumKeyA(h, 1, name, 3), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Ab");
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST_F(RegistryApi, QueryReportsSizesAndMissingValues) {
    load(
        "[HKEY_LOCAL_MACHINE\\K]\r\n@=\"def\"\r\n\"Base Name\"=\"Dot4\"\r\n"
        "\"Port Number\"=dword:00000001\r\n\r\n");
    HKEY h = open("K", KEY_READ);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(h, "Base Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, 5u);  // the NUL is part of the stored text
    BYTE buf[16];
    std::memset(buf, 'x', sizeof buf);
    size = 4;
    EXPECT_EQ(RegQueryValueExA(h, "base name", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(buf[0], 'x');
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(h, "Base Name", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string("Dot4", 5));
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(h, "Port Number", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buf[0], 1);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(h, nullptr, nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "def");
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "Missing", nullptr, nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(h, "Base Name", nullptr, nullptr, buf, nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(h, "Base Name", &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(h);
}

TEST_F(RegistryApi, SetAndDeleteValuesKeepTheOrderSet) {
    ASSERT_EQ(create("Software\\V"), ERROR_SUCCESS);
    HKEY h = open("Software\\V");
    const BYTE one[] = {1}, two[] = {2, 2};
    EXPECT_EQ(RegSetValueExA(h, "b", 0, REG_BINARY, one, 1), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(h, "a", 0, REG_BINARY, one, 1), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(h, "B", 0, REG_BINARY, two, 2), ERROR_SUCCESS);
    EXPECT_EQ(m.run.registry->valueNames("HKEY_LOCAL_MACHINE\\Software\\V"),
              (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(m.run.registry->value("HKEY_LOCAL_MACHINE\\Software\\V", "b")->bytes, "\x02\x02");
    EXPECT_EQ(RegSetValueExA(h, "c", 0, REG_BINARY, nullptr, 3), 998);
    EXPECT_EQ(RegDeleteValueA(h, "A"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(h, "a"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(h);
}

TEST_F(RegistryApi, UnknownHandlesAndRoots) {
    HKEY h = open("Software", KEY_READ);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(uintptr_t(0x4242))), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    char name[8];
    EXPECT_EQ(RegEnumKeyA(h, 0, name, sizeof name), ERROR_INVALID_HANDLE);
    HKEY out = reinterpret_cast<HKEY>(uintptr_t(1));
    EXPECT_EQ(RegOpenKeyExA(HKEY_PERFORMANCE_DATA, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nothing\\Here", 0, KEY_READ, &out),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "x", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA})
        EXPECT_EQ(create("Probe", nullptr, nullptr, KEY_ALL_ACCESS, root), ERROR_SUCCESS);
    EXPECT_TRUE(has("HKEY_DYN_DATA\\Probe"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);  // roots stay
}

TEST_F(RegistryApi, ReadOnlyAndNoAccessRulesLimitOpens) {
    load("[HKEY_LOCAL_MACHINE\\RO\\Sub]\r\n\r\n[HKEY_LOCAL_MACHINE\\NA]\r\n\r\n");
    m.config.registryRules["HKEY_LOCAL_MACHINE\\RO"] = simwin::kRuleReadOnly;
    m.config.registryRules["HKEY_LOCAL_MACHINE\\NA"] = simwin::kRuleNoAccess;
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "ro", 0, KEY_READ, &h), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "RO", 0, KEY_ALL_ACCESS, &h), ERROR_ACCESS_DENIED);
    EXPECT_EQ(create("RO"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(create("RO", nullptr, nullptr, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(create("RO\\New"), ERROR_ACCESS_DENIED);  // its sub-keys cannot be added
    EXPECT_FALSE(has("HKEY_LOCAL_MACHINE\\RO\\New"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "RO\\Sub"), ERROR_SUCCESS);  // the rule is per key
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "NA", 0, KEY_READ, &h), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "NA", 0, KEY_QUERY_VALUE, &h), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "NA"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(has("HKEY_LOCAL_MACHINE\\NA"));
}

TEST_F(RegistryApi, NoDeleteAndNoCreateRules) {
    load("[HKEY_LOCAL_MACHINE\\Keep\\Inner]\r\n\r\n");
    m.config.registryRules["HKEY_LOCAL_MACHINE\\KEEP\\INNER"] = simwin::kRuleNoDelete;
    m.config.registryRules["HKEY_LOCAL_MACHINE\\A\\B"] = simwin::kRuleNoCreate;
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Keep\\Inner"), ERROR_ACCESS_DENIED);
    // 98 takes sub-trees whole, so a protected key below keeps its whole tree.
    m.config.system.platform = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Keep"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(has("HKEY_LOCAL_MACHINE\\Keep\\Inner"));

    EXPECT_EQ(create("A\\B\\C"), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(has("HKEY_LOCAL_MACHINE\\A"));  // nothing half made
    EXPECT_EQ(create("A\\Other"), ERROR_SUCCESS);
}

TEST_F(RegistryApi, InjectedFaultsFailWithoutSideEffects) {
    load("[HKEY_LOCAL_MACHINE\\enum\\DOT4]\r\n\r\n[HKEY_LOCAL_MACHINE\\enum\\DOT4USB]\r\n\r\n");
    m.config.faults.push_back({"RegDeleteKeyA", 5, 0, ""});
    m.config.faults.push_back({"RegOpenKeyExA", 1011, 2, ""});
    m.config.faults.push_back({"RegCreateKeyExA", 1013, 0, "hkey_local_machine\\ENUM\\dot4"});
    m.config.faults.push_back({"RegEnumKeyA", 1012, 0, "HKEY_LOCAL_MACHINE\\enum"});

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "enum\\DOT4USB"), 5);
    EXPECT_TRUE(has("HKEY_LOCAL_MACHINE\\enum\\DOT4USB"));

    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "enum", 0, KEY_READ, &h), ERROR_SUCCESS);
    HKEY second = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "enum", 0, KEY_READ, &second), 1011);
    EXPECT_EQ(second, nullptr);
    HKEY third = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "enum", 0, KEY_READ, &third), ERROR_SUCCESS);

    // The subject of a handle-relative call is the full path.
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExA(h, "DOT4\\", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), 1013);
    EXPECT_EQ(RegCreateKeyExA(h, "DOT4USB", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
              ERROR_SUCCESS);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(third, 0, name, sizeof name), 1012);
    EXPECT_EQ(RegEnumKeyA(sub, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(m.run.callCounts["RegOpenKeyExA"], 3u);
}

TEST_F(RegistryApi, TraceLinesShowArgumentsResultAndHandle) {
    load("[HKEY_LOCAL_MACHINE\\enum\\DOT4]\r\n\r\n");
    m.report.traceEnabled = true;
    simwin::handleTable(m).next = 0x1004;
    HKEY h = open("enum\\DOT4", KEY_READ);
    char name[8];
    RegEnumKeyA(h, 0, name, sizeof name);
    RegCloseKey(h);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "enum\\DOT4");
    ASSERT_EQ(m.report.traceLines.size(), 4u);
    EXPECT_EQ(m.report.traceLines[0],
              "RegOpenKeyExA(HKEY_LOCAL_MACHINE, \"enum\\\\DOT4\", 0, 0x20019) = 0 "
              "[0x1004]");
    EXPECT_EQ(m.report.traceLines[1], "RegEnumKeyA(0x1004, 0, 8) = 259");
    EXPECT_EQ(m.report.traceLines[2], "RegCloseKey(0x1004) = 0");
    EXPECT_EQ(m.report.traceLines[3], "RegDeleteKeyA(HKEY_LOCAL_MACHINE, \"enum\\\\DOT4\") = 0");
}

}  // namespace

namespace {

TEST_F(RegistryApi, DeletingInEnumerationOrderKeepsTheRestSortedAndFindable) {
    load("[HKEY_LOCAL_MACHINE\\P]\r\n");
    for (int i = 0; i < 40; ++i) ASSERT_EQ(create(("P\\k" + std::to_string(100 + i)).c_str()), 0);
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("P\\k" + std::to_string(100 + i)).c_str()),
                  ERROR_SUCCESS);
    // Reuse the room the deletions left, in the middle and at both ends.
    for (const char* k : {"P\\k135a", "P\\a", "P\\z", "P\\k131"}) ASSERT_EQ(create(k), 0);
    HKEY h = open("P", KEY_READ);
    std::vector<std::string> expected = {"a",     "k130", "k131", "k132", "k133", "k134", "k135",
                                         "k135a", "k136", "k137", "k138", "k139", "z"};
    EXPECT_EQ(enumerate(h), expected);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "P\\k139"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "P\\a"), ERROR_SUCCESS);
    expected.erase(expected.begin() + 11);
    expected.erase(expected.begin());
    EXPECT_EQ(enumerate(h), expected);
    EXPECT_TRUE(has("HKEY_LOCAL_MACHINE\\P\\K137"));
    RegCloseKey(h);
}

}  // namespace

namespace {

// NT keeps a name the code page lacks; the A functions see '?'s, which name another key or none.
TEST_F(RegistryApi, NamesOutsideTheCodePageStayApartAndOpenNothing) {
    const std::string k = "[HKEY_LOCAL_MACHINE\\P\\";
    const std::string utf8 = "Windows Registry Editor Version 5.00\r\n\r\n" + k +
                             "Офис]\r\n\"Имя\"=\"a\"\r\n\r\n" + k + "Счёт]\r\n\r\n" + k +
                             "????]\r\n\"Port\"=\"LPT1:\"\r\n\r\n" + k + "ОФИС\\Sub]\r\n";
    auto utf16 = [](const std::string& s) {
        return "\xff\xfe" +
               simwin::Iconv("UTF-16LE", "UTF-8")
                   .convert(s.data(), s.size(), "", [](const char*, size_t) { return size_t(1); });
    };
    simwin::loadRegFile(*m.run.registry, utf16(utf8), "test.reg", &warnings);
    HKEY p = open("P");
    EXPECT_EQ(enumerate(p), (std::vector<std::string>{"????", "????", "????"}));
    HKEY h = open("P\\????", KEY_READ);
    char port[8] = {};
    DWORD size = sizeof port;
    EXPECT_EQ(RegQueryValueExA(h, "Port", nullptr, nullptr, reinterpret_cast<BYTE*>(port), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(port, "LPT1:");  // the key literally so named
    RegCloseKey(h);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "P\\????"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P\\????", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(enumerate(p).size(), 2u);
    // Bytes 1252 leaves undefined: Windows' C1 controls in the file, the same bytes read back.
    EXPECT_EQ(RegSetValueExA(p, "a\x81", 0, REG_SZ, reinterpret_cast<const BYTE*>("\x8d\x9d"), 3),
              ERROR_SUCCESS);
    RegCloseKey(p);

    // Saved as a UTF-16 5.00 file with every name and byte as it was, which reads back the same.
    std::ostringstream saved, again;
    simwin::writeRegFile(*m.run.registry, saved);
    const std::string text = simwin::Iconv("UTF-8", "UTF-16LE")
                                 .convert(saved.str().data() + 2, saved.str().size() - 2, "",
                                          [](const char*, size_t) { return size_t(2); });
    EXPECT_NE(text.find(k + "Офис]\r\n\"Имя\"=\"a\"\r\n\r\n" + k + "Офис\\Sub]"), std::string::npos)
        << text;
    EXPECT_NE(text.find(k + "Счёт]"), std::string::npos);
    EXPECT_NE(text.find("\"a\u0081\"=\"\u008d\u009d\""), std::string::npos);
    simwin::Registry read;
    simwin::loadRegFile(read, saved.str(), "test.reg", &warnings);
    simwin::writeRegFile(read, again);
    EXPECT_EQ(again.str(), saved.str());
}

}  // namespace
