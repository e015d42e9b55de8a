#include "model/machine.h"

#include <cstdio>

#include "model/codepage.h"
#include "model/drives.h"
#include "model/registry.h"
#include "model/spooler.h"

namespace simwin {

namespace {
Machine* g_active = nullptr;
}

ImageError::ImageError(const std::string& file, int line, const std::string& message)
    : std::runtime_error(line > 0 ? file + ":" + std::to_string(line) + ": " + message
                                  : file + ": " + message),
      file_(file),
      line_(line),
      message_(message) {}

MachineState::MachineState() : registry(std::make_unique<Registry>()) {}
MachineState::~MachineState() = default;

Machine::Machine() = default;

Machine::~Machine() {
    if (g_active == this) g_active = nullptr;
}

unsigned MachineConfig::registryRule(const std::string& keyPath) const {
    auto it = registryRules.find(CodePage::get(system.codePage, isNT())->fold(keyPath));
    return it == registryRules.end() ? 0 : it->second;
}

unsigned MachineConfig::fileRule(const std::string& windowsPath) const {
    auto it = fileRules.find(upper(windowsPath));
    return it == fileRules.end() ? 0 : it->second;
}

Machine& machine() {
    if (!g_active) throw std::logic_error("simwin: no machine is active");
    return *g_active;
}

bool hasMachine() { return g_active != nullptr; }

void activate(Machine* m) {
    g_active = m;
    // Registry names order by the machine's own case rules; without a machine, by the default's.
    setActiveCodePage(m ? CodePage::get(m->config.system.codePage, m->config.isNT())
                        : CodePage::get(1252, true));
}

std::string quote(const char* s) {
    if (!s) return "NULL";
    std::string out = "\"";
    for (const char* p = s; *p; ++p) {
        if (*p == '\\' || *p == '"') out += '\\';
        out += *p;
    }
    return out + "\"";
}

std::string hkeyName(HKEY h) {
    static const char* const names[] = {
        "HKEY_CLASSES_ROOT",     "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE", "HKEY_USERS",
        "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    uint32_t low = static_cast<uint32_t>(v);
    if (low >= 0x80000000u && low <= 0x80000006u) return names[low - 0x80000000u];
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(v));
    return buf;
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

std::string upper(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

std::optional<DWORD> parseResult(const std::string& text) {
    if (iequals(text, "ok")) return 0;
    if (text.empty()) return std::nullopt;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    unsigned long long v = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        v = v * base + d;
        if (v > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<DWORD>(v);
}

}  // namespace simwin
