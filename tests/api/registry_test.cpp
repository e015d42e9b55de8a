// The registry calls, checked against what Windows does (docs/windows-behaviour.md, rows R and V).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ApiTest.h"

namespace {

const HKEY kRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};

std::string scratch(const std::string& sub = "") {
    return sub.empty() ? api::kScratchKey : std::string(api::kScratchKey) + "\\" + sub;
}

LONG create(HKEY parent, const std::string& sub, DWORD* disposition = nullptr, DWORD options = 0) {
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExA(parent, sub.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &h,
                              disposition);
    if (rc == ERROR_SUCCESS) RegCloseKey(h);
    return rc;
}

HKEY open(HKEY parent, const std::string& sub, REGSAM access = KEY_ALL_ACCESS) {
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(parent, sub.c_str(), 0, access, &h), ERROR_SUCCESS) << sub;
    return h;
}

bool exists(HKEY parent, const std::string& sub) {
    HKEY h;
    if (RegOpenKeyExA(parent, sub.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

using Registry = api::ApiTest;

TEST_F(Registry, CreateMakesMissingLevelsAndTellsNewFromExisting) {
    for (HKEY root : kRoots) {
        DWORD disposition = 0;
        ASSERT_EQ(create(root, scratch("A\\B\\C"), &disposition), ERROR_SUCCESS);  // R2
        EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));                        // R4
        EXPECT_TRUE(exists(root, scratch("A\\B")));
        EXPECT_EQ(create(root, scratch("a\\b\\c"), &disposition), ERROR_SUCCESS);  // L3
        EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
        EXPECT_EQ(create(root, scratch("A\\Trail\\\\"), &disposition), ERROR_SUCCESS);  // R8
        EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
        EXPECT_TRUE(exists(root, scratch("a\\TRAIL")));
        std::string deep = scratch("Deep");  // R2: up to 32 levels in one call
        for (int i = 0; i < 31; ++i) deep += "\\L" + std::to_string(i);
        EXPECT_EQ(create(root, deep), ERROR_SUCCESS);
        EXPECT_TRUE(exists(root, deep));
    }
}

TEST_F(Registry, LeadingBackslashIsABadPathOnNtAndSkippedOn98Create) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch());
    if (api::isNT()) {
        EXPECT_EQ(create(h, "\\Lead"), 161);  // R6
        HKEY out;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, ("\\" + scratch()).c_str(), 0, KEY_READ, &out),
                  161);  // R16
        EXPECT_FALSE(exists(h, "Lead"));
    } else {
        EXPECT_EQ(create(h, "\\Lead"), ERROR_SUCCESS);  // R7
        EXPECT_TRUE(exists(h, "Lead"));
    }
    RegCloseKey(h);
}

TEST_F(Registry, CreatingBelowAHandleIgnoresItsRights) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch(), KEY_NOTIFY);  // R9
    EXPECT_EQ(create(h, "Child"), ERROR_SUCCESS);
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, scratch("Child")));
    RegCloseKey(h);
}

TEST_F(Registry, ChildrenOfVolatileKeysMustBeVolatileOnNt) {
    if (!api::isNT()) GTEST_SKIP() << "R11: 95 ignores the option";
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch("Vol"), nullptr, REG_OPTION_VOLATILE), 0);
    EXPECT_EQ(create(HKEY_CURRENT_USER, scratch("Vol\\Child")), 1021);  // R10
    EXPECT_EQ(create(HKEY_CURRENT_USER, scratch("Vol\\Child"), nullptr, REG_OPTION_VOLATILE), 0);
    EXPECT_EQ(create(HKEY_CURRENT_USER, scratch("Vol\\Child")), ERROR_SUCCESS);  // it exists now
}

TEST_F(Registry, OpenAndCloseArgumentErrors) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    HKEY out = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, scratch("None").c_str(), 0, KEY_READ, &out),
              ERROR_FILE_NOT_FOUND);  // R15
    EXPECT_EQ(out, nullptr);
    EXPECT_WIN(RegOpenKeyExA(HKEY_CURRENT_USER, scratch().c_str(), 0, KEY_READ, nullptr),
               ERROR_INVALID_PARAMETER, WINE_CRASHES("R18"));
    const LONG nullKey = api::isNT() ? ERROR_INVALID_HANDLE : ERROR_BADKEY;  // R19, R31
    EXPECT_WIN(RegOpenKeyExA(nullptr, scratch().c_str(), 0, KEY_READ, &out), nullKey,
               WINE_DEPARTS("R19"));
    EXPECT_WIN(RegCloseKey(nullptr), nullKey, WINE_DEPARTS("R31"));
    if (!api::isNT()) return;  // 95 does not mind a second close

    HKEY h = open(HKEY_CURRENT_USER, scratch());
    HKEY again = open(h, "");  // R14: a new handle to the same key
    EXPECT_NE(again, h);
    EXPECT_EQ(create(again, "Sub"), ERROR_SUCCESS);
    EXPECT_TRUE(exists(h, "Sub"));
    for (HKEY k : {h, again}) {
        EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // R32
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, scratch()));
}

TEST_F(Registry, EnumerationEndsWithNoMoreItemsAndChecksTheBuffer) {
    const std::vector<std::string> names = {"Ab", "b", "C", "_x"};
    for (const auto& n : names) ASSERT_EQ(create(HKEY_CURRENT_USER, scratch(n)), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch(), KEY_READ);
    std::vector<std::string> seen;
    char name[16];
    DWORD i = 0;
    for (; RegEnumKeyA(h, i, name, sizeof name) == ERROR_SUCCESS; ++i) seen.push_back(name);
    EXPECT_EQ(RegEnumKeyA(h, i, name, sizeof name), ERROR_NO_MORE_ITEMS);  // R22
    EXPECT_EQ(RegEnumKeyA(h, i + 5, name, sizeof name), ERROR_NO_MORE_ITEMS);
    std::sort(seen.begin(), seen.end());  // R21: the order is not specified
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(seen, sorted);
    DWORD ab = DWORD(-1);
    for (DWORD k = 0; k < names.size(); ++k)
        if (RegEnumKeyA(h, k, name, sizeof name) == ERROR_SUCCESS && std::string(name) == "Ab")
            ab = k;
    ASSERT_NE(ab, DWORD(-1));
    EXPECT_EQ(RegEnumKeyA(h, ab, name, 2), ERROR_MORE_DATA);  // R23: "Ab" and its NUL need 3
    EXPECT_EQ(RegEnumKeyA(h, ab, name, 3), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Ab");
    RegCloseKey(h);
}

TEST_F(Registry, DeleteKeyWithSubkeysIsRefusedOnNtAndTakesTheTreeOn98) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch("T\\A\\Deep")), ERROR_SUCCESS);
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch("T\\B")), ERROR_SUCCESS);
    if (api::isNT()) {
        EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, scratch("T").c_str()), 5);  // R25
        EXPECT_TRUE(exists(HKEY_CURRENT_USER, scratch("T\\A\\Deep")));
        EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, scratch("T\\B").c_str()), ERROR_SUCCESS);
        EXPECT_FALSE(exists(HKEY_CURRENT_USER, scratch("T\\B")));
        HKEY h = open(HKEY_CURRENT_USER, scratch());
        EXPECT_EQ(RegDeleteKeyA(h, nullptr), ERROR_INVALID_PARAMETER);  // R28
        RegCloseKey(h);
    } else {
        HKEY deep = open(HKEY_CURRENT_USER, scratch("T\\A\\Deep"), KEY_READ);
        EXPECT_WIN(RegDeleteKeyA(HKEY_CURRENT_USER, scratch("T").c_str()), ERROR_SUCCESS,
                   WINE_GIVES("R26", ERROR_ACCESS_DENIED));
        EXPECT_WIN(exists(HKEY_CURRENT_USER, scratch("T")), false, WINE_GIVES("R26", true));
        char name[8];  // R29: the keys below went too
        EXPECT_WIN(RegEnumKeyA(deep, 0, name, sizeof name), ERROR_KEY_DELETED,
                   WINE_GIVES("R26", ERROR_NO_MORE_ITEMS));
        RegCloseKey(deep);
    }
    // R27: a key deleted through its own handle, with DELETE.
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch("Self")), ERROR_SUCCESS);
    HKEY self = open(HKEY_CURRENT_USER, scratch("Self"));
    EXPECT_EQ(RegDeleteKeyA(self, ""), ERROR_SUCCESS);
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, scratch("Self")));
    RegCloseKey(self);
}

TEST_F(Registry, HandlesOfADeletedKeyFailWithKeyDeleted) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch("Gone")), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch("Gone"));
    const BYTE one[] = {1};
    ASSERT_EQ(RegSetValueExA(h, "v", 0, REG_BINARY, one, 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, scratch("Gone").c_str()), ERROR_SUCCESS);  // R29
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, scratch("Gone")));
    BYTE buf[4];
    DWORD size = sizeof buf;
    char name[8];
    HKEY sub = nullptr;
    EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, buf, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(h, "w", 0, REG_BINARY, one, 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(h, "v"), ERROR_KEY_DELETED);  // V10
    EXPECT_EQ(RegEnumKeyA(h, 0, name, sizeof name), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(h, "", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(create(h, "Child"), ERROR_KEY_DELETED);  // R12
    // A key made again under the name is another key: the old handle stays dead.
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch("Gone")), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(h, "v", nullptr, nullptr, buf, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST_F(Registry, HandlesAllowOnlyTheRightsAskedOnNt) {
    if (!api::isNT()) GTEST_SKIP() << "R20: 95/98 have no key security";
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch("Sub")), ERROR_SUCCESS);
    HKEY rw = open(HKEY_CURRENT_USER, scratch());
    const BYTE one[] = {1};
    ASSERT_EQ(RegSetValueExA(rw, "v", 0, REG_BINARY, one, 1), ERROR_SUCCESS);
    HKEY query = open(HKEY_CURRENT_USER, scratch(), KEY_QUERY_VALUE);
    HKEY list = open(HKEY_CURRENT_USER, scratch(), KEY_ENUMERATE_SUB_KEYS);
    HKEY read = open(HKEY_CURRENT_USER, scratch(), KEY_READ);
    char name[8];
    BYTE buf[4];
    DWORD size = sizeof buf;
    EXPECT_EQ(RegEnumKeyA(query, 0, name, sizeof name), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(list, "v", nullptr, nullptr, buf, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(read, "w", 0, REG_BINARY, one, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(read, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(query, "v", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegEnumKeyA(list, 0, name, sizeof name), ERROR_SUCCESS);
    for (HKEY k : {rw, query, list, read}) RegCloseKey(k);
}

TEST_F(Registry, ValuesRoundTripAndReportSizes) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch());
    const DWORD port = 0x01020304;
    const char text[] = "Dot4";  // stored with its NUL (V5 is about data without it)
    struct {
        const char* name;
        DWORD type;
        const void* data;
        DWORD size;
    } const values[] = {{"Port", REG_DWORD, &port, 4},
                        {"Base Name", REG_SZ, text, sizeof text},
                        {"", REG_SZ, text, sizeof text},
                        {"Bytes", REG_BINARY, "\x00\xff\x01", 3},
                        {"Empty", REG_BINARY, nullptr, 0}};
    for (const auto& v : values) {
        SCOPED_TRACE(v.name);
        ASSERT_EQ(RegSetValueExA(h, v.name, 0, v.type, static_cast<const BYTE*>(v.data), v.size),
                  ERROR_SUCCESS);
        DWORD type = 99, size = 0;
        ASSERT_EQ(RegQueryValueExA(h, v.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, v.type);
        EXPECT_EQ(size, v.size);
        BYTE buf[16];
        std::memset(buf, 'x', sizeof buf);
        size = sizeof buf;
        ASSERT_EQ(RegQueryValueExA(h, v.name, nullptr, &type, buf, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, v.size);
        EXPECT_EQ(std::memcmp(buf, v.data ? v.data : "", v.size), 0);
        if (v.size) {  // V3: one byte short
            size = v.size - 1;
            std::memset(buf, 'x', sizeof buf);
            EXPECT_EQ(RegQueryValueExA(h, v.name, nullptr, nullptr, buf, &size), ERROR_MORE_DATA);
            EXPECT_EQ(size, v.size);
            EXPECT_EQ(buf[0], 'x');
        }
    }
    // A name in another case is the same value.
    DWORD got = 0, size = sizeof got;
    EXPECT_EQ(RegQueryValueExA(h, "PORT", nullptr, nullptr, reinterpret_cast<BYTE*>(&got), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(got, port);
    RegCloseKey(h);
}

TEST_F(Registry, MissingValuesAndDeletionLeaveTheLastErrorAlone) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch());
    SetLastError(0xdeadbeef);
    BYTE buf[8];
    DWORD size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "None", nullptr, nullptr, buf, &size),
              ERROR_FILE_NOT_FOUND);                              // V1
    EXPECT_EQ(RegDeleteValueA(h, "None"), ERROR_FILE_NOT_FOUND);  // V9
    EXPECT_WIN(RegOpenKeyExA(h, "None", 0, KEY_READ, nullptr), 87, WINE_CRASHES("R18"));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);  // V4
    const BYTE one[] = {1};
    ASSERT_EQ(RegSetValueExA(h, "", 0, REG_BINARY, one, 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(h, ""), ERROR_SUCCESS);  // V9: the default value
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "", nullptr, nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
    if (api::isNT()) {
        EXPECT_EQ(RegSetValueExA(h, "Null", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);  // V6
        EXPECT_EQ(RegSetValueExA(h, "Bad", 0, REG_BINARY, nullptr, 4), 998);         // V7
    }
    RegCloseKey(h);
}

TEST_F(Registry, NoDirectChildOfTheMachineOrUsersRootOnNt) {
    // R1: refused even when the sub-key goes deeper, and nothing is left behind.
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_USERS})
        for (const char* sub : {"Dot4ApiTop", "Dot4ApiTop\\Below"}) {
            LONG want = api::isNT() ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
            EXPECT_WIN(create(root, sub), want, WINE_GIVES("R1", ERROR_SUCCESS));
            EXPECT_WIN(exists(root, "Dot4ApiTop"), !api::isNT(), WINE_GIVES("R1", true));
            RegDeleteKeyA(root, "Dot4ApiTop\\Below");
            RegDeleteKeyA(root, "Dot4ApiTop");
        }
    // Below a key that exists it is an ordinary create.
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, scratch("Deeper")), ERROR_SUCCESS);
}

TEST_F(Registry, PredefinedKeysWithoutASubKeyAreThemselves) {
    for (const char* sub : {"", static_cast<const char*>(nullptr)}) {  // R13
        HKEY out = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, sub, 0, KEY_READ, &out), ERROR_SUCCESS);
        EXPECT_EQ(out, HKEY_CURRENT_USER);
        out = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, sub, 0, nullptr, 0, KEY_READ, nullptr, &out,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_WIN(out == HKEY_CURRENT_USER, true, WINE_GIVES("R13", false));
    }
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch());
    HKEY again = open(h, "");  // R14: an opened key gives a new handle
    EXPECT_NE(again, h);
    RegCloseKey(again);
    RegCloseKey(h);
}

TEST_F(Registry, CreateArgumentsAndTheLeadingBackslashOn98Open) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch());
    EXPECT_WIN(RegCreateKeyExA(h, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr, nullptr),
               ERROR_BADKEY, WINE_CRASHES("R5"));
    HKEY out;
    if (!api::isNT())
        EXPECT_WIN(RegOpenKeyExA(HKEY_CURRENT_USER, ("\\" + scratch()).c_str(), 0, KEY_READ, &out),
                   ERROR_FILE_NOT_FOUND, WINE_DEPARTS("R17"));
    RegCloseKey(h);
}

TEST_F(Registry, DeleteIgnoresTheRightsOfTheHandle) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch("Gone")), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch("Gone"), KEY_READ);  // R27
    EXPECT_WIN(RegDeleteKeyA(h, ""), ERROR_SUCCESS, WINE_DEPARTS("R27"));
    EXPECT_WIN(exists(HKEY_CURRENT_USER, scratch("Gone")), false, WINE_DEPARTS("R27"));
    RegCloseKey(h);
}

TEST_F(Registry, AMissingValueClearsTheTypeAndOnNtTheSizeAsked) {
    ASSERT_EQ(create(HKEY_CURRENT_USER, scratch()), ERROR_SUCCESS);
    HKEY h = open(HKEY_CURRENT_USER, scratch());
    BYTE buf[8];
    DWORD type = 0x4242, size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "None", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    // V2: NT clears the size asked for; 95/98 leave it and clear the type.
    EXPECT_WIN(size, api::isNT() ? 0u : sizeof buf, WINE_DEPARTS("V2"));
    if (!api::isNT()) EXPECT_WIN(type, DWORD(REG_NONE), WINE_DEPARTS("V2"));
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(h, "None", nullptr, nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_WIN(size, sizeof buf, WINE_DEPARTS("V2"));  // a buffer given: left alone on both
    RegCloseKey(h);
}

}  // namespace
