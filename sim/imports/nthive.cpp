// The NT registry hive (regf): checked against its base block, read and edited through
// Debian's libhivex, and made from nothing for the tests.
#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>

#include "image/imagefacts.h"
#include "imports/fileedit.h"
#include "imports/formats.h"
#include "imports/hive.h"
#include "model/codepage.h"
#include "model/host.h"
#include "model/iconv.h"
#include "model/machine.h"
#include "model/registry.h"

namespace simwin {

namespace {

bool iequalsAscii(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v), s[at + 1] = static_cast<char>(v >> 8);
}

uint32_t baseBlockChecksum(const unsigned char* b) {
    uint32_t x = 0;
    for (int i = 0; i < 127; ++i) x ^= le32(b + 4 * i);
    return x == 0 ? 1 : x == 0xFFFFFFFF ? 0xFFFFFFFE : x;
}

// A whole file, no link followed.

std::string convert(const std::string& s, const char* from, const char* to) {
    Iconv cv(to, from);
    if (!cv.ok()) return s;
    // A byte without a character is left out.
    return cv.convert(s.data(), s.size(), "", [](const char*, size_t) { return 1; });
}

std::string cpName() { return "CP" + std::to_string(activeCodePage().number()); }

bool isStringType(uint32_t t) { return t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ; }

// Reads one hive's keys below `into`, stopping at a loop or a depth Windows never makes.

// Reads one hive's keys below `into`, stopping at a loop or a depth Windows never makes.
struct HivexReader {
    hive_h* h;
    const std::string& file;
    Registry& r;
    std::ostream& warnings;
    std::vector<bool> seen;
    std::string problem;

    size_t tailValues = 0, tailCharacters = 0;  // characters past a string's terminating NUL

    // A name as the A functions see it; `exact` is the name itself where the code page cannot
    // hold it (NT keeps it so), else empty.
    std::string local(const char* utf8, const std::function<std::string()>& where,
                      const std::string& keyPath, std::string& exact) {
        exact.clear();
        size_t n = std::strlen(utf8);
        bool ascii = true;
        for (size_t i = 0; i < n && ascii; ++i) ascii = static_cast<unsigned char>(utf8[i]) < 0x80;
        if (ascii) return std::string(utf8, n);
        std::string wide = utf8ToUtf16(utf8, n);
        std::string out = fromWide(wide, where, keyPath, 0);
        if (lostInName) exact.assign(utf8, n);
        return out;
    }
    bool lostInName = false;  // the last name fromWide converted lost characters
    // One warning a name or value, however many characters it holds that the code page lacks;
    // those after a string's terminating NUL, which no reader of the string sees, are only
    // counted for one line at the end.
    std::string fromWide(const std::string& wide, const std::function<std::string()>& where,
                         const std::string& keyPath, uint32_t type) {
        const CodePage& cp = activeCodePage();
        const size_t units = wide.size() / 2;
        size_t end = units;  // the string's own characters end here
        for (size_t i = 0; type && i < units; ++i)
            if (!wide[2 * i] && !wide[2 * i + 1] &&
                (type != REG_MULTI_SZ || (i + 1 < units && !wide[2 * i + 2] && !wide[2 * i + 3]) ||
                 i == 0)) {
                end = i;
                break;
            }
        std::string shown;
        size_t inside = 0, after = 0;
        std::string out =
            cp.fromUtf16(wide.data(), wide.size() & ~size_t(1), [&](uint32_t code, size_t at) {
                if (at / 2 >= end) return void(++after);
                if (++inside <= 3) {
                    char u[16];
                    std::snprintf(u, sizeof u, " U+%04X", code);
                    shown += u;
                }
            });
        if (after) ++tailValues, tailCharacters += after;
        if (!type) lostInName = inside > 0;
        if (inside && !type)
            warnings << "dot4sim: warning: " << file << ": " << where() << ": a name with "
                     << inside << " characters code page " << cp.number() << " lacks:" << shown
                     << (inside > 3 ? " ..." : "")
                     << "; kept exactly: the program's A functions see a '?' for each, and on NT "
                        "such a name opens nothing, "
                     << (readByProgram(keyPath) ? "in a key the uninstaller reads"
                                                : "in no key the uninstaller reads")
                     << "\n";
        else if (inside)
            warnings << "dot4sim: warning: " << file << ": " << where()
                     << ": characters with no form in code page " << cp.number() << "; " << inside
                     << " stored as '?':" << shown << (inside > 3 ? " ..." : "") << ", "
                     << (readByProgram(keyPath) ? "in a key the uninstaller reads"
                                                : "in no key the uninstaller reads")
                     << "\n";
        return out;
    }
    // Where the uninstaller, and import's derivations, read values and names.
    static bool readByProgram(const std::string& keyPath) {
        const std::string k = upper(keyPath);
        for (const char* area :
             {"\\ENUM", "\\CONTROL\\PRINT", "\\SERVICES\\CLASS", "\\CONTROL\\CLASS",
              "\\CONTROL\\DEVICECLASSES", "\\SESSION MANAGER", "\\CURRENTVERSION",
              "\\CONTROL\\NLS\\CODEPAGE"})
            if (k.find(area) != std::string::npos) return true;
        return false;
    }

    bool read(hive_node_h node, Registry::Key* key, unsigned depth) {
        if (depth > kMaxDepth) return problem = "keys nested deeper than 512 levels", false;
        if (node / 8 >= seen.size() || seen[node / 8])
            return problem = "a key listed twice (a loop in the file)", false;
        seen[node / 8] = true;
        std::unique_ptr<hive_value_h, decltype(&free)> values(hivex_node_values(h, node), &free);
        if (!values)
            return problem = pathUtf8(r, key) + ": libhivex cannot list its values (" +
                             std::strerror(errno) + ")",
                   false;
        for (hive_value_h* v = values.get(); *v; ++v) {
            std::unique_ptr<char, decltype(&free)> name(hivex_value_key(h, *v), &free);
            hive_type t;
            size_t len = 0;
            std::unique_ptr<char, decltype(&free)> data(hivex_value_value(h, *v, &t, &len), &free);
            if (!name || !data)
                return problem = std::string("a value: ") + std::strerror(errno), false;
            auto where = [&] { return pathUtf8(r, key) + " \"" + name.get() + "\""; };
            const std::string keyPath = r.path(key);
            std::string exact;
            std::string n = local(name.get(), where, keyPath, exact);
            std::string bytes(data.get(), len);
            uint32_t type = 0;  // any number: a broken file's type need not be one hivex names
            std::memcpy(&type, &t, std::min(sizeof type, sizeof t));
            if (!fitsImage(n, warnings, file, r, key, "a value")) continue;
            if (isStringType(type)) bytes = fromWide(bytes, where, keyPath, type);
            const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
            if (exact.empty())
                r.setValue(key, n.data(), n.size(), type, b, bytes.size());
            else
                r.setExactValue(key, n.data(), n.size(), exact, type, b, bytes.size());
        }
        std::unique_ptr<hive_node_h, decltype(&free)> kids(hivex_node_children(h, node), &free);
        if (!kids)
            return problem = pathUtf8(r, key) + ": libhivex cannot list its sub-keys (" +
                             std::strerror(errno) + ")",
                   false;
        for (hive_node_h* c = kids.get(); *c; ++c) {
            std::unique_ptr<char, decltype(&free)> name(hivex_node_name(h, *c), &free);
            if (!name) return problem = std::string("a key name: ") + std::strerror(errno), false;
            std::string exact;
            std::string n = local(
                name.get(), [&] { return pathUtf8(r, key) + "\\" + name.get(); }, r.path(key),
                exact);
            if (n.empty()) n = "?";
            if (!fitsImage(n, warnings, file, r, key, "a key (with its sub-keys)")) continue;
            Registry::Key* k = exact.empty() ? r.createChild(key, n.data(), n.size())
                                             : r.createExactChild(key, n.data(), n.size(), exact);
            if (!read(*c, k, depth + 1)) return false;
        }
        return true;
    }
};

// Standard error pointed at /dev/null for a while: libhivex prints some errors itself, and the
// caller's message names the key instead.
struct QuietStderr {
    int saved = ::dup(2);
    QuietStderr() {
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved >= 0 && null >= 0) ::dup2(null, 2);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved >= 0) ::dup2(saved, 2), ::close(saved);
    }
};

bool isText(uint32_t t) { return t == 1 || t == 2 || t == 7; }  // REG_SZ, EXPAND_SZ, MULTI_SZ

class NtEdit : public RegistryFileEdit {
  public:
    explicit NtEdit(hive_h* h) : h_(h) {}
    ~NtEdit() override { hivex_close(h_); }
    std::string remove(const std::vector<std::string>& names) override {
        QuietStderr quiet;
        hive_node_h n = node(names, names.size());
        return n && !names.empty() && hivex_node_delete_child(h_, n) == 0 ? "" : failed();
    }
    std::string create(const std::vector<std::string>& names,
                       const std::vector<FileValue>& values) override {
        QuietStderr quiet;
        hive_node_h parent = names.empty() ? 0 : node(names, names.size() - 1);
        hive_node_h n =
            parent ? hivex_node_add_child(h_, parent, codePageToUtf8(names.back()).c_str()) : 0;
        return n && (values.empty() || setAll(n, values)) ? "" : failed();
    }
    std::string set(const std::vector<std::string>& names,
                    const std::vector<FileValue>& values) override {
        QuietStderr quiet;
        hive_node_h n = node(names, names.size());
        return n && setAll(n, values) ? "" : failed();
    }
    std::string write(const std::string& path) override {
        int fd = createExclusive(path);
        if (fd < 0) return std::strerror(errno);
        ::close(fd);
        QuietStderr quiet;
        return hivex_commit(h_, path.c_str(), 0) == 0 ? "" : std::strerror(errno);
    }
    const char* withoutClass() const override { return "libhivex writes none"; }

  private:
    hive_node_h node(const std::vector<std::string>& names, size_t count) {
        hive_node_h n = hivex_root(h_);
        for (size_t i = 0; i < count && n; ++i)
            n = hivex_node_get_child(h_, n, codePageToUtf8(names[i]).c_str());
        return n;
    }
    bool setAll(hive_node_h n, const std::vector<FileValue>& values) {
        std::vector<HiveValue> set;
        for (const FileValue& v : values)
            set.push_back({v.exact ? v.name : codePageToUtf8(v.name),
                           isText(v.type) ? codePageToUtf16(v.data) : v.data, v.type});
        return setHiveValues(h_, n, set);
    }
    static std::string failed() {
        return errno ? std::string("libhivex: ") + std::strerror(errno) : "libhivex refuses it";
    }
    hive_h* h_;
};

}  // namespace

bool readNt(const HiveFile& f, Registry& r, std::ostream& warnings, std::ostream& err) {
    hive_h* h = hivex_open(f.readPath().c_str(), 0);
    if (!h) {
        err << "dot4sim import: " << f.host << ": damaged: libhivex cannot read it ("
            << std::strerror(errno) << ")"
            << "\n";
        return false;
    }
    struct stat st;
    size_t size = ::stat(f.readPath().c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    HivexReader reader{h, f.host, r, warnings, std::vector<bool>(size / 8 + 1), ""};
    bool ok = reader.read(hivex_root(h), keyAt(r, f.keyPath), 0);
    hivex_close(h);
    if (ok && reader.tailValues)
        warnings << "dot4sim: warning: " << f.host << ": bytes after a string's terminating NUL; "
                 << reader.tailValues << " values hold them (" << reader.tailCharacters
                 << " characters the code page lacks, stored as '?'), which no reader of the "
                    "string sees: apply leaves such values as they are unless the run changes "
                    "their key\n";
    if (!ok) err << "dot4sim import: " << f.host << ": " << reader.problem << "\n";
    return ok;
}

// What the hive holds against what its place needs (SYSTEM: Select naming a control set;
// SOFTWARE: Microsoft; DEFAULT: a user's keys); "" when it fits. An empty SOFTWARE or DEFAULT
// holds nothing that says otherwise.
static std::string misplaced(hive_h* h, const std::string& place) {
    const hive_node_h root = hivex_root(h);
    auto has = [&](hive_node_h n, const char* name) {
        return n ? hivex_node_get_child(h, n, name) : hive_node_h{0};
    };
    const bool user = has(root, "Control Panel") || has(root, "AppEvents") ||
                      has(root, "Environment") || has(root, "Keyboard Layout");
    std::unique_ptr<hive_node_h, decltype(&free)> kids(hivex_node_children(h, root), &free);
    const bool empty = !kids || !kids.get()[0];
    const std::string user_ = user ? " (it holds a user's keys)" : "";
    if (iequalsAscii(place, "SYSTEM")) {
        const hive_node_h select = has(root, "Select");
        const hive_value_h current = select ? hivex_node_get_value(h, select, "Current") : 0;
        char cs[32] = "";
        if (current) std::snprintf(cs, sizeof cs, "ControlSet%03d", hivex_value_dword(h, current));
        if (!current || !has(root, cs))
            return "not a SYSTEM hive: it has no Select key naming a control set" + user_;
    } else if (iequalsAscii(place, "SOFTWARE")) {
        if (!empty && !has(root, "Microsoft"))
            return "not a SOFTWARE hive: it has no Microsoft key" + user_;
    } else if (iequalsAscii(place, "DEFAULT")) {
        if (!empty && !user)
            return "not a user's hive (no Control Panel, AppEvents, Environment or Keyboard "
                   "Layout key), so not DEFAULT";
    }
    return "";
}

// What the top of a hive shows of its kind, for a header that does not name it.
static std::string kindByContent(const std::string& path) {
    hive_h* h = hivex_open(path.c_str(), 0);
    if (!h) return "";
    hive_node_h root = hivex_root(h);
    auto has = [&](const char* name) { return hivex_node_get_child(h, root, name) != 0; };
    std::string kind = has("Select")                        ? "SYSTEM"
                       : has("Microsoft") && has("Classes") ? "SOFTWARE"
                       : has("Control Panel")               ? "DEFAULT"
                                                            : "";
    hivex_close(h);
    return kind;
}

std::string checkNt(const HiveFile& f) {
    // A recovered copy is a file of /proc/self/fd: a link by its nature.
    int fd = ::open(f.readPath().c_str(), O_RDONLY | O_CLOEXEC | (f.recovered ? 0 : O_NOFOLLOW));
    if (fd < 0) return std::strerror(errno);
    unsigned char b[4096];
    ssize_t n = ::read(fd, b, sizeof b);
    struct stat st;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) return "not a regular file";
    if (n < static_cast<ssize_t>(sizeof b) || std::memcmp(b, "regf", 4) != 0)
        return n >= 4 && std::memcmp(b, "CREG", 4) == 0
                   ? "a Windows 95/98 registry file, not an NT hive"
               : n < static_cast<ssize_t>(sizeof b) && n >= 4 && std::memcmp(b, "regf", 4) == 0
                   ? "truncated: shorter than a hive's base block"
                   : "not an NT registry hive (no regf header)";
    if (le32(b + 4) != le32(b + 8) && !f.stale)
        return "not saved cleanly (its header's sequence numbers differ): start Windows once, or "
               "let it replay the hive's .LOG, and import again";
    if (le32(b + 508) != baseBlockChecksum(b)) return "corrupt: its header's checksum is wrong";
    if (le32(b + 28) != 0) return "not a primary hive (a log or an alternate file)";
    if (4096 + static_cast<uint64_t>(le32(b + 40)) > static_cast<uint64_t>(st.st_size))
        return "truncated: shorter than its header says";
    std::string named;  // the header's file name, its last component
    for (int i = 0; i < 64; i += 2) {
        uint16_t c = static_cast<uint16_t>(b[48 + i] | b[49 + i] << 8);
        if (c == 0) break;
        if (c == '\\')
            named.clear();
        else
            named += c < 0x80 ? static_cast<char>(c) : '?';
    }
    std::string kind = named.empty() ? kindByContent(f.readPath()) : named;
    if (!kind.empty() && !iequalsAscii(kind, f.name.c_str()) &&
        (iequalsAscii(kind, "SYSTEM") || iequalsAscii(kind, "SOFTWARE") ||
         iequalsAscii(kind, "DEFAULT") || iequalsAscii(kind, "SAM") ||
         iequalsAscii(kind, "SECURITY") || iequalsAscii(kind, "NTUSER.DAT")))
        return "a hive of another kind (" + kind + "), not " + f.name;
    hive_h* h = hivex_open(f.readPath().c_str(), 0);
    if (!h) return std::string("damaged: libhivex cannot read it (") + std::strerror(errno) + ")";
    std::string why = misplaced(h, f.name);
    hivex_close(h);
    return why;
}

std::string codePageToUtf16(const std::string& s) {
    return convert(s, cpName().c_str(), "UTF-16LE");
}
std::string codePageToUtf8(const std::string& s) {
    bool ascii = true;
    for (char c : s) ascii &= static_cast<unsigned char>(c) < 0x80;
    return ascii ? s : convert(s, cpName().c_str(), "UTF-8");
}

bool setHiveValues(void* hive, size_t node, const std::vector<HiveValue>& values) {
    std::vector<hive_set_value> set(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        set[i].key = const_cast<char*>(values[i].name.c_str());
        std::memcpy(&set[i].t, &values[i].type, std::min(sizeof set[i].t, sizeof values[i].type));
        set[i].len = values[i].data.size();
        set[i].value = const_cast<char*>(values[i].data.data());
    }
    return hivex_node_set_values(static_cast<hive_h*>(hive), node, set.size(), set.data(), 0) == 0;
}

std::string emptyHive(const std::string& name) {
    std::string f(8192, '\0');
    std::memcpy(&f[0], "regf", 4);
    put32(f, 4, 1), put32(f, 8, 1);       // sequence numbers: saved cleanly
    put32(f, 20, 1), put32(f, 24, 3);     // format 1.3, as XP writes
    put32(f, 32, 1), put32(f, 36, 0x20);  // direct memory load; the root key's cell
    put32(f, 40, 4096), put32(f, 44, 1);  // one bin
    for (size_t i = 0; i < name.size() && i < 31; ++i) f[48 + 2 * i] = name[i];
    const size_t bin = 4096;
    std::memcpy(&f[bin], "hbin", 4);
    put32(f, bin + 8, 4096);
    // The root key (nk), then the security descriptor (sk) its children share.
    const std::string rootName = "ROOT";
    size_t nk = bin + 0x20, nkSize = (4 + 76 + rootName.size() + 7) & ~size_t(7);
    size_t sk = nk + nkSize, skSize = (4 + 20 + 20 + 7) & ~size_t(7);
    put32(f, nk, static_cast<uint32_t>(-static_cast<int32_t>(nkSize)));
    std::memcpy(&f[nk + 4], "nk", 2);
    put16(f, nk + 6, 0x2C);  // hive entry, cannot be deleted, ASCII name
    put32(f, nk + 4 + 16, 0xFFFFFFFF);
    for (size_t o : {28, 32, 40, 48}) put32(f, nk + 4 + o, 0xFFFFFFFF);
    put32(f, nk + 4 + 44, static_cast<uint32_t>(sk - bin));
    put16(f, nk + 4 + 72, static_cast<uint16_t>(rootName.size()));
    std::memcpy(&f[nk + 4 + 76], rootName.data(), rootName.size());
    put32(f, sk, static_cast<uint32_t>(-static_cast<int32_t>(skSize)));
    std::memcpy(&f[sk + 4], "sk", 2);
    put32(f, sk + 8, static_cast<uint32_t>(sk - bin)),
        put32(f, sk + 12, static_cast<uint32_t>(sk - bin));
    put32(f, sk + 16, 1), put32(f, sk + 20, 20);
    f[sk + 24] = 1;             // revision
    put16(f, sk + 26, 0x8000);  // self-relative, no owner, group or lists
    size_t freeAt = sk + skSize;
    put32(f, freeAt, static_cast<uint32_t>(bin + 4096 - freeAt));
    put32(f, 508, baseBlockChecksum(reinterpret_cast<const unsigned char*>(f.data())));
    return f;
}

bool writeHive(const std::string& path, const std::string& name, const Registry& r,
               const std::string& keyPath, std::string& why) {
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        std::string bytes = emptyHive(name);
        bool ok = fd >= 0 &&
                  ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (fd >= 0) ::close(fd);
        if (!ok) return why = path + ": " + std::strerror(errno), false;
    }
    hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (!h) return why = path + ": libhivex refuses the empty hive: " + std::strerror(errno), false;
    const Registry::Key* top = r.find(keyPath);
    std::function<bool(const Registry::Key*, hive_node_h)> fill = [&](const Registry::Key* k,
                                                                      hive_node_h node) {
        std::vector<HiveValue> values;
        for (uint32_t i = 0; i < k->valueCount; ++i) {
            const Registry::Value& v = k->values[i];
            std::string data(reinterpret_cast<const char*>(v.data()), v.dataLength);
            values.push_back({codePageToUtf8(std::string(v.name, v.nameLength)),
                              isStringType(v.type) ? codePageToUtf16(data) : data, v.type});
        }
        if (!values.empty() && !setHiveValues(h, node, values))
            return why = r.path(k) + ": " + std::strerror(errno), false;
        for (uint32_t i = 0; i < k->childCount; ++i) {
            const Registry::Key* c = k->children()[i];
            if (c->deleted || c->isLink) continue;
            std::string n = codePageToUtf8(std::string(c->name, c->nameLength));
            hive_node_h child = hivex_node_add_child(h, node, n.c_str());
            if (!child) return why = r.path(c) + ": " + std::strerror(errno), false;
            if (!fill(c, child)) return false;
        }
        return true;
    };
    bool ok = !top || fill(top, hivex_root(h));
    if (ok && hivex_commit(h, nullptr, 0) != 0)
        ok = (why = path + ": " + std::strerror(errno), false);
    hivex_close(h);
    return ok;
}

std::unique_ptr<RegistryFileEdit> editNtHive(const HiveFile& f, std::string& why) {
    // A dirty hive is edited as its logs recover it, and written clean.
    hive_h* h = hivex_open(f.readPath().c_str(), HIVEX_OPEN_WRITE);
    if (!h) {
        why = std::string("libhivex cannot open it for writing: ") + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<NtEdit>(h);
}

}  // namespace simwin
