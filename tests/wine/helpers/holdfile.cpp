// Keeps files open without sharing, as a running program keeps its modules, so that
// DeleteFileA on them fails with ERROR_SHARING_VIOLATION: holdfile PATH ... . Prints "held"
// once every file is open and then waits until it is killed.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        HANDLE h = CreateFileA(argv[i], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::printf("holdfile: cannot open %s: %lu\n", argv[i], GetLastError());
            ++failures;
        }
    }
    std::printf(failures ? "failed\n" : "held\n");
    std::fflush(stdout);
    if (failures) return failures;
    Sleep(INFINITE);
    return 0;
}
