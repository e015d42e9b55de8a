// Version, Windows directory, command line, prompt, tokens, privileges and shutdown.
#include <cstring>
#include <string>

#include "machine.h"

using simwin::machine;
using simwin::trace;

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
};
const DWORD kShutdownLuid = 19;

BOOL fail(DWORD code) {
    machine().run.lastError = code;
    return FALSE;
}

std::string boolText(BOOL b) { return b ? "TRUE" : "FALSE"; }

std::string withError(BOOL result) {
    return boolText(result) + (result ? "" : " [" + std::to_string(machine().run.lastError) + "]");
}

std::string handleText(HANDLE h) {
    if (h == kCurrentProcess) return "CURRENT_PROCESS";
    if (h == kCurrentThread) return "CURRENT_THREAD";
    return "0x" + [&] {
        char buf[24];
        std::snprintf(buf, sizeof buf, "%lx",
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(h)));
        return std::string(buf);
    }();
}

HANDLE newToken() {
    auto& m = machine();
    uintptr_t h = m.run.nextHandle;
    m.run.nextHandle += 4;
    m.run.openTokens[h] = true;
    return reinterpret_cast<HANDLE>(h);
}

bool isToken(HANDLE h) {
    return machine().run.openTokens.count(reinterpret_cast<uintptr_t>(h)) != 0;
}

}  // namespace

DWORD WINAPI GetLastError(void) { return machine().run.lastError; }

void WINAPI SetLastError(DWORD code) { machine().run.lastError = code; }

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    auto& m = machine();
    BOOL r;
    if (auto code = simwin::injectedFault("GetVersionExA")) {
        r = fail(*code);
    } else if (!info) {
        r = fail(ERROR_INVALID_PARAMETER);
    } else if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
               info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) + 8) {
        // Only the plain record and the extended one (156 bytes) are accepted.
        r = fail(ERROR_INSUFFICIENT_BUFFER);
    } else if (!m.config.system.versionQuery.ok()) {
        r = fail(m.config.system.versionQuery.error);
    } else {
        info->dwMajorVersion = m.config.system.major;
        info->dwMinorVersion = m.config.system.minor;
        info->dwBuildNumber = m.config.system.build;
        info->dwPlatformId = m.config.system.platform;
        std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
        r = TRUE;
    }
    trace("GetVersionExA(" + std::to_string(info ? info->dwOSVersionInfoSize : 0) +
          ") = " + withError(r) +
          (r ? " {" + std::to_string(m.config.system.platform) + ", " +
                   std::to_string(m.config.system.major) + "." +
                   std::to_string(m.config.system.minor) + "." +
                   std::to_string(m.config.system.build) + "}"
             : ""));
    return r;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    auto& m = machine();
    UINT r;
    const std::string& dir = m.config.system.windowsDirectory;
    if (auto code = simwin::injectedFault("GetWindowsDirectoryA")) {
        m.run.lastError = *code;
        r = 0;
    } else if (!m.config.system.windowsDirectoryResult.ok()) {
        m.run.lastError = m.config.system.windowsDirectoryResult.error;
        r = 0;
    } else if (!buffer || size < dir.size() + 1) {
        r = static_cast<UINT>(dir.size() + 1);  // the size needed, NUL included
    } else {
        std::memcpy(buffer, dir.c_str(), dir.size() + 1);
        r = static_cast<UINT>(dir.size());
    }
    trace("GetWindowsDirectoryA(" + std::to_string(size) + ") = " + std::to_string(r) +
          (r && r < size ? " " + simwin::quote(buffer) : ""));
    return r;
}

LPSTR WINAPI GetCommandLineA(void) {
    auto& m = machine();
    simwin::injectedFault("GetCommandLineA");
    trace("GetCommandLineA() = " + simwin::quote(m.run.commandLine.c_str()));
    return &m.run.commandLine[0];
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    auto& m = machine();
    int r;
    if (auto code = simwin::injectedFault("MessageBoxA")) {
        m.run.lastError = *code;
        r = 0;
    } else {
        ++m.report.outcome.promptShown;
        m.report.outcome.promptText = text ? text : "";
        m.report.outcome.promptCaption = caption ? caption : "";
        m.report.outcome.promptStyle = style;
        bool yesNo = (style & 0xF) == MB_YESNO || (style & 0xF) == MB_YESNOCANCEL;
        if (yesNo) {
            r = m.config.promptAnswer == IDYES ? IDYES : IDNO;
        } else {
            r = IDOK;
        }
        m.report.outcome.promptAnswer = r == IDYES ? "yes" : r == IDNO ? "no" : "ok";
    }
    trace("MessageBoxA(" + std::string(owner ? "owner" : "NULL") + ", " + simwin::quote(text) +
          ", " + simwin::quote(caption) + ", " + std::to_string(style) +
          ") = " + std::to_string(r));
    return r;
}

HANDLE WINAPI GetCurrentThread(void) {
    simwin::injectedFault("GetCurrentThread");
    trace("GetCurrentThread() = CURRENT_THREAD");
    return kCurrentThread;
}

HANDLE WINAPI GetCurrentProcess(void) {
    simwin::injectedFault("GetCurrentProcess");
    trace("GetCurrentProcess() = CURRENT_PROCESS");
    return kCurrentProcess;
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token) {
    auto& m = machine();
    BOOL r;
    if (auto code = simwin::injectedFault("OpenThreadToken")) {
        r = fail(*code);
    } else if (!m.config.isNT()) {
        r = fail(ERROR_CALL_NOT_IMPLEMENTED);
    } else if (thread != kCurrentThread || !token) {
        r = fail(ERROR_INVALID_HANDLE);
    } else if (m.config.privileges.threadToken == simwin::PrivilegeConfig::Thread::None) {
        r = fail(ERROR_NO_TOKEN);
    } else if (m.config.privileges.threadToken == simwin::PrivilegeConfig::Thread::Fails) {
        r = fail(m.config.privileges.threadTokenError);
    } else {
        *token = newToken();
        r = TRUE;
    }
    trace("OpenThreadToken(" + handleText(thread) + ", 0x" +
          [&] {
              char b[16];
              std::snprintf(b, sizeof b, "%x", static_cast<unsigned>(access));
              return std::string(b);
          }() +
          ", " + boolText(openAsSelf) + ") = " + withError(r) +
          (r ? " " + handleText(*token) : ""));
    return r;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    auto& m = machine();
    BOOL r;
    if (auto code = simwin::injectedFault("OpenProcessToken")) {
        r = fail(*code);
    } else if (!m.config.isNT()) {
        r = fail(ERROR_CALL_NOT_IMPLEMENTED);
    } else if (process != kCurrentProcess || !token) {
        r = fail(ERROR_INVALID_HANDLE);
    } else if (!m.config.privileges.processToken.ok()) {
        r = fail(m.config.privileges.processToken.error);
    } else {
        *token = newToken();
        r = TRUE;
    }
    char acc[16];
    std::snprintf(acc, sizeof acc, "0x%x", static_cast<unsigned>(access));
    trace("OpenProcessToken(" + handleText(process) + ", " + acc + ") = " + withError(r) +
          (r ? " " + handleText(*token) : ""));
    return r;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
    auto& m = machine();
    BOOL r = FALSE;
    if (auto code = simwin::injectedFault("LookupPrivilegeValueA", name ? name : "")) {
        r = fail(*code);
    } else if (!m.config.isNT()) {
        r = fail(ERROR_CALL_NOT_IMPLEMENTED);
    } else if (!m.config.privileges.lookup.ok()) {
        r = fail(m.config.privileges.lookup.error);
    } else if (!name || !luid) {
        r = fail(ERROR_INVALID_PARAMETER);
    } else {
        r = fail(ERROR_NO_SUCH_PRIVILEGE);
        for (const auto& p : kPrivileges) {
            if (simwin::iequals(p.name, name)) {
                luid->LowPart = p.luid;
                luid->HighPart = 0;
                r = TRUE;
                break;
            }
        }
    }
    trace("LookupPrivilegeValueA(" + simwin::quote(systemName) + ", " + simwin::quote(name) +
          ") = " + withError(r) + (r ? " {" + std::to_string(luid->LowPart) + "}" : ""));
    return r;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previous,
                                  PDWORD returnLength) {
    auto& m = machine();
    BOOL r;
    if (auto code = simwin::injectedFault("AdjustTokenPrivileges")) {
        r = fail(*code);
    } else if (!m.config.isNT()) {
        r = fail(ERROR_CALL_NOT_IMPLEMENTED);
    } else if (!isToken(token)) {
        r = fail(ERROR_INVALID_HANDLE);
    } else if (!disableAll && !newState) {
        r = fail(ERROR_INVALID_PARAMETER);
    } else if (!m.config.privileges.adjust.ok()) {
        r = fail(m.config.privileges.adjust.error);
    } else {
        if (previous && bufferLength < sizeof(TOKEN_PRIVILEGES)) {
            if (returnLength) *returnLength = sizeof(TOKEN_PRIVILEGES);
            r = fail(ERROR_INSUFFICIENT_BUFFER);
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
            m.run.lastError = ERROR_SUCCESS;
            r = TRUE;
        }
    }
    std::string set;
    if (newState) {
        for (DWORD i = 0; i < newState->PrivilegeCount && i < 1; ++i)
            set = " {" + std::to_string(newState->Privileges[i].Luid.LowPart) + ", " +
                  std::to_string(newState->Privileges[i].Attributes) + "}";
    }
    trace("AdjustTokenPrivileges(" + handleText(token) + ", " + boolText(disableAll) + set + ", " +
          std::to_string(bufferLength) + ") = " + withError(r));
    return r;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    auto& m = machine();
    BOOL r;
    if (auto code = simwin::injectedFault("CloseHandle")) {
        r = fail(*code);
    } else if (h == kCurrentProcess || h == kCurrentThread) {
        r = TRUE;  // pseudo handles need no closing
    } else if (!isToken(h)) {
        r = fail(ERROR_INVALID_HANDLE);
    } else {
        m.run.openTokens.erase(reinterpret_cast<uintptr_t>(h));
        r = TRUE;
    }
    trace("CloseHandle(" + handleText(h) + ") = " + withError(r));
    return r;
}

BOOL WINAPI ExitWindowsEx(UINT flags, DWORD reason) {
    auto& m = machine();
    BOOL r;
    m.report.outcome.restartFlags = flags;
    if (auto code = simwin::injectedFault("ExitWindowsEx")) {
        r = fail(*code);
    } else if (m.config.isNT() && !m.run.shutdownPrivilegeEnabled) {
        r = fail(ERROR_PRIVILEGE_NOT_HELD);
    } else if (!m.config.shutdown.ok()) {
        r = fail(m.config.shutdown.error);
    } else {
        m.report.outcome.restartRequested = true;
        r = TRUE;
    }
    trace("ExitWindowsEx(" + std::to_string(flags) + ", " + std::to_string(reason) +
          ") = " + withError(r));
    return r;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    simwin::injectedFault("InitializeCriticalSection");
    if (cs) std::memset(cs, 0, sizeof *cs);
    if (cs) cs->LockCount = -1;
    trace("InitializeCriticalSection()");
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    simwin::injectedFault("DeleteCriticalSection");
    if (cs) std::memset(cs, 0, sizeof *cs);
    trace("DeleteCriticalSection()");
}
