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

struct Value {
    std::string name, data;  // the machine's code page, as the file holds them
    uint32_t type = 0;
};

// Edits a file in place as Windows' registry code does: a deleted key's navigation entry joins
// the key area's free list and its data entry its block's free chain; a new key takes a free
// navigation entry (or the area grows by a page) and a free data entry that fits (or a new
// block at the end); the blocks' free sizes, first free entries and key numbers are kept.
// Every other byte stays as it was. Names are below the file's root, in the file's code page.
class Editor {
  public:
    // "" or why the file holds a structure this editor does not know how to keep right.
    std::string open(std::string bytes);
    bool has(const std::vector<std::string>& names) const { return find(names) != kNone; }
    std::string deleteKey(const std::vector<std::string>& names);
    std::string createKey(const std::vector<std::string>& names, const std::vector<Value>& values);
    std::string setValues(const std::vector<std::string>& names, const std::vector<Value>& values);
    const std::string& bytes() const { return b_; }

  private:
    struct Slot {  // a free data entry that fits
        uint32_t block = 0, at = 0, prevLink = 0;
    };
    uint32_t find(const std::vector<std::string>& names) const;
    uint32_t child(uint32_t key, const std::string& name) const;
    std::string nameOf(uint32_t key) const;
    uint32_t blockAt(uint16_t index) const;
    uint32_t dataOf(uint32_t key) const;
    std::string allocKey(uint32_t& at);
    void freeKey(uint32_t at);
    std::string allocData(const std::string& entry, uint16_t& block, uint16_t& id);
    void freeData(uint32_t key);
    uint32_t areaSize() const;
    std::string b_;
};

}  // namespace simwin::creg
