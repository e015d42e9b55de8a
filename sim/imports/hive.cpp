#include "imports/hive.h"

#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <libcreg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <set>
#include <ostream>
#include <sstream>

#include "imports/creg.h"
#include "imports/hivelog.h"
#include "model/codepage.h"
#include "model/iconv.h"
#include "model/registry.h"

namespace simwin {

namespace {

constexpr unsigned kMaxDepth = 512;  // Windows' own limit of nested keys

bool iequalsAscii(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The entry of `dir` named `name` without case; "" when there is none.
std::string findEntry(const std::string& dir, const char* name) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return "";
    std::string found;
    while (dirent* e = ::readdir(d))
        if (iequalsAscii(e->d_name, name)) {
            found = e->d_name;
            break;
        }
    ::closedir(d);
    return found;
}

// `dir`/`parts`..., each found without case; refuses a link on the way.
bool locate(const std::string& dir, const std::vector<const char*>& parts, std::string& out,
            std::string& why) {
    out = dir;
    for (const char* p : parts) {
        std::string name = findEntry(out, p);
        if (name.empty()) return why = out + " has no " + p, false;
        out += "/" + name;
        struct stat st;
        if (::lstat(out.c_str(), &st) != 0) return why = out + ": " + std::strerror(errno), false;
        if (S_ISLNK(st.st_mode)) return why = out + " is a link; links are not followed", false;
    }
    return true;
}

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
std::string utf8ToUtf16(const char* s, size_t n) {
    std::string out;
    out.reserve(n * 2);
    auto put = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF), out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < n;) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        uint32_t u = extra <= 0 ? c : c & (0x3F >> extra);
        bool ok = extra >= 0 && i + extra < n + (extra == 0);
        for (int k = 1; ok && k <= extra; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            ok = (t & 0xC0) == 0x80;
            u = u << 6 | (t & 0x3F);
        }
        if (!ok) {
            put(0xFFFD);
            ++i;
            continue;
        }
        i += 1 + extra;
        if (u >= 0x10000) {
            u -= 0x10000;
            put(0xD800 | (u >> 10));
            put(0xDC00 | (u & 0x3FF));
        } else {
            put(u);
        }
    }
    return out;
}

bool validUtf8(const std::string& s) {
    std::string w = utf8ToUtf16(s.data(), s.size());
    for (size_t i = 0; i + 1 < w.size(); i += 2)
        if (static_cast<unsigned char>(w[i]) == 0xFD &&
            static_cast<unsigned char>(w[i + 1]) == 0xFF)
            return false;
    return true;
}

std::string convert(const std::string& s, const char* from, const char* to) {
    Iconv cv(to, from);
    if (!cv.ok()) return s;
    // A byte without a character is left out.
    return cv.convert(s.data(), s.size(), "", [](const char*, size_t) { return 1; });
}

std::string cpName() { return "CP" + std::to_string(activeCodePage().number()); }

bool isStringType(uint32_t t) { return t == REG_SZ || t == REG_EXPAND_SZ || t == REG_MULTI_SZ; }

// Reads one hive's keys below `into`, stopping at a loop or a depth Windows never makes.
struct HivexReader {
    hive_h* h;
    const std::string& file;
    Registry& r;
    std::ostream& warnings;
    std::vector<bool> seen;
    std::string problem;

    std::string local(const char* utf8, const std::function<std::string()>& where) {
        size_t n = std::strlen(utf8);
        bool ascii = true;
        for (size_t i = 0; i < n && ascii; ++i) ascii = static_cast<unsigned char>(utf8[i]) < 0x80;
        if (ascii) return std::string(utf8, n);
        std::string wide = utf8ToUtf16(utf8, n);
        return fromWide(wide, where);
    }
    std::string fromWide(const std::string& wide, const std::function<std::string()>& where) {
        const CodePage& cp = activeCodePage();
        return cp.fromUtf16(wide.data(), wide.size() & ~size_t(1), [&](uint32_t code, size_t) {
            char u[16];
            std::snprintf(u, sizeof u, "U+%04X", code);
            warnings << "dot4sim: warning: " << file << ": " << where() << ": " << u
                     << " has no form in code page " << cp.number() << "; stored as '?'\n";
        });
    }

    bool read(hive_node_h node, Registry::Key* key, unsigned depth) {
        if (depth > kMaxDepth) return problem = "keys nested deeper than 512 levels", false;
        if (node / 8 >= seen.size() || seen[node / 8])
            return problem = "a key listed twice (a loop in the file)", false;
        seen[node / 8] = true;
        std::unique_ptr<hive_value_h, decltype(&free)> values(hivex_node_values(h, node), &free);
        if (!values)
            return problem = codePageToUtf8(r.path(key)) + ": libhivex cannot list its values (" +
                             std::strerror(errno) + ")",
                   false;
        for (hive_value_h* v = values.get(); *v; ++v) {
            std::unique_ptr<char, decltype(&free)> name(hivex_value_key(h, *v), &free);
            hive_type t;
            size_t len = 0;
            std::unique_ptr<char, decltype(&free)> data(hivex_value_value(h, *v, &t, &len), &free);
            if (!name || !data)
                return problem = std::string("a value: ") + std::strerror(errno), false;
            auto where = [&] { return codePageToUtf8(r.path(key)) + " \"" + name.get() + "\""; };
            std::string n = local(name.get(), where);
            std::string bytes(data.get(), len);
            uint32_t type = 0;  // any number: a broken file's type need not be one hivex names
            std::memcpy(&type, &t, std::min(sizeof type, sizeof t));
            if (isStringType(type)) bytes = fromWide(bytes, where);
            r.setValue(key, n.data(), n.size(), type,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        }
        std::unique_ptr<hive_node_h, decltype(&free)> kids(hivex_node_children(h, node), &free);
        if (!kids)
            return problem = codePageToUtf8(r.path(key)) + ": libhivex cannot list its sub-keys (" +
                             std::strerror(errno) + ")",
                   false;
        for (hive_node_h* c = kids.get(); *c; ++c) {
            std::unique_ptr<char, decltype(&free)> name(hivex_node_name(h, *c), &free);
            if (!name) return problem = std::string("a key name: ") + std::strerror(errno), false;
            std::string n =
                local(name.get(), [&] { return codePageToUtf8(r.path(key)) + "\\" + name.get(); });
            if (n.empty()) n = "?";
            if (!read(*c, r.createChild(key, n.data(), n.size()), depth + 1)) return false;
        }
        return true;
    }
};

// The keys of a 95/98 registry file; names and strings are already the machine's 8-bit text.
struct CregReader {
    Registry& r;
    std::string problem;
    std::set<off64_t> seen;

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
                name.resize(std::strlen(name.c_str()));
            }
            if (name.empty()) name = "?";
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

Registry::Key* keyAt(Registry& r, const std::string& keyPath) {
    size_t slash = keyPath.find('\\');
    std::string rootPart = keyPath.substr(0, slash);
    Registry::Key* k = r.root(rootIndex(rootPart.data(), rootPart.size()));
    if (slash == std::string::npos) return k;
    std::string sub = keyPath.substr(slash + 1);
    return r.createChild(k, sub.data(), sub.size());
}

bool readNt(const HiveFile& f, Registry& r, std::ostream& warnings, std::ostream& err) {
    hive_h* h = hivex_open(f.readPath().c_str(), 0);
    if (!h) {
        err << "dot4sim import: " << f.host << ": libhivex refuses it: " << std::strerror(errno)
            << "\n";
        return false;
    }
    struct stat st;
    size_t size = ::stat(f.readPath().c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    HivexReader reader{h, f.host, r, warnings, std::vector<bool>(size / 8 + 1), ""};
    bool ok = reader.read(hivex_root(h), keyAt(r, f.keyPath), 0);
    hivex_close(h);
    if (!ok) err << "dot4sim import: " << f.host << ": " << reader.problem << "\n";
    return ok;
}

bool readCreg(const HiveFile& f, Registry& r, std::ostream& err) {
    libcreg_file_t* file = nullptr;
    libcreg_key_t* root = nullptr;
    CregReader reader{r, "", {}};
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
std::string kindByContent(const std::string& path) {
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
    if (!h) return std::string("libhivex refuses it: ") + std::strerror(errno);
    hivex_close(h);
    return "";
}

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
bool isBackup(int parentFd, const std::string& name) {
    int fd = ::openat(parentFd, (name + "/manifest").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    char head[15] = {};
    bool ours = ::read(fd, head, sizeof head) == sizeof head &&
                std::memcmp(head, "dot4sim backup ", sizeof head) == 0;
    ::close(fd);
    return ours;
}

bool walk(int dirFd, const std::string& hostDir, const std::string& rel, PartitionTree& tree,
          std::ostream& warnings, unsigned depth) {
    DIR* d = ::fdopendir(dirFd);
    if (!d) {
        ::close(dirFd);
        warnings << "dot4sim: warning: " << hostDir << ": " << std::strerror(errno)
                 << "; skipped\n";
        return true;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    for (const std::string& name : names) {
        std::string host = hostDir + "/" + name, path = rel.empty() ? name : rel + "/" + name;
        if (rel.empty() && (name.compare(0, 12, "dot4-backup-") == 0 || name == ".dot4-apply" ||
                            name == ".dot4-apply.part"))
            continue;  // apply's own
        struct stat st;
        if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode) && name.size() > 10 && name[0] == '.' &&
            name.compare(name.size() - 9, 9, ".dot4-new") == 0) {
            warnings << "dot4sim: warning: " << host
                     << " is a new hive an interrupted apply left; left out (the next apply "
                        "removes it)\n";
            continue;
        }
        if (S_ISDIR(st.st_mode) && isBackup(::dirfd(d), name)) {
            warnings << "dot4sim: warning: " << host << " is a backup of dot4sim apply; left out\n";
            continue;
        }
        const char* why = S_ISLNK(st.st_mode) ? "a link; links are not followed"
                          : !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode) ? "not a file or a folder"
                          : !validUtf8(name)                     ? "a name that is not UTF-8"
                          : name.find('\\') != std::string::npos ? "a name with a backslash"
                          : depth > kMaxDepth                    ? "nested too deep"
                                                                 : nullptr;
        if (why) {
            warnings << "dot4sim: warning: " << host << " is " << why << "; left out\n";
            continue;
        }
        PartitionEntry& e = tree[path];
        e.folder = S_ISDIR(st.st_mode);
        e.size = e.folder ? 0 : static_cast<uint64_t>(st.st_size);
        e.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        if (!e.folder) continue;
        int fd =
            ::openat(::dirfd(d), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            warnings << "dot4sim: warning: " << host << ": " << std::strerror(errno)
                     << "; skipped\n";
            continue;
        }
        walk(fd, host, path, tree, warnings, depth + 1);
    }
    ::closedir(d);
    return true;
}

}  // namespace

std::string codePageToUtf16(const std::string& s) {
    return convert(s, cpName().c_str(), "UTF-16LE");
}
std::string codePageToUtf8(const std::string& s) {
    bool ascii = true;
    for (char c : s) ascii &= static_cast<unsigned char>(c) < 0x80;
    return ascii ? s : convert(s, cpName().c_str(), "UTF-8");
}

std::string partitionRoot(std::string given) {
    while (given.size() > 1 && given.back() == '/') given.pop_back();
    struct stat st;
    char real[PATH_MAX];
    // The root as named may be a link (a mount point's alias); nothing below it is followed.
    if (::lstat(given.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(given.c_str(), real))
        return real;
    return given;
}

bool openPartition(const std::string& root, Partition& p, std::ostream& err) {
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err << "dot4sim: " << root
            << " is not a folder (the root of a mounted Windows partition)\n";
        return false;
    }
    p = Partition{};
    p.root = root;
    std::vector<std::string> found;
    DIR* d = ::opendir(root.c_str());
    std::vector<std::string> names;
    while (dirent* e = d ? ::readdir(d) : nullptr) names.push_back(e->d_name);
    if (d) ::closedir(d);
    for (const std::string& name : names) {
        if (!iequalsAscii(name, "WINDOWS") && !iequalsAscii(name, "WINNT")) continue;
        std::string dir = root + "/" + name, host, why;
        if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            err << "dot4sim: " << dir << " is a link; links are not followed\n";
            return false;
        }
        bool nt = locate(dir, {"system32", "config", "SYSTEM"}, host, why);
        if (!nt && why.find("is a link") != std::string::npos) {
            err << "dot4sim: " << why << "\n";
            return false;
        }
        if (nt || locate(dir, {"SYSTEM.DAT"}, host, why)) {
            found.push_back(dir);
            p.windows = dir;
            p.nt = nt;
        }
    }
    if (found.empty()) {
        err << "dot4sim: " << root
            << " has no Windows directory (WINDOWS or WINNT holding system32/config/SYSTEM, or "
               "SYSTEM.DAT)\n";
        return false;
    }
    if (found.size() > 1) {
        err << "dot4sim: " << root << " has two Windows directories, " << found[0] << " and "
            << found[1] << "; give the root of a copy that holds one\n";
        return false;
    }
    std::string why;
    if (p.nt) {
        const char* const names3[][2] = {{"SYSTEM", "HKEY_LOCAL_MACHINE\\SYSTEM"},
                                         {"SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE"},
                                         {"DEFAULT", "HKEY_USERS\\.DEFAULT"}};
        for (auto& n : names3) {
            HiveFile f{n[0], "", n[1]};
            if (!locate(p.windows, {"system32", "config", n[0]}, f.host, why)) {
                err << "dot4sim: " << why
                    << " (an NT Windows directory holds SYSTEM, SOFTWARE and DEFAULT)\n";
                return false;
            }
            p.hives.push_back(f);
        }
    } else {
        HiveFile sys{"SYSTEM.DAT", "", "HKEY_LOCAL_MACHINE"}, user{"USER.DAT", "", "HKEY_USERS"};
        if (!locate(p.windows, {"SYSTEM.DAT"}, sys.host, why)) {
            err << "dot4sim: " << why << "\n";
            return false;
        }
        p.hives.push_back(sys);
        if (locate(p.windows, {"USER.DAT"}, user.host, why)) p.hives.push_back(user);
    }
    return true;
}

bool checkHives(const Partition& p, std::ostream& err) {
    for (const HiveFile& f : p.hives) {
        std::string why;
        try {
            why = p.nt ? checkNt(f) : check9x(f);
        } catch (const std::bad_alloc&) {
            why = "not enough memory to read it";
        }
        if (!why.empty()) {
            err << "dot4sim: " << f.host << ": " << why << "; nothing was made\n";
            return false;
        }
    }
    return true;
}

bool readHives(const Partition& p, Registry& r, std::ostream& warnings, std::ostream& err) {
    for (const HiveFile& f : p.hives) {
        try {
            if (!(p.nt ? readNt(f, r, warnings, err) : readCreg(f, r, err))) return false;
        } catch (const std::bad_alloc&) {
            err << "dot4sim import: not enough memory to read " << f.host << "\n";
            return false;
        }
    }
    return true;
}

bool walkPartition(const std::string& root, PartitionTree& tree, std::ostream& warnings) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    return walk(fd, root, "", tree, warnings, 0);
}

std::string partitionListing(const PartitionTree& tree, char drive) {
    std::string text = "\xFF\xFE";
    for (const auto& [path, e] : tree) {
        if (e.folder) continue;  // implied by the files below it; an empty one is no file
        std::string line = std::string(1, drive) + ":\\" + path + "\r\n";
        for (char& c : line)
            if (c == '/') c = '\\';
        text += utf8ToUtf16(line.data(), line.size());
    }
    return text;
}

std::string windowsPath(const std::string& relative, char drive) {
    std::string line = std::string(1, drive) + ":\\" + relative;
    for (char& c : line)
        if (c == '/') c = '\\';
    std::string wide = utf8ToUtf16(line.data(), line.size());
    return activeCodePage().fromUtf16(wide.data(), wide.size(), [](uint32_t, size_t) {});
}

namespace {

std::map<std::string, std::string> sourceRecords(const PartitionTree& tree, char drive) {
    std::map<std::string, std::string> out;
    for (const auto& [path, e] : tree)
        if (!e.folder)
            out[windowsPath(path, drive)] = std::to_string(e.size) + "," +
                                            std::to_string(e.mtimeNs) +
                                            (e.hash.empty() ? "" : "," + e.hash);
    return out;
}

}  // namespace

std::string sourceSection(const std::string& root, const PartitionTree& tree, char drive) {
    std::string s = "[source]\r\nroot=" + root + "\r\n";
    for (const auto& [path, record] : sourceRecords(tree, drive)) s += path + "=" + record + "\r\n";
    return s;
}

std::string partitionChange(const std::string& iniText, const PartitionTree& tree, char drive) {
    std::map<std::string, std::string> before;
    std::istringstream in(iniText);
    bool inSource = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inSource = iequalsAscii(line, "[source]");
            continue;
        }
        size_t eq = line.rfind('=');
        if (!inSource || eq == std::string::npos || line.compare(0, 5, "root=") == 0 ||
            line.compare(0, 6, "stale=") == 0)
            continue;
        before[line.substr(0, eq)] = line.substr(eq + 1);
    }
    auto now = sourceRecords(tree, drive);
    auto b = before.begin();
    auto n = now.begin();
    while (b != before.end() || n != now.end()) {
        if (n == now.end() || (b != before.end() && b->first < n->first))
            return b->first + " is gone";
        if (b == before.end() || n->first < b->first) return n->first + " is new";
        if (b->second != n->second)
            return n->first + (b->second.size() < 65 || n->second.size() < 65
                                   ? " has another size or time"
                                   : " has another size, time or content");
        ++b, ++n;
    }
    return "";
}

namespace {

char driveOf(const std::string& windowsDirectory) {
    char d = windowsDirectory.size() >= 2 && windowsDirectory[1] == ':' ? windowsDirectory[0] : 'C';
    return static_cast<char>(std::toupper(static_cast<unsigned char>(d)));
}

}  // namespace

void hashHives(const Partition& p, PartitionTree& tree) {
    for (const HiveFile& h : p.hives)
        if (h.host.compare(0, p.root.size() + 1, p.root + "/") == 0)
            tree[h.host.substr(p.root.size() + 1)].hash = fileSha256(h.host);
}

bool PartitionImport::open(const std::string& root, std::ostream& err) {
    if (!openPartition(root, partition, err)) return false;
    std::string marker = partition.root + "/.dot4-apply", backup;
    struct stat st;
    if (::lstat(marker.c_str(), &st) == 0) {
        std::ifstream(marker) >> backup;
        err << "dot4sim import: " << root
            << " holds an apply that was interrupted (its backup: " << backup
            << "): run dot4sim apply on it again to finish it, or dot4sim undo --backup " << backup
            << " --root " << root << " to roll it back, then import; nothing was made\n";
        return false;
    }
    if (!recoverHives(partition, staleHives, notes, stale, err) || !checkHives(partition, err))
        return false;
    walkPartition(root, tree, err);
    hashHives(partition, tree);
    return true;
}

std::string PartitionImport::listing(const std::string& windowsDirectory) const {
    return partitionListing(tree, driveOf(windowsDirectory));
}

std::string PartitionImport::source(const std::string& windowsDirectory) const {
    std::string names;
    for (const std::string& n : stale) names += (names.empty() ? "" : ",") + n;
    return sourceSection(partition.root, tree, driveOf(windowsDirectory)) +
           (names.empty() ? "" : "stale=" + names + "\r\n");
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

}  // namespace simwin
