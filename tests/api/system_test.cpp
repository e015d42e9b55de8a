// Version, Windows directory, tokens and the spooler, checked against what Windows does
// (docs/windows-behaviour.md, rows S, T and P).
#include <cstring>
#include <string>

#include "ApiTest.h"

namespace {

using System = api::ApiTest;

TEST_F(System, VersionRecordSizesAndTheLastError) {
    union {
        OSVERSIONINFOA plain;
        BYTE extended[156];
    } v;
    std::memset(&v, 0, sizeof v);
    v.plain.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(GetVersionExA(&v.plain));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);  // S3
    if (v.plain.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        EXPECT_EQ(v.plain.dwPlatformId, DWORD(VER_PLATFORM_WIN32_WINDOWS));
        EXPECT_EQ(v.plain.dwMajorVersion, 4u);
        // S4: MAKELONG(build, MAKEWORD(minor, major)).
        EXPECT_WIN(v.plain.dwBuildNumber >> 16,
                   v.plain.dwMajorVersion << 8 | v.plain.dwMinorVersion, WINE_DEPARTS("S4"));
        v.plain.dwOSVersionInfoSize = 100;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(GetVersionExA(&v.plain));  // S1: the last error stays
        EXPECT_WIN(GetLastError(), 0xdeadbeefu, WINE_GIVES("S1", ERROR_INSUFFICIENT_BUFFER));
        return;  // S2: 95 refuses 156 bytes, 98 is not known to
    }
    EXPECT_GE(v.plain.dwMajorVersion, 4u);
    v.plain.dwOSVersionInfoSize = 156;  // S2: OSVERSIONINFOEXA
    EXPECT_TRUE(GetVersionExA(&v.plain));
    for (DWORD size : {0u, 100u, 147u, 149u, 200u}) {  // S1
        v.plain.dwOSVersionInfoSize = size;
        SetLastError(0);
        EXPECT_FALSE(GetVersionExA(&v.plain)) << size;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER)) << size;
    }
}

TEST_F(System, WindowsDirectoryGivesTheLengthOrTheSizeNeeded) {
    char buf[MAX_PATH];
    UINT n = GetWindowsDirectoryA(buf, sizeof buf);  // S5
    ASSERT_GT(n, 2u);
    EXPECT_EQ(std::strlen(buf), n);
    EXPECT_EQ(buf[1], ':');
    char small[MAX_PATH];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(GetWindowsDirectoryA(small, n), n + 1);
    EXPECT_EQ(GetWindowsDirectoryA(nullptr, 0), n + 1);
    EXPECT_EQ(GetWindowsDirectoryA(small, n + 1), n);
    EXPECT_STREQ(small, buf);
}

TEST_F(System, TokensAndPrivilegesOnNt) {
    if (!api::isNT()) GTEST_SKIP() << "T2: none on 95/98";
    HANDLE token = nullptr;
    SetLastError(0);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));  // T1
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));

    // T5: the numbers of SE_*_PRIVILEGE, found without regard to case; 25 to 30 from 2000 on.
    const char* const names[] = {"SeCreateTokenPrivilege",
                                 "SeAssignPrimaryTokenPrivilege",
                                 "SeLockMemoryPrivilege",
                                 "SeIncreaseQuotaPrivilege",
                                 "SeMachineAccountPrivilege",
                                 "SeTcbPrivilege",
                                 "SeSecurityPrivilege",
                                 "SeTakeOwnershipPrivilege",
                                 "SeLoadDriverPrivilege",
                                 "SeSystemProfilePrivilege",
                                 "SeSystemtimePrivilege",
                                 "SeProfileSingleProcessPrivilege",
                                 "SeIncreaseBasePriorityPrivilege",
                                 "SeCreatePagefilePrivilege",
                                 "SeCreatePermanentPrivilege",
                                 "SeBackupPrivilege",
                                 "SeRestorePrivilege",
                                 "SeShutdownPrivilege",
                                 "SeDebugPrivilege",
                                 "SeAuditPrivilege",
                                 "SeSystemEnvironmentPrivilege",
                                 "SeChangeNotifyPrivilege",
                                 "SeRemoteShutdownPrivilege",
                                 "SeUndockPrivilege",
                                 "SeSyncAgentPrivilege",
                                 "SeEnableDelegationPrivilege",
                                 "SeManageVolumePrivilege",
                                 "SeImpersonatePrivilege",
                                 "SeCreateGlobalPrivilege"};
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(GetVersionExA(&v));
    const DWORD known = v.dwMajorVersion >= 5 ? 29 : 23;
    for (DWORD i = 0; i < known; ++i) {
        std::string flipped = names[i];
        for (char& c : flipped)
            c = (c >= 'a' && c <= 'z') ? c - 32 : (c >= 'A' && c <= 'Z') ? c + 32 : c;
        for (const std::string& name : {std::string(names[i]), flipped}) {
            LUID luid = {0, 1};
            EXPECT_TRUE(LookupPrivilegeValueA(nullptr, name.c_str(), &luid)) << name;
            EXPECT_EQ(luid.LowPart, i + 2) << name;
            EXPECT_EQ(luid.HighPart, 0) << name;
        }
    }
    LUID luid;
    SetLastError(0);
    for (const char* unknown : {"SeBogusPrivilege", static_cast<const char*>(nullptr)}) {
        SetLastError(0);
        EXPECT_FALSE(LookupPrivilegeValueA(nullptr, unknown, &luid));  // T3, T4
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_PRIVILEGE)) << (unknown ? unknown : "NULL");
    }

    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    TOKEN_PRIVILEGES previous{};
    DWORD needed = 0;
    EXPECT_WIN(AdjustTokenPrivileges(token, FALSE, &tp, 1, &previous, &needed), FALSE,
               WINE_GIVES("T6a", TRUE));
    // The previous state needed: the count, and the privilege if the call changes it.
    EXPECT_TRUE(needed == sizeof(DWORD) || needed == sizeof(TOKEN_PRIVILEGES)) << needed;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));  // T6
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(System, NoTokensOn98) {
    if (api::isNT()) GTEST_SKIP() << "NT has them";
    LUID luid;
    SetLastError(0);
    EXPECT_WIN(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &luid), FALSE,
               WINE_GIVES("T2", TRUE));
    if (!api::underWine()) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
    }
    HANDLE token = nullptr;
    EXPECT_WIN(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token), FALSE,
               WINE_GIVES("T2", TRUE));
    if (token) CloseHandle(token);
}

TEST_F(System, UnknownPrintersOnNt) {
    if (!api::isNT()) GTEST_SKIP() << "P2: 95/98 give 87 for an empty name";
    auto openError = [](const char* name) {
        HANDLE h = nullptr;
        PRINTER_DEFAULTSA all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        SetLastError(0);
        EXPECT_FALSE(OpenPrinterA(const_cast<char*>(name), &h, &all)) << name;
        return GetLastError();
    };
    EXPECT_EQ(openError("Dot4 No Such Printer"), DWORD(ERROR_INVALID_PRINTER_NAME));  // P1
    EXPECT_WIN(openError(""), ERROR_INVALID_PRINTER_NAME, WINE_GIVES("P2", 87));
}

}  // namespace
