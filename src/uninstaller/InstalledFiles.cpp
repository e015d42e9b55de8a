#include <initializer_list>

#include "log/BLogFile.h"
#include "platform/win32.h"
#include "uninstaller/Dot4Uninstaller.h"
#include "uninstaller/Strings.h"
#include "utilities/Platform.h"

namespace {

const char* const kRebootNotNeeded = " - Reboot Not Needed";
const char* const kRebootNeeded = " - Reboot Needed";
const char* const kDeleted = "Deleted ";

std::string join(const std::string& base, std::initializer_list<const std::string*> parts) {
    std::string path = base;
    for (const std::string* part : parts) path += dot4::kSeparator + *part;
    return path;
}

}  // namespace

bool Dot4Uninstaller::removeInstalledFilesOnReboot(bool& rebootNeeded) {
    using namespace dot4;
    rebootNeeded = false;
    LOG_INFO("Begin removeInstalledFilesOnReboot()");

    std::string windows;
    BFileSystem files;
    files.getWindowsDirectory(windows);

    removeInstalledFile(join(windows, {&kInfDir, &kMirelcInf}), rebootNeeded);
    removeInstalledFile(join(windows, {&kInfDir, &kMirelPrtInf}), rebootNeeded);
    removeInstalledFile(join(windows, {&kInfDir, &kOtherDir, &kUsbInf}), rebootNeeded);
    removeInstalledFile(join(windows, {&kInfDir, &kMirelcPnf}), rebootNeeded);
    removeInstalledFile(join(windows, {&kInfDir, &kMirelPrtPnf}), rebootNeeded);
    if (stackRemoved) {
        removeInstalledFile(join(windows, {&kSystemDir, &kDot4MonDll}), rebootNeeded);
        removeInstalledFile(join(windows, {&kSystemDir, &kDot4RtlDll}), rebootNeeded);
        removeInstalledFile(join(windows, {&kSystem32Dir, &kDriversDir, &kDot4Sys}), rebootNeeded);
        removeInstalledFile(join(windows, {&kSystem32Dir, &kDriversDir, &kDot4PrtSys}),
                            rebootNeeded);
        removeInstalledFile(join(windows, {&kSystem32Dir, &kDriversDir, &kDot4UsbSys}),
                            rebootNeeded);
    }

    LOG_INFO("Finished removeInstalledFilesOnReboot()");
    return true;
}

bool Dot4Uninstaller::removeInstalledFile(std::string path, bool& rebootNeeded) {
    BFileSystem files;
    const char* outcome = kRebootNotNeeded;
    if (files.fileExists(path) && !DeleteFileA(path.c_str())) {
        BSystem system;
        if (!system.deleteFileOnReboot(path)) {
            LOG_INFO(kDeleted + path);
            return false;
        }
        rebootNeeded = true;
        outcome = kRebootNeeded;
    }
    LOG_INFO(kDeleted + path + outcome);
    return true;
}
