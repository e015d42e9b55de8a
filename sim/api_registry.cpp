// The registry functions of the Win32 subset, over simwin's registry model. Like Windows, they
// return the error code and leave the thread's last error alone.
#include <cstdio>
#include <cstring>
#include <string>

#include "registry.h"
#include "registry_model.h"

using simwin::Registry;

namespace {

constexpr LONG kErrorBadPathname = 161;
constexpr LONG kErrorNoAccess = 998;  // a buffer the kernel cannot read

struct Target {
    Registry::Key* key = nullptr;
    REGSAM access = 0;
    bool known = false;  // a root or an open handle
};

Registry& reg() { return *simwin::machine().run.registry; }

Target resolve(HKEY h) {
    Target t;
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    uint32_t low = static_cast<uint32_t>(v);
    // The predefined keys are sign-extended LONGs on 64-bit hosts.
    uint64_t high = static_cast<uint64_t>(v) >> 32;
    bool predefined = high == 0 || high == 0xFFFFFFFFu;
    if (predefined && low >= 0x80000000u && low < 0x80000000u + simwin::kRootCount) {
        t.key = reg().root(static_cast<int>(low - 0x80000000u));
        t.access = KEY_ALL_ACCESS;
        t.known = t.key != nullptr;
        return t;
    }
    auto& handles = reg().handles;
    auto it = handles.find(v);
    if (it != handles.end()) {
        t.key = it->second.key;
        t.access = it->second.access;
        t.known = true;
    }
    return t;
}

// "HKEY_LOCAL_MACHINE\enum\DOT4": the handle's key, and the sub-key when there is one.
std::string subject(HKEY h, const Target& t, const char* sub) {
    std::string s = t.key ? reg().path(t.key) : simwin::hkeyName(h);
    if (sub && *sub) {
        size_t n = std::strlen(sub);
        while (n && sub[n - 1] == '\\') --n;
        if (n) {
            s += '\\';
            s.append(sub, n);
        }
    }
    return s;
}

std::string hex(DWORD v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%x", static_cast<unsigned>(v));
    return b;
}

std::string num(uint64_t v) { return std::to_string(v); }

unsigned ruleOf(const Registry::Key* k) {
    simwin::Machine& m = simwin::machine();
    if (m.config.registryRules.empty()) return 0;
    return m.config.registryRule(reg().path(k));
}

unsigned ruleOfPath(const std::string& p) {
    simwin::Machine& m = simwin::machine();
    if (m.config.registryRules.empty()) return 0;
    return m.config.registryRule(p);
}

// Rules that stop a key from being opened with `access`.
LONG openDenied(unsigned rule, REGSAM access) {
    if (rule & simwin::kRuleNoAccess) return ERROR_ACCESS_DENIED;
    if ((rule & simwin::kRuleReadOnly) && (access & ~static_cast<REGSAM>(KEY_READ)))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

HKEY newHandle(Registry::Key* k, REGSAM access) {
    simwin::Machine& m = simwin::machine();
    uintptr_t h = m.run.nextHandle;
    m.run.nextHandle += 4;
    reg().handles[h] = {k, access};
    return reinterpret_cast<HKEY>(h);
}

// NT refuses a sub-key that starts at the root of the namespace; 95/98 skip the backslash.
bool badPath(const char* sub) { return sub && sub[0] == '\\' && simwin::machine().config.isNT(); }

void traceCall(const std::string& call, LONG rc, const std::string& extra = {}) {
    if (!simwin::tracing()) return;
    std::string line = call + " = " + std::to_string(rc);
    if (!extra.empty()) line += " [" + extra + "]";
    simwin::trace(line);
}

}  // namespace

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpSecurityAttributes;
    Target t = resolve(hKey);
    std::string call;
    if (simwin::tracing())
        call = "RegCreateKeyExA(" + simwin::hkeyName(hKey) + ", " + simwin::quote(lpSubKey) +
               ", 0, " + simwin::quote(lpClass) + ", " + hex(dwOptions) + ", " + hex(samDesired) +
               ")";
    auto done = [&](LONG rc, const std::string& extra = {}) {
        traceCall(call, rc, extra);
        return rc;
    };
    if (phkResult) *phkResult = nullptr;
    if (auto f = simwin::injectedFault("RegCreateKeyExA", subject(hKey, t, lpSubKey)))
        return done(static_cast<LONG>(*f));
    if (!phkResult) return done(ERROR_INVALID_PARAMETER);
    if (!t.known) return done(ERROR_INVALID_HANDLE);
    if (t.key->deleted) return done(ERROR_KEY_DELETED);
    if (badPath(lpSubKey)) return done(kErrorBadPathname);

    Registry& r = reg();
    const char* sub = lpSubKey ? lpSubKey : "";
    size_t length = std::strlen(sub);
    size_t consumed = 0;
    Registry::Key* k = r.walk(t.key, sub, length, &consumed);
    bool isVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;

    // Check everything before creating anything, so a refusal leaves no half-made path.
    bool creates = false;
    std::string p;
    bool rules = !simwin::machine().config.registryRules.empty();
    if (rules) p = r.path(k);
    unsigned rule = rules ? simwin::machine().config.registryRule(p) : 0;
    for (size_t pos = consumed; pos < length;) {
        if (sub[pos] == '\\') {
            ++pos;
            continue;
        }
        size_t end = pos;
        while (end < length && sub[end] != '\\') ++end;
        if (!creates && k->isVolatile && !isVolatile) return done(ERROR_CHILD_MUST_BE_VOLATILE);
        // Creating a key needs the right to change its parent.
        if (rule & (simwin::kRuleReadOnly | simwin::kRuleNoAccess))
            return done(ERROR_ACCESS_DENIED);
        if (rules) {
            p += '\\';
            p.append(sub + pos, end - pos);
            rule = simwin::machine().config.registryRule(p);
            if (rule & simwin::kRuleNoCreate) return done(ERROR_ACCESS_DENIED);
        }
        creates = true;
        pos = end;
    }
    if (LONG rc = openDenied(rule, samDesired)) return done(rc);

    for (size_t pos = consumed; pos < length;) {
        if (sub[pos] == '\\') {
            ++pos;
            continue;
        }
        size_t end = pos;
        while (end < length && sub[end] != '\\') ++end;
        k = r.createChild(k, sub + pos, end - pos);
        k->isVolatile = isVolatile;
        pos = end;
    }
    if (creates && lpClass && *lpClass) r.setClass(k, lpClass, std::strlen(lpClass));
    DWORD disposition = creates ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    if (lpdwDisposition) *lpdwDisposition = disposition;
    *phkResult = newHandle(k, samDesired);
    return done(ERROR_SUCCESS, simwin::hkeyName(*phkResult) + ", " + num(disposition));
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    Target t = resolve(hKey);
    std::string call;
    if (simwin::tracing())
        call = "RegOpenKeyExA(" + simwin::hkeyName(hKey) + ", " + simwin::quote(lpSubKey) + ", " +
               num(ulOptions) + ", " + hex(samDesired) + ")";
    auto done = [&](LONG rc, const std::string& extra = {}) {
        traceCall(call, rc, extra);
        return rc;
    };
    if (phkResult) *phkResult = nullptr;
    if (auto f = simwin::injectedFault("RegOpenKeyExA", subject(hKey, t, lpSubKey)))
        return done(static_cast<LONG>(*f));
    if (!phkResult) return done(ERROR_INVALID_PARAMETER);
    if (!t.known) return done(ERROR_INVALID_HANDLE);
    if (t.key->deleted) return done(ERROR_KEY_DELETED);
    if (badPath(lpSubKey)) return done(kErrorBadPathname);
    const char* sub = lpSubKey ? lpSubKey : "";
    size_t length = std::strlen(sub);
    size_t consumed = 0;
    Registry::Key* k = reg().walk(t.key, sub, length, &consumed);
    if (consumed != length) return done(ERROR_FILE_NOT_FOUND);
    if (LONG rc = openDenied(ruleOf(k), samDesired)) return done(rc);
    *phkResult = newHandle(k, samDesired);
    return done(ERROR_SUCCESS, simwin::hkeyName(*phkResult));
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    Target t = resolve(hKey);
    std::string call;
    if (simwin::tracing())
        call = "RegQueryValueExA(" + simwin::hkeyName(hKey) + ", " + simwin::quote(lpValueName) +
               ", " + (lpcbData ? num(*lpcbData) : std::string("NULL")) + ")";
    auto done = [&](LONG rc, const std::string& extra = {}) {
        traceCall(call, rc, extra);
        return rc;
    };
    if (auto f = simwin::injectedFault("RegQueryValueExA", subject(hKey, t, nullptr)))
        return done(static_cast<LONG>(*f));
    if (!t.known) return done(ERROR_INVALID_HANDLE);
    if (t.key->deleted) return done(ERROR_KEY_DELETED);
    if (!(t.access & KEY_QUERY_VALUE)) return done(ERROR_ACCESS_DENIED);
    if (lpReserved || (lpData && !lpcbData)) return done(ERROR_INVALID_PARAMETER);
    const char* name = lpValueName ? lpValueName : "";
    const Registry::Value* v = reg().findValue(t.key, name, std::strlen(name));
    if (!v) return done(ERROR_FILE_NOT_FOUND);
    if (lpType) *lpType = v->type;
    std::string extra = num(v->type) + ", " + num(v->dataLength);
    if (lpData) {
        if (*lpcbData < v->dataLength) {
            *lpcbData = v->dataLength;
            return done(ERROR_MORE_DATA, extra);
        }
        if (v->dataLength) std::memcpy(lpData, v->data(), v->dataLength);
    }
    if (lpcbData) *lpcbData = v->dataLength;
    return done(ERROR_SUCCESS, extra);
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    Target t = resolve(hKey);
    std::string call;
    if (simwin::tracing())
        call = "RegEnumKeyA(" + simwin::hkeyName(hKey) + ", " + num(dwIndex) + ", " + num(cchName) +
               ")";
    auto done = [&](LONG rc, const std::string& extra = {}) {
        traceCall(call, rc, extra);
        return rc;
    };
    if (auto f = simwin::injectedFault("RegEnumKeyA", subject(hKey, t, nullptr)))
        return done(static_cast<LONG>(*f));
    if (!t.known) return done(ERROR_INVALID_HANDLE);
    if (t.key->deleted) return done(ERROR_KEY_DELETED);
    if (!(t.access & KEY_ENUMERATE_SUB_KEYS)) return done(ERROR_ACCESS_DENIED);
    if (dwIndex >= t.key->childCount) return done(ERROR_NO_MORE_ITEMS);
    const Registry::Key* c = t.key->children()[dwIndex];
    if (!lpName || static_cast<size_t>(c->nameLength) + 1 > cchName) return done(ERROR_MORE_DATA);
    std::memcpy(lpName, c->name, c->nameLength + 1);
    return done(ERROR_SUCCESS, simwin::tracing() ? simwin::quote(c->name) : std::string());
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    Target t = resolve(hKey);
    std::string call;
    if (simwin::tracing())
        call = "RegDeleteKeyA(" + simwin::hkeyName(hKey) + ", " + simwin::quote(lpSubKey) + ")";
    auto done = [&](LONG rc) {
        traceCall(call, rc);
        return rc;
    };
    if (auto f = simwin::injectedFault("RegDeleteKeyA", subject(hKey, t, lpSubKey)))
        return done(static_cast<LONG>(*f));
    if (!t.known) return done(ERROR_INVALID_HANDLE);
    if (!lpSubKey) return done(ERROR_INVALID_PARAMETER);
    if (t.key->deleted) return done(ERROR_KEY_DELETED);
    if (badPath(lpSubKey)) return done(kErrorBadPathname);
    Registry& r = reg();
    size_t length = std::strlen(lpSubKey);
    size_t consumed = 0;
    Registry::Key* k = r.walk(t.key, lpSubKey, length, &consumed);
    if (consumed != length) return done(ERROR_FILE_NOT_FOUND);
    // The roots themselves cannot go; deleting through the key's own handle needs DELETE.
    if (!k->parent) return done(ERROR_ACCESS_DENIED);
    if (k == t.key && !(t.access & DELETE)) return done(ERROR_ACCESS_DENIED);
    constexpr unsigned kStops =
        simwin::kRuleNoAccess | simwin::kRuleReadOnly | simwin::kRuleNoDelete;
    if (ruleOf(k) & kStops) return done(ERROR_ACCESS_DENIED);
    if (simwin::machine().config.isNT()) {
        if (k->childCount) return done(ERROR_ACCESS_DENIED);
    } else if (!simwin::machine().config.registryRules.empty()) {
        // 95/98 take the whole sub-tree, or nothing of it.
        std::string base = r.path(k);
        std::vector<std::pair<const Registry::Key*, std::string>> stack{{k, base}};
        while (!stack.empty()) {
            auto [key, p] = stack.back();
            stack.pop_back();
            if (ruleOfPath(p) & kStops) return done(ERROR_ACCESS_DENIED);
            for (uint32_t i = 0; i < key->childCount; ++i)
                stack.emplace_back(
                    key->children()[i],
                    p + "\\" +
                        std::string(key->children()[i]->name, key->children()[i]->nameLength));
        }
    }
    r.remove(k);
    return done(ERROR_SUCCESS);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    Target t = resolve(hKey);
    std::string call;
    if (simwin::tracing()) call = "RegCloseKey(" + simwin::hkeyName(hKey) + ")";
    auto done = [&](LONG rc) {
        traceCall(call, rc);
        return rc;
    };
    if (auto f = simwin::injectedFault("RegCloseKey", subject(hKey, t, nullptr)))
        return done(static_cast<LONG>(*f));
    if (!t.known) return done(ERROR_INVALID_HANDLE);
    reg().handles.erase(reinterpret_cast<uintptr_t>(hKey));  // a root stays open
    return done(ERROR_SUCCESS);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    Target t = resolve(hKey);
    std::string call;
    if (simwin::tracing())
        call = "RegSetValueExA(" + simwin::hkeyName(hKey) + ", " + simwin::quote(lpValueName) +
               ", 0, " + num(dwType) + ", " + num(cbData) + ")";
    auto done = [&](LONG rc) {
        traceCall(call, rc);
        return rc;
    };
    if (auto f = simwin::injectedFault("RegSetValueExA", subject(hKey, t, nullptr)))
        return done(static_cast<LONG>(*f));
    if (!t.known) return done(ERROR_INVALID_HANDLE);
    if (t.key->deleted) return done(ERROR_KEY_DELETED);
    if (!(t.access & KEY_SET_VALUE)) return done(ERROR_ACCESS_DENIED);
    if (!lpData && cbData) return done(kErrorNoAccess);
    const char* name = lpValueName ? lpValueName : "";
    reg().setValue(t.key, name, std::strlen(name), dwType, lpData, cbData);
    return done(ERROR_SUCCESS);
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Target t = resolve(hKey);
    std::string call;
    if (simwin::tracing())
        call =
            "RegDeleteValueA(" + simwin::hkeyName(hKey) + ", " + simwin::quote(lpValueName) + ")";
    auto done = [&](LONG rc) {
        traceCall(call, rc);
        return rc;
    };
    if (auto f = simwin::injectedFault("RegDeleteValueA", subject(hKey, t, nullptr)))
        return done(static_cast<LONG>(*f));
    if (!t.known) return done(ERROR_INVALID_HANDLE);
    if (t.key->deleted) return done(ERROR_KEY_DELETED);
    if (!(t.access & KEY_SET_VALUE)) return done(ERROR_ACCESS_DENIED);
    const char* name = lpValueName ? lpValueName : "";
    if (!reg().removeValue(t.key, name, std::strlen(name))) return done(ERROR_FILE_NOT_FOUND);
    return done(ERROR_SUCCESS);
}
