#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>

namespace simwin {

const char* const kSessionManagerKey =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager";
const char* const kPendingValue = "PendingFileRenameOperations";

namespace {

// The run's copy of the drives: ".dot4sim-staging.PID.N", so that two live runs on one image
// never take each other's copy for the leftover of a dead one.
const char* const kStaging = ".dot4sim-staging";
const char* const kReady = ".dot4sim-ready";  // a complete copy whose swap has begun
const char* const kOld = ".dot4sim-old";      // drives moved aside during the swap

bool lstatOk(const std::string& p, struct stat& st) { return ::lstat(p.c_str(), &st) == 0; }

bool isDir(const std::string& p) {
    struct stat st;
    return lstatOk(p, st) && S_ISDIR(st.st_mode);
}

bool existsNoFollow(const std::string& p) {
    struct stat st;
    return lstatOk(p, st);
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        out.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

bool isDriveName(const std::string& n) {
    return n.size() == 7 && n.compare(0, 6, "drive_") == 0 && n[6] >= 'a' && n[6] <= 'z';
}

// Never follows a link: a link is removed as itself.
void removeTree(const std::string& p) {
    struct stat st;
    if (!lstatOk(p, st)) return;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& e : entries(p)) removeTree(p + "/" + e);
        ::rmdir(p.c_str());
    } else {
        ::unlink(p.c_str());
    }
}

std::string errnoText() { return std::strerror(errno); }

bool copyFile(const std::string& from, const std::string& to, const struct stat& st) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return false;
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     st.st_mode & 07777);
    if (out < 0) {
        ::close(in);
        return false;
    }
    char buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    ::close(in);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
    if (::close(out) != 0) ok = false;
    return ok;
}

// Copies links as links and skips what is neither file, directory nor link (a FIFO would block
// the copy, and no Windows drive holds one). Returns the first failing path, or "".
std::string copyTree(const std::string& from, const std::string& to) {
    struct stat st;
    if (!lstatOk(from, st)) return from;
    if (::mkdir(to.c_str(), (st.st_mode & 07777) | 0700) != 0) return to;
    for (const std::string& e : entries(from)) {
        std::string s = from + "/" + e, d = to + "/" + e;
        struct stat es;
        if (!lstatOk(s, es)) return s;
        if (S_ISDIR(es.st_mode)) {
            std::string bad = copyTree(s, d);
            if (!bad.empty()) return bad;
        } else if (S_ISREG(es.st_mode)) {
            if (!copyFile(s, d, es)) return s;
        } else if (S_ISLNK(es.st_mode)) {
            std::vector<char> target(static_cast<size_t>(es.st_size) + 1 > 4096
                                         ? static_cast<size_t>(es.st_size) + 1
                                         : 4096);
            ssize_t n = ::readlink(s.c_str(), target.data(), target.size() - 1);
            if (n < 0) return s;
            target[static_cast<size_t>(n)] = 0;
            if (::symlink(target.data(), d.c_str()) != 0) return d;
        }
    }
    return "";
}

void syncPath(const std::string& p, bool directory) {
    int fd =
        ::open(p.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

void syncTree(const std::string& p) {
    for (const std::string& e : entries(p)) {
        std::string c = p + "/" + e;
        struct stat st;
        if (!lstatOk(c, st)) continue;
        if (S_ISDIR(st.st_mode))
            syncTree(c);
        else if (S_ISREG(st.st_mode))
            syncPath(c, false);
    }
    syncPath(p, true);
}

std::set<std::string>& liveStagings() {
    static std::set<std::string> live;
    return live;
}

// A staging copy is live while its process runs and, in this process, until it is finished.
bool stagingIsLive(const std::string& name) {
    unsigned long pid = 0;
    if (std::sscanf(name.c_str() + std::strlen(kStaging), ".%lu.", &pid) != 1) return false;
    if (static_cast<pid_t>(pid) == ::getpid()) return liveStagings().count(name) != 0;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Finishes a swap that a crash interrupted, then forgets anything a dead run left behind.
void recover(const std::string& image) {
    std::string ready = image + "/" + kReady, old = image + "/" + kOld;
    if (isDir(ready)) {
        // The copy was complete when the swap began: carry the swap through.
        ::mkdir(old.c_str(), 0700);
        for (const std::string& d : entries(ready)) {
            if (!isDriveName(d)) continue;
            std::string live = image + "/" + d;
            if (existsNoFollow(live)) {
                removeTree(old + "/" + d);
                if (::rename(live.c_str(), (old + "/" + d).c_str()) != 0)
                    throw ImageError(live, 0,
                                     "cannot finish an interrupted commit: " + errnoText());
            }
            if (::rename((ready + "/" + d).c_str(), live.c_str()) != 0)
                throw ImageError(live, 0, "cannot finish an interrupted commit: " + errnoText());
        }
        removeTree(ready);
    }
    removeTree(old);
    for (const std::string& e : entries(image)) {
        if (e.compare(0, std::strlen(kStaging), kStaging) != 0) continue;
        if (!stagingIsLive(e)) removeTree(image + "/" + e);
    }
}

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
    trailing =
        !rest.empty() && rest.back() == '\\' && rest.find_first_not_of('\\') != std::string::npos;
    size_t i = 0;
    while (i <= rest.size()) {
        size_t j = rest.find('\\', i);
        if (j == std::string::npos) j = rest.size();
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

// The host name of `name` in `dir`: the exact spelling first, else the first match without case.
bool findEntry(const std::string& dir, const std::string& name, std::string& hostName) {
    struct stat st;
    if (lstatOk(dir + "/" + name, st)) {
        hostName = name;
        return true;
    }
    for (const std::string& e : entries(dir)) {
        if (iequals(e, name)) {
            hostName = e;
            return true;
        }
    }
    return false;
}

DWORD fromErrno(int e) {
    switch (e) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case ENOSPC:
            return 112;  // ERROR_DISK_FULL
        default:
            return ERROR_ACCESS_DENIED;
    }
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

std::unique_ptr<FileSystem> FileSystem::attach(const std::string& imageDir) {
    recover(imageDir);
    std::unique_ptr<FileSystem> fs(new FileSystem());
    fs->imageDir_ = imageDir;
    static unsigned counter = 0;
    std::string name =
        std::string(kStaging) + "." + std::to_string(::getpid()) + "." + std::to_string(++counter);
    fs->staging_ = imageDir + "/" + name;
    if (::mkdir(fs->staging_.c_str(), 0700) != 0)
        throw ImageError(fs->staging_, 0,
                         "cannot create the run's copy of the drives: " + errnoText());
    liveStagings().insert(name);
    for (const std::string& e : entries(imageDir)) {
        if (!isDriveName(e)) continue;
        std::string src = imageDir + "/" + e;
        struct stat st;
        if (!lstatOk(src, st)) continue;
        if (!S_ISDIR(st.st_mode)) {
            fs->discard();
            throw ImageError(src, 0, "expected a directory (a drive may not be a link or a file)");
        }
        std::string bad = copyTree(src, fs->staging_ + "/" + e);
        if (!bad.empty()) {
            std::string why = errnoText();
            fs->discard();
            throw ImageError(bad, 0, "cannot copy the drive for the run: " + why);
        }
    }
    std::string c = fs->staging_ + "/drive_c";
    if (!isDir(c) && ::mkdir(c.c_str(), 0755) != 0) {
        fs->discard();
        throw ImageError(c, 0, "cannot create drive C: " + errnoText());
    }
    return fs;
}

FileSystem::~FileSystem() {
    if (!finished_) discard();
}

void FileSystem::discard() {
    if (finished_) return;
    removeTree(staging_);
    finish();
}

void FileSystem::finish() {
    finished_ = true;
    liveStagings().erase(staging_.substr(staging_.find_last_of('/') + 1));
}

void FileSystem::commit() {
    if (finished_) throw std::logic_error("simwin: the drives were already committed or discarded");
    commitSteps(~0u);
    finish();
}

void FileSystem::commitInterrupted(unsigned renames) {
    if (finished_) throw std::logic_error("simwin: the drives were already committed or discarded");
    commitSteps(renames);
    finish();  // a dead process cleans up nothing
}

void FileSystem::commitSteps(unsigned limit) {
    unsigned done = 0;
    auto step = [&](const std::string& from, const std::string& to) -> bool {
        if (done >= limit) return false;
        if (::rename(from.c_str(), to.c_str()) != 0)
            throw std::runtime_error("cannot rename " + from + " to " + to + ": " + errnoText());
        ++done;
        return true;
    };
    syncTree(staging_);
    std::string ready = imageDir_ + "/" + kReady, old = imageDir_ + "/" + kOld;
    // From this rename on, the new drives are decided: a crash is finished by the next attach.
    if (!step(staging_, ready)) return;
    syncPath(imageDir_, true);
    if (::mkdir(old.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + old + ": " + errnoText());
    for (const std::string& d : entries(ready)) {
        if (!isDriveName(d)) continue;
        std::string live = imageDir_ + "/" + d;
        if (existsNoFollow(live) && !step(live, old + "/" + d)) return;
        if (!step(ready + "/" + d, live)) return;
    }
    if (done >= limit) return;
    ::rmdir(ready.c_str());
    syncPath(imageDir_, true);
    removeTree(old);
}

std::string FileSystem::driveRoot(char letter) const {
    char l = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    if (l < 'a' || l > 'z' || finished_) return "";
    std::string root = staging_ + "/drive_" + l;
    return isDir(root) ? root : "";
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
        for (unsigned char c : parts[i]) {
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
    std::string dir = driveRoot(drive);
    if (dir.empty()) {
        r.error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    if (parts.empty()) {
        r.host = dir;
        r.exists = r.isDirectory = r.isRoot = true;
        return r;
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string name;
        if (!findEntry(dir, parts[i], name)) {
            r.error = ERROR_PATH_NOT_FOUND;
            return r;
        }
        dir += "/" + name;
        struct stat st;
        if (!lstatOk(dir, st)) {
            r.error = ERROR_PATH_NOT_FOUND;
            return r;
        }
        if (S_ISLNK(st.st_mode)) {
            r.error = ERROR_ACCESS_DENIED;
            return r;
        }
        if (!S_ISDIR(st.st_mode)) {
            r.error = ERROR_PATH_NOT_FOUND;
            return r;
        }
    }
    r.parentHost = dir;
    r.leaf = parts.back();
    r.host = dir + "/" + r.leaf;
    if (r.wildcard) return r;
    std::string name;
    if (findEntry(dir, r.leaf, name)) {
        r.host = dir + "/" + name;
        struct stat st;
        if (!lstatOk(r.host, st)) return r;
        if (S_ISLNK(st.st_mode)) {
            r.error = ERROR_ACCESS_DENIED;
            return r;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            r.error = ERROR_ACCESS_DENIED;
            return r;
        }
        r.exists = true;
        r.isDirectory = S_ISDIR(st.st_mode);
    }
    return r;
}

std::vector<FoundEntry> FileSystem::list(const ResolvedPath& dir,
                                         const std::string& pattern) const {
    std::vector<FoundEntry> out;
    const std::string& host = dir.host;
    std::string prefix = dir.full;
    if (prefix.back() != '\\') prefix += '\\';
    auto add = [&](const std::string& name, const std::string& hostPath) {
        struct stat st;
        if (!lstatOk(hostPath, st)) return;
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return;  // links are not listed
        FoundEntry f;
        f.name = name;
        f.isDirectory = S_ISDIR(st.st_mode);
        f.size = f.isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
        f.mtime = st.st_mtim.tv_sec;
        f.full = prefix + name;
        out.push_back(f);
    };
    if (!dir.isRoot) {
        if (wildcardMatch(pattern, ".")) add(".", host);
        if (wildcardMatch(pattern, "..")) add("..", dir.parentHost);
    }
    std::vector<std::string> names = entries(host);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return upper(a) < upper(b) || (upper(a) == upper(b) && a < b);
    });
    for (const std::string& n : names) {
        if (n.find('\\') != std::string::npos || n.size() >= MAX_PATH) continue;
        if (wildcardMatch(pattern, n)) add(n, host + "/" + n);
    }
    return out;
}

DWORD FileSystem::deleteFile(const std::string& path, const Machine& m, bool applyRules) {
    ResolvedPath r = resolve(path, m.config.system.currentDirectory);
    if (r.error) return r.error;
    if (!r.exists) return ERROR_FILE_NOT_FOUND;
    if (r.isDirectory) return ERROR_ACCESS_DENIED;
    if (r.trailingSeparator) return ERROR_INVALID_NAME;
    if (applyRules) {
        unsigned rule = m.config.fileRule(r.full);
        if (rule & kFileInUse) return ERROR_SHARING_VIOLATION;
        if (rule & kFileReadOnly) return ERROR_ACCESS_DENIED;
    }
    if (::unlink(r.host.c_str()) != 0) return fromErrno(errno);
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
    if (applyRules && (m.config.fileRule(s.full) & kFileInUse)) return ERROR_SHARING_VIOLATION;
    std::string target = d.parentHost + "/" + d.leaf;
    if (d.exists && d.host == s.host) {
        // Only the letter case changes.
        if (::rename(s.host.c_str(), target.c_str()) != 0) return fromErrno(errno);
        return 0;
    }
    if (d.exists) {
        if (!replace) return ERROR_ALREADY_EXISTS;
        if (d.isDirectory || s.isDirectory) return ERROR_ACCESS_DENIED;
        if (applyRules && (m.config.fileRule(d.full) & (kFileInUse | kFileReadOnly)))
            return ERROR_ACCESS_DENIED;
        target = d.host;
    }
    if (s.isDirectory) {
        if (s.full[0] != d.full[0]) return kErrorNotSameDevice;
        if (d.host.compare(0, s.host.size() + 1, s.host + "/") == 0) return ERROR_ACCESS_DENIED;
    }
    if (::rename(s.host.c_str(), target.c_str()) != 0) return fromErrno(errno);
    return 0;
}

DWORD FileSystem::createDirectory(const std::string& path, const Machine& m) {
    ResolvedPath r = resolve(path, m.config.system.currentDirectory);
    if (r.error) return r.error;
    if (r.isRoot) return ERROR_ACCESS_DENIED;
    if (r.exists) return ERROR_ALREADY_EXISTS;
    if (::mkdir(r.host.c_str(), 0755) != 0) return fromErrno(errno);
    return 0;
}

DWORD FileSystem::removeDirectory(const std::string& path, const Machine& m) {
    ResolvedPath r = resolve(path, m.config.system.currentDirectory);
    if (r.error) return r.error;
    if (!r.exists) return ERROR_FILE_NOT_FOUND;
    if (!r.isDirectory || r.isRoot) return r.isRoot ? ERROR_ACCESS_DENIED : ERROR_DIRECTORY;
    if (::rmdir(r.host.c_str()) != 0) return fromErrno(errno);
    return 0;
}

}  // namespace simwin
