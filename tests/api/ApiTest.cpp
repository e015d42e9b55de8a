// The one place that knows where the API tests run: a simwin machine, or a real Win32.
#include "ApiTest.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include "TestImage.h"
#include "model/machine.h"
#endif

namespace api {

const char* const kScratchKey = "Software\\Dot4ApiTest";

std::string scratchDir() { return "C:\\Dot4ApiTest"; }
std::string scratchPath(const std::string& name) { return scratchDir() + "\\" + name; }

bool isNT() {
    OSVERSIONINFOA v;
    std::memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    DWORD saved = GetLastError();
    bool nt = GetVersionExA(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT;
    SetLastError(saved);
    return nt;
}

namespace {

std::vector<std::string> g_departures;
std::string g_family;  // "nt" or "98"; empty: whatever the system is

}  // namespace

void noteDeparture(const Departure& d, const char* expr, long long got, long long windows,
                   const char* file, int line) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const char* base = std::strrchr(file, '/');
    char result[64];
    if (d.kind == Departure::Crashes)
        std::snprintf(result, sizeof result, "crashes Wine (not called)");
    else
        std::snprintf(result, sizeof result, "gave %lld", got);
    char text[512];
    std::snprintf(text, sizeof text, "%s: %s %s, Windows gives %lld (%s.%s, %s:%d)", d.row, expr,
                  result, windows, info ? info->test_suite_name() : "?", info ? info->name() : "?",
                  base ? base + 1 : file, line);
    g_departures.push_back(text);
}

#ifndef _WIN32

// simwin: a fresh machine for every test, with the keys and directories every Windows has.
namespace {

std::unique_ptr<testsupport::TestImage> g_image;
std::unique_ptr<testsupport::SimMachine> g_machine;

void addRule(const std::string& path, unsigned rule) {
    simwin::machine().config.fileRules[simwin::upper(path)] |= rule;
}

}  // namespace

bool underWine() { return false; }

void makeReadOnly(const std::string& path) { addRule(path, simwin::kFileReadOnly); }
void holdOpen(const std::string& path) { addRule(path, simwin::kFileInUse); }
void loadModule(const std::string& path) {
    FILE* f = platformOpenFile(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fclose(f);
    addRule(path, simwin::kFileLoaded);
}

void ApiTest::SetUp() {
    g_image = std::make_unique<testsupport::TestImage>();
    if (g_family == "98") g_image->machineIni("[system]\nplatform=1\nmajor=4\nminor=10\n");
    g_image->registry(
        "[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager]\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software]\r\n\r\n");
    g_image->directory("C:\\WINDOWS");
    g_machine = std::make_unique<testsupport::SimMachine>(*g_image);
    ASSERT_TRUE(CreateDirectoryA(scratchDir().c_str(), nullptr));
}

void ApiTest::TearDown() {
    g_machine.reset();
    g_image.reset();
}

#else

// A real Win32: the scratch keys and files are removed before and after each test.
namespace {

std::vector<HANDLE> g_held;
std::vector<HMODULE> g_loaded;

void deleteTree(HKEY root, const std::string& path) {
    HKEY h;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return;
    std::vector<std::string> children;
    char name[256];
    for (DWORD i = 0; RegEnumKeyA(h, i, name, sizeof name) == ERROR_SUCCESS; ++i)
        children.push_back(name);
    RegCloseKey(h);
    for (const auto& c : children) deleteTree(root, path + "\\" + c);
    RegDeleteKeyA(root, path.c_str());
}

void removeFiles(const std::string& dir) {
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = d.cFileName;
            if (name == "." || name == "..") continue;
            std::string full = dir + "\\" + name;
            SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeFiles(full);
            else
                DeleteFileA(full.c_str());
        } while (FindNextFileA(h, &d));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

void removeScratch() {
    for (HANDLE h : g_held) CloseHandle(h);
    g_held.clear();
    for (HMODULE h : g_loaded) FreeLibrary(h);
    g_loaded.clear();
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) deleteTree(root, kScratchKey);
    removeFiles(scratchDir());
}

}  // namespace

bool underWine() {
    static const bool wine =
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

void makeReadOnly(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
}

void holdOpen(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path << ": " << GetLastError();
    g_held.push_back(h);
}

// A copy of this program, mapped as an image.
void loadModule(const std::string& path) {
    char self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    ASSERT_TRUE(CopyFileA(self, path.c_str(), TRUE)) << path << ": " << GetLastError();
    HMODULE h = LoadLibraryExA(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(h, nullptr) << path << ": " << GetLastError();
    g_loaded.push_back(h);
}

void ApiTest::SetUp() {
    removeScratch();
    ASSERT_TRUE(CreateDirectoryA(scratchDir().c_str(), nullptr)) << GetLastError();
}

void ApiTest::TearDown() { removeScratch(); }

#endif

}  // namespace api

// Arguments after GoogleTest's own: --family=nt|98. simwin runs as that family; a real system
// must already be it (Wine's Version setting), or the run stops before testing.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--family=nt" || a == "--family=98") {
            api::g_family = a.substr(9);
        } else {
            std::fprintf(stderr, "test_api: unknown argument %s (expected --family=nt|98)\n",
                         argv[i]);
            return 2;
        }
    }
#ifdef _WIN32
    if (!api::g_family.empty() && api::isNT() != (api::g_family == "nt")) {
        std::fprintf(stderr, "test_api: this system is not of the %s family\n",
                     api::g_family.c_str());
        return 2;
    }
#endif
    int status = RUN_ALL_TESTS();
    if (api::underWine()) {
        std::printf("wine departures: %u\n", static_cast<unsigned>(api::g_departures.size()));
        for (const auto& d : api::g_departures) std::printf("  departs %s\n", d.c_str());
    }
    return status;
}
