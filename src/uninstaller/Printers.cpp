#include <cstdint>
#include <vector>

#include "log/BLogFile.h"
#include "uninstaller/Dot4Uninstaller.h"

namespace {

void logPrinterError(const char* message, DWORD code) {
    if (!g_log) return;
    const uint32_t code32 = static_cast<uint32_t>(code);
    g_log->writeEvent(LC_PRNTPATH, LT_ERROR, LL_RELEASE, LOG_SOURCE_FILE, __LINE__, message,
                      &code32, sizeof code32);
}

}  // namespace

bool Dot4Uninstaller::removeSavedPrinters() {
    bool result = true;
    if (savedPrinters.count() == 0) return result;
    for (uint32_t i = 0; i < savedPrinters.count(); ++i) {
        const std::string name = savedPrinters.at(i);
        if (deletePrinter(name)) {
            LOG_INFO(name + " DELETED from the printers folder");
        } else {
            result = false;
            LOG_INFO(name + " deletion from the printers folder FAILED");
        }
    }
    return result;
}

bool BMSPrinter::deletePrinter(std::string name) {
    LOG_INFO("deletePrinter: enter BMSPrinter::deletePrinter");

    PRINTER_DEFAULTSA defaults;
    defaults.pDatatype = nullptr;
    defaults.pDevMode = nullptr;
    defaults.DesiredAccess = PRINTER_ALL_ACCESS;

    // The spooler takes a mutable name.
    std::vector<char> printerName(name.begin(), name.end());
    printerName.push_back('\0');

    HANDLE printer = nullptr;
    if (!OpenPrinterA(printerName.data(), &printer, &defaults)) {
        const DWORD code = GetLastError();
        logPrinterError("deletePrinter: fail OpenPrinter, GetLastError = ", code);
        return false;
    }
    if (!DeletePrinter(printer)) {
        const DWORD code = GetLastError();
        logPrinterError("deletePrinter: fail DeletePrinter, GetLastError = ", code);
        ClosePrinter(printer);
        return false;
    }
    ClosePrinter(printer);
    return true;
}
