#include "model/drives.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

#include "model/codepage.h"
#include "model/host.h"

namespace simwin {

const char* const kSessionManagerKey =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager";
const char* const kPendingValue = "PendingFileRenameOperations";

struct FileSystem::Node {
    int type = 0;  // 0 missing, 1 file, 2 directory
    DWORD error = 0;
    std::string key, full, name;
    std::string live;  // the live host entry of that type behind the node, if any
    const Entry* ov = nullptr;
};

namespace {
bool validNameChar(unsigned char c) {
    if (c < 32) return false;
    return !std::strchr("<>:\"|", c);
}

// Windows' lexical normalisation: drive, components, trailing separator. 0 or an error code.
DWORD normalise(const std::string& input, const std::string& cwd, char& drive,
                std::vector<std::string>& parts, bool& trailing, int depth = 0) {
    std::string p = input;
    std::replace(p.begin(), p.end(), '/', '\\');
    parts.clear();
    trailing = false;
    if (p.empty()) return ERROR_PATH_NOT_FOUND;
    // \\server\share, \\.\device, \\?\..., \??\...: nothing of the kind exists in an image.
    if (p.compare(0, 2, "\\\\") == 0 || p.compare(0, 4, "\\??\\") == 0) return ERROR_PATH_NOT_FOUND;
    std::string rest;
    bool haveDrive = p.size() >= 2 && p[1] == ':' &&
                     ((p[0] >= 'a' && p[0] <= 'z') || (p[0] >= 'A' && p[0] <= 'Z'));
    char cwdDrive = 'C';
    std::vector<std::string> cwdParts;
    auto loadCwd = [&]() -> void {
        bool t;
        bool cwdAbsolute = cwd.size() >= 3 && cwd[1] == ':' && (cwd[2] == '\\' || cwd[2] == '/');
        if (depth > 0 || !cwdAbsolute ||
            normalise(cwd, "C:\\", cwdDrive, cwdParts, t, depth + 1) != 0) {
            cwdDrive = 'C';
            cwdParts.clear();
        }
    };
    if (haveDrive) {
        drive = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
        rest = p.substr(2);
        if (rest.empty() || rest[0] != '\\') {
            // "C:name" is relative to that drive's current directory.
            loadCwd();
            if (cwdDrive == drive) parts = cwdParts;
        }
    } else if (p[0] == '\\') {
        loadCwd();
        drive = cwdDrive;
        rest = p;
    } else {
        loadCwd();
        drive = cwdDrive;
        parts = cwdParts;
        rest = p;
    }
    const CodePage& cp = activeCodePage();
    trailing = !rest.empty() && cp.rfindSeparator(rest) == rest.size() - 1 &&
               rest.find_first_not_of('\\') != std::string::npos;
    size_t i = 0;
    while (i <= rest.size()) {
        size_t j = cp.findSeparator(rest.data(), rest.size(), i);
        std::string c = rest.substr(i, j - i);
        i = j + 1;
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            if (!parts.empty()) parts.pop_back();  // ".." at the root stays at the root
            continue;
        }
        parts.push_back(c);
    }
    return 0;
}

bool hasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

bool shortChar(unsigned char c) {
    return c >= 128 || std::isalnum(c) || std::strchr("!#$%&'()-@^_`{}~", c);
}

std::string shortChars(const std::string& s, size_t limit) {
    std::string out;
    for (unsigned char c : s) {
        if (out.size() == limit) break;
        if (shortChar(c)) out += static_cast<char>(c < 128 ? std::toupper(c) : c);
    }
    return out;
}

// A generated alias: the first six valid characters, ~N, the first three of the extension.
std::string numberedAlias(const std::string& name, unsigned n) {
    std::string s = name.substr(std::min(name.find_first_not_of('.'), name.size()));
    size_t dot = s.rfind('.');
    std::string ext = dot == std::string::npos ? "" : shortChars(s.substr(dot + 1), 3);
    std::string basis = shortChars(s.substr(0, dot), 6);
    if (basis.empty()) basis = "_";
    std::string tail = "~" + std::to_string(n);
    return basis.substr(0, 8 - tail.size()) + tail + (ext.empty() ? "" : "." + ext);
}

const DWORD kErrorNotSameDevice = 17;

bool globMatch(const char* p, const char* n) {
    // Iterative * backtracking: linear enough for file names, no recursion blow-up.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*n) {
        if (*p == '?' || (*p && *p != '*' && *p == *n)) {
            ++p;
            ++n;
        } else if (*p == '*') {
            star = p++;
            resume = n;
        } else if (star) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*') ++p;
    return *p == 0;
}
}  // namespace

DWORD fullWindowsPath(const std::string& windowsPath, const std::string& currentDirectory,
                      std::string& full) {
    char drive = 'C';
    std::vector<std::string> parts;
    bool trailing = false;
    DWORD e = normalise(windowsPath, currentDirectory, drive, parts, trailing);
    if (e) return e;
    full = std::string(1, drive) + ":\\";
    for (size_t i = 0; i < parts.size(); ++i) full += (i ? "\\" : "") + parts[i];
    return 0;
}

bool isShortName(const std::string& name) {
    size_t dot = name.find('.');
    size_t base = dot == std::string::npos ? name.size() : dot;
    size_t ext = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (base == 0 || base > 8 || ext > 3 || (dot != std::string::npos && ext == 0)) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (i != dot && !shortChar(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

bool isShortPath(const std::string& path) {
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = activeCodePage().findSeparator(path.data(), path.size(), i, true);
        std::string part = path.substr(i, j - i);
        bool drive = i == 0 && part.size() == 2 && part[1] == ':';
        if (!part.empty() && !drive && part != "." && part != ".." && !isShortName(part))
            return false;
        i = j + 1;
    }
    return true;
}

bool wildcardMatch(const std::string& pattern, const std::string& name) {
    std::string p = upper(pattern), n = upper(name);
    if (globMatch(p.c_str(), n.c_str())) return true;
    bool noDot = n.find('.') == std::string::npos;
    if (noDot && p.size() >= 2 && p.compare(p.size() - 2, 2, ".*") == 0)
        return globMatch(p.substr(0, p.size() - 2).c_str(), n.c_str());
    if (noDot && p.size() >= 2 && p.back() == '.' && p[p.size() - 2] != '.')
        return globMatch(p.substr(0, p.size() - 1).c_str(), n.c_str());
    return false;
}

FileSystem::FileSystem(const std::string& imageDir, Staging& staging)
    : imageDir_(imageDir), staging_(staging) {
    for (const std::string& e : entries(imageDir)) {
        if (!isDriveName(e)) continue;
        struct stat st;
        if (lstatOk(imageDir + "/" + e, st) && !S_ISDIR(st.st_mode))
            throw ImageError(imageDir + "/" + e, 0,
                             "expected a directory (a drive may not be a link or a file)");
    }
}

std::string FileSystem::driveRoot(char letter) const {
    char l = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    if (l < 'a' || l > 'z') return "";
    std::string root = imageDir_ + "/drive_" + l;
    return isDir(root) ? root : "";
}

bool FileSystem::findLive(const std::string& dir, const std::string& name,
                          std::string& hostName) const {
    struct stat st;
    if (lstatOk(dir + "/" + name, st)) {
        hostName = name;
        return true;
    }
    auto it = liveNames_.find(dir);
    if (it == liveNames_.end()) {
        // The live drives do not change during a run: one listing per folder.
        std::map<std::string, std::string> names;
        for (const std::string& e : entries(dir)) names.emplace(upper(e), e);
        it = liveNames_.emplace(dir, std::move(names)).first;
    }
    auto n = it->second.find(upper(name));
    if (n == it->second.end()) return false;
    hostName = n->second;
    return true;
}

FileSystem::Node FileSystem::rootNode(char drive) const {
    Node n;
    n.key = std::string(1, drive) + ":";
    n.full = n.key + "\\";
    n.live = driveRoot(drive);
    n.type = drive == 'C' || !n.live.empty() ? 2 : 0;
    return n;
}

FileSystem::Node FileSystem::child(const Node& dir, const std::string& name) const {
    Node c;
    c.key = dir.key + "\\" + upper(name);
    c.full = dir.full + (dir.full.back() == '\\' ? "" : "\\") + name;
    std::string liveName, livePath;
    int liveType = 0;
    if (!dir.live.empty() && findLive(dir.live, name, liveName)) {
        livePath = dir.live + "/" + liveName;
        struct stat st;
        if (lstatOk(livePath, st)) liveType = S_ISREG(st.st_mode) ? 1 : S_ISDIR(st.st_mode) ? 2 : 3;
    }
    auto it = overlay_.find(c.key);
    if (it != overlay_.end()) {
        const Entry& e = it->second;
        c.ov = &e;
        if (e.kind == Entry::Dir) {
            c.type = 2;
            if (liveType == 2) c.live = livePath;
        } else if (e.kind == Entry::File) {
            c.type = 1;
        }
        c.name = e.kind == Entry::Deleted ? name : e.name;
        return c;
    }
    if (liveType == 3) {
        c.error = ERROR_ACCESS_DENIED;  // a link or special file: not a thing Windows sees
        return c;
    }
    if (!liveType && dir.type == 2 && isShortName(name)) {
        // An entry is found by its alias too.
        std::string u = upper(name);
        for (const auto& [longName, alias] : aliases(dir))
            if (alias.first == u && longName != u) return child(dir, alias.second);
    }
    c.type = liveType;
    c.name = liveType ? liveName : name;
    c.live = livePath;
    return c;
}

FileSystem::Node FileSystem::nodeOf(const ResolvedPath& p) const {
    Node n;
    n.key = p.key;
    n.full = p.full;
    n.name = p.name;
    n.live = p.live;
    n.type = p.exists ? (p.isDirectory ? 2 : 1) : 0;
    auto it = overlay_.find(p.key);
    if (it != overlay_.end()) n.ov = &it->second;
    return n;
}

std::string FileSystem::contentPath(const Entry& e) const {
    return e.staged.empty() ? e.source : staging_.hostPath(e.staged);
}

ResolvedPath FileSystem::resolve(const std::string& windowsPath,
                                 const std::string& currentDirectory, bool allowWildcard) const {
    ResolvedPath r;
    char drive = 'C';
    std::vector<std::string> parts;
    r.error = normalise(windowsPath, currentDirectory, drive, parts, r.trailingSeparator);
    if (r.error) return r;
    r.full = std::string(1, drive) + ":\\";
    for (size_t i = 0; i < parts.size(); ++i) r.full += (i ? "\\" : "") + parts[i];
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        const std::string& part = parts[i];
        for (size_t k = 0; k < part.size(); ++k) {
            unsigned char c = static_cast<unsigned char>(part[k]);
            if (activeCodePage().pairAt(part.data(), part.size(), k)) {
                ++k;  // a trail byte is part of its character, whatever its value
                continue;
            }
            if (!validNameChar(c)) {
                r.error = ERROR_INVALID_NAME;
                return r;
            }
        }
        if (hasWildcard(parts[i])) {
            if (!last || !allowWildcard) {
                r.error = ERROR_INVALID_NAME;
                return r;
            }
            r.wildcard = true;
        }
    }
    Node dir = rootNode(drive);
    if (!staging_.open() || dir.type != 2) {
        r.error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    if (parts.empty()) {
        r.key = dir.key;
        r.live = dir.live;
        r.exists = r.isDirectory = r.isRoot = true;
        return r;
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        Node next = child(dir, parts[i]);
        if (next.error || next.type != 2) {
            r.error = next.error ? next.error : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
            return r;
        }
        dir = next;
    }
    r.parentKey = dir.key;
    r.parentLive = dir.live;
    r.leaf = r.name = parts.back();
    r.key = dir.key + "\\" + upper(r.leaf);
    r.full = dir.full + (dir.full.back() == '\\' ? "" : "\\") + r.leaf;  // aliases spelt long
    if (r.wildcard) return r;
    Node n = child(dir, r.leaf);
    if (n.error) {
        r.error = n.error;
        return r;
    }
    r.key = n.key;
    r.full = n.full;
    r.name = n.name;
    r.live = n.live;
    r.exists = n.type != 0;
    r.isDirectory = n.type == 2;
    return r;
}

bool FileSystem::attrs(const Node& n, FoundEntry& f) const {
    struct stat st;
    f.name = n.name;
    f.full = n.full;
    f.isDirectory = n.type == 2;
    f.size = 0;
    if (n.ov && n.ov->kind == Entry::File) {
        if (!lstatOk(contentPath(*n.ov), st)) return false;
        f.size = static_cast<uint64_t>(st.st_size);
        f.mtime = st.st_mtim.tv_sec;
    } else if (!n.live.empty()) {
        if (!lstatOk(n.live, st)) return false;
        if (!f.isDirectory) f.size = static_cast<uint64_t>(st.st_size);
        f.mtime = st.st_mtim.tv_sec;
    } else {
        f.mtime = n.ov ? n.ov->mtime : 0;
    }
    return n.type != 0;
}

std::vector<FileSystem::Node> FileSystem::children(const Node& dir) const {
    std::vector<Node> out;
    std::set<std::string> seen;
    if (!dir.live.empty()) {
        for (const std::string& name : entries(dir.live)) {
            Node c = child(dir, name);
            if (c.error || !c.type || !seen.insert(c.key).second) continue;
            out.push_back(c);
        }
    }
    std::string prefix = dir.key + "\\";
    for (auto it = overlay_.lower_bound(prefix);
         it != overlay_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        const std::string& key = it->first;
        if (activeCodePage().findSeparator(key.data(), key.size(), prefix.size()) != key.size())
            continue;
        if (it->second.kind == Entry::Deleted || seen.count(it->first)) continue;
        Node c = child(dir, it->second.name);
        seen.insert(c.key);
        out.push_back(c);
    }
    return out;
}

std::vector<FoundEntry> FileSystem::list(const ResolvedPath& dir,
                                         const std::string& pattern) const {
    std::vector<FoundEntry> out;
    if (dir.error || !dir.isDirectory) return out;
    Node d = nodeOf(dir);
    std::string prefix = dir.full;
    if (prefix.back() != '\\') prefix += '\\';
    if (!dir.isRoot) {
        FoundEntry f;
        if (wildcardMatch(pattern, ".") && attrs(d, f)) {
            f.name = ".";
            f.full = prefix + ".";
            out.push_back(f);
        }
        if (wildcardMatch(pattern, "..")) {
            f = FoundEntry();
            f.name = "..";
            f.isDirectory = true;
            f.full = prefix + "..";
            struct stat st;
            if (!dir.parentLive.empty() && lstatOk(dir.parentLive, st)) f.mtime = st.st_mtim.tv_sec;
            out.push_back(f);
        }
    }
    std::vector<FoundEntry> found;
    const Aliases& alias = aliases(d);
    for (const Node& c : children(d)) {
        if (activeCodePage().findSeparator(c.name.data(), c.name.size()) != c.name.size() ||
            c.name.size() >= MAX_PATH)
            continue;
        FoundEntry f;
        if (wildcardMatch(pattern, c.name) && attrs(c, f)) {
            f.full = prefix + c.name;
            auto a = alias.find(upper(c.name));
            if (!isShortName(c.name) && a != alias.end()) f.shortName = a->second.first;
            found.push_back(f);
        }
    }
    std::sort(found.begin(), found.end(), [](const FoundEntry& a, const FoundEntry& b) {
        std::string ua = upper(a.name), ub = upper(b.name);
        return ua < ub || (ua == ub && a.name < b.name);
    });
    out.insert(out.end(), found.begin(), found.end());
    return out;
}

bool FileSystem::entry(const ResolvedPath& p, FoundEntry& out) const {
    if (p.error || !p.exists) return false;
    if (!attrs(nodeOf(p), out)) return false;
    if (!p.isRoot && !isShortName(out.name)) {
        ResolvedPath dir =
            resolve(p.full.substr(0, activeCodePage().rfindSeparator(p.full) + 1), "C:\\");
        const Aliases& alias = aliases(nodeOf(dir));
        auto a = alias.find(upper(out.name));
        if (a != alias.end()) out.shortName = a->second.first;
    }
    return true;
}

void FileSystem::setShortNames(const std::map<std::string, std::string>& aliases) {
    shortNames_ = aliases;
    changed();
}

// As FAT and NTFS give them: the aliases machine.ini names first, then the names that are 8.3
// names already, then the others numbered in the order of their names sorted without case.
const FileSystem::Aliases& FileSystem::aliases(const Node& dir) const {
    auto cached = aliasCache_.find(dir.key);
    if (cached != aliasCache_.end()) return cached->second;
    Aliases out;
    std::set<std::string> taken;
    std::vector<std::pair<std::string, std::string>> rest;  // upper-cased name, spelling
    std::vector<Node> kids = children(dir);
    for (const Node& c : kids) {
        auto named = shortNames_.find(upper(c.full));
        if (named != shortNames_.end() && taken.insert(named->second).second)
            out[upper(c.name)] = {named->second, c.name};
    }
    for (const Node& c : kids) {
        std::string u = upper(c.name);
        if (out.count(u)) continue;
        if (isShortName(c.name) && taken.insert(u).second)
            out[u] = {u, c.name};
        else
            rest.emplace_back(u, c.name);
    }
    std::sort(rest.begin(), rest.end());
    for (const auto& [u, name] : rest) {
        for (unsigned n = 1;; ++n) {
            std::string a = numberedAlias(name, n);
            if (taken.insert(a).second) {
                out[u] = {a, name};
                break;
            }
        }
    }
    return aliasCache_[dir.key] = std::move(out);
}

DWORD FileSystem::shortPath(const std::string& path, const std::string& currentDirectory,
                            std::string& out) const {
    ResolvedPath whole = resolve(path, currentDirectory);
    if (whole.error) return whole.error;
    if (!whole.exists) return ERROR_FILE_NOT_FOUND;
    out.clear();
    size_t i = 0;
    while (i < path.size()) {
        size_t j = activeCodePage().findSeparator(path.data(), path.size(), i, true);
        std::string part = path.substr(i, j - i);
        bool drive = i == 0 && part.size() == 2 && part[1] == ':';
        if (!drive && !part.empty() && part != "." && part != "..") {
            ResolvedPath r = resolve(path.substr(0, j), currentDirectory);
            if (r.error) return r.error;
            if (!r.exists) return ERROR_FILE_NOT_FOUND;
            ResolvedPath dir =
                resolve(r.full.substr(0, activeCodePage().rfindSeparator(r.full) + 1), "C:\\");
            const Aliases& alias = aliases(nodeOf(dir));
            auto a = alias.find(upper(r.name));
            // A component already in 8.3 form is copied as given.
            if (a != alias.end() && !isShortName(part)) part = a->second.first;
        }
        out += part;
        if (j < path.size()) out += path[j];
        i = j + 1;
    }
    return 0;
}

DWORD FileSystem::openAllowed(const ResolvedPath& p, bool writes, const Machine& m) {
    if (!p.exists || !writes) return 0;
    unsigned rule = m.config.fileRule(p.full);
    if (rule & kFileInUse) return ERROR_SHARING_VIOLATION;
    if (m.config.isNT() && (rule & kFileLoaded)) return ERROR_SHARING_VIOLATION;
    if (rule & kFileReadOnly) return ERROR_ACCESS_DENIED;
    return 0;
}

DWORD FileSystem::scheduleAllowed(const std::string& full, const Machine& m) {
    return (m.config.fileRule(full) & kFileNoSchedule) ? ERROR_ACCESS_DENIED : 0;
}

DWORD FileSystem::attributes(const FoundEntry& e, const Machine& m) {
    if (e.isDirectory) return FILE_ATTRIBUTE_DIRECTORY;
    DWORD a = FILE_ATTRIBUTE_ARCHIVE;
    if (m.config.fileRule(e.full) & kFileReadOnly) a |= FILE_ATTRIBUTE_READONLY;
    return a;
}

std::string FileSystem::newStaged(int& fd) {
    std::string name;
    fd = staging_.createFile(name);
    return name;
}

int FileSystem::openFile(const ResolvedPath& p, const std::string& mode, DWORD& error) {
    error = 0;
    if (!p.exists) changed();
    if (p.error || !staging_.open()) {
        error = p.error ? p.error : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
        return -1;
    }
    bool plus = mode.find('+') != std::string::npos;
    char kind = mode.empty() ? 'r' : mode[0];
    Node n = nodeOf(p);
    const Entry* e = n.ov && n.ov->kind == Entry::File ? n.ov : nullptr;
    std::string current = !p.exists ? "" : e ? contentPath(*e) : n.live;
    if (kind == 'r' && !plus) {
        int fd = ::open(current.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        return fd;
    }
    // Writes go to a staged file; the live one is replaced only at the commit.
    int flags = O_NOFOLLOW | O_CLOEXEC | (plus || kind == 'r' ? O_RDWR : O_WRONLY);
    if (kind == 'a') flags |= O_APPEND;
    std::string staged;
    if (e && !e->staged.empty()) {
        staged = e->staged;
        int fd = ::open(staging_.hostPath(staged).c_str(), flags | (kind == 'w' ? O_TRUNC : 0));
        if (fd < 0) error = ERROR_ACCESS_DENIED;
        return fd;
    }
    int fd;
    staged = newStaged(fd);
    if (fd < 0) {
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    struct stat st;
    bool ok = true;
    if (!current.empty() && lstatOk(current, st)) {
        ::fchmod(fd, st.st_mode & 07777);
        if (kind != 'w') ok = copyInto(current, fd);
    }
    ::close(fd);
    if (ok) fd = ::open(staging_.hostPath(staged).c_str(), flags);
    if (!ok || fd < 0) {
        ::unlink(staging_.hostPath(staged).c_str());
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    Entry ne;
    ne.kind = Entry::File;
    ne.name = p.exists ? p.name : p.leaf;
    ne.staged = staged;
    overlay_[p.key] = ne;
    return fd;
}

bool FileSystem::readFile(const ResolvedPath& p, std::string& out) const {
    if (p.error || !p.exists || p.isDirectory) return false;
    Node n = nodeOf(p);
    std::string path = n.ov && n.ov->kind == Entry::File ? contentPath(*n.ov) : n.live;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    ssize_t r;
    while ((r = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(r));
    ::close(fd);
    return r == 0;
}

DWORD FileSystem::deleteFile(const std::string& path, const Machine& m, bool applyRules) {
    ResolvedPath r = resolve(path, m.config.system.currentDirectory);
    if (r.error) return r.error;
    if (!r.exists) return ERROR_FILE_NOT_FOUND;
    if (r.isDirectory) return ERROR_ACCESS_DENIED;
    if (r.trailingSeparator) return ERROR_INVALID_NAME;
    if (applyRules) {
        // 95/98 delete open files, but not an image mapped in memory.
        unsigned rule = m.config.fileRule(r.full);
        if (m.config.isNT() && (rule & kFileInUse)) return ERROR_SHARING_VIOLATION;
        if (rule & kFileLoaded) return ERROR_ACCESS_DENIED;
        if (rule & kFileReadOnly) return ERROR_ACCESS_DENIED;
    }
    changed();
    Entry& e = overlay_[r.key];
    if (e.kind == Entry::File && !e.staged.empty()) ::unlink(staging_.hostPath(e.staged).c_str());
    e = Entry();
    e.name = r.name;
    return 0;
}

// A folder moves as its entries: each becomes an entry at the new place.
DWORD FileSystem::moveTree(const Node& src, const std::string& dstKey, const std::string& dstName) {
    std::vector<Node> kids = children(src);
    Entry d;
    d.kind = Entry::Dir;
    d.name = dstName;
    d.mtime = static_cast<int64_t>(std::time(nullptr));
    overlay_[dstKey] = d;
    for (const Node& c : kids) {
        std::string key = dstKey + "\\" + upper(c.name);
        if (c.type == 2) {
            moveTree(c, key, c.name);
        } else {
            Entry f;
            f.kind = Entry::File;
            f.name = c.name;
            if (c.ov && c.ov->kind == Entry::File) {
                f.staged = c.ov->staged;
                f.source = c.ov->source;
            } else {
                f.source = c.live;
            }
            overlay_[key] = f;
        }
        Entry gone;
        gone.name = c.name;
        overlay_[c.key] = gone;
    }
    Entry gone;
    gone.name = src.name;
    overlay_[src.key] = gone;
    return 0;
}

DWORD FileSystem::moveFile(const std::string& from, const std::string& to, bool replace,
                           const Machine& m, bool applyRules) {
    ResolvedPath s = resolve(from, m.config.system.currentDirectory);
    if (s.error) return s.error;
    if (!s.exists) return ERROR_FILE_NOT_FOUND;
    if (s.isRoot) return ERROR_ACCESS_DENIED;
    ResolvedPath d = resolve(to, m.config.system.currentDirectory);
    if (d.error) return d.error;
    if (d.isRoot) return ERROR_ACCESS_DENIED;
    if (applyRules && (m.config.fileRule(s.full) & kFileInUse))
        return m.config.isNT() ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED;
    changed();
    Node src = nodeOf(s);
    std::string name = d.leaf;
    if (d.exists && d.key != s.key) {
        if (!replace) return ERROR_ALREADY_EXISTS;
        if (d.isDirectory || s.isDirectory) return ERROR_ACCESS_DENIED;
        if (applyRules && (m.config.fileRule(d.full) & (kFileInUse | kFileReadOnly | kFileLoaded)))
            return ERROR_ACCESS_DENIED;
        name = d.name;
    }
    if (s.isDirectory) {
        if (s.full[0] != d.full[0]) return kErrorNotSameDevice;
        if (d.key.compare(0, s.key.size() + 1, s.key + "\\") == 0) return ERROR_ACCESS_DENIED;
        if (d.key == s.key) {
            // Only the letter case changes.
            Entry e;
            e.kind = Entry::Dir;
            e.name = name;
            e.mtime = static_cast<int64_t>(std::time(nullptr));
            overlay_[s.key] = e;
            return 0;
        }
        // What Windows cannot see would be left behind: refuse, as a folder in use is.
        std::vector<Node> stack{src};
        while (!stack.empty()) {
            Node n = stack.back();
            stack.pop_back();
            if (!n.live.empty()) {
                for (const std::string& e : entries(n.live))
                    if (child(n, e).error) return ERROR_ACCESS_DENIED;
            }
            for (const Node& c : children(n))
                if (c.type == 2) stack.push_back(c);
        }
        return moveTree(src, d.key, name);
    }
    Entry f;
    f.kind = Entry::File;
    f.name = name;
    if (src.ov && src.ov->kind == Entry::File) {
        f.staged = src.ov->staged;
        f.source = src.ov->source;
    } else {
        f.source = src.live;
    }
    if (d.key != s.key) {
        Entry& old = overlay_[d.key];
        if (old.kind == Entry::File && !old.staged.empty())
            ::unlink(staging_.hostPath(old.staged).c_str());
        Entry gone;
        gone.name = s.name;
        overlay_[s.key] = gone;
    }
    overlay_[d.key] = f;
    return 0;
}

DWORD FileSystem::createDirectory(const std::string& path, const Machine& m) {
    ResolvedPath r = resolve(path, m.config.system.currentDirectory);
    changed();
    if (r.error) return r.error;
    if (r.isRoot) return ERROR_ACCESS_DENIED;
    if (r.exists) return ERROR_ALREADY_EXISTS;
    Entry e;
    e.kind = Entry::Dir;
    e.name = r.leaf;
    e.mtime = static_cast<int64_t>(std::time(nullptr));
    overlay_[r.key] = e;
    return 0;
}

DWORD FileSystem::removeDirectory(const std::string& path, const Machine& m) {
    ResolvedPath r = resolve(path, m.config.system.currentDirectory);
    changed();
    if (r.error) return r.error;
    if (!r.exists) return ERROR_FILE_NOT_FOUND;
    if (!r.isDirectory || r.isRoot) return r.isRoot ? ERROR_ACCESS_DENIED : ERROR_DIRECTORY;
    Node n = nodeOf(r);
    if (!children(n).empty()) return ERROR_DIR_NOT_EMPTY;
    if (!n.live.empty()) {
        for (const std::string& e : entries(n.live))
            if (child(n, e).error) return ERROR_DIR_NOT_EMPTY;  // a link Windows cannot see
    }
    Entry gone;
    gone.name = r.name;
    overlay_[r.key] = gone;
    return 0;
}

}  // namespace simwin
