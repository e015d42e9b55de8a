#include <gtest/gtest.h>

#include <cstring>

#include "model/machine.h"

namespace {

class SystemApi : public ::testing::Test {
  protected:
    void SetUp() override {
        m.report.traceEnabled = true;
        simwin::activate(&m);
    }
    void TearDown() override { simwin::activate(nullptr); }
    simwin::Machine m;
};

// Record sizes and the buffer rules run on Windows too (tests/api); these are the settings.
TEST_F(SystemApi, ConfiguredVersionAndWindowsDirectoryFailures) {
    OSVERSIONINFOA v;
    std::memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    m.config.system.versionQuery.error = 87;
    EXPECT_FALSE(GetVersionExA(&v));
    EXPECT_EQ(GetLastError(), 87u);
    char buf[MAX_PATH];
    m.config.system.windowsDirectoryResult.error = 5;
    EXPECT_EQ(GetWindowsDirectoryA(buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(SystemApi, Windows95KnowsOnlyThePlainRecordAndBothKeepTheVersionInTheBuild) {
    union {
        OSVERSIONINFOA plain;
        BYTE extended[156];
    } v;
    m.config.system.platform = VER_PLATFORM_WIN32_WINDOWS;
    m.config.system.major = 4;
    for (DWORD minor : {0u, 10u}) {
        m.config.system.minor = minor;
        m.config.system.build = 950 + minor;
        std::memset(&v, 0, sizeof v);
        v.plain.dwOSVersionInfoSize = 156;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetVersionExA(&v.plain), minor ? TRUE : FALSE) << minor;
        EXPECT_EQ(GetLastError(), 0xdeadbeefu);
        v.plain.dwOSVersionInfoSize = sizeof v.plain;
        ASSERT_TRUE(GetVersionExA(&v.plain));
        EXPECT_EQ(v.plain.dwBuildNumber, 0x04000000u | minor << 16 | (950 + minor)) << minor;
    }
}

TEST_F(SystemApi, ShutdownOnNtNeedsTheEnabledPrivilege) {
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRIVILEGE_NOT_HELD));
    EXPECT_FALSE(m.report.outcome.restartRequested);
    EXPECT_EQ(m.report.outcome.restartFlags, std::optional<UINT>(2));

    HANDLE token;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), 0x28, TRUE, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), 0x28, &token));
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_FALSE(CloseHandle(token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_TRUE(m.report.outcome.restartRequested);
}

TEST_F(SystemApi, APrivilegeTheTokenLacksIsNotEnabledThoughTheCallSucceeds) {
    m.config.privileges.notAllAssigned = true;
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), 0x28, &token));
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    SetLastError(0);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRIVILEGE_NOT_HELD));
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(SystemApi, Windows98HasNoTokensButRestartsWithoutThem) {
    m.config.system.platform = 1;
    HANDLE token;
    EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), 0x28, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
    LUID luid;
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &luid));
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_TRUE(m.report.outcome.restartRequested);
}

TEST_F(SystemApi, ConfiguredTokenAndLookupFailures) {
    m.config.privileges.threadToken = simwin::PrivilegeConfig::Thread::Fails;
    m.config.privileges.threadTokenError = 5;
    HANDLE token;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), 0x28, TRUE, &token));
    EXPECT_EQ(GetLastError(), 5u);
    m.config.privileges.threadToken = simwin::PrivilegeConfig::Thread::Present;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), 0x28, TRUE, &token));
    LUID luid;
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_PRIVILEGE));
    m.config.privileges.adjust.error = 1300;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), 1300u);
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(SystemApi, PromptRecordsEveryShowingAndAnswersAsConfigured) {
    EXPECT_EQ(MessageBoxA(nullptr, "Question?", "Title", MB_YESNO), IDNO);
    m.config.promptAnswer = IDYES;
    EXPECT_EQ(MessageBoxA(nullptr, "Again?", "Title2", MB_YESNO), IDYES);
    EXPECT_EQ(m.report.outcome.promptShown, 2u);
    EXPECT_EQ(m.report.outcome.promptText, "Again?");
    EXPECT_EQ(m.report.outcome.promptCaption, "Title2");
    EXPECT_EQ(m.report.outcome.promptStyle, UINT(MB_YESNO));
    EXPECT_EQ(m.report.outcome.promptAnswer, "yes");
}

TEST_F(SystemApi, InjectedFaultsWinOverConfiguration) {
    m.config.faults.push_back({"ExitWindowsEx", 1115, 0, ""});
    m.config.system.platform = 1;
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(GetLastError(), 1115u);
    ASSERT_FALSE(m.report.traceLines.empty());
    EXPECT_EQ(m.report.traceLines.back(), "ExitWindowsEx(2, 0) = FALSE [1115]");
}

}  // namespace
