// The seam's list against the functions themselves: each is a [faults] name, each passes the
// gate once per call, and a fault reaches exactly those that can fail.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TestImage.h"
#include "win32/gate.h"

using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

// Calls every listed function once, on a machine where each can succeed.
void callAll() {
    HKEY key = nullptr, software = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Seam", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS, &software);
    BYTE data = 1;
    DWORD size = sizeof data;
    RegSetValueExA(key, "v", 0, REG_BINARY, &data, 1);
    RegQueryValueExA(key, "v", nullptr, nullptr, &data, &size);
    RegDeleteValueA(key, "v");
    char name[MAX_PATH];
    RegEnumKeyA(software, 0, name, sizeof name);
    RegDeleteKeyA(software, "Seam");
    RegCloseKey(software);

    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    WIN32_FIND_DATAA found;
    FindClose(FindFirstFileA("C:\\*", &found));
    char shortPath[MAX_PATH];
    GetShortPathNameA("C:\\", shortPath, MAX_PATH);
    DeleteFileA("C:\\a.txt");
    MoveFileA("C:\\b.txt", "C:\\c.txt");
    MoveFileExA("C:\\c.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    CreateDirectoryA("C:\\dir", nullptr);
    if (FILE* f = platformOpenFile("C:\\d.txt", "w")) std::fclose(f);
    GetWindowsDirectoryA(name, sizeof name);
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);

    HANDLE thread = nullptr, token = nullptr;
    OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread);
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token);
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid);
    AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
    CloseHandle(token);
    ExitWindowsEx(EWX_REBOOT, 0);

    HANDLE printer = nullptr;
    PRINTER_DEFAULTSA all{nullptr, nullptr, PRINTER_ALL_ACCESS};
    OpenPrinterA(const_cast<char*>("Lab"), &printer, &all);
    DeletePrinter(printer);
    ClosePrinter(printer);

    GetCommandLineA();
    MessageBoxA(nullptr, "text", "caption", MB_YESNO);
}

struct Seen {
    std::string line;  // the function's trace line
    unsigned calls = 0;
};

// callAll() on a fresh machine; the trace line and call count of `function`.
Seen runWith(const std::string& machineIni, const std::string& function) {
    TestImage image;
    image.machineIni("[privileges]\nthread_token = present\n[spooler]\nLab = ok\n" + machineIni)
        .file("C:\\a.txt", "a")
        .file("C:\\b.txt", "b");
    SimMachine sm(image);
    callAll();
    Seen r;
    r.calls = sm.m().run.callCounts[function];
    for (const std::string& line : sm.m().report.traceLines)
        if (line.rfind(function + "(", 0) == 0) r.line = line;
    return r;
}

TEST(Seam, EveryListedFunctionTakesAFaultThatReachesItsGate) {
    for (const simwin::SeamFunction& f : simwin::seamFunctions()) {
        Seen plain = runWith("", f.name);
        Seen faulted = runWith(std::string("[faults]\n") + f.name + " = 1234\n", f.name);
        EXPECT_EQ(plain.calls, 1u) << f.name;
        EXPECT_EQ(faulted.calls, 1u) << f.name;
        EXPECT_FALSE(plain.line.empty()) << f.name;
        EXPECT_EQ(plain.line.find("1234"), std::string::npos) << f.name;
        // A function that cannot fail counts the fault and ignores it.
        if (f.failures.empty())
            EXPECT_EQ(faulted.line, plain.line) << f.name;
        else
            EXPECT_NE(faulted.line, plain.line) << f.name;
    }
}

TEST(Seam, NtFunctionsAreNotImplementedOnWindows98) {
    for (const simwin::SeamFunction& f : simwin::seamFunctions()) {
        Seen r = runWith("[system]\nplatform = 1\n", f.name);
        bool refused = r.line.find("= FALSE [120]") != std::string::npos;
        EXPECT_EQ(refused, f.ntOnly) << r.line;
    }
}

}  // namespace
