#include "utilities/Platform.h"

#include "platform/win32.h"
#include "utilities/BIniFile.h"

namespace {
const char* const kWininitName = "wininit.ini";
const char* const kPathSeparator = "\\";
const DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
}  // namespace

BOSVersion::~BOSVersion() {}

OSFamily BOSVersion::getOSFamily() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(&info)) return OS_UNKNOWN;
    switch (info.dwPlatformId) {
        case VER_PLATFORM_WIN32s:
            return OS_WIN32S;
        case VER_PLATFORM_WIN32_WINDOWS:
            if (info.dwMinorVersion == 0) return OS_WIN95;
            if (info.dwMinorVersion == 10) return OS_WIN98;
            return OS_UNKNOWN;
        case VER_PLATFORM_WIN32_NT:
            return OS_WINNT;
        default:
            return OS_UNKNOWN;
    }
}

BFileSystem::~BFileSystem() {}

bool BFileSystem::getWindowsDirectory(std::string& out) {
    char buffer[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
    // A failed call, or one whose answer did not fit, gives the empty string.
    if (length == 0 || length >= MAX_PATH) buffer[0] = '\0';
    out = buffer;
    return true;
}

bool BFileSystem::fileExists(std::string path) {
    if (path.empty()) return false;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

BSystem::~BSystem() {}

bool BSystem::setPrivilege(const char* name, bool enable) {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), kTokenAccess, TRUE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN) return false;
        if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token)) return false;
    }
    LUID luid;
    if (!LookupPrivilegeValueA(nullptr, name, &luid)) {
        CloseHandle(token);
        return false;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr)) {
        CloseHandle(token);
        return false;
    }
    return CloseHandle(token) != 0;
}

bool BSystem::rebootSystem() {
    BOSVersion version;
    if (version.getOSFamily() == OS_WINNT && !setPrivilege(SE_SHUTDOWN_NAME, true)) return false;
    return ExitWindowsEx(EWX_REBOOT, 0) != 0;
}

bool BSystem::deleteFileOnReboot(std::string path) {
    BFileSystem files;
    if (!files.fileExists(path)) return false;

    BOSVersion version;
    const OSFamily family = version.getOSFamily();
    if (family == OS_WINNT)
        return MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
    if (family == OS_WIN95 || family == OS_WIN98) {
        std::string iniPath;
        files.getWindowsDirectory(iniPath);
        iniPath += kPathSeparator;
        iniPath += kWininitName;
        BIniFile ini(iniPath);
        return ini.bWriteNULKeyString(path);
    }
    return false;
}
