#include "utilities/BRegistry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestImage.h"
#include "log/BLogFile.h"
#include "model/registry.h"

using testsupport::SimMachine;

namespace {

const std::string kDefault = "HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis";

std::string crlf(const std::string& text) { return testsupport::withCrlf(text); }

std::vector<std::string> names(const StringList& list) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < list.count(); ++i) out.push_back(list.at(i));
    return out;
}

std::vector<std::string> subkeys(SimMachine& sm, const std::string& path) {
    return sm.m().run.registry->subkeyNames(path);
}

bool exists(const std::string& path) {
    HKEY root = HKEY_LOCAL_MACHINE;
    std::string sub = path.substr(path.find('\\') + 1);
    if (path.rfind("HKEY_USERS", 0) == 0) root = HKEY_USERS;
    if (path.rfind("HKEY_CURRENT_USER", 0) == 0) root = HKEY_CURRENT_USER;
    HKEY h = nullptr;
    if (RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

// The header line of `key` and the line after it.
std::pair<bool, std::string> classLine(const std::string& regText, const std::string& key) {
    const std::string header = "[" + key + "]";
    size_t at = regText.find(header);
    if (at == std::string::npos) return {false, ""};
    size_t start = regText.find('\n', at) + 1;
    size_t end = regText.find_first_of("\r\n", start);
    return {true, regText.substr(start, end - start)};
}

size_t countCalls(SimMachine& sm, const std::string& function) {
    size_t n = 0;
    for (const std::string& l : sm.m().report.traceLines)
        if (l.rfind(function + "(", 0) == 0) ++n;
    return n;
}

const char* const kTree =
    "[HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis]\n"
    ";class=\"Original\"\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test]\n"
    "\"Text\"=\"hello\"\n"
    "\"Number\"=dword:0000002a\n"
    "\"Short\"=hex:07,01\n"
    "\"Long\"=hex:01,02,03,04,05\n"
    "\"Multi\"=hex(7):61,62,00,63,00,00\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\A]\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\A\\Deep]\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\B]\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Test\\C]\n"
    "[HKEY_USERS\\Software\\Test]\n"
    "\"Text\"=\"users\"\n";

}  // namespace

TEST(BRegistry, ConstructionCreatesTheDefaultKeyWithItsClass) {
    SimMachine sm("", crlf("[HKEY_LOCAL_MACHINE\\Software]\n"));
    {
        BRegistry reg;
        EXPECT_EQ(kDefault, reg.getWorkingKey());
    }
    auto line = classLine(sm.registryText(), kDefault);
    ASSERT_TRUE(line.first) << sm.registryText();
    EXPECT_EQ(";class=\"Varnholt\"", line.second);
}

TEST(BRegistry, AnExistingDefaultKeyKeepsItsClass) {
    SimMachine sm("", crlf(kTree));
    { BRegistry reg; }
    EXPECT_EQ(";class=\"Original\"", classLine(sm.registryText(), kDefault).second);
}

TEST(BRegistry, SetWorkingKeyCreatesAndReadsThroughTheNewKey) {
    SimMachine sm("", crlf(kTree));
    BRegistry reg;
    ASSERT_TRUE(reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\New\\Leaf"));
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\Software\\New\\Leaf", reg.getWorkingKey());
    EXPECT_TRUE(exists("HKEY_LOCAL_MACHINE\\Software\\New\\Leaf"));

    ASSERT_TRUE(reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\Test"));
    std::string text = "stale";
    EXPECT_TRUE(reg.queryStringValue("Text", text));
    EXPECT_EQ("hello", text);
    DWORD number = 0;
    EXPECT_TRUE(reg.queryDwordValue("Number", number));
    EXPECT_EQ(42u, number);
}

TEST(BRegistry, RootNamesAreFoundAnywhereAndTheLastInTableOrderWins) {
    SimMachine sm("", crlf(kTree));
    BRegistry reg;
    std::string text;
    // Lower-case root name.
    ASSERT_TRUE(reg.setWorkingKey("hkey_users\\Software\\Test"));
    EXPECT_TRUE(reg.queryStringValue("Text", text));
    EXPECT_EQ("users", text);
    // Both names: HKEY_USERS comes later in the table than HKEY_LOCAL_MACHINE.
    ASSERT_TRUE(reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\Test HKEY_USERS"));
    EXPECT_TRUE(exists("HKEY_USERS\\Software\\Test HKEY_USERS"));
    EXPECT_FALSE(exists("HKEY_LOCAL_MACHINE\\Software\\Test HKEY_USERS"));
    // The root name need not come first: the sub-key is everything after the first backslash.
    ASSERT_TRUE(reg.setWorkingKey("Software\\HKEY_CURRENT_USER"));
    EXPECT_TRUE(exists("HKEY_CURRENT_USER\\HKEY_CURRENT_USER"));
}

TEST(BRegistry, PathsWithoutARootOrASubKeyAreRefused) {
    SimMachine sm("", crlf(kTree));
    BRegistry reg;
    StringList list(64);
    list.append("left over");
    const std::string config = "HKEY_CURRENT_CONFIG\\Software\\Test";

    EXPECT_FALSE(reg.setWorkingKey(config));
    EXPECT_EQ(kDefault, reg.getWorkingKey());
    EXPECT_FALSE(reg.keyExists(config));
    EXPECT_FALSE(reg.enumSubkeys(config, list));
    EXPECT_EQ(0u, list.count());
    EXPECT_FALSE(reg.deleteKeyTree(config));
    EXPECT_FALSE(exists("HKEY_LOCAL_MACHINE\\HKEY_CURRENT_CONFIG\\Software\\Test"));

    // A root alone has no sub-key; the refused text still becomes the working path.
    EXPECT_FALSE(reg.setWorkingKey("HKEY_LOCAL_MACHINE"));
    EXPECT_EQ("HKEY_LOCAL_MACHINE", reg.getWorkingKey());
    EXPECT_FALSE(reg.keyExists("HKEY_LOCAL_MACHINE"));
}

TEST(BRegistry, FailedCreationFallsBackToTheDefaultPathAndLogsOnlyAtThresholdZero) {
    for (int threshold : {0, 4}) {
        SimMachine sm("", crlf(kTree));
        BLogFile* log = new BLogFile("uninstall.txt", 16384, false);
        log->levelThreshold = threshold;
        g_log = log;
        {
            BRegistry reg;
            ASSERT_TRUE(reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\Test"));
            sm.m().config.faults.push_back({"RegCreateKeyExA", ERROR_ACCESS_DENIED, 0, ""});
            EXPECT_FALSE(reg.setWorkingKey("HKEY_USERS\\Software\\Test"));
            EXPECT_EQ(kDefault, reg.getWorkingKey());
            // Reads still go to the key that was open before the failure.
            std::string text;
            EXPECT_TRUE(reg.queryStringValue("Text", text));
            EXPECT_EQ("hello", text);
        }
        g_log = nullptr;
        delete log;
        sm.save();
        std::vector<testsupport::LogRecord> records = sm.image().log();
        if (threshold == 0) {
            ASSERT_EQ(1u, records.size());
            EXPECT_EQ("BRegistry::setWorkingKey : RegCreateKeyEx FAILED on Varnholt",
                      records[0].message);
            EXPECT_EQ("general", records[0].category);
            EXPECT_EQ("info", records[0].type);
            EXPECT_EQ("omega", records[0].level);
            EXPECT_FALSE(records[0].hasData);
        } else {
            EXPECT_TRUE(records.empty());
        }
    }
}

TEST(BRegistry, ReplacedHandlesAreClosedAndTheLastOneByTheDestructor) {
    SimMachine sm("", crlf(kTree));
    sm.m().report.traceEnabled = true;
    {
        BRegistry reg;
        EXPECT_EQ(0u, countCalls(sm, "RegCloseKey"));
        reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\Test");
        reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\Test\\A");
        EXPECT_EQ(2u, countCalls(sm, "RegCloseKey"));
    }
    EXPECT_EQ(3u, countCalls(sm, "RegCloseKey"));
}

TEST(BRegistry, AFailedFirstOpenMakesEveryValueReadFailForTheObjectsLife) {
    SimMachine sm("", crlf(kTree));
    sm.m().config.faults.push_back({"RegCreateKeyExA", ERROR_ACCESS_DENIED, 1, ""});
    sm.m().report.traceEnabled = true;
    {
        BRegistry reg;
        ASSERT_TRUE(reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\Test"));
        std::string text = "kept";
        DWORD number = 7;
        EXPECT_FALSE(reg.queryStringValue("Text", text));
        EXPECT_EQ("kept", text);
        EXPECT_FALSE(reg.queryDwordValue("Number", number));
        EXPECT_EQ(7u, number);
    }
    // The handle opened after the failed construction is still released.
    EXPECT_EQ(1u, countCalls(sm, "RegCloseKey"));
}

TEST(BRegistry, ValueReadsHonourTheirBufferSizes) {
    const std::string fits(255, 'x'), tooLong(256, 'y');
    SimMachine sm("", crlf(std::string(kTree) + "[HKEY_LOCAL_MACHINE\\Software\\Sizes]\n" +
                           "\"Fits\"=\"" + fits + "\"\n\"TooLong\"=\"" + tooLong + "\"\n"));
    BRegistry reg;
    reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\Sizes");
    std::string text = "stale";
    EXPECT_TRUE(reg.queryStringValue("Fits", text));
    EXPECT_EQ(fits, text);
    EXPECT_FALSE(reg.queryStringValue("TooLong", text));
    EXPECT_EQ("", text);

    reg.setWorkingKey("HKEY_LOCAL_MACHINE\\Software\\Test");
    text = "stale";
    EXPECT_FALSE(reg.queryStringValue("Missing", text));
    EXPECT_EQ("", text);
    EXPECT_TRUE(reg.queryStringValue("Multi", text));  // the type is not looked at
    EXPECT_EQ("ab", text);

    DWORD number = 0;
    EXPECT_FALSE(reg.queryDwordValue("Missing", number));
    EXPECT_EQ(0xFFFFFFFFu, number);
    EXPECT_TRUE(reg.queryDwordValue("Short", number));
    EXPECT_EQ(0x0107u, number);
    EXPECT_FALSE(reg.queryDwordValue("Long", number));
    EXPECT_EQ(0xFFFFFFFFu, number);
}

TEST(BRegistry, KeyExistsNeedsReadAccessOnlyAndNeverCreates) {
    SimMachine sm(
        "[registry]\r\nHKEY_LOCAL_MACHINE\\Software\\Test\\A=read_only\r\n"
        "HKEY_LOCAL_MACHINE\\Software\\Test\\B=no_access\r\n",
        crlf(kTree));
    BRegistry reg;
    EXPECT_TRUE(reg.keyExists("HKEY_LOCAL_MACHINE\\Software\\Test\\A"));
    EXPECT_FALSE(reg.keyExists("HKEY_LOCAL_MACHINE\\Software\\Test\\B"));
    EXPECT_FALSE(reg.keyExists("HKEY_LOCAL_MACHINE\\Software\\Test\\Nope"));
    EXPECT_FALSE(exists("HKEY_LOCAL_MACHINE\\Software\\Test\\Nope"));

    // Listing asks for full access, so a read-only key cannot be listed.
    StringList list(64);
    EXPECT_FALSE(reg.enumSubkeys("HKEY_LOCAL_MACHINE\\Software\\Test\\A", list));
    EXPECT_EQ(0u, list.count());
}

TEST(BRegistry, EnumSubkeysListsInOrderAndSurvivesBadIndexes) {
    SimMachine sm("", crlf(kTree));
    BRegistry reg;
    StringList list(64);
    list.append("left over");
    EXPECT_TRUE(reg.enumSubkeys("HKEY_LOCAL_MACHINE\\Software\\Test", list));
    EXPECT_EQ((std::vector<std::string>{"A", "B", "C"}), names(list));

    EXPECT_FALSE(reg.enumSubkeys("HKEY_LOCAL_MACHINE\\Software\\Missing", list));
    EXPECT_EQ(0u, list.count());

    // Index 1 reports a name too long for the buffer: it is passed over, the rest still come.
    sm.m().run.callCounts.clear();
    sm.m().config.faults.push_back({"RegEnumKeyA", ERROR_MORE_DATA, 2, ""});
    EXPECT_TRUE(reg.enumSubkeys("HKEY_LOCAL_MACHINE\\Software\\Test", list));
    EXPECT_EQ((std::vector<std::string>{"A", "C"}), names(list));

    // A handle that fails every index ends the listing instead of looping.
    sm.m().config.faults.clear();
    sm.m().config.faults.push_back({"RegEnumKeyA", ERROR_INVALID_HANDLE, 0, ""});
    EXPECT_FALSE(reg.enumSubkeys("HKEY_LOCAL_MACHINE\\Software\\Test", list));
    EXPECT_EQ(0u, list.count());
}

TEST(BRegistry, DeleteKeyTreeDeletesDeepestFirstAndStopsAtTheFirstFailure) {
    {
        SimMachine sm("", crlf(kTree));
        sm.m().report.traceEnabled = true;
        BRegistry reg;
        EXPECT_TRUE(reg.deleteKeyTree("HKEY_LOCAL_MACHINE\\Software\\Test"));
        std::vector<std::string> deletes;
        for (const std::string& l : sm.m().report.traceLines)
            if (l.rfind("RegDeleteKeyA(", 0) == 0) deletes.push_back(l);
        ASSERT_EQ(5u, deletes.size());
        EXPECT_NE(std::string::npos, deletes[0].find("Test\\\\A\\\\Deep")) << deletes[0];
        EXPECT_NE(std::string::npos, deletes[4].find("Software\\\\Test\"")) << deletes[4];
        EXPECT_EQ((std::vector<std::string>{}), subkeys(sm, "HKEY_LOCAL_MACHINE\\Software\\Test"));
        EXPECT_FALSE(exists("HKEY_LOCAL_MACHINE\\Software\\Test"));
        EXPECT_FALSE(reg.deleteKeyTree("HKEY_LOCAL_MACHINE\\Software\\Test"));
        EXPECT_FALSE(reg.deleteKeyTree(""));
    }
    {
        SimMachine sm("[registry]\r\nHKEY_LOCAL_MACHINE\\Software\\Test\\B=no_delete\r\n",
                      crlf(kTree));
        BRegistry reg;
        EXPECT_FALSE(reg.deleteKeyTree("HKEY_LOCAL_MACHINE\\Software\\Test"));
        EXPECT_EQ((std::vector<std::string>{"B", "C"}),
                  subkeys(sm, "HKEY_LOCAL_MACHINE\\Software\\Test"));
    }
}
