#include "utilities/Platform.h"

#include "platform/win32.h"
#include "utilities/BIniFile.h"

namespace {
const char* const kWininitName = "wininit.ini";
const char* const kPathSeparator = "\\";
const DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
bool isShortNameChar(unsigned char c) {
    if (c >= 128) return true;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    for (const char* p = "!#$%&'()-@^_`{}~"; *p; ++p)
        if (*p == c) return true;
    return false;
}

// An 8.3 name, ignoring case: what WININIT, which runs before long names exist, can read.
bool isShortName(const std::string& name) {
    const std::string::size_type dot = name.find('.');
    const std::string::size_type base = dot == std::string::npos ? name.size() : dot;
    const std::string::size_type ext = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (base == 0 || base > 8 || ext > 3 || (dot != std::string::npos && ext == 0)) return false;
    for (std::string::size_type i = 0; i < name.size(); ++i)
        if (i != dot && !isShortNameChar(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

bool isShortPath(const std::string& path) {
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = path.find_first_of("\\/", start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        const bool drive = start == 0 && part.size() == 2 && part[1] == ':';
        if (!part.empty() && !drive && part != "." && part != ".." && !isShortName(part))
            return false;
        start = end + 1;
    }
    return true;
}

// The path as WININIT can read it: as given when it already is, else its short form ("" when
// there is none).
std::string wininitPath(const std::string& path) {
    if (isShortPath(path)) return path;
    char buffer[MAX_PATH] = {};
    const DWORD length = GetShortPathNameA(path.c_str(), buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "";
    return buffer;
}

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
        const std::string shortPath = wininitPath(path);
        if (shortPath.empty()) return false;
        BIniFile ini(iniPath);
        return ini.bWriteNULKeyString(shortPath);
    }
    return false;
}
