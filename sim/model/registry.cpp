#include "model/registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <new>
#include <wctype.h>
#include <ostream>

#include "model/codepage.h"
#include "model/registry_model.h"

namespace simwin {

namespace {

const char* const kRootNames[kRootCount] = {
    "HKEY_CLASSES_ROOT",   "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS", nullptr,
    "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

// Capacity of the arrays hung off a key: the power of two at or above the count.
bool isPowerOfTwo(uint32_t n) { return (n & (n - 1)) == 0; }

template <typename T>
void growFor(T*& array, uint32_t count) {
    // Called before storing element `count`; a full array is exactly a power of two long.
    if (count == 0 || isPowerOfTwo(count)) {
        size_t capacity = count == 0 ? 1 : size_t(count) * 2;
        void* p = std::realloc(array, capacity * sizeof(T));
        if (!p) throw std::bad_alloc();
        array = static_cast<T*>(p);
    }
}

}  // namespace

const unsigned char kUpperTable[256] = {
#define R(i) static_cast<unsigned char>((i) >= 'a' && (i) <= 'z' ? (i)-32 : (i))
#define R4(i) R(i), R(i + 1), R(i + 2), R(i + 3)
#define R16(i) R4(i), R4(i + 4), R4(i + 8), R4(i + 12)
#define R64(i) R16(i), R16(i + 16), R16(i + 32), R16(i + 48)
    R64(0), R64(64), R64(128), R64(192)
#undef R64
#undef R16
#undef R4
#undef R
};

const char* rootName(int index) {
    return index >= 0 && index < kRootCount ? kRootNames[index] : nullptr;
}

int rootIndex(const char* name, size_t length) {
    for (int i = 0; i < kRootCount; ++i) {
        const char* r = kRootNames[i];
        if (r && std::strlen(r) == length && compareNames(r, length, name, length) == 0) return i;
    }
    return -1;
}

// --- Arena ---

char* Arena::allocate(size_t n) {
    if (n == 0) n = 1;
    if (n > kChunk / 4) {
        // A block of its own; the current chunk goes on filling.
        chunks_.emplace_back(new char[n]);
        return chunks_.back().get();
    }
    if (!cur_ || size_t(end_ - cur_) < n) {
        chunks_.emplace_back(new char[kChunk]);
        cur_ = chunks_.back().get();
        end_ = cur_ + kChunk;
    }
    char* p = cur_;
    cur_ += n;
    last_ = p;
    return p;
}

void Arena::shrinkLast(char* p, size_t used) {
    if (p != last_) return;
    char* newEnd = p + used;
    if (newEnd <= cur_) cur_ = newEnd;
}

const char* Arena::copy(const char* s, size_t n) {
    char* p = allocate(n + 1);
    if (n) std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

// --- Model ---

Registry::Model::Model() {
    for (int i = 0; i < kRootCount; ++i) {
        roots[i] = nullptr;
        if (!kRootNames[i]) continue;
        Key* k = newKey();
        k->name = kRootNames[i];
        k->nameLength = static_cast<uint32_t>(std::strlen(kRootNames[i]));
        roots[i] = k;
    }
}

Registry::Model::~Model() {
    for (size_t c = 0; c < pool.size(); ++c) {
        size_t n = c + 1 == pool.size() ? poolUsed : kPoolChunk;
        for (size_t i = 0; i < n; ++i) {
            std::free(pool[c][i].childBase);
            std::free(pool[c][i].values);
        }
    }
}

Registry::Key* Registry::Model::newKey() {
    if (pool.empty() || poolUsed == kPoolChunk) {
        pool.emplace_back(new Key[kPoolChunk]);
        poolUsed = 0;
    }
    Key* k = &pool.back()[poolUsed++];
    std::memset(static_cast<void*>(k), 0, sizeof(Key));
    return k;
}

// Index of the first child not less than `name`.
static uint32_t lowerBound(const Registry::Key* parent, const char* name, size_t length) {
    uint32_t lo = 0, hi = parent->childCount;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        const Registry::Key* c = parent->children()[mid];
        if (compareNames(c->name, c->nameLength, name, length) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

Registry::Registry() : model_(std::make_unique<Model>()) {}
Registry::~Registry() = default;

Registry::Key* Registry::root(int index) const {
    return index >= 0 && index < kRootCount ? model_->roots[index] : nullptr;
}

Registry::Key* Registry::child(const Key* parent, const char* name, size_t length) const {
    uint32_t n = parent->childCount;
    if (n == 0) return nullptr;
    // Files arrive in enumeration order, so the last child is the common hit.
    Key* last = parent->children()[n - 1];
    int c = compareNames(last->name, last->nameLength, name, length);
    Key* hit = nullptr;
    if (c == 0 && !last->exact) {
        hit = last;
    } else if (c >= 0) {
        // A name of '?'s may sit among exact names that read the same: those open nothing.
        for (uint32_t i = lowerBound(parent, name, length); i < n && !hit; ++i) {
            Key* at = parent->children()[i];
            if (compareNames(at->name, at->nameLength, name, length) != 0) break;
            if (!at->exact) hit = at;
        }
    }
    return hit && hit->isLink ? model_->linkTarget : hit;
}

Registry::Key* Registry::insertChild(Key* parent, uint32_t i, const char* name, size_t length) {
    uint32_t n = parent->childCount;
    Key* k = model_->newKey();
    k->parent = parent;
    k->name = model_->arena.copy(name, length);
    k->nameLength = static_cast<uint32_t>(length);
    uint32_t total = parent->childOffset + n;
    if (parent->childOffset && isPowerOfTwo(total)) {
        // Full: reuse the room that deletions left at the front before growing.
        std::memmove(parent->childBase, parent->children(), n * sizeof(Key*));
        parent->childOffset = 0;
        total = n;
    }
    growFor(parent->childBase, total);
    Key** kids = parent->children();
    if (i < n) std::memmove(kids + i + 1, kids + i, (n - i) * sizeof(Key*));
    kids[i] = k;
    parent->childCount = n + 1;
    ++model_->liveKeys;
    return k;
}

Registry::Key* Registry::createChild(Key* parent, const char* name, size_t length) {
    uint32_t n = parent->childCount;
    uint32_t i = n;
    if (n) {
        Key* last = parent->children()[n - 1];
        int c = compareNames(last->name, last->nameLength, name, length);
        if (c == 0 && !last->exact) return last->isLink ? model_->linkTarget : last;
        if (c >= 0) {
            i = lowerBound(parent, name, length);
            for (uint32_t j = i; j < n; ++j) {
                Key* at = parent->children()[j];
                if (compareNames(at->name, at->nameLength, name, length) != 0) break;
                if (!at->exact) return at->isLink ? model_->linkTarget : at;
            }
        }
    }
    return insertChild(parent, i, name, length);
}

Registry::Key* Registry::exactChild(const Key* parent, const char* name, size_t length,
                                    const std::string& exact) const {
    for (uint32_t i = lowerBound(parent, name, length); i < parent->childCount; ++i) {
        Key* at = parent->children()[i];
        if (compareNames(at->name, at->nameLength, name, length) != 0) break;
        if (at->exact && sameExactName(model_->exactKeys.at(at), exact)) return at;
    }
    return nullptr;
}

Registry::Key* Registry::createExactChild(Key* parent, const char* name, size_t length,
                                          const std::string& exact) {
    if (Key* k = exactChild(parent, name, length, exact)) return k;
    uint32_t i = lowerBound(parent, name, length);
    while (i < parent->childCount &&
           compareNames(parent->children()[i]->name, parent->children()[i]->nameLength, name,
                        length) == 0)
        ++i;
    Key* k = insertChild(parent, i, name, length);
    k->exact = 1;
    model_->exactKeys.emplace(k, exact);
    return k;
}

const std::string* Registry::exactName(const Key* key) const {
    if (!key->exact) return nullptr;
    auto it = model_->exactKeys.find(key);
    return it == model_->exactKeys.end() ? nullptr : &it->second;
}

const std::string* Registry::exactName(const Value& value) const {
    if (!value.exact) return nullptr;
    auto it = model_->exactValues.find(value.name);
    return it == model_->exactValues.end() ? nullptr : &it->second;
}

bool Registry::hasExactNames() const {
    return !model_->exactKeys.empty() || !model_->exactValues.empty();
}

bool sameExactName(const std::string& a, const std::string& b) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    auto next = [](const std::string& s, size_t& i) -> uint32_t {
        unsigned char c = static_cast<unsigned char>(s[i++]);
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t code = more ? c & (0x3F >> more) : c;
        for (; more && i < s.size(); --more) code = code << 6 | (s[i++] & 0x3F);
        return code;
    };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        wint_t x = next(a, i), y = next(b, j);
        if (utf8) x = towupper_l(x, utf8), y = towupper_l(y, utf8);
        if (x != y) return false;
    }
    return i == a.size() && j == b.size();
}

void Registry::remove(Key* key) {
    if (!key->parent || key->deleted) return;
    if (key == model_->linkTarget) {
        // The link goes with the control set it named.
        Key* link = model_->linkNode;
        link->isLink = 0;
        model_->linkNode = model_->linkTarget = nullptr;
        model_->linkPath.clear();
        model_->targetPath.clear();
        remove(link);
    }
    Key* parent = key->parent;
    uint32_t i = lowerBound(parent, key->name, key->nameLength);
    uint32_t n = parent->childCount;
    Key** kids = parent->children();
    while (i < n && kids[i] != key &&
           compareNames(kids[i]->name, kids[i]->nameLength, key->name, key->nameLength) == 0)
        ++i;
    if (i < n && kids[i] == key) {
        if (i < n / 2) {
            std::memmove(kids + 1, kids, i * sizeof(Key*));
            ++parent->childOffset;
        } else {
            std::memmove(kids + i, kids + i + 1, (n - i - 1) * sizeof(Key*));
        }
        if (--parent->childCount == 0) parent->childOffset = 0;
    }
    // Open handles may still point here: the nodes stay, marked deleted.
    std::vector<Key*> stack{key};
    while (!stack.empty()) {
        Key* k = stack.back();
        stack.pop_back();
        for (uint32_t c = 0; c < k->childCount; ++c) stack.push_back(k->children()[c]);
        if (k->exact) model_->exactKeys.erase(k);
        for (uint32_t v = 0; v < k->valueCount; ++v)
            if (k->values[v].exact) model_->exactValues.erase(k->values[v].name);
        std::free(k->childBase);
        std::free(k->values);
        k->childBase = nullptr;
        k->childOffset = 0;
        k->values = nullptr;
        k->childCount = k->valueCount = 0;
        k->deleted = 1;
        --model_->liveKeys;
    }
}

const Registry::Value* Registry::findValue(const Key* key, const char* name, size_t length) const {
    for (uint32_t i = 0; i < key->valueCount; ++i) {
        const Value& v = key->values[i];
        if (!v.exact && compareNames(v.name, v.nameLength, name, length) == 0) return &v;
    }
    return nullptr;
}

void Registry::setValue(Key* key, const char* name, size_t nameLength, DWORD type,
                        const unsigned char* data, size_t dataLength) {
    Value* v = nullptr;
    for (uint32_t i = 0; i < key->valueCount && !v; ++i)
        if (!key->values[i].exact &&
            compareNames(key->values[i].name, key->values[i].nameLength, name, nameLength) == 0)
            v = &key->values[i];  // Windows keeps a value's place when it is set again
    storeValue(key, v, name, nameLength, type, data, dataLength);
}

void Registry::setExactValue(Key* key, const char* name, size_t nameLength,
                             const std::string& exact, DWORD type, const unsigned char* data,
                             size_t dataLength) {
    Value* v = const_cast<Value*>(findExactValue(key, exact));
    std::string kept = v ? model_->exactValues[v->name] : exact;
    if (v) model_->exactValues.erase(v->name);
    v = storeValue(key, v, name, nameLength, type, data, dataLength);
    v->exact = 1;
    model_->exactValues.emplace(v->name, std::move(kept));
}

const Registry::Value* Registry::findExactValue(const Key* key, const std::string& exact) const {
    for (uint32_t i = 0; i < key->valueCount; ++i)
        if (const std::string* e = exactName(key->values[i]); e && sameExactName(*e, exact))
            return &key->values[i];
    return nullptr;
}

bool Registry::removeExactValue(Key* key, const std::string& exact) {
    for (uint32_t i = 0; i < key->valueCount; ++i) {
        const std::string* e = exactName(key->values[i]);
        if (!e || !sameExactName(*e, exact)) continue;
        model_->exactValues.erase(key->values[i].name);
        std::memmove(key->values + i, key->values + i + 1,
                     (key->valueCount - i - 1) * sizeof(Value));
        --key->valueCount;
        return true;
    }
    return false;
}

Registry::Value* Registry::storeValue(Key* key, Value* v, const char* name, size_t nameLength,
                                      DWORD type, const unsigned char* data, size_t dataLength) {
    if (!v) {
        growFor(key->values, key->valueCount);
        v = &key->values[key->valueCount++];
        v->exact = 0;
    } else {
        name = v->name;  // the first spelling stays
    }
    char* block = model_->arena.allocate(nameLength + 1 + dataLength);
    std::memcpy(block, name, nameLength);
    block[nameLength] = '\0';
    if (dataLength) std::memcpy(block + nameLength + 1, data, dataLength);
    v->name = block;
    v->nameLength = static_cast<uint32_t>(nameLength);
    v->type = type;
    v->dataLength = static_cast<uint32_t>(dataLength);
    return v;
}

bool Registry::removeValue(Key* key, const char* name, size_t length) {
    for (uint32_t i = 0; i < key->valueCount; ++i) {
        const Value& v = key->values[i];
        if (!v.exact && compareNames(v.name, v.nameLength, name, length) == 0) {
            std::memmove(key->values + i, key->values + i + 1,
                         (key->valueCount - i - 1) * sizeof(Value));
            --key->valueCount;
            return true;
        }
    }
    return false;
}

void Registry::setClass(Key* key, const char* cls, size_t length) {
    if (length) {
        model_->classes[key] = model_->arena.copy(cls, length);
        key->hasClass = 1;
    } else if (key->hasClass) {
        model_->classes.erase(key);
        key->hasClass = 0;
    }
}

const char* Registry::classOf(const Key* key) const {
    if (!key->hasClass) return nullptr;
    auto it = model_->classes.find(key);
    return it == model_->classes.end() ? nullptr : it->second;
}

std::string Registry::path(const Key* key) const {
    const Key* chain[512];
    size_t depth = 0, total = 0;
    std::vector<const Key*> deep;
    for (const Key* k = key; k; k = k->parent) {
        if (depth < 512)
            chain[depth++] = k;
        else
            deep.push_back(k);
        total += k->nameLength + 1;
    }
    std::string out;
    out.reserve(total);
    for (size_t i = deep.size(); i-- > 0;) {
        if (!out.empty()) out += '\\';
        out.append(deep[i]->name, deep[i]->nameLength);
    }
    for (size_t i = depth; i-- > 0;) {
        if (!out.empty()) out += '\\';
        out.append(chain[i]->name, chain[i]->nameLength);
    }
    return out;
}

Registry::Key* Registry::walk(Key* from, const char* sub, size_t length, size_t* consumed) const {
    Key* k = from;
    size_t pos = 0;
    size_t done = 0;
    while (pos < length) {
        if (sub[pos] == '\\') {
            ++pos;
            done = pos;
            continue;
        }
        size_t end = activeCodePage().findSeparator(sub, length, pos);
        Key* c = child(k, sub + pos, end - pos);
        if (!c) break;
        k = c;
        pos = end;
        done = pos;
    }
    if (consumed) *consumed = done;
    return k;
}

Registry::Key* Registry::find(const std::string& keyPath) const {
    size_t slash = keyPath.find('\\');
    size_t rootLength = slash == std::string::npos ? keyPath.size() : slash;
    int r = rootIndex(keyPath.data(), rootLength);
    if (r < 0) return nullptr;
    if (slash == std::string::npos) return model_->roots[r];
    const char* sub = keyPath.data() + slash + 1;
    size_t length = keyPath.size() - slash - 1;
    size_t consumed = 0;
    Key* k = walk(model_->roots[r], sub, length, &consumed);
    return consumed == length ? k : nullptr;
}

std::vector<std::string> Registry::subkeyNames(const std::string& keyPath) const {
    std::vector<std::string> names;
    const Key* k = find(keyPath);
    if (!k) return names;
    names.reserve(k->childCount);
    for (uint32_t i = 0; i < k->childCount; ++i)
        names.emplace_back(k->children()[i]->name, k->children()[i]->nameLength);
    return names;
}

bool Registry::hasKey(const std::string& keyPath) const { return find(keyPath) != nullptr; }

std::optional<std::string> Registry::keyClass(const std::string& keyPath) const {
    const Key* k = find(keyPath);
    const char* cls = k ? classOf(k) : nullptr;
    if (!cls) return std::nullopt;
    return std::string(cls);
}

std::optional<Registry::Data> Registry::value(const std::string& keyPath,
                                              const std::string& name) const {
    const Key* k = find(keyPath);
    if (!k) return std::nullopt;
    const Value* v = findValue(k, name.data(), name.size());
    if (!v) return std::nullopt;
    Data d;
    d.type = v->type;
    d.bytes.assign(reinterpret_cast<const char*>(v->data()), v->dataLength);
    return d;
}

std::vector<std::string> Registry::valueNames(const std::string& keyPath) const {
    std::vector<std::string> names;
    const Key* k = find(keyPath);
    if (!k) return names;
    for (uint32_t i = 0; i < k->valueCount; ++i)
        names.emplace_back(k->values[i].name, k->values[i].nameLength);
    return names;
}

void Registry::setValue(const std::string& keyPath, const std::string& name, DWORD type,
                        const std::string& bytes) {
    size_t slash = keyPath.find('\\');
    size_t rootLength = slash == std::string::npos ? keyPath.size() : slash;
    int r = rootIndex(keyPath.data(), rootLength);
    if (r < 0) throw std::invalid_argument("not a registry key path: " + keyPath);
    Key* k = model_->roots[r];
    if (slash != std::string::npos) {
        size_t pos = slash + 1;
        while (pos < keyPath.size()) {
            size_t end = activeCodePage().findSeparator(keyPath.data(), keyPath.size(), pos);
            if (end > pos) k = createChild(k, keyPath.data() + pos, end - pos);
            pos = end + 1;
        }
    }
    setValue(k, name.data(), name.size(), type,
             reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

size_t Registry::keyCount() const { return model_->liveKeys; }

}  // namespace simwin

namespace simwin {

namespace {

// Calls f(begin, end) for each non-empty component of sub[from, length) between backslashes;
// stops at the first non-zero result and returns it.
template <class F>
LONG eachComponent(const char* sub, size_t from, size_t length, F f) {
    for (size_t pos = from; pos < length;) {
        if (sub[pos] == '\\') {
            ++pos;
            continue;
        }
        size_t end = activeCodePage().findSeparator(sub, length, pos);
        if (LONG rc = f(pos, end)) return rc;
        pos = end;
    }
    return ERROR_SUCCESS;
}

unsigned ruleOf(const Registry& r, const MachineConfig& c, const Registry::Key* k) {
    return c.registryRules.empty() ? 0 : r.rule(c, r.path(k));
}

bool isWindows95(const MachineConfig& c) {
    return c.system.platform == VER_PLATFORM_WIN32_WINDOWS && c.system.minor == 0;
}

// Rules that stop a key from being opened with `access`.
LONG openDenied(unsigned rule, REGSAM access) {
    if (rule & kRuleNoAccess) return ERROR_ACCESS_DENIED;
    if ((rule & kRuleReadOnly) && (access & ~static_cast<REGSAM>(KEY_READ)))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// NT refuses a sub-key that starts at the root of the namespace; 95/98 skip the backslash
// when creating, and find no key by that name when opening.
LONG pathError(const Registry::Key* from, const char* sub, const MachineConfig& c,
               bool opening = false) {
    if (from->deleted) return ERROR_KEY_DELETED;
    if (sub && sub[0] == '\\') {
        if (c.isNT()) return ERROR_BAD_PATHNAME;
        if (opening) return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

}  // namespace

LONG Registry::usable(const Key* key, REGSAM access, REGSAM needs) {
    if (key->deleted) return ERROR_KEY_DELETED;
    if ((access & needs) != needs) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

LONG Registry::openKey(Key* from, const char* sub, REGSAM access, const MachineConfig& c,
                       Key** out) const {
    if (LONG rc = pathError(from, sub, c, true)) return rc;
    if (!sub) sub = "";
    size_t length = std::strlen(sub);
    size_t consumed = 0;
    Key* k = walk(from, sub, length, &consumed);
    if (consumed != length) return ERROR_FILE_NOT_FOUND;
    if (LONG rc = openDenied(ruleOf(*this, c, k), access)) return rc;
    *out = k;
    return ERROR_SUCCESS;
}

LONG Registry::createKey(Key* from, const char* sub, DWORD options, REGSAM access, const char* cls,
                         const MachineConfig& c, Key** out, DWORD* disposition) {
    if (LONG rc = pathError(from, sub, c)) return rc;
    if (!sub) sub = "";
    size_t length = std::strlen(sub);
    size_t consumed = 0;
    Key* k = walk(from, sub, length, &consumed);
    bool isVolatile = (options & REG_OPTION_VOLATILE) && !isWindows95(c);
    // "An application cannot create a key that is a direct child of HKEY_USERS or
    // HKEY_LOCAL_MACHINE."
    bool top = c.isNT() && (k == root(2) || k == root(3));

    // Check everything before creating anything, so a refusal leaves no half-made path.
    bool creates = false;
    bool rules = !c.registryRules.empty();
    std::string p = rules ? path(k) : std::string();
    unsigned rule = rules ? this->rule(c, p) : 0;
    LONG refused = eachComponent(sub, consumed, length, [&](size_t pos, size_t end) -> LONG {
        if (!creates && top) return ERROR_ACCESS_DENIED;
        if (!creates && k->isVolatile && !isVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
        // Creating a key needs the right to change its parent.
        if (rule & (kRuleReadOnly | kRuleNoAccess)) return ERROR_ACCESS_DENIED;
        if (rules) {
            p += '\\';
            p.append(sub + pos, end - pos);
            rule = this->rule(c, p);
            if (rule & kRuleNoCreate) return ERROR_ACCESS_DENIED;
        }
        creates = true;
        return ERROR_SUCCESS;
    });
    if (refused) return refused;
    if (LONG rc = openDenied(rule, access)) return rc;

    eachComponent(sub, consumed, length, [&](size_t pos, size_t end) -> LONG {
        k = createChild(k, sub + pos, end - pos);
        k->isVolatile = isVolatile;
        return ERROR_SUCCESS;
    });
    if (creates && cls && *cls) setClass(k, cls, std::strlen(cls));
    *disposition = creates ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *out = k;
    return ERROR_SUCCESS;
}

LONG Registry::deleteKey(Key* from, REGSAM, const char* sub, const MachineConfig& c) {
    if (LONG rc = pathError(from, sub, c)) return rc;
    size_t length = std::strlen(sub);
    size_t consumed = 0;
    Key* k = walk(from, sub, length, &consumed);
    if (consumed != length) return ERROR_FILE_NOT_FOUND;
    // The roots themselves cannot go. The handle's own rights do not matter: the key is opened
    // anew with DELETE.
    if (!k->parent) return ERROR_ACCESS_DENIED;
    constexpr unsigned kStops = kRuleNoAccess | kRuleReadOnly | kRuleNoDelete;
    if (ruleOf(*this, c, k) & kStops) return ERROR_ACCESS_DENIED;
    if (c.isNT()) {
        if (k->childCount) return ERROR_ACCESS_DENIED;
    } else if (!c.registryRules.empty()) {
        // 95/98 take the whole sub-tree, or nothing of it.
        std::vector<std::pair<const Key*, std::string>> stack{{k, path(k)}};
        while (!stack.empty()) {
            auto [key, p] = stack.back();
            stack.pop_back();
            if (rule(c, p) & kStops) return ERROR_ACCESS_DENIED;
            for (uint32_t i = 0; i < key->childCount; ++i) {
                const Key* child = key->children()[i];
                stack.emplace_back(child, p + "\\" + std::string(child->name, child->nameLength));
            }
        }
    }
    remove(k);
    return ERROR_SUCCESS;
}

}  // namespace simwin

namespace simwin {

namespace {

std::string upperCopy(const std::string& s) {
    std::string u(s);
    for (char& ch : u) ch = static_cast<char>(kUpperTable[static_cast<unsigned char>(ch)]);
    return u;
}

bool sameName(const Registry::Key* k, const char* name) {
    size_t n = std::strlen(name);
    return compareNames(k->name, k->nameLength, name, n) == 0;
}

bool isHive(const Registry::Key* k, int root) {
    static const char* const kMachineHives[] = {"HARDWARE", "SAM", "SECURITY", "SOFTWARE",
                                                "SYSTEM"};
    if (root == 2) {
        for (const char* h : kMachineHives)
            if (sameName(k, h)) return true;
        return false;
    }
    // A loaded user's hive is named by the user's SID.
    return sameName(k, ".DEFAULT") ||
           (k->nameLength > 4 && compareNames(k->name, 4, "S-1-", 4) == 0);
}

}  // namespace

unsigned Registry::rule(const MachineConfig& c, const std::string& keyPath) const {
    unsigned r = c.registryRule(keyPath);
    const std::string& target = model_->targetPath;
    if (target.empty() || keyPath.size() < target.size()) return r;
    if (keyPath.size() > target.size() && keyPath[target.size()] != '\\') return r;
    if (upperCopy(keyPath.substr(0, target.size())) != target) return r;
    return r | c.registryRule(model_->linkPath + keyPath.substr(target.size()));
}

// The first place where two trees differ, as "KEY: what"; empty when they are the same.
static std::string firstDifference(const Registry& reg, const Registry::Key* a,
                                   const Registry::Key* b) {
    auto counterpart = [&](const Registry::Key* k, const Registry::Value& v) {
        const std::string* exact = reg.exactName(v);
        return exact ? reg.findExactValue(k, *exact) : reg.findValue(k, v.name, v.nameLength);
    };
    for (uint32_t i = 0; i < a->valueCount || i < b->valueCount; ++i) {
        const Registry::Value* v = i < a->valueCount ? &a->values[i] : nullptr;
        const Registry::Value* w = nullptr;
        if (v) {
            w = counterpart(b, *v);
        } else {
            v = &b->values[i];
            if (!counterpart(a, *v)) return reg.path(b) + ": value \"" + v->name + "\" only there";
            continue;
        }
        if (!w) return reg.path(a) + ": value \"" + v->name + "\" only there";
        if (v->type != w->type || v->dataLength != w->dataLength ||
            std::memcmp(v->data(), w->data(), v->dataLength) != 0)
            return reg.path(a) + ": value \"" + v->name + "\" differs";
    }
    uint32_t i = 0, j = 0;
    while (i < a->childCount || j < b->childCount) {
        const Registry::Key* x = i < a->childCount ? a->children()[i] : nullptr;
        const Registry::Key* y = j < b->childCount ? b->children()[j] : nullptr;
        int order = !x ? 1 : !y ? -1 : compareNames(x->name, x->nameLength, y->name, y->nameLength);
        const std::string *ex = x ? reg.exactName(x) : nullptr,
                          *ey = y ? reg.exactName(y) : nullptr;
        if (order == 0 && (!ex != !ey || (ex && !sameExactName(*ex, *ey))))
            return reg.path(x) + ": key only there";  // the same '?'s, other names
        if (order < 0) return reg.path(x) + ": key only there";
        if (order > 0) return reg.path(y) + ": key only there";
        std::string d = firstDifference(reg, x, y);
        if (!d.empty()) return d;
        ++i, ++j;
    }
    return std::string();
}

void Registry::settle(const MachineConfig& c, const std::string& fileName, std::ostream& warnings) {
    if (!c.isNT()) return;
    for (int r : {2, 3}) {
        Key* top = model_->roots[r];
        for (uint32_t i = 0; i < top->childCount; ++i) {
            const Key* k = top->children()[i];
            if (isHive(k, r)) continue;
            auto line = model_->topLines.find(k);
            warnings << "dot4sim: warning: " << fileName << ":"
                     << (line == model_->topLines.end() ? 0 : line->second) << ": " << path(k)
                     << " is loaded, but no NT machine can have it\n";
        }
    }
    for (const char* h : {"HARDWARE", "SAM", "SECURITY", "SOFTWARE", "SYSTEM"})
        createChild(model_->roots[2], h, std::strlen(h));
    createChild(model_->roots[3], ".DEFAULT", 8);

    Key* system = child(model_->roots[2], "SYSTEM", 6);
    Key* select = child(system, "Select", 6);
    const Value* current = select ? findValue(select, "Current", 7) : nullptr;
    if (!current || current->type != REG_DWORD || current->dataLength != 4) return;
    const unsigned char* d = current->data();
    uint32_t n = d[0] | (d[1] << 8) | (d[2] << 16) | (uint32_t(d[3]) << 24);
    char name[32];
    int length = std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(n));
    Key* target = n ? child(system, name, static_cast<size_t>(length)) : nullptr;
    if (!target) return;
    Key* link = child(system, "CurrentControlSet", 17);
    model_->linkSaved = link != nullptr;
    if (link) {
        std::string d = firstDifference(*this, link, target);
        if (!d.empty())
            warnings << "dot4sim: warning: " << fileName << ": CurrentControlSet and " << name
                     << " differ (" << d << "); " << name << " is kept\n";
        // From here on its contents are the control set's.
        while (link->childCount) remove(link->children()[0]);
        link->valueCount = 0;
        setClass(link, "", 0);
    } else {
        link = createChild(system, "CurrentControlSet", 17);
    }
    link->isLink = 1;
    model_->linkNode = link;
    model_->linkTarget = target;
    model_->linkPath = upperCopy(path(link));
    model_->targetPath = upperCopy(path(target));
}

}  // namespace simwin
