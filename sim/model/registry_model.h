// Internals of the registry model, shared by registry.cpp, image/regfile.cpp and
// win32/api_registry.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/registry.h"

namespace simwin {

// Upper-cases ASCII only; other characters go by the machine's code page.
extern const unsigned char kUpperTable[256];
int compareNamesBeyondAscii(const char* a, size_t an, const char* b, size_t bn);  // codepage.cpp

// Case-insensitive order of key and value names (Windows sorts on the upper-cased name).
inline int compareNames(const char* a, size_t an, const char* b, size_t bn) {
    size_t n = an < bn ? an : bn;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        // A byte past ASCII may start a two-byte character: the code page reads on from here.
        if ((x | y) & 0x80) return compareNamesBeyondAscii(a + i, an - i, b + i, bn - i);
        x = kUpperTable[x];
        y = kUpperTable[y];
        if (x != y) return x < y ? -1 : 1;
    }
    return an < bn ? -1 : an > bn ? 1 : 0;
}

// Whether two names in UTF-8 are one name to NT: equal after upper-casing each character.
bool sameExactName(const std::string& a, const std::string& b);

// Names and data live here: one allocation per megabyte instead of one per string.
class Arena {
  public:
    char* allocate(size_t n);
    // Gives back the unused tail of the block just allocated.
    void shrinkLast(char* p, size_t used);
    const char* copy(const char* s, size_t n);  // NUL-terminated copy

  private:
    static constexpr size_t kChunk = 1 << 20;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cur_ = nullptr;
    char* end_ = nullptr;
    char* last_ = nullptr;
};

struct Registry::Model {
    Model();
    ~Model();
    Key* newKey();

    static constexpr size_t kPoolChunk = 4096;
    Arena arena;
    std::vector<std::unique_ptr<Key[]>> pool;
    size_t poolUsed = 0;
    Key* roots[kRootCount];
    size_t liveKeys = 0;
    std::unordered_map<const Key*, const char*> classes;
    // Names the code page cannot hold, in UTF-8: few machines have any.
    std::unordered_map<const Key*, std::string> exactKeys;
    std::unordered_map<const char*, std::string> exactValues;  // by the value's name block
    // Header line of each direct child of HKEY_LOCAL_MACHINE and HKEY_USERS, for load warnings.
    std::unordered_map<const Key*, int> topLines;
    Key* linkNode = nullptr;  // CurrentControlSet while it is the link
    Key* linkTarget = nullptr;
    bool linkSaved = false;  // the image had a CurrentControlSet tree, so the save writes one
    std::string linkPath, targetPath;  // upper-cased, for machine.ini rules
};

}  // namespace simwin
