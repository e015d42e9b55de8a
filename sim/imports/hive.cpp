#include "imports/hive.h"

#include "imports/fileedit.h"
#include "imports/formats.h"

#include <dirent.h>
#include <fcntl.h>
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

bool iequalsAscii(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The entry of `dir` named `name` without case; "" when there is none.
std::string findEntry(const std::string& dir, const char* name, std::string* twice = nullptr) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return "";
    std::string found;
    while (dirent* e = ::readdir(d))
        if (iequalsAscii(e->d_name, name)) {
            // Windows cannot tell such names apart: which one it uses is not ours to guess.
            if (!found.empty() && twice) *twice = found + " and " + e->d_name;
            if (found.empty() || (twice && !twice->empty())) found = e->d_name;
            if (!twice) break;
        }
    ::closedir(d);
    return found;
}

// `dir`/`parts`..., each found without case; refuses a link on the way.
bool locate(const std::string& dir, const std::vector<const char*>& parts, std::string& out,
            std::string& why) {
    out = dir;
    for (const char* p : parts) {
        std::string twice;
        std::string name = findEntry(out, p, &twice);
        if (!twice.empty())
            return why = out + " holds both " + twice +
                         ", names Windows cannot tell apart; it cannot say which it uses",
                   false;
        if (name.empty()) return why = out + " has no " + p, false;
        out += "/" + name;
        struct stat st;
        if (::lstat(out.c_str(), &st) != 0) return why = out + ": " + std::strerror(errno), false;
        if (S_ISLNK(st.st_mode)) return why = out + " is a link; links are not followed", false;
    }
    return true;
}
}  // namespace

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

bool fitsImage(const std::string& name, std::ostream& warnings, const std::string& file,
               const Registry& r, const Registry::Key* key, const char* what) {
    if (name.find_first_of("\r\n") == std::string::npos) return true;
    warnings << "dot4sim: warning: " << file << ": " << codePageToUtf8(r.path(key)) << ": " << what
             << " with a line break in its name, which the image cannot hold; left out\n";
    return false;
}

Registry::Key* keyAt(Registry& r, const std::string& keyPath) {
    size_t slash = keyPath.find('\\');
    std::string rootPart = keyPath.substr(0, slash);
    Registry::Key* k = r.root(rootIndex(rootPart.data(), rootPart.size()));
    if (slash == std::string::npos) return k;
    std::string sub = keyPath.substr(slash + 1);
    return r.createChild(k, sub.data(), sub.size());
}

namespace {

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

std::string partitionRoot(std::string given) {
    while (given.size() > 1 && given.back() == '/') given.pop_back();
    struct stat st;
    char real[PATH_MAX];
    // The root as named may be a link (a mount point's alias); nothing below it is followed.
    if (::lstat(given.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(given.c_str(), real))
        return real;
    return given;
}

bool openPartition(const std::string& root, Partition& p, std::ostream& err,
                   const std::string& windir) {
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
        if (windir.empty() ? !iequalsAscii(name, "WINDOWS") && !iequalsAscii(name, "WINNT")
                           : !iequalsAscii(name, windir.c_str()))
            continue;
        std::string dir = root + "/" + name, host, why;
        if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            err << "dot4sim: " << dir << " is a link; links are not followed\n";
            return false;
        }
        bool nt = locate(dir, {"system32", "config", "SYSTEM"}, host, why);
        if (!nt && (why.find("is a link") != std::string::npos ||
                    why.find("holds both") != std::string::npos)) {
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
        err << "dot4sim: " << root << " has no Windows directory ("
            << (windir.empty() ? "WINDOWS or WINNT" : windir)
            << " holding system32/config/SYSTEM, or SYSTEM.DAT)\n";
        return false;
    }
    if (found.size() > 1) {
        err << "dot4sim: " << root << " has two Windows directories, " << found[0] << " and "
            << found[1] << "; pick one with --windir NAME\n";
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
        if (!locate(p.windows, {"USER.DAT"}, user.host, why)) {
            err << "dot4sim: " << why
                << " (a 95/98 Windows directory holds SYSTEM.DAT and USER.DAT)\n";
            return false;
        }
        p.hives.push_back(user);
    }
    return true;
}

bool checkHives(const Partition& p, std::ostream& err, const char* outcome) {
    for (const HiveFile& f : p.hives) {
        std::string why;
        try {
            why = p.nt ? checkNt(f) : check9x(f);
        } catch (const std::bad_alloc&) {
            why = "not enough memory to read it";
        }
        if (!why.empty()) {
            err << "dot4sim: " << f.host << ": " << why << "; " << outcome << "\n";
            return false;
        }
    }
    return true;
}

bool readHives(const Partition& p, Registry& r, std::ostream& warnings, std::ostream& err) {
    for (const HiveFile& f : p.hives) {
        try {
            if (!(p.nt ? readNt(f, r, warnings, err) : readCreg(f, r, warnings, err))) return false;
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
        // A file's record is named by its Windows path; root=, windir= and stale= are not files.
        if (!inSource || eq == std::string::npos || eq < 2 || line[1] != ':') continue;
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
    if (!openPartition(root, partition, err, windir)) return false;
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
           (names.empty() ? "" : "stale=" + names + "\r\n") +
           (windir.empty() ? "" : "windir=" + windir + "\r\n");
}

std::unique_ptr<RegistryFileEdit> editRegistryFile(const HiveFile& f, bool nt, std::string& why) {
    return nt ? editNtHive(f, why) : editCregFile(f, why);
}

}  // namespace simwin
