#include "utilities/BRegistry.h"

#include <cctype>
#include <cstring>
#include <typeinfo>

#include "log/BLogFile.h"

const char* const BRegistry::kDefaultKeyPath = "HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis";
const char* const BRegistry::kKeyClass = "Varnholt";

namespace {

const size_t kNameBufferSize = 256;
const DWORD kStringBufferSize = 256;

struct RootName {
    const char* name;
    HKEY key;
};

// In search order: a later name found in a path wins over an earlier one.
const RootName* rootTable(size_t& count) {
    static const RootName table[] = {
        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKEY_DYN_DATA", HKEY_DYN_DATA},
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
        {"HKEY_USERS", HKEY_USERS},
    };
    count = sizeof(table) / sizeof(table[0]);
    return table;
}

bool containsIgnoringCase(const std::string& text, const char* pattern) {
    const size_t n = std::strlen(pattern);
    if (n > text.size()) return false;
    for (size_t i = 0; i + n <= text.size(); ++i) {
        size_t j = 0;
        while (j < n && std::toupper(static_cast<unsigned char>(text[i + j])) ==
                            std::toupper(static_cast<unsigned char>(pattern[j])))
            ++j;
        if (j == n) return true;
    }
    return false;
}

// The text of a platform buffer: up to its first NUL, never past `size` bytes.
std::string bufferText(const char* buffer, size_t size) {
    size_t n = 0;
    while (n < size && buffer[n] != '\0') ++n;
    return std::string(buffer, n);
}

}  // namespace

BRegistry::BRegistry()
    : opened_(false),
      workingPath_(kDefaultKeyPath),
      workingKey_(nullptr),
      workingRoot_(HKEY_LOCAL_MACHINE) {
    InitializeCriticalSection(&lock_);
    opened_ = ensureWorkingKey(workingPath_);
}

BRegistry::~BRegistry() {
    closeWorkingKey();
    DeleteCriticalSection(&lock_);
}

const std::string& BRegistry::className() {
    classNameCache_ = typeid(BRegistry*).name();
    return classNameCache_;
}

bool BRegistry::hasRootName(const std::string& path) const {
    size_t count = 0;
    const RootName* table = rootTable(count);
    for (size_t i = 0; i < count; ++i) {
        if (containsIgnoringCase(path, table[i].name)) return true;
    }
    return false;
}

bool BRegistry::getRootKey(const std::string& path, HKEY& root) const {
    root = HKEY_LOCAL_MACHINE;
    if (!hasRootName(path)) return false;
    bool found = false;
    size_t count = 0;
    const RootName* table = rootTable(count);
    for (size_t i = 0; i < count; ++i) {
        if (containsIgnoringCase(path, table[i].name)) {
            root = table[i].key;
            found = true;
        }
    }
    return found;
}

bool BRegistry::getSubKey(const std::string& path, std::string& subKey) const {
    subKey.clear();
    if (!hasRootName(path)) return false;
    const size_t slash = path.find('\\');
    if (slash == std::string::npos) return false;
    subKey = path.substr(slash + 1);
    return true;
}

bool BRegistry::setWorkingKey(std::string keyPath) {
    if (!hasRootName(keyPath)) return false;
    workingPath_ = keyPath;
    HKEY root = HKEY_LOCAL_MACHINE;
    getRootKey(keyPath, root);
    std::string subKey;
    if (!getSubKey(keyPath, subKey)) return false;

    // RegCreateKeyExA takes the class as a writable string on Windows.
    char keyClass[16];
    std::strncpy(keyClass, kKeyClass, sizeof(keyClass) - 1);
    keyClass[sizeof(keyClass) - 1] = '\0';
    HKEY opened = nullptr;
    DWORD disposition = 0;
    const LONG rc = RegCreateKeyExA(root, subKey.c_str(), 0, keyClass, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, &opened, &disposition);
    if (rc == ERROR_SUCCESS) {
        // Nothing uses the replaced handle again; holding it would leak one per phase.
        if (workingKey_ != nullptr) RegCloseKey(workingKey_);
        workingKey_ = opened;
        workingRoot_ = root;
        return true;
    }

    BLogFile* log = getLog();
    if (log != nullptr && log->levelThreshold == 0) {
        log->writeEvent(
            LC_GENERAL, LT_INFO, LL_OMEGA, LOG_SOURCE_FILE, __LINE__,
            std::string("BRegistry::setWorkingKey : RegCreateKeyEx FAILED on ") + kKeyClass,
            nullptr, 0);
    }
    // Value reads keep going to the handle held before; only the path falls back.
    workingPath_ = kDefaultKeyPath;
    workingRoot_ = HKEY_LOCAL_MACHINE;
    return false;
}

std::string BRegistry::getWorkingKey() const { return workingPath_; }

bool BRegistry::ensureWorkingKey(const std::string& path) {
    if (opened_) return true;
    if (path.empty()) return false;
    opened_ = setWorkingKey(path);
    return opened_;
}

bool BRegistry::queryStringValue(std::string valueName, std::string& text) {
    if (!ensureWorkingKey(std::string())) return false;
    char buffer[kStringBufferSize];
    std::memset(buffer, 0, sizeof(buffer));
    DWORD size = kStringBufferSize;
    const LONG rc = RegQueryValueExA(workingKey_, valueName.c_str(), nullptr, nullptr,
                                     reinterpret_cast<LPBYTE>(buffer), &size);
    if (rc != ERROR_SUCCESS) {
        text.clear();
        return false;
    }
    text = bufferText(buffer, size < kStringBufferSize ? size : kStringBufferSize);
    return true;
}

bool BRegistry::queryDwordValue(std::string valueName, DWORD& number) {
    if (!ensureWorkingKey(std::string())) return false;
    unsigned char data[4] = {0, 0, 0, 0};
    DWORD size = sizeof(data);
    const LONG rc = RegQueryValueExA(workingKey_, valueName.c_str(), nullptr, nullptr, data, &size);
    if (rc != ERROR_SUCCESS) {
        number = 0xFFFFFFFFu;
        return false;
    }
    number = static_cast<DWORD>(data[0]) | (static_cast<DWORD>(data[1]) << 8) |
             (static_cast<DWORD>(data[2]) << 16) | (static_cast<DWORD>(data[3]) << 24);
    return true;
}

bool BRegistry::keyExists(std::string keyPath) {
    if (!hasRootName(keyPath)) return false;
    HKEY root = HKEY_LOCAL_MACHINE;
    getRootKey(keyPath, root);
    std::string subKey;
    if (!getSubKey(keyPath, subKey)) return false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    return RegCloseKey(key) == ERROR_SUCCESS;
}

bool BRegistry::enumSubkeys(std::string keyPath, StringList& list) {
    list.setCount(0);
    std::string subKey;
    if (!getSubKey(keyPath, subKey)) return false;
    HKEY root = HKEY_LOCAL_MACHINE;
    if (!getRootKey(keyPath, root)) return false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subKey.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;

    bool complete = true;
    for (DWORD index = 0;; ++index) {
        char name[kNameBufferSize];
        std::memset(name, 0, sizeof(name));
        const LONG rc = RegEnumKeyA(key, index, name, kNameBufferSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_SUCCESS) {
            list.append(bufferText(name, sizeof(name)));
        } else if (rc != ERROR_MORE_DATA) {
            // A handle that fails every index would otherwise never reach the end.
            complete = false;
            break;
        }
        // A name too long for the buffer is passed over; the others still count.
    }
    if (RegCloseKey(key) != ERROR_SUCCESS) return false;
    return complete;
}

bool BRegistry::deleteKeyTree(std::string keyPath) {
    if (keyPath.empty()) return false;
    StringList children(64);
    enumSubkeys(keyPath, children);
    for (uint32_t i = 0; i < children.count(); ++i) {
        if (!deleteKeyTree(keyPath + "\\" + children.at(i))) return false;
    }
    std::string subKey;
    if (!getSubKey(keyPath, subKey)) return false;
    HKEY root = HKEY_LOCAL_MACHINE;
    if (!getRootKey(keyPath, root)) return false;
    return RegDeleteKeyA(root, subKey.c_str()) == ERROR_SUCCESS;
}

bool BRegistry::closeWorkingKey() {
    // A handle opened after a failed construction is owned too, so it is closed as well.
    if (workingKey_ != nullptr) {
        if (RegCloseKey(workingKey_) != ERROR_SUCCESS) return false;
        workingKey_ = nullptr;
    }
    return true;
}
