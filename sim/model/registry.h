// simwin's registry: six roots of case-insensitive, case-preserving keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/machine.h"

namespace simwin {

// The roots a registry file can name, in HKEY order (HKEY_PERFORMANCE_DATA is not a stored key).
constexpr int kRootCount = 7;
constexpr int kPerformanceDataRoot = 4;
const char* rootName(int index);  // "HKEY_LOCAL_MACHINE"; nullptr for the performance root
int rootIndex(const char* name, size_t length);  // -1 when not one of the six

class Registry {
  public:
    // Memory layout is deliberately tight: a million keys must fit in a fraction of their text.
    struct Value {
        const char* name;  // NUL-terminated, in the arena, the data right behind it; "" is @
        uint32_t nameLength;
        uint32_t dataLength;
        uint32_t type;
        uint8_t exact;  // a name the code page cannot hold: see exactName()
        const unsigned char* data() const {
            return reinterpret_cast<const unsigned char*>(name + nameLength + 1);
        }
    };

    struct Key {
        Key* parent;       // nullptr for a root
        const char* name;  // NUL-terminated, in the arena
        Key** childBase;   // the allocation; live children start at childOffset
        Value* values;     // in the order set; capacity as for children
        uint32_t nameLength;
        uint32_t childCount;
        uint32_t childOffset;  // deleting in enumeration order moves no pointers
        uint32_t valueCount;
        uint8_t deleted;
        uint8_t isVolatile;
        uint8_t hasClass;  // the class itself is kept aside: few keys have one
        uint8_t isLink;    // CurrentControlSet on NT: lookups through it reach the control set
        uint8_t exact;     // a name the code page cannot hold: see exactName()
        // Sorted without case; the allocation is at least the power of two at or above
        // childOffset + childCount.
        Key** children() const { return childBase + childOffset; }
    };

    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    void swap(Registry& other) { model_.swap(other.model_); }
    // What the machine's family makes of the loaded tree: on NT the hives are added, keys no NT
    // machine can have are warned about, and CurrentControlSet becomes the link to the control
    // set SYSTEM\\Select names. Warnings go to `warnings`.
    void settle(const MachineConfig& c, const std::string& fileName, std::ostream& warnings);

    // Names of the sub-keys of a key path such as "HKEY_LOCAL_MACHINE\\System\\...", in
    // enumeration order; empty when the key is missing.
    std::vector<std::string> subkeyNames(const std::string& keyPath) const;

    // Direct access for simwin's other services and for tests; no faults, no trace.
    bool hasKey(const std::string& keyPath) const;
    std::optional<std::string> keyClass(const std::string& keyPath) const;  // nullopt: no class
    struct Data {
        DWORD type = REG_NONE;
        std::string bytes;
    };
    std::optional<Data> value(const std::string& keyPath, const std::string& name) const;
    std::vector<std::string> valueNames(const std::string& keyPath) const;
    // Creates the key path as needed.
    void setValue(const std::string& keyPath, const std::string& name, DWORD type,
                  const std::string& bytes);
    size_t keyCount() const;  // live keys, roots excluded

    // The model, for the Win32 functions of api_registry.cpp.
    Key* root(int index) const;
    Key* child(const Key* parent, const char* name, size_t length) const;
    Key* createChild(Key* parent, const char* name, size_t length);
    // NT keeps names in Unicode; one the code page cannot hold is kept here exactly (UTF-8), and
    // `name` is what the A functions see, a '?' for each character the code page lacks. No name
    // an A function is given reaches such a key or value: NT converts it back to other
    // characters. Two such names are one only when their exact names match without case.
    Key* createExactChild(Key* parent, const char* name, size_t length, const std::string& exact);
    Key* exactChild(const Key* parent, const char* name, size_t length,
                    const std::string& exact) const;
    void setExactValue(Key* key, const char* name, size_t nameLength, const std::string& exact,
                       DWORD type, const unsigned char* data, size_t dataLength);
    bool removeExactValue(Key* key, const std::string& exact);
    const Value* findExactValue(const Key* key, const std::string& exact) const;
    const std::string* exactName(const Key* key) const;  // nullptr for a name the code page holds
    const std::string* exactName(const Value& value) const;
    bool hasExactNames() const;
    // Marks the key and its sub-tree deleted and unlinks it from its parent.
    void remove(Key* key);
    const Value* findValue(const Key* key, const char* name, size_t length) const;
    void setValue(Key* key, const char* name, size_t nameLength, DWORD type,
                  const unsigned char* data, size_t dataLength);
    bool removeValue(Key* key, const char* name, size_t length);
    void setClass(Key* key, const char* cls, size_t length);
    const char* classOf(const Key* key) const;  // nullptr when it has none
    std::string path(const Key* key) const;     // "HKEY_LOCAL_MACHINE\\enum\\DOT4"
    // Walks a sub-key path from `from` ('\\' separated, empty components skipped). Returns the
    // deepest key reached and how many bytes of `sub` that consumed.
    Key* walk(Key* from, const char* sub, size_t length, size_t* consumed) const;
    Key* find(const std::string& keyPath) const;

    // The key operations of the Win32 functions, on a key open with `access`, under the
    // platform's rules and machine.ini [registry]: 0 or the error code. Nothing changes unless
    // the whole operation is allowed.
    LONG openKey(Key* from, const char* sub, REGSAM access, const MachineConfig& c,
                 Key** out) const;
    LONG createKey(Key* from, const char* sub, DWORD options, REGSAM access, const char* cls,
                   const MachineConfig& c, Key** out, DWORD* disposition);
    LONG deleteKey(Key* from, REGSAM fromAccess, const char* sub, const MachineConfig& c);
    // Whether a handle opened with `access` may still use its key for what `needs`.
    static LONG usable(const Key* key, REGSAM access, REGSAM needs);
    // machine.ini [registry] rule of a key path, also when the rule names it through
    // CurrentControlSet.
    unsigned rule(const MachineConfig& c, const std::string& keyPath) const;

    struct Model;  // model/registry_model.h
    Model& model() const { return *model_; }

  private:
    Key* insertChild(Key* parent, uint32_t at, const char* name, size_t length);
    Value* storeValue(Key* key, Value* v, const char* name, size_t nameLength, DWORD type,
                      const unsigned char* data, size_t dataLength);
    std::unique_ptr<Model> model_;
};

}  // namespace simwin
