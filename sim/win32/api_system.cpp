// Version, Windows directory, command line, prompt, tokens, privileges and shutdown.
#include <cstdio>
#include <cstring>
#include <string>

#include "win32/gate.h"
#include "win32/handles.h"

using simwin::Call;
using simwin::Fn;
using simwin::machine;

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

struct PrivilegeName {
    const char* name;
    DWORD luid;
};
// The locally unique identifiers Windows gives these privileges.
const PrivilegeName kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2},
    {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},
    {"SeIncreaseQuotaPrivilege", 5},
    {"SeMachineAccountPrivilege", 6},
    {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},
    {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},
    {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},
    {"SeProfileSingleProcessPrivilege", 13},
    {"SeIncreaseBasePriorityPrivilege", 14},
    {"SeCreatePagefilePrivilege", 15},
    {"SeCreatePermanentPrivilege", 16},
    {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},
    {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},
    {"SeAuditPrivilege", 21},
    {"SeSystemEnvironmentPrivilege", 22},
    {"SeChangeNotifyPrivilege", 23},
    {"SeRemoteShutdownPrivilege", 24},
    // From Windows 2000 on.
    {"SeUndockPrivilege", 25},
    {"SeSyncAgentPrivilege", 26},
    {"SeEnableDelegationPrivilege", 27},
    {"SeManageVolumePrivilege", 28},
    {"SeImpersonatePrivilege", 29},
    {"SeCreateGlobalPrivilege", 30},
};
const DWORD kLastNt4Luid = 24;
const DWORD kShutdownLuid = 19;

std::string boolText(BOOL b) { return b ? "TRUE" : "FALSE"; }

std::string hex(uintptr_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%lx", static_cast<unsigned long>(v));
    return b;
}

std::string handleText(HANDLE h) {
    if (h == kCurrentProcess) return "CURRENT_PROCESS";
    if (h == kCurrentThread) return "CURRENT_THREAD";
    return hex(reinterpret_cast<uintptr_t>(h));
}

simwin::HandleTable& handles() { return handleTable(machine()); }

HANDLE newToken(DWORD access) {
    return reinterpret_cast<HANDLE>(handles().open(simwin::TokenHandle{access}));
}

}  // namespace

DWORD WINAPI GetLastError(void) { return machine().run.lastError; }

void WINAPI SetLastError(DWORD code) { machine().run.lastError = code; }

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    Call c(Fn::GetVersionExA, [&] { return std::to_string(info ? info->dwOSVersionInfoSize : 0); });
    const simwin::SystemConfig& s = c.machine().config.system;
    const bool nt = c.machine().config.isNT();
    const bool win95 = s.platform == VER_PLATFORM_WIN32_WINDOWS && s.major == 4 && s.minor == 0;
    DWORD err = 0;
    if (DWORD code = c.refusal()) {
        err = code;
    } else if (!info) {
        err = ERROR_INVALID_PARAMETER;
    } else if (DWORD size = info->dwOSVersionInfoSize;
               size != sizeof(OSVERSIONINFOA) && (size != sizeof(OSVERSIONINFOA) + 8 || win95)) {
        // Only the plain record and the extended one (156 bytes, not known to 95) are accepted;
        // 95/98 leave the last error as it was.
        if (!nt) return c.returns(FALSE, [] { return std::string("FALSE"); });
        err = ERROR_INSUFFICIENT_BUFFER;
    } else if (!s.versionQuery.ok()) {
        err = s.versionQuery.error;
    } else {
        info->dwMajorVersion = s.major;
        info->dwMinorVersion = s.minor;
        // 95/98 keep the version in the build number's high word:
        // MAKELONG(build, MAKEWORD(minor, major)).
        info->dwBuildNumber =
            nt ? s.build : (s.build & 0xFFFF) | (s.minor & 0xFF) << 16 | (s.major & 0xFF) << 24;
        info->dwPlatformId = s.platform;
        std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    }
    return c.boolean(err, [&] {
        return err ? std::string()
                   : " {" + std::to_string(s.platform) + ", " + std::to_string(s.major) + "." +
                         std::to_string(s.minor) + "." + std::to_string(s.build) + "}";
    });
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    Call c(Fn::GetWindowsDirectoryA, [&] { return std::to_string(size); });
    const simwin::SystemConfig& s = c.machine().config.system;
    const std::string& dir = s.windowsDirectory;
    UINT r = 0;
    DWORD err = c.refusal();
    if (!err) err = s.windowsDirectoryResult.error;
    if (err) {
        c.setLastError(err);
    } else if (!buffer || size < dir.size() + 1) {
        r = static_cast<UINT>(dir.size() + 1);  // the size needed, NUL included
    } else {
        std::memcpy(buffer, dir.c_str(), dir.size() + 1);
        r = static_cast<UINT>(dir.size());
    }
    return c.returns(
        r, [&] { return std::to_string(r) + (r && r < size ? " " + simwin::quote(buffer) : ""); });
}

LPSTR WINAPI GetCommandLineA(void) {
    Call c(Fn::GetCommandLineA);
    std::string& line = c.machine().run.commandLine;
    return c.returns(&line[0], [&] { return simwin::quote(line.c_str()); });
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    Call c(Fn::MessageBoxA, [&] {
        return std::string(owner ? "owner" : "NULL") + ", " + simwin::quote(text) + ", " +
               simwin::quote(caption) + ", " + std::to_string(style);
    });
    auto& m = c.machine();
    int r = 0;
    if (DWORD err = c.refusal()) {
        c.setLastError(err);
    } else {
        simwin::Outcome& o = m.report.outcome;
        ++o.promptShown;
        o.promptText = text ? text : "";
        o.promptCaption = caption ? caption : "";
        o.promptStyle = style;
        bool yesNo = (style & 0xF) == MB_YESNO || (style & 0xF) == MB_YESNOCANCEL;
        if (yesNo) {
            r = m.config.promptAnswer == IDYES ? IDYES : IDNO;
        } else {
            r = IDOK;
        }
        o.promptAnswer = r == IDYES ? "yes" : r == IDNO ? "no" : "ok";
    }
    return c.returns(r, [&] { return std::to_string(r); });
}

HANDLE WINAPI GetCurrentThread(void) {
    Call c(Fn::GetCurrentThread);
    return c.returns(kCurrentThread, [] { return std::string("CURRENT_THREAD"); });
}

HANDLE WINAPI GetCurrentProcess(void) {
    Call c(Fn::GetCurrentProcess);
    return c.returns(kCurrentProcess, [] { return std::string("CURRENT_PROCESS"); });
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token) {
    Call c(Fn::OpenThreadToken,
           [&] { return handleText(thread) + ", " + hex(access) + ", " + boolText(openAsSelf); });
    const simwin::PrivilegeConfig& p = c.machine().config.privileges;
    DWORD err = 0;
    if (DWORD code = c.refusal()) {
        err = code;
    } else if (thread != kCurrentThread || !token) {
        err = ERROR_INVALID_HANDLE;
    } else if (p.threadToken == simwin::PrivilegeConfig::Thread::None) {
        err = ERROR_NO_TOKEN;
    } else if (p.threadToken == simwin::PrivilegeConfig::Thread::Fails) {
        err = p.threadTokenError;
    } else {
        *token = newToken(access);
    }
    return c.boolean(err, [&] { return err ? std::string() : " " + handleText(*token); });
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    Call c(Fn::OpenProcessToken, [&] { return handleText(process) + ", " + hex(access); });
    const simwin::PrivilegeConfig& p = c.machine().config.privileges;
    DWORD err = 0;
    if (DWORD code = c.refusal()) {
        err = code;
    } else if (process != kCurrentProcess || !token) {
        err = ERROR_INVALID_HANDLE;
    } else if (!p.processToken.ok()) {
        err = p.processToken.error;
    } else {
        *token = newToken(access);
    }
    return c.boolean(err, [&] { return err ? std::string() : " " + handleText(*token); });
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
    Call c(Fn::LookupPrivilegeValueA,
           [&] { return simwin::quote(systemName) + ", " + simwin::quote(name); });
    const simwin::PrivilegeConfig& p = c.machine().config.privileges;
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return name ? name : ""; })) {
        err = code;
    } else if (!p.lookup.ok()) {
        err = p.lookup.error;
    } else if (!name) {
        err = ERROR_NO_SUCH_PRIVILEGE;
    } else if (!luid) {
        err = ERROR_INVALID_PARAMETER;
    } else {
        err = ERROR_NO_SUCH_PRIVILEGE;
        const bool nt4 = c.machine().config.system.major < 5;
        for (const auto& known : kPrivileges) {
            if (nt4 && known.luid > kLastNt4Luid) break;
            if (simwin::iequals(known.name, name)) {
                luid->LowPart = known.luid;
                luid->HighPart = 0;
                err = 0;
                break;
            }
        }
    }
    return c.boolean(
        err, [&] { return err ? std::string() : " {" + std::to_string(luid->LowPart) + "}"; });
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previous,
                                  PDWORD returnLength) {
    Call c(Fn::AdjustTokenPrivileges, [&] {
        std::string set;
        if (newState && newState->PrivilegeCount)
            set = " {" + std::to_string(newState->Privileges[0].Luid.LowPart) + ", " +
                  std::to_string(newState->Privileges[0].Attributes) + "}";
        return handleText(token) + ", " + boolText(disableAll) + set + ", " +
               std::to_string(bufferLength);
    });
    auto& m = c.machine();
    DWORD err = 0;
    if (DWORD code = c.refusal()) {
        err = code;
    } else if (!handles().find<simwin::TokenHandle>(token)) {
        err = ERROR_INVALID_HANDLE;
    } else if (!disableAll && !newState) {
        err = ERROR_INVALID_PARAMETER;
    } else if (!m.config.privileges.adjust.ok()) {
        err = m.config.privileges.adjust.error;
    } else if (previous && bufferLength < sizeof(TOKEN_PRIVILEGES)) {
        if (returnLength) *returnLength = sizeof(TOKEN_PRIVILEGES);
        err = ERROR_INSUFFICIENT_BUFFER;
    } else if (m.config.privileges.notAllAssigned && !disableAll) {
        // The token lacks them: nothing is enabled, yet the call succeeds.
        if (previous) previous->PrivilegeCount = 0;
        if (returnLength) *returnLength = sizeof(DWORD);
        c.setLastError(ERROR_NOT_ALL_ASSIGNED);
    } else {
        if (disableAll) {
            m.run.shutdownPrivilegeEnabled = false;
        } else {
            for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
                const auto& p = newState->Privileges[i];
                if (p.Luid.LowPart == kShutdownLuid && p.Luid.HighPart == 0)
                    m.run.shutdownPrivilegeEnabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            }
        }
        c.setLastError(ERROR_SUCCESS);
    }
    return c.boolean(err);
}

BOOL WINAPI CloseHandle(HANDLE h) {
    Call c(Fn::CloseHandle, [&] { return handleText(h); });
    DWORD err = c.refusal();
    if (err || h == kCurrentProcess || h == kCurrentThread) {
        // pseudo handles need no closing
    } else if (!handles().close<simwin::TokenHandle>(h)) {
        err = ERROR_INVALID_HANDLE;
    }
    return c.boolean(err);
}

BOOL WINAPI ExitWindowsEx(UINT flags, DWORD reason) {
    Call c(Fn::ExitWindowsEx,
           [&] { return std::to_string(flags) + ", " + std::to_string(reason); });
    auto& m = c.machine();
    m.report.outcome.restartFlags = flags;
    DWORD err = 0;
    if (DWORD code = c.refusal()) {
        err = code;
    } else if (m.config.isNT() && !m.run.shutdownPrivilegeEnabled) {
        err = ERROR_PRIVILEGE_NOT_HELD;
    } else if (!m.config.shutdown.ok()) {
        err = m.config.shutdown.error;
    } else {
        m.report.outcome.restartRequested = true;
    }
    return c.boolean(err);
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    Call c(Fn::InitializeCriticalSection);
    if (cs) std::memset(cs, 0, sizeof *cs);
    if (cs) cs->LockCount = -1;
    c.returns();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    Call c(Fn::DeleteCriticalSection);
    if (cs) std::memset(cs, 0, sizeof *cs);
    c.returns();
}
