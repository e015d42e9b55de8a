// Asks Wine's spooler about printers by name: spoolprobe open|delete NAME ... . Prints one
// line per printer with the result and the last error.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    bool del = std::strcmp(argv[1], "delete") == 0;
    for (int i = 2; i < argc; ++i) {
        PRINTER_DEFAULTSA defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        HANDLE h = nullptr;
        if (!OpenPrinterA(argv[i], &h, &defaults)) {
            std::printf("%s open=%lu\n", argv[i], GetLastError());
            continue;
        }
        if (del && !DeletePrinter(h))
            std::printf("%s delete=%lu\n", argv[i], GetLastError());
        else
            std::printf("%s ok\n", argv[i]);
        ClosePrinter(h);
    }
    return 0;
}
