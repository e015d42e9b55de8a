// Lists the classes of registry keys, which regedit cannot export: regclass KEY ... (each a
// key under HKEY_LOCAL_MACHINE, walked with its whole sub-tree). Prints "CLASS<tab>PATH" for
// every key that has a class; a missing key prints nothing.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void walk(HKEY parent, const std::string& path, const std::string& name) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return;
    char cls[512] = {};
    DWORD clsLength = sizeof cls;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyA(h, cls, &clsLength, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        clsLength > 0)
        std::printf("%s\t%s\n", cls, path.c_str());
    for (DWORD i = 0;; ++i) {
        char child[256];
        DWORD childLength = sizeof child;
        if (RegEnumKeyExA(h, i, child, &childLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        walk(h, path + "\\" + child, child);
    }
    RegCloseKey(h);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        walk(HKEY_LOCAL_MACHINE, std::string("HKEY_LOCAL_MACHINE\\") + argv[i], argv[i]);
    std::fflush(stdout);
    return 0;
}
