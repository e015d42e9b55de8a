// Reads the prompt another process shows: promptprobe CAPTION. Prints the dialog's text and
// the captions of its visible buttons, one per line ("text=...", "button=..."), and exits with 1
// when no top-level window has that caption. It waits up to 10 s for the dialog to be complete.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

struct Seen {
    char text[2048];
    char buttons[512];
    size_t textLen, buttonsLen;
};

void append(char* buf, size_t& len, size_t cap, const char* key, const char* value) {
    int n = std::snprintf(buf + len, cap - len, "%s=%s\n", key, value);
    if (n > 0 && static_cast<size_t>(n) < cap - len) len += static_cast<size_t>(n);
}

BOOL CALLBACK readChild(HWND child, LPARAM param) {
    // Wine's message box holds every button and hides those the style does not ask for.
    if (!IsWindowVisible(child)) return TRUE;
    Seen& seen = *reinterpret_cast<Seen*>(param);
    char cls[64] = {}, text[512] = {};
    GetClassNameA(child, cls, sizeof cls);
    GetWindowTextA(child, text, sizeof text);
    if (lstrcmpiA(cls, "Button") == 0)
        append(seen.buttons, seen.buttonsLen, sizeof seen.buttons, "button", text);
    else if (lstrcmpiA(cls, "Static") == 0 && text[0])
        append(seen.text, seen.textLen, sizeof seen.text, "text", text);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    // The window gets its caption before its children get their text: a dialog found too early
    // reads as empty, so wait until it shows both its text and its buttons.
    HWND dialog = nullptr;
    Seen seen = {};
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (attempt) Sleep(100);
        dialog = FindWindowA(nullptr, argv[1]);
        if (!dialog || !IsWindowVisible(dialog)) continue;
        seen = Seen{};
        EnumChildWindows(dialog, readChild, reinterpret_cast<LPARAM>(&seen));
        if (seen.textLen && seen.buttonsLen) break;
    }
    if (!dialog) return 1;
    char caption[256] = {};
    GetWindowTextA(dialog, caption, sizeof caption);
    std::printf("caption=%s\n%s%s", caption, seen.text, seen.buttons);
    std::fflush(stdout);
    return 0;
}
