// The registry functions of the Win32 subset, over simwin's registry model. Like Windows, they
// return the error code and leave the thread's last error alone.
#include <cstdio>
#include <cstring>
#include <string>

#include "win32/gate.h"
#include "win32/handles.h"
#include "model/registry.h"

using simwin::Call;
using simwin::Fn;
using simwin::hkeyName;
using simwin::quote;
using simwin::Registry;

namespace {

Registry& reg() { return *simwin::machine().run.registry; }
simwin::HandleTable& handles() { return simwin::handleTable(simwin::machine()); }
const simwin::MachineConfig& config() { return simwin::machine().config; }

// A root, or a key handle still open; nullptr otherwise.
const simwin::KeyHandle* resolve(HKEY h, simwin::KeyHandle& root) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    uint32_t low = static_cast<uint32_t>(v);
    // The predefined keys are sign-extended LONGs on 64-bit hosts.
    uint64_t high = static_cast<uint64_t>(v) >> 32;
    bool predefined = high == 0 || high == 0xFFFFFFFFu;
    if (predefined && low >= 0x80000000u && low < 0x80000000u + simwin::kRootCount) {
        root = {reg().root(static_cast<int>(low - 0x80000000u)), KEY_ALL_ACCESS};
        return root.key ? &root : nullptr;
    }
    return handles().find<simwin::KeyHandle>(v);
}

// "HKEY_LOCAL_MACHINE\enum\DOT4": the handle's key, and the sub-key when there is one.
std::string subject(HKEY h, const simwin::KeyHandle* t, const char* sub) {
    std::string s = t ? reg().path(t->key) : hkeyName(h);
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

// A predefined key asked for with no sub-key is handed back as it is.
bool itself(const simwin::KeyHandle* t, const simwin::KeyHandle& root, const char* sub) {
    return t == &root && (!sub || !*sub);
}

HKEY newHandle(Registry::Key* k, REGSAM access) {
    return reinterpret_cast<HKEY>(handles().open(simwin::KeyHandle{k, access}));
}

}  // namespace

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    Call c(Fn::RegCreateKeyExA, [&] {
        return hkeyName(hKey) + ", " + quote(lpSubKey) + ", 0, " + quote(lpClass) + ", " +
               hex(dwOptions) + ", " + hex(samDesired);
    });
    simwin::KeyHandle root;
    const simwin::KeyHandle* t = resolve(hKey, root);
    if (phkResult) *phkResult = nullptr;
    if (DWORD code = c.refusal([&] { return subject(hKey, t, lpSubKey); })) return c.status(code);
    if (!phkResult) return c.status(ERROR_BADKEY);
    if (!t) return c.status(ERROR_INVALID_HANDLE);
    Registry::Key* k = nullptr;
    DWORD disposition = 0;
    if (LONG rc = reg().createKey(t->key, lpSubKey, dwOptions, samDesired, lpClass, config(), &k,
                                  &disposition))
        return c.status(rc);
    if (lpdwDisposition) *lpdwDisposition = disposition;
    *phkResult = itself(t, root, lpSubKey) ? hKey : newHandle(k, samDesired);
    return c.status(ERROR_SUCCESS, [&] { return hkeyName(*phkResult) + ", " + num(disposition); });
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    Call c(Fn::RegOpenKeyExA, [&] {
        return hkeyName(hKey) + ", " + quote(lpSubKey) + ", " + num(ulOptions) + ", " +
               hex(samDesired);
    });
    simwin::KeyHandle root;
    const simwin::KeyHandle* t = resolve(hKey, root);
    if (phkResult) *phkResult = nullptr;
    if (DWORD code = c.refusal([&] { return subject(hKey, t, lpSubKey); })) return c.status(code);
    if (!phkResult) return c.status(ERROR_INVALID_PARAMETER);
    if (!t) return c.status(hKey || config().isNT() ? ERROR_INVALID_HANDLE : ERROR_BADKEY);
    Registry::Key* k = nullptr;
    if (LONG rc = reg().openKey(t->key, lpSubKey, samDesired, config(), &k)) return c.status(rc);
    *phkResult = itself(t, root, lpSubKey) ? hKey : newHandle(k, samDesired);
    return c.status(ERROR_SUCCESS, [&] { return hkeyName(*phkResult); });
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    Call c(Fn::RegQueryValueExA, [&] {
        return hkeyName(hKey) + ", " + quote(lpValueName) + ", " +
               (lpcbData ? num(*lpcbData) : std::string("NULL"));
    });
    simwin::KeyHandle root;
    const simwin::KeyHandle* t = resolve(hKey, root);
    if (DWORD code = c.refusal([&] { return subject(hKey, t, nullptr); })) return c.status(code);
    if (!t) return c.status(ERROR_INVALID_HANDLE);
    if (LONG rc = Registry::usable(t->key, t->access, KEY_QUERY_VALUE)) return c.status(rc);
    if (lpReserved || (lpData && !lpcbData)) return c.status(ERROR_INVALID_PARAMETER);
    const char* name = lpValueName ? lpValueName : "";
    const Registry::Value* v = reg().findValue(t->key, name, std::strlen(name));
    if (!v) {
        // NT clears the size when only the size was asked for; 95/98 leave it. Both give a
        // type of REG_NONE (NT documents none in particular).
        if (lpType) *lpType = REG_NONE;
        if (lpcbData && !lpData && config().isNT()) *lpcbData = 0;
        return c.status(ERROR_FILE_NOT_FOUND);
    }
    if (lpType) *lpType = v->type;
    auto extra = [&] { return num(v->type) + ", " + num(v->dataLength); };
    if (lpData) {
        if (*lpcbData < v->dataLength) {
            *lpcbData = v->dataLength;
            return c.status(ERROR_MORE_DATA, extra);
        }
        if (v->dataLength) std::memcpy(lpData, v->data(), v->dataLength);
    }
    if (lpcbData) *lpcbData = v->dataLength;
    return c.status(ERROR_SUCCESS, extra);
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    Call c(Fn::RegEnumKeyA,
           [&] { return hkeyName(hKey) + ", " + num(dwIndex) + ", " + num(cchName); });
    simwin::KeyHandle root;
    const simwin::KeyHandle* t = resolve(hKey, root);
    if (DWORD code = c.refusal([&] { return subject(hKey, t, nullptr); })) return c.status(code);
    if (!t) return c.status(ERROR_INVALID_HANDLE);
    if (LONG rc = Registry::usable(t->key, t->access, KEY_ENUMERATE_SUB_KEYS)) return c.status(rc);
    if (dwIndex >= t->key->childCount) return c.status(ERROR_NO_MORE_ITEMS);
    const Registry::Key* k = t->key->children()[dwIndex];
    if (!lpName || static_cast<size_t>(k->nameLength) + 1 > cchName)
        return c.status(ERROR_MORE_DATA);
    std::memcpy(lpName, k->name, k->nameLength + 1);
    return c.status(ERROR_SUCCESS, [&] { return quote(k->name); });
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    Call c(Fn::RegDeleteKeyA, [&] { return hkeyName(hKey) + ", " + quote(lpSubKey); });
    simwin::KeyHandle root;
    const simwin::KeyHandle* t = resolve(hKey, root);
    if (DWORD code = c.refusal([&] { return subject(hKey, t, lpSubKey); })) return c.status(code);
    if (!t) return c.status(ERROR_INVALID_HANDLE);
    // NT 4 and 2000 take a NULL sub-key for the key itself; 95 refuses it as a bad key.
    const auto& v = config().system;
    if (!lpSubKey && config().isNT() && (v.major == 4 || (v.major == 5 && v.minor == 0)))
        lpSubKey = "";
    if (!lpSubKey) return c.status(config().isNT() ? ERROR_INVALID_PARAMETER : ERROR_BADKEY);
    return c.status(reg().deleteKey(t->key, t->access, lpSubKey, config()));
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    Call c(Fn::RegCloseKey, [&] { return hkeyName(hKey); });
    simwin::KeyHandle root;
    const simwin::KeyHandle* t = resolve(hKey, root);
    if (DWORD code = c.refusal([&] { return subject(hKey, t, nullptr); })) return c.status(code);
    if (!t) return c.status(hKey || config().isNT() ? ERROR_INVALID_HANDLE : ERROR_BADKEY);
    handles().close<simwin::KeyHandle>(hKey);  // a root stays open
    return c.status(ERROR_SUCCESS);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
    Call c(Fn::RegSetValueExA, [&] {
        return hkeyName(hKey) + ", " + quote(lpValueName) + ", 0, " + num(dwType) + ", " +
               num(cbData);
    });
    simwin::KeyHandle root;
    const simwin::KeyHandle* t = resolve(hKey, root);
    if (DWORD code = c.refusal([&] { return subject(hKey, t, nullptr); })) return c.status(code);
    if (!t) return c.status(ERROR_INVALID_HANDLE);
    if (LONG rc = Registry::usable(t->key, t->access, KEY_SET_VALUE)) return c.status(rc);
    if (!lpData && cbData) return c.status(ERROR_NOACCESS);  // a buffer the kernel cannot read
    const char* name = lpValueName ? lpValueName : "";
    reg().setValue(t->key, name, std::strlen(name), dwType, lpData, cbData);
    return c.status(ERROR_SUCCESS);
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Call c(Fn::RegDeleteValueA, [&] { return hkeyName(hKey) + ", " + quote(lpValueName); });
    simwin::KeyHandle root;
    const simwin::KeyHandle* t = resolve(hKey, root);
    if (DWORD code = c.refusal([&] { return subject(hKey, t, nullptr); })) return c.status(code);
    if (!t) return c.status(ERROR_INVALID_HANDLE);
    if (LONG rc = Registry::usable(t->key, t->access, KEY_SET_VALUE)) return c.status(rc);
    const char* name = lpValueName ? lpValueName : "";
    if (!reg().removeValue(t->key, name, std::strlen(name))) return c.status(ERROR_FILE_NOT_FOUND);
    return c.status(ERROR_SUCCESS);
}
