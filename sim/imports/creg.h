// The Windows 95/98/Me registry file (CREG): a header, the key navigation area (RGKN: one
// 28-byte entry per key, linked to its parent, first sub-key and next sibling) and data blocks
// (RGDB: per key its name and values). Parsed here with every count, size and link checked
// against the file, so that what passes costs a reader time and memory in proportion to its size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simwin::creg {

constexpr uint32_t kNone = 0xFFFFFFFF;  // the end of a key list, and the root's parent
constexpr uint32_t kKeyArea = 0x20;     // where RGKN starts; key offsets count from here
constexpr uint32_t kKeyEntrySize = 28;
constexpr uint32_t kBlockHeaderSize = 0x20;
constexpr uint32_t kDataEntryHeaderSize = 20;
constexpr uint32_t kValueHeaderSize = 12;

struct Key {
    uint32_t at = 0;  // offset in the key area
    uint32_t parent = kNone, child = kNone, next = kNone;
    uint16_t id = 0xFFFF, block = 0xFFFF;  // its data entry; 0xFFFF: none (the root)
    int data = -1;                         // index into File::entries
};

struct DataEntry {
    uint32_t at = 0;  // file offset of the entry
    uint32_t size = 0, used = 0;
    uint16_t id = 0xFFFF, block = 0xFFFF, nameLength = 0, values = 0;
    bool free() const { return id == 0xFFFF; }
};

struct Block {
    uint32_t at = 0, size = 0;
};

struct File {
    uint32_t areaSize = 0;  // the key area's size, its header included
    std::vector<Key> keys;  // depth first from the root
    std::vector<Block> blocks;
    std::vector<DataEntry> entries;
};

// Checks `bytes` as a whole and indexes it; "" or why it is refused, in words for people.
std::string parse(const std::string& bytes, File& out);

}  // namespace simwin::creg
