// The NT registry's top and CurrentControlSet, as a loaded image has them.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "TestImage.h"
#include "model/machine.h"
#include "image/regfile.h"
#include "model/registry.h"

namespace {

using Names = std::vector<std::string>;
const std::string kSystem = "HKEY_LOCAL_MACHINE\\SYSTEM";
const std::string kSelect =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n";
const std::string kSet =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\P]\r\n"
    "\"Port\"=\"LPT1:\"\r\n";

class RegistryNt : public ::testing::Test {
  protected:
    void SetUp() override { simwin::activate(&m); }
    void TearDown() override { simwin::activate(nullptr); }

    void load(const std::string& body, DWORD platform = VER_PLATFORM_WIN32_NT, DWORD minor = 1) {
        m.config.system.platform = platform;
        m.config.system.minor = minor;
        simwin::loadRegFile(reg(), "REGEDIT4\r\n\r\n" + body, "test.reg");
        reg().settle(m.config, "test.reg", warnings);
    }
    simwin::Registry& reg() { return *m.run.registry; }
    std::string saved() {
        std::ostringstream s;
        simwin::writeRegFile(reg(), s);
        return s.str();
    }
    LONG create(const char* sub, DWORD options = 0) {
        HKEY h = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub, 0, nullptr, options, KEY_ALL_ACCESS,
                                  nullptr, &h, nullptr);
        if (rc == ERROR_SUCCESS) RegCloseKey(h);
        return rc;
    }

    simwin::Machine m;
    std::ostringstream warnings;
};

TEST_F(RegistryNt, TheHivesAreAddedAndOtherTopKeysWarnedAbout) {
    load("[HKEY_LOCAL_MACHINE\\enum\\X]\r\n[HKEY_USERS\\S-1-5-21-7]\r\n\r\n[HKEY_USERS\\Odd]\r\n");
    EXPECT_EQ(reg().subkeyNames("HKEY_LOCAL_MACHINE"),
              (Names{"enum", "HARDWARE", "SAM", "SECURITY", "SOFTWARE", "SYSTEM"}));
    EXPECT_EQ(reg().subkeyNames("HKEY_USERS"), (Names{".DEFAULT", "Odd", "S-1-5-21-7"}));
    EXPECT_EQ(warnings.str(),
              "dot4sim: warning: test.reg:3: HKEY_LOCAL_MACHINE\\enum is loaded, but no NT "
              "machine can have it\n"
              "dot4sim: warning: test.reg:6: HKEY_USERS\\Odd is loaded, but no NT machine can "
              "have it\n");
    EXPECT_NE(saved().find("[HKEY_LOCAL_MACHINE\\SAM]\r\n\r\n"), std::string::npos);
    EXPECT_NE(saved().find("[HKEY_USERS\\.DEFAULT]\r\n\r\n"), std::string::npos);
    EXPECT_EQ(create("enum\\Y"), ERROR_SUCCESS);  // below a key it has, an ordinary create
}

TEST_F(RegistryNt, TheTopOf98IsAnOrdinaryTree) {
    load("[HKEY_LOCAL_MACHINE\\enum\\X]\r\n", VER_PLATFORM_WIN32_WINDOWS, 10);
    EXPECT_EQ(reg().subkeyNames("HKEY_LOCAL_MACHINE"), Names{"enum"});
    EXPECT_EQ(warnings.str(), "");
    EXPECT_EQ(create("Top\\Below"), ERROR_SUCCESS);
}

TEST_F(RegistryNt, CurrentControlSetReachesTheControlSetSelectNames) {
    load(kSelect + kSet);
    const std::string ccs = "SYSTEM\\CurrentControlSet";
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (ccs + "\\Control\\Print\\Printers").c_str(), 0,
                            KEY_ALL_ACCESS, &h),
              ERROR_SUCCESS);
    char name[16];
    ASSERT_EQ(RegEnumKeyA(h, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "P");
    EXPECT_EQ(RegDeleteKeyA(h, "P"), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_FALSE(reg().hasKey(kSystem + "\\ControlSet001\\Control\\Print\\Printers\\P"));
    EXPECT_EQ(create((ccs + "\\Services\\New").c_str()), ERROR_SUCCESS);
    EXPECT_TRUE(reg().hasKey(kSystem + "\\ControlSet001\\Services\\New"));
    // Pending deletions are written by path, as MoveFileExA writes them.
    reg().setValue(kSystem + "\\CurrentControlSet\\Control\\Session Manager", "V", REG_SZ, "x");
    EXPECT_TRUE(reg().value(kSystem + "\\ControlSet001\\Control\\Session Manager", "V"));
    EXPECT_EQ(reg().subkeyNames(kSystem), (Names{"ControlSet001", "CurrentControlSet", "Select"}));
    // The image had no CurrentControlSet tree, so none is written.
    EXPECT_EQ(saved().find("CurrentControlSet"), std::string::npos);
    EXPECT_EQ(warnings.str(), "");
}

TEST_F(RegistryNt, AnImagesCurrentControlSetIsSavedAsACopyAndTheControlSetWins) {
    std::string copy = kSet;
    copy.replace(copy.find("ControlSet001"), 13, "CurrentControlSet");
    load(kSelect + kSet + copy + "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Extra]\r\n");
    EXPECT_EQ(warnings.str(),
              "dot4sim: warning: test.reg: CurrentControlSet and ControlSet001 differ "
              "(HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Extra: key only there); "
              "ControlSet001 is kept\n");
    EXPECT_FALSE(reg().hasKey(kSystem + "\\CurrentControlSet\\Extra"));
    reg().setValue(kSystem + "\\CurrentControlSet\\Control", "New", REG_SZ, "y");
    std::string text = saved();
    size_t set = text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]");
    size_t link = text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet]");
    ASSERT_NE(link, std::string::npos);
    // Same keys and values, under the other name.
    std::string expected = text.substr(set, link - set);
    for (size_t at; (at = expected.find("ControlSet001")) != std::string::npos;)
        expected.replace(at, 13, "CurrentControlSet");
    EXPECT_EQ(text.substr(link, expected.size()), expected);
    EXPECT_NE(expected.find("\"New\"="), std::string::npos);
}

TEST_F(RegistryNt, WithoutSelectOrOn98CurrentControlSetIsAnOrdinaryKey) {
    for (DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
        load((platform == VER_PLATFORM_WIN32_NT ? std::string() : kSelect) + kSet, platform);
        ASSERT_EQ(create("SYSTEM\\CurrentControlSet\\Services"), ERROR_SUCCESS);
        EXPECT_FALSE(reg().hasKey(kSystem + "\\ControlSet001\\Services")) << platform;
    }
}

TEST_F(RegistryNt, RulesNamedThroughCurrentControlSetHoldForTheControlSet) {
    m.config.registryRules["HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL"] =
        simwin::kRuleNoCreate;
    load(kSelect + "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]\r\n");
    EXPECT_EQ(create("SYSTEM\\ControlSet001\\Control"), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryNt, Windows95IgnoresTheVolatileOption) {
    for (DWORD minor : {0u, 10u}) {
        load("", VER_PLATFORM_WIN32_WINDOWS, minor);
        ASSERT_EQ(create("Vol", REG_OPTION_VOLATILE), ERROR_SUCCESS);
        EXPECT_EQ(create("Vol\\Child"), minor == 0 ? ERROR_SUCCESS : 1021) << minor;
    }
}

TEST(RegistryNtImage, TheHivesAreWrittenBackAndTheWarningNamesTheFile) {
    testsupport::TestImage img;
    img.machineIni("[system]\r\nplatform=2\r\n");
    img.registry("[HKEY_LOCAL_MACHINE\\enum]\r\n");
    auto r = img.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("registry.reg:3: HKEY_LOCAL_MACHINE\\enum is loaded, but no NT machine"),
              std::string::npos)
        << r.err;
    for (const char* key : {"HARDWARE]", "SAM]", "SECURITY]", "SYSTEM]"})
        EXPECT_NE(img.registryText().find(std::string("[HKEY_LOCAL_MACHINE\\") + key),
                  std::string::npos)
            << key;
}

}  // namespace
