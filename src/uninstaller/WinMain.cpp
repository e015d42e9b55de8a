#include <memory>
#include <string>

#include "log/BLogFile.h"
#include "platform/win32.h"
#include "uninstaller/Dot4Uninstaller.h"
#include "uninstaller/Strings.h"
#include "utilities/Platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* systemCommandLine = GetCommandLineA();
    const std::string commandLine = systemCommandLine ? systemCommandLine : "";
    BSystem system;

    std::unique_ptr<BLogFile> log;
    if (dot4::containsNoCase(commandLine, dot4::kLogSwitch)) {
        log = std::make_unique<BLogFile>(dot4::kLogFileName, 16384, true);
        log->levelThreshold = 0;
        g_log = log.get();
    }
    LOG_INFO("Ossel WinMain Startup");

    {
        Dot4Uninstaller uninstaller;
        bool rebootNeeded = false;
        uninstaller.removeRegistryEntries();
        uninstaller.removeSavedPrinters();
        uninstaller.removeInstalledFilesOnReboot(rebootNeeded);

        const int answer = MessageBoxA(nullptr, dot4::kPromptText, dot4::kPromptCaption, MB_YESNO);

        // The log is closed before a restart is asked for, so its records reach the disk.
        if (log) {
            g_log = nullptr;
            log.reset();
        }
        if (answer == IDYES) system.rebootSystem();
    }
    return 0;
}
