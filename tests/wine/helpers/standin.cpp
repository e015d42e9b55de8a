// A stand-in for dot4uninstall.exe while the product does not build: it makes the same
// prompt, writes uninstall.txt when asked, deletes one key and schedules one file, so the
// Wine runner can be proven on its own.
#include <windows.h>

#include <cstdio>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* cmd = GetCommandLineA();
    bool log = std::strstr(cmd, "-l") || std::strstr(cmd, "-L");
    FILE* f = log ? std::fopen("uninstall.txt", "w") : nullptr;
    LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, "enum\\USB\\VID_5E7A&PID_0C21");
    char dir[MAX_PATH] = {};
    GetWindowsDirectoryA(dir, MAX_PATH);
    if (f) std::fprintf(f, "RegDeleteKeyA=%ld windir=%s\n", rc, dir);
    if (f) std::fclose(f);
    int answer =
        MessageBoxA(nullptr, "You must reboot for the uninstallation to complete.  Reboot Now?",
                    "REBOOT REQUIRED", MB_YESNO);
    if (answer == IDYES) ExitWindowsEx(EWX_REBOOT, 0);
    return 0;
}
