// Makes printers known to Wine's spooler, so that OpenPrinterA/DeletePrinter act on real
// spooler printers: addprinter NAME=PORT ... . With no argument it only loads the spooler,
// which lets Wine tidy the printers key once before anything is measured.
// Prints one line per printer and exits with the number of failures.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kDriver[] = "Wine PostScript Driver";

// Installs the PostScript driver Wine ships; the spooler refuses printers whose driver is unknown.
bool ensureDriver() {
    DRIVER_INFO_3A info = {};
    info.cVersion = 3;
    info.pName = const_cast<char*>(kDriver);
#ifdef _WIN64
    info.pEnvironment = const_cast<char*>("Windows x64");  // the spooler's own, as for AddPrinterA
#else
    info.pEnvironment = const_cast<char*>("Windows NT x86");
#endif
    info.pDriverPath = const_cast<char*>("wineps.drv");
    info.pDataFile = const_cast<char*>("wineps.drv");
    info.pConfigFile = const_cast<char*>("wineps.drv");
    if (AddPrinterDriverExA(nullptr, 3, reinterpret_cast<LPBYTE>(&info),
                            APD_COPY_NEW_FILES | APD_COPY_FROM_DIRECTORY))
        return true;
    DWORD first = GetLastError();
    if (AddPrinterDriverA(nullptr, 3, reinterpret_cast<LPBYTE>(&info))) return true;
    std::printf("AddPrinterDriver failed: %lu, %lu\n", first, GetLastError());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    DWORD needed = 0, count = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    if (argc < 2) return 0;
    if (!ensureDriver()) return argc - 1;
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        size_t eq = arg.find('=');
        std::string name = arg.substr(0, eq);
        std::string port = eq == std::string::npos ? "FILE:" : arg.substr(eq + 1);
        PRINTER_INFO_2A info = {};
        info.pPrinterName = &name[0];
        info.pPortName = &port[0];
        info.pDriverName = const_cast<char*>(kDriver);
        info.pPrintProcessor = const_cast<char*>("winprint");
        info.pDatatype = const_cast<char*>("RAW");
        HANDLE h = AddPrinterA(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
        if (h) {
            ClosePrinter(h);
            std::printf("added %s on %s\n", name.c_str(), port.c_str());
        } else {
            std::printf("AddPrinterA %s failed: %lu\n", name.c_str(), GetLastError());
            ++failures;
        }
    }
    return failures;
}
