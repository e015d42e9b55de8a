#include "imports/creg.h"

#include <fcntl.h>
#include <libcreg.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <ostream>
#include <set>

#include "imports/fileedit.h"
#include "imports/formats.h"
#include "imports/hive.h"
#include "model/codepage.h"
#include "model/host.h"
#include "model/registry.h"

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

namespace simwin::creg {

namespace {

void put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void put16(std::string& b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v), b[at + 1] = static_cast<char>(v >> 8);
}

constexpr uint32_t kFreeKey = 0x80000000;      // the first field of a free navigation entry
constexpr uint32_t kFreeHead = kKeyArea + 12;  // file offset of the first free entry's offset
constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kMaxEntry = 0xF000 - kBlockHeaderSize;
constexpr uint32_t kMaxKeys = 0xFF;  // key numbers 0-254 in a block

// The sum of a name's upper-cased ASCII letters, as the key area stores it.
uint32_t nameHash(const std::string& name) {
    uint32_t h = 0;
    for (unsigned char c : name)
        if (c < 0x80) h += static_cast<uint32_t>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return h;
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// A stored key name as Windows' RegEnumKey gives it: up to a NUL, "?" for none. The reader shows
// it so and the editor matches it so, or an edit could miss a key the preview listed.
std::string shownKeyName(std::string stored) {
    stored.resize(std::strlen(stored.c_str()));
    return stored.empty() ? "?" : stored;
}

std::string entryBytes(const std::string& name, const std::vector<Value>& values) {
    std::string e(kDataEntryHeaderSize, '\0');
    put16(e, 12, static_cast<uint16_t>(name.size()));
    put16(e, 14, static_cast<uint16_t>(values.size()));
    e += name;
    for (const Value& v : values) {
        std::string h(kValueHeaderSize, '\0');
        put32(h, 0, v.type), put32(h, 4, kNone);  // as Windows writes it
        put16(h, 8, static_cast<uint16_t>(v.name.size()));
        put16(h, 10, static_cast<uint16_t>(v.data.size()));
        e += h + v.name + v.data;
    }
    return e;
}

std::string checkSizes(const std::string& name, const std::vector<Value>& values) {
    size_t total = kDataEntryHeaderSize + name.size();
    if (name.size() > 0xFFFF || values.size() > 0xFFFF) return "a key too large for the file";
    for (const Value& v : values) {
        if (v.name.size() > 0xFFFF || v.data.size() > 0xFFFF)
            return "a value longer than the file can hold (64 KB)";
        total += kValueHeaderSize + v.name.size() + v.data.size();
    }
    return total > kMaxEntry ? "a key whose values do not fit in one data block" : "";
}

}  // namespace

uint32_t Editor::areaSize() const { return u32(b_, kKeyArea + 4); }

std::string Editor::open(std::string bytes) {
    File f;
    if (std::string why = parse(bytes, f); !why.empty()) return why;
    b_ = std::move(bytes);
    if (u32(b_, 12) != 0) return "a structure the writer does not know (a checksum in its header)";
    // The free lists must be whole, or an edit could hand out space in use.
    std::vector<bool> used(f.areaSize / 4 + 1);
    for (const Key& k : f.keys) used[k.at / 4] = true;
    std::vector<bool> seen(f.areaSize / 4 + 1);
    for (uint32_t o = u32(b_, kFreeHead); o != kNone && o != 0; o = u32(b_, kKeyArea + o + 8)) {
        if (o < 0x20 || o > f.areaSize - 16 || seen[o / 4] || used[o / 4] ||
            u32(b_, kKeyArea + o) != kFreeKey || u32(b_, kKeyArea + o + 4) < 16 ||
            u32(b_, kKeyArea + o + 4) > f.areaSize - o)
            return "a structure the writer does not know (its key area's free list)";
        seen[o / 4] = true;
    }
    for (const Block& blk : f.blocks) {
        std::vector<bool> visited(blk.size / 4 + 1);
        for (uint32_t o = u32(b_, blk.at + 16); o != kNone; o = u32(b_, blk.at + o + 8)) {
            if (o < kBlockHeaderSize || o > blk.size - kDataEntryHeaderSize || visited[o / 4] ||
                u16(b_, blk.at + o + 4) != 0xFFFF)
                return "a structure the writer does not know (a data block's free chain)";
            visited[o / 4] = true;
        }
    }
    return "";
}

uint32_t Editor::blockAt(uint16_t index) const {
    uint32_t at = u32(b_, 8);
    for (uint16_t i = 0; i < index; ++i) at += u32(b_, at + 4);
    return at;
}

uint32_t Editor::dataOf(uint32_t key) const {
    const uint16_t id = u16(b_, kKeyArea + key + 24), block = u16(b_, kKeyArea + key + 26);
    const uint32_t at = blockAt(block), size = u32(b_, at + 4);
    for (uint32_t e = at + kBlockHeaderSize; e < at + size; e += u32(b_, e))
        if (u16(b_, e + 4) == id) return e;
    return kNone;
}

std::string Editor::nameOf(uint32_t key) const {
    uint32_t e = dataOf(key);
    return e == kNone ? "" : b_.substr(e + kDataEntryHeaderSize, u16(b_, e + 12));
}

uint32_t Editor::child(uint32_t key, const std::string& name) const {
    for (uint32_t c = u32(b_, kKeyArea + key + 16); c != kNone; c = u32(b_, kKeyArea + c + 20))
        if (sameName(shownKeyName(nameOf(c)), name)) return c;
    return kNone;
}

uint32_t Editor::find(const std::vector<std::string>& names) const {
    uint32_t k = u32(b_, kKeyArea + 8);
    for (size_t i = 0; i < names.size() && k != kNone; ++i) k = child(k, names[i]);
    return k;
}

std::string Editor::allocKey(uint32_t& at) {
    for (;;) {
        // Readers map the area less its header's size: its last 32 bytes hold no key.
        const uint32_t limit = areaSize() - 0x20;
        uint32_t link = kFreeHead;
        for (uint32_t o = u32(b_, link); o != kNone && o != 0; o = u32(b_, link)) {
            const uint32_t size = u32(b_, kKeyArea + o + 4), next = u32(b_, kKeyArea + o + 8);
            if (size >= kKeyEntrySize && o + kKeyEntrySize <= limit) {
                // The block's front, as Windows takes it; the rest stays free in its place.
                const uint32_t rest = size - kKeyEntrySize;
                if (rest >= 16) {
                    put32(b_, kKeyArea + o + kKeyEntrySize, kFreeKey);
                    put32(b_, kKeyArea + o + kKeyEntrySize + 4, rest);
                    put32(b_, kKeyArea + o + kKeyEntrySize + 8, next);
                    put32(b_, link, o + kKeyEntrySize);
                } else {
                    put32(b_, link, next);
                }
                at = o;
                return "";
            }
            link = kKeyArea + o + 8;
        }
        // A page more of key area: the data blocks move down by it.
        const uint32_t old = areaSize();
        if (uint64_t(b_.size()) + kPage > 0x7FFFFFFF) return "the file would grow too large";
        b_.insert(kKeyArea + old, std::string(kPage, '\0'));
        put32(b_, kKeyArea + 4, old + kPage);
        put32(b_, 8, u32(b_, 8) + kPage);
        put32(b_, kKeyArea + old, kFreeKey);
        put32(b_, kKeyArea + old + 4, kPage);
        put32(b_, kKeyArea + old + 8, u32(b_, kFreeHead) == 0 ? kNone : u32(b_, kFreeHead));
        put32(b_, kFreeHead, old);
    }
}

void Editor::freeKey(uint32_t at) {
    const uint32_t head = u32(b_, kFreeHead);
    put32(b_, kKeyArea + at, kFreeKey);
    put32(b_, kKeyArea + at + 4, kKeyEntrySize);
    put32(b_, kKeyArea + at + 8, head == 0 ? kNone : head);
    put32(b_, kFreeHead, at);
}

std::string Editor::allocData(const std::string& entry, uint16_t& block, uint16_t& id) {
    const uint32_t need = static_cast<uint32_t>(entry.size());
    const uint16_t count = u16(b_, 16);
    uint32_t at = u32(b_, 8);
    for (uint16_t i = 0; i <= count; ++i) {
        if (i == count) {  // a new block at the end of the file
            if (count == 0xFFFF) return "the file has no room for another data block";
            const uint32_t size = (kBlockHeaderSize + need + kPage - 1) & ~(kPage - 1);
            std::string h(size, '\0');
            h.replace(0, 4, "RGDB");
            put32(h, 4, size), put32(h, 8, size - kBlockHeaderSize), put16(h, 12, 8);
            put16(h, 14, count), put32(h, 16, kBlockHeaderSize), put16(h, 20, 0), put16(h, 22, 0);
            put32(h, kBlockHeaderSize, size - kBlockHeaderSize);
            put16(h, kBlockHeaderSize + 4, 0xFFFF), put16(h, kBlockHeaderSize + 6, 0xFFFF);
            put32(h, kBlockHeaderSize + 8, kNone);
            at = static_cast<uint32_t>(b_.size());
            b_ += h;
            put16(b_, 16, static_cast<uint16_t>(count + 1));
        }
        const uint32_t size = u32(b_, at + 4);
        // The lowest key number the block does not use.
        std::vector<bool> ids(0x10000);
        for (uint32_t e = at + kBlockHeaderSize; e < at + size; e += u32(b_, e))
            if (u16(b_, e + 4) != 0xFFFF) ids[u16(b_, e + 4)] = true;
        uint32_t free = 0;
        while (free < kMaxKeys && ids[free]) ++free;
        uint32_t link = at + 16;
        for (uint32_t o = u32(b_, link); free < kMaxKeys && o != kNone; o = u32(b_, link)) {
            const uint32_t e = at + o, have = u32(b_, e);
            if (have < need) {
                link = e + 8;
                continue;
            }
            uint32_t next = u32(b_, e + 8), taken = have;
            if (have - need >= kDataEntryHeaderSize) {  // the rest stays a free entry
                taken = need;
                put32(b_, e + need, have - need);
                put16(b_, e + need + 4, 0xFFFF), put16(b_, e + need + 6, 0xFFFF);
                put32(b_, e + need + 8, next);
                // Readers check a free entry's name size against its size too.
                put16(b_, e + need + 12, 0), put16(b_, e + need + 14, 0);
                next = o + need;
            }
            put32(b_, link, next);
            b_.replace(e, need, entry);
            put32(b_, e, taken), put16(b_, e + 4, static_cast<uint16_t>(free));
            put16(b_, e + 6, i), put32(b_, e + 8, need);
            put32(b_, at + 8, u32(b_, at + 8) - taken);
            ids[free] = true;
            uint32_t low = free;
            while (low < 0xFFFF && ids[low]) ++low;
            put16(b_, at + 22, static_cast<uint16_t>(std::min<uint32_t>(low, 0xFFFF)));
            if (free > u16(b_, at + 20) || u16(b_, at + 20) == 0xFFFF)
                put16(b_, at + 20, static_cast<uint16_t>(free));
            block = i, id = static_cast<uint16_t>(free);
            return "";
        }
        at += size;
    }
    return "no data block has room";
}

void Editor::freeData(uint32_t key) {
    const uint32_t e = dataOf(key);
    if (e == kNone) return;
    const uint16_t id = u16(b_, e + 4);
    const uint32_t at = blockAt(u16(b_, kKeyArea + key + 26));
    put16(b_, e + 4, 0xFFFF), put16(b_, e + 6, 0xFFFF);
    // Its link takes the place of the used size: without values the stale name still reads.
    put16(b_, e + 14, 0);
    put32(b_, e + 8, u32(b_, at + 16));
    put32(b_, at + 16, e - at);
    put32(b_, at + 8, u32(b_, at + 8) + u32(b_, e));
    if (id < u16(b_, at + 22)) put16(b_, at + 22, id);
}

std::string Editor::deleteKey(const std::vector<std::string>& names) {
    const uint32_t k = find(names);
    if (names.empty() || k == kNone) return "no such key";
    const uint32_t parent = u32(b_, kKeyArea + k + 12), next = u32(b_, kKeyArea + k + 20);
    uint32_t link = kKeyArea + parent + 16;
    while (u32(b_, link) != k) link = kKeyArea + u32(b_, link) + 20;
    put32(b_, link, next);
    std::vector<uint32_t> todo{k};
    for (size_t i = 0; i < todo.size(); ++i)
        for (uint32_t c = u32(b_, kKeyArea + todo[i] + 16); c != kNone;
             c = u32(b_, kKeyArea + c + 20))
            todo.push_back(c);
    for (uint32_t key : todo) freeData(key), freeKey(key);
    return "";
}

std::string Editor::createKey(const std::vector<std::string>& names,
                              const std::vector<Value>& values) {
    if (names.empty()) return "no name";
    std::vector<std::string> up(names.begin(), names.end() - 1);
    uint32_t parent = find(up);
    if (parent == kNone) return "its parent is not in the file";
    if (child(parent, names.back()) != kNone) return "it is in the file already";
    if (std::string why = checkSizes(names.back(), values); !why.empty()) return why;
    uint16_t block = 0, id = 0;
    uint32_t at = 0;
    if (std::string why = allocKey(at); !why.empty()) return why;
    parent = find(up);  // the key area may have grown, but its offsets hold
    if (std::string why = allocData(entryBytes(names.back(), values), block, id); !why.empty())
        return why;
    const uint32_t e = kKeyArea + at;
    put32(b_, e, 0), put32(b_, e + 4, nameHash(names.back())), put32(b_, e + 8, kNone);
    put32(b_, e + 12, parent), put32(b_, e + 16, kNone), put32(b_, e + 20, kNone);
    put16(b_, e + 24, id), put16(b_, e + 26, block);
    uint32_t link = kKeyArea + parent + 16;
    while (u32(b_, link) != kNone) link = kKeyArea + u32(b_, link) + 20;
    put32(b_, link, at);
    return "";
}

std::string Editor::setValues(const std::vector<std::string>& names,
                              const std::vector<Value>& values) {
    const uint32_t k = find(names);
    if (k == kNone) return "no such key";
    const std::string name = nameOf(k);
    if (std::string why = checkSizes(name, values); !why.empty()) return why;
    const std::string entry = entryBytes(name, values);
    const uint32_t e = dataOf(k);
    if (e != kNone && u32(b_, e) >= entry.size()) {  // in place, its number kept
        const std::string head = b_.substr(e, 12), unknown = b_.substr(e + 16, 4);
        b_.replace(e, entry.size(), entry);
        b_.replace(e, 12, head);
        b_.replace(e + 16, 4, unknown);
        put32(b_, e + 8, static_cast<uint32_t>(entry.size()));
        return "";
    }
    freeData(k);
    uint16_t block = 0, id = 0;
    if (std::string why = allocData(entry, block, id); !why.empty()) return why;
    put16(b_, kKeyArea + k + 24, id), put16(b_, kKeyArea + k + 26, block);
    return "";
}

}  // namespace simwin::creg

// The file as the partition's reader and apply use it: checked whole before libcreg reads it,
// read through libcreg, edited through the editor above.
namespace simwin {

namespace {

// A whole file, no link followed.
bool readWhole(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    int e = errno;
    ::close(fd);
    return n == 0 || (errno = e, false);
}

// UTF-8 as UTF-16LE; an invalid byte becomes U+FFFD.

// The keys of a 95/98 registry file; names and strings are already the machine's 8-bit text.
struct CregReader {
    Registry& r;
    const std::string& file;
    std::ostream& warnings;
    std::string problem;
    std::set<off64_t> seen;

    bool fits(Registry::Key* key, const std::string& name, const char* what) {
        return fitsImage(name, warnings, file, r, key, what);
    }

    bool read(libcreg_key_t* k, Registry::Key* key, unsigned depth) {
        if (depth > kMaxDepth) return problem = "keys nested deeper than 512 levels", false;
        off64_t at = 0;
        if (libcreg_key_get_offset(k, &at, nullptr) != 1 || !seen.insert(at).second)
            return problem = "a key listed twice (a loop in the file)", false;
        int nv = 0, nk = 0;
        if (libcreg_key_get_number_of_values(k, &nv, nullptr) != 1 ||
            libcreg_key_get_number_of_sub_keys(k, &nk, nullptr) != 1)
            return problem = "a key libcreg cannot read", false;
        for (int i = 0; i < nv; ++i) {
            libcreg_value_t* v = nullptr;
            size_t ns = 0, ds = 0;
            uint32_t type = 0;
            std::string name, data;
            bool ok = libcreg_key_get_value_by_index(k, i, &v, nullptr) == 1 &&
                      libcreg_value_get_name_size(v, &ns, nullptr) == 1;
            if (ok && ns > 0) {
                name.resize(ns);
                ok = libcreg_value_get_name(v, reinterpret_cast<uint8_t*>(&name[0]), ns, nullptr) ==
                     1;
                name.resize(std::strlen(name.c_str()));
            }
            ok = ok && libcreg_value_get_value_type(v, &type, nullptr) == 1 &&
                 libcreg_value_get_value_data_size(v, &ds, nullptr) == 1;
            if (ok && ds > 0) {
                data.resize(ds);
                ok = libcreg_value_get_value_data(v, reinterpret_cast<uint8_t*>(&data[0]), ds,
                                                  nullptr) == 1;
            }
            libcreg_value_free(&v, nullptr);
            if (!ok)
                return problem =
                           "a value of " + codePageToUtf8(r.path(key)) + " libcreg cannot read",
                       false;
            if (!fits(key, name, "a value")) continue;
            r.setValue(key, name.data(), name.size(), type,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size());
        }
        for (int i = 0; i < nk; ++i) {
            libcreg_key_t* sub = nullptr;
            size_t ns = 0;
            std::string name;
            bool ok = libcreg_key_get_sub_key_by_index(k, i, &sub, nullptr) == 1 &&
                      libcreg_key_get_name_size(sub, &ns, nullptr) == 1;
            if (ok && ns > 0) {
                name.resize(ns);
                ok = libcreg_key_get_name(sub, reinterpret_cast<uint8_t*>(&name[0]), ns, nullptr) ==
                     1;
            }
            name = creg::shownKeyName(name);
            if (ok && !fits(key, name, "a key (with its sub-keys)")) {
                libcreg_key_free(&sub, nullptr);
                continue;
            }
            ok = ok && read(sub, r.createChild(key, name.data(), name.size()), depth + 1);
            libcreg_key_free(&sub, nullptr);
            if (!ok) {
                if (problem.empty())
                    problem = "a key below " + codePageToUtf8(r.path(key)) + " libcreg cannot read";
                return false;
            }
        }
        return true;
    }
};

class CregEdit : public RegistryFileEdit {
  public:
    creg::Editor ed;
    std::string remove(const std::vector<std::string>& names) override {
        return ed.deleteKey(names);
    }
    std::string create(const std::vector<std::string>& names,
                       const std::vector<FileValue>& values) override {
        return ed.createKey(names, convert(values));
    }
    std::string set(const std::vector<std::string>& names,
                    const std::vector<FileValue>& values) override {
        return ed.setValues(names, convert(values));
    }
    std::string write(const std::string& path) override {
        int fd = createExclusive(path);
        if (fd < 0) return std::strerror(errno);
        bool ok = writeAll(fd, ed.bytes().data(), ed.bytes().size());
        int e = errno;
        if (::close(fd) != 0 && ok) ok = false, e = errno;
        if (!ok) ::unlink(path.c_str());
        errno = e;
        return ok ? "" : std::strerror(e);
    }
    const char* withoutClass() const override { return "95/98 registry files hold none"; }

  private:
    static std::vector<creg::Value> convert(const std::vector<FileValue>& values) {
        std::vector<creg::Value> out;
        for (const FileValue& v : values) out.push_back({v.name, v.data, v.type});
        return out;
    }
};

}  // namespace

bool readCreg(const HiveFile& f, Registry& r, std::ostream& warnings, std::ostream& err) {
    libcreg_file_t* file = nullptr;
    libcreg_key_t* root = nullptr;
    CregReader reader{r, f.host, warnings, "", {}};
    bool ok = libcreg_file_initialize(&file, nullptr) == 1 &&
              libcreg_file_open(file, f.host.c_str(), LIBCREG_OPEN_READ, nullptr) == 1;
    if (!ok) reader.problem = "libcreg refuses it";
    ok = ok && libcreg_file_get_root_key(file, &root, nullptr) == 1;
    if (ok) {
        ok = reader.read(root, keyAt(r, f.keyPath), 0);
        libcreg_key_free(&root, nullptr);
    } else if (reader.problem.empty()) {
        reader.problem = "libcreg finds no root key in it";
    }
    if (file) {
        libcreg_file_close(file, nullptr);
        libcreg_file_free(&file, nullptr);
    }
    if (!ok) err << "dot4sim import: " << f.host << ": " << reader.problem << "\n";
    return ok;
}

// What the top of a hive shows of its kind, for a header that does not name it.

std::string check9x(const HiveFile& f) {
    int fd = ::open(f.host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    char b[4] = {};
    ssize_t n = ::read(fd, b, 4);
    ::close(fd);
    if (n < 4 || std::memcmp(b, "CREG", 4) != 0)
        return n == 4 && std::memcmp(b, "regf", 4) == 0
                   ? "an NT hive, not a 95/98 registry file"
                   : "not a 95/98 registry file (no CREG header)";
    std::string bytes;
    if (!readWhole(f.host, bytes)) return std::strerror(errno);
    creg::File parsed;
    if (std::string why = creg::parse(bytes, parsed); !why.empty()) return why;
    libcreg_file_t* file = nullptr;
    bool ok = libcreg_file_initialize(&file, nullptr) == 1 &&
              libcreg_file_open(file, f.host.c_str(), LIBCREG_OPEN_READ, nullptr) == 1;
    if (file) {
        if (ok) libcreg_file_close(file, nullptr);
        libcreg_file_free(&file, nullptr);
    }
    return ok ? "" : "libcreg refuses it";
}

// A folder holding a manifest of dot4sim apply, wherever the administrator put it.

std::unique_ptr<RegistryFileEdit> editCregFile(const HiveFile& f, std::string& why) {
    auto edit = std::make_unique<CregEdit>();
    std::string bytes;
    int fd = ::open(f.host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    char buf[1 << 16];
    ssize_t n = 0;
    while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0) bytes.append(buf, size_t(n));
    if (fd < 0 || n < 0) {
        why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    ::close(fd);
    why = edit->ed.open(std::move(bytes));
    if (!why.empty()) return nullptr;
    return edit;
}

}  // namespace simwin
