#include "imports/creg.h"

#include <unordered_map>

namespace simwin::creg {

namespace {

uint32_t u32(const std::string& b, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data()) + at;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t u16(const std::string& b, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data()) + at;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Each data entry of a block, its values inside what the entry says it uses.
std::string parseBlock(const std::string& b, uint32_t at, uint32_t size, uint16_t index, File& f) {
    for (uint32_t e = at + kBlockHeaderSize; e < at + size;) {
        if (at + size - e < kDataEntryHeaderSize)
            return "corrupt: a data block ends inside an entry";
        DataEntry d;
        d.at = e;
        d.size = u32(b, e), d.id = u16(b, e + 4), d.block = u16(b, e + 6), d.used = u32(b, e + 8);
        d.nameLength = u16(b, e + 12), d.values = u16(b, e + 14);
        if (d.size < kDataEntryHeaderSize || d.size > at + size - e)
            return "corrupt: a data entry's size leads out of its block";
        if (!d.free()) {
            if (d.block != index) return "corrupt: a data entry names another block";
            if (d.used > d.size || d.used < kDataEntryHeaderSize + d.nameLength)
                return "corrupt: a data entry uses more than its size";
            uint32_t v = e + kDataEntryHeaderSize + d.nameLength;
            for (uint16_t i = 0; i < d.values; ++i) {
                if (e + d.used - v < kValueHeaderSize)
                    return "corrupt: a value lies outside its key's entry";
                uint32_t length = kValueHeaderSize + u16(b, v + 8) + u16(b, v + 10);
                if (length > e + d.used - v) return "corrupt: a value is longer than its entry";
                v += length;
            }
        }
        f.entries.push_back(d);
        e += d.size;
    }
    return "";
}

}  // namespace

std::string parse(const std::string& b, File& f) {
    f = File{};
    const uint64_t n = b.size();
    if (n < kKeyArea + 0x20 || b.compare(0, 4, "CREG") != 0)
        return "not a 95/98 registry file (no CREG header)";
    if (b.compare(kKeyArea, 4, "RGKN") != 0) return "corrupt: no key area (RGKN) after the header";
    f.areaSize = u32(b, kKeyArea + 4);
    if (f.areaSize < 0x20 || kKeyArea + uint64_t(f.areaSize) > n)
        return "corrupt: its key area has an impossible size";

    // The blocks first: a key's data entry is looked up in them.
    const uint32_t blockCount = u16(b, 16);
    uint64_t at = u32(b, 8);
    std::unordered_map<uint32_t, int> byId;  // block << 16 | id
    for (uint32_t i = 0; i < blockCount; ++i) {
        if (at < kKeyArea + uint64_t(f.areaSize) || at + kBlockHeaderSize > n ||
            b.compare(at, 4, "RGDB") != 0)
            return "corrupt: data block " + std::to_string(i) + " is not where the file says";
        uint32_t size = u32(b, at + 4);
        if (size < kBlockHeaderSize || at + size > n)
            return "corrupt: data block " + std::to_string(i) + " has an impossible size";
        if (u16(b, at + 14) != i)
            return "corrupt: data block " + std::to_string(i) + " is misnumbered";
        size_t first = f.entries.size();
        if (std::string why =
                parseBlock(b, static_cast<uint32_t>(at), size, static_cast<uint16_t>(i), f);
            !why.empty())
            return why;
        for (size_t e = first; e < f.entries.size(); ++e)
            if (!f.entries[e].free() &&
                !byId.emplace(uint32_t(i) << 16 | f.entries[e].id, static_cast<int>(e)).second)
                return "corrupt: two data entries share one key number";
        f.blocks.push_back({static_cast<uint32_t>(at), size});
        at += size;
    }

    // The key tree, each key once; only kNone ends a list (0 would lead back to the area's
    // header, which links to itself).
    const uint32_t area = f.areaSize;
    std::vector<bool> seen(area / 4 + 1);
    std::vector<bool> used(f.entries.size());
    std::vector<std::pair<uint32_t, uint32_t>> todo{{u32(b, kKeyArea + 8), kNone}};
    while (!todo.empty()) {
        auto [k, parent] = todo.back();
        todo.pop_back();
        if (k == kNone) continue;
        if (k < 0x20 || k > area - kKeyEntrySize)
            return "corrupt: a key link leads out of the key area";
        if (seen[k / 4]) return "corrupt: a key is linked twice (a loop in the file)";
        seen[k / 4] = true;
        const size_t e = kKeyArea + k;
        Key key;
        key.at = k, key.parent = u32(b, e + 12), key.child = u32(b, e + 16);
        key.next = u32(b, e + 20), key.id = u16(b, e + 24), key.block = u16(b, e + 26);
        if (key.parent != parent) return "corrupt: a key's parent link is wrong";
        const bool root = parent == kNone;
        if (!root || key.id != 0xFFFF) {
            auto it = byId.find(uint32_t(key.block) << 16 | key.id);
            if (it == byId.end()) return "corrupt: a key has no data entry";
            if (used[it->second]) return "corrupt: two keys share one data entry";
            used[it->second] = true;
            key.data = it->second;
        }
        f.keys.push_back(key);
        todo.emplace_back(key.next, parent);
        todo.emplace_back(key.child, k);
    }
    return "";
}

}  // namespace simwin::creg
