// Reads the prompt another process shows: promptprobe CAPTION. Prints the dialog's text and
// the captions of its visible buttons, one per line ("text=...", "button=..."), and exits with 1
// when no top-level window has that caption.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

BOOL CALLBACK printChild(HWND child, LPARAM) {
    // Wine's message box holds every button and hides those the style does not ask for.
    if (!IsWindowVisible(child)) return TRUE;
    char cls[64] = {}, text[512] = {};
    GetClassNameA(child, cls, sizeof cls);
    GetWindowTextA(child, text, sizeof text);
    if (lstrcmpiA(cls, "Button") == 0)
        std::printf("button=%s\n", text);
    else if (lstrcmpiA(cls, "Static") == 0 && text[0])
        std::printf("text=%s\n", text);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    HWND dialog = FindWindowA(nullptr, argv[1]);
    if (!dialog) return 1;
    char caption[256] = {};
    GetWindowTextA(dialog, caption, sizeof caption);
    std::printf("caption=%s\n", caption);
    EnumChildWindows(dialog, printChild, 0);
    std::fflush(stdout);
    return 0;
}
