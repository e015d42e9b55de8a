#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <ostream>
#include <set>
#include <sstream>

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

// The transaction folder: ".dot4sim-txn.PID.N". Its journal, once renamed into place, is the
// commit; "done.N" marks a finished phase.
const char* const kTxn = ".dot4sim-txn";
const char* const kJournal = "journal";

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
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return out;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return out;
    }
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

std::string parentOf(const std::string& p) {
    size_t s = p.find_last_of('/');
    return s == std::string::npos ? "." : p.substr(0, s);
}

int createExclusive(const std::string& p, mode_t mode = 0644) {
    return ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool writeAll(int fd, const char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t w = ::write(fd, data + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

bool copyInto(const std::string& from, int out) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return false;
    char buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!writeAll(out, buf, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    return ok;
}

void syncPath(const std::string& p, bool directory) {
    int fd =
        ::open(p.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// One exclusive lock per image, held on the image folder for the life of a command.
int lockImage(const std::string& image) {
    int fd = ::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw ImageError(image, 0, "not a machine image: expected a directory");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw ImageError(image, 0,
                         "another dot4sim command is using this image; run again when it is done");
    }
    return fd;
}

// The journal: one line per step, "OP\tA\tB", paths relative to the image. Phases: 1 moves
// aside the live files that move elsewhere (R), 2 removes (U unlink, D rmdir, deepest first),
// 3 creates folders (M mkdir, C a folder's new letter case, shallowest first), 4 places staged
// files (P). Every step can be redone; a phase's "done.N" keeps a finished phase from being
// redone once a later one has begun.
struct Step {
    char op;
    std::string a, b;
};

int phaseOf(char op) {
    switch (op) {
        case 'R':
            return 1;
        case 'U':
        case 'D':
            return 2;
        case 'M':
        case 'C':
            return 3;
        default:
            return 4;
    }
}

bool safeRelative(const std::string& rel) {
    if (rel.empty() || rel[0] == '/') return false;
    size_t i = 0;
    while (i <= rel.size()) {
        size_t j = rel.find('/', i);
        if (j == std::string::npos) j = rel.size();
        std::string c = rel.substr(i, j - i);
        if (c.empty() || c == "." || c == "..") return false;
        i = j + 1;
    }
    return true;
}

// Refuses a path whose folders are not real folders of the image: nothing is followed.
void checkNoLink(const std::string& image, const std::string& rel) {
    if (!safeRelative(rel)) throw ImageError(image + "/" + rel, 0, "not a path inside the image");
    for (size_t j = rel.find('/'); j != std::string::npos; j = rel.find('/', j + 1)) {
        std::string p = image + "/" + rel.substr(0, j);
        struct stat st;
        if (!lstatOk(p, st)) return;  // missing: the step finds nothing to do
        if (!S_ISDIR(st.st_mode))
            throw ImageError(p, 0, "is a link or not a folder; dot4sim will not go through it");
    }
}

struct CommitStopped {};

// Crash tests: DOT4SIM_CRASH_AT=N kills the process before step N+1 of a commit.
struct Ticker {
    unsigned limit;
    unsigned done = 0;
    void tick() {
        if (done++ < limit) return;
        if (std::getenv("DOT4SIM_CRASH_AT")) ::raise(SIGKILL);
        throw CommitStopped{};
    }
};

unsigned crashLimit() {
    const char* e = std::getenv("DOT4SIM_CRASH_AT");
    return e ? static_cast<unsigned>(std::strtoul(e, nullptr, 10)) : ~0u;
}

void failStep(const std::string& what, const std::string& path) {
    throw std::runtime_error("cannot " + what + " " + path + ": " + errnoText());
}

// Applies a committed journal from the first unfinished phase on, then removes the folder.
void applyJournal(const std::string& image, const std::string& txn, const std::vector<Step>& steps,
                  Ticker& t) {
    int first = 1;
    for (int ph = 3; ph >= 1; --ph) {
        if (existsNoFollow(txn + "/done." + std::to_string(ph))) {
            first = ph + 1;
            break;
        }
    }
    for (int ph = first; ph <= 4; ++ph) {
        std::set<std::string> touched;
        for (const Step& s : steps) {
            if (phaseOf(s.op) != ph) continue;
            checkNoLink(image, s.a);
            if (!s.b.empty()) checkNoLink(image, s.b);
            std::string a = image + "/" + s.a, b = s.b.empty() ? "" : image + "/" + s.b;
            t.tick();
            struct stat st;
            switch (s.op) {
                case 'R':  // a live file moves into the transaction folder
                case 'P':  // a staged file moves into place; gone means placed
                case 'C':  // a folder changes case; the new name there means done
                    if (s.op == 'C' ? existsNoFollow(b) : !lstatOk(a, st)) break;
                    if (::rename(a.c_str(), b.c_str()) != 0) failStep("rename", a);
                    break;
                case 'U':
                    if (::unlink(a.c_str()) != 0 && errno != ENOENT) failStep("delete", a);
                    break;
                case 'D':
                    if (::rmdir(a.c_str()) != 0 && errno != ENOENT) failStep("remove", a);
                    break;
                case 'M':
                    if (::mkdir(a.c_str(), 0755) != 0 && !(errno == EEXIST && isDir(a)))
                        failStep("create", a);
                    break;
            }
            touched.insert(parentOf(a));
            if (!b.empty()) touched.insert(parentOf(b));
        }
        for (const std::string& d : touched) syncPath(d, true);
        if (ph < 4) {
            t.tick();
            int fd = createExclusive(txn + "/done." + std::to_string(ph));
            if (fd >= 0) ::close(fd);
            syncPath(txn, true);
        }
    }
    t.tick();
    // Without its journal, what is left of the folder is only rolled back.
    ::unlink((txn + "/" + kJournal).c_str());
    t.tick();
    removeTree(txn);
    syncPath(image, true);
}

std::vector<Step> readJournal(const std::string& path) {
    std::vector<Step> steps;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        throw ImageError(path, 0, "cannot be read, or is not a file dot4sim wrote");
    }
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        Step s;
        size_t t1 = line.find('\t'), t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        if (line.size() < 2 || t1 != 1 || t2 == std::string::npos ||
            !std::strchr("RUDMCP", line[0]))
            throw ImageError(path, number, "not a journal line dot4sim wrote");
        s.op = line[0];
        s.a = line.substr(2, t2 - 2);
        s.b = line.substr(t2 + 1);
        if (!safeRelative(s.a) || (!s.b.empty() && !safeRelative(s.b)))
            throw ImageError(path, number, "a path outside the image");
        steps.push_back(s);
    }
    return steps;
}

std::string recoverLocked(const std::string& image, unsigned stopAfter = ~0u) {
    std::string said;
    for (const std::string& e : entries(image)) {
        if (e.compare(0, std::strlen(kTxn), kTxn) != 0) continue;
        std::string txn = image + "/" + e;
        struct stat st;
        if (!lstatOk(txn, st)) continue;
        if (!S_ISDIR(st.st_mode))
            throw ImageError(txn, 0,
                             "is a link or special file where dot4sim keeps its transactions; "
                             "remove it");
        std::string journal = txn + "/" + kJournal;
        if (lstatOk(journal, st)) {
            Ticker t{stopAfter};
            try {
                applyJournal(image, txn, readJournal(journal), t);
            } catch (const ImageError&) {
                throw;
            } catch (const std::exception& ex) {
                throw ImageError(txn, 0,
                                 std::string("cannot finish an interrupted commit: ") + ex.what());
            }
            said = "dot4sim: " + image + ": finished an interrupted commit";
        } else {
            bool applied = existsNoFollow(txn + "/done.3");
            removeTree(txn);
            syncPath(image, true);
            said = "dot4sim: " + image +
                   (applied ? ": removed what a finished commit left"
                            : ": rolled back an interrupted run (it had not committed)");
        }
    }
    return said;
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
        size_t j = path.find_first_of("\\/", i);
        if (j == std::string::npos) j = path.size();
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

std::string recoverImage(const std::string& imageDir, unsigned stopAfter) {
    int fd = lockImage(imageDir);
    std::string said;
    try {
        said = recoverLocked(imageDir, stopAfter);
    } catch (const CommitStopped&) {
        said = "stopped";
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return said;
}

std::unique_ptr<FileSystem> FileSystem::attach(const std::string& imageDir, std::ostream& notes) {
    std::unique_ptr<FileSystem> fs(new FileSystem());
    fs->imageDir_ = imageDir;
    fs->lockFd_ = lockImage(imageDir);
    fs->finished_ = true;  // nothing to discard until the folder exists
    std::string said = recoverLocked(imageDir);
    if (!said.empty()) notes << said << "\n";
    for (const std::string& e : entries(imageDir)) {
        if (!isDriveName(e)) continue;
        struct stat st;
        if (lstatOk(imageDir + "/" + e, st) && !S_ISDIR(st.st_mode))
            throw ImageError(imageDir + "/" + e, 0,
                             "expected a directory (a drive may not be a link or a file)");
    }
    static unsigned counter = 0;
    fs->txnName_ =
        std::string(kTxn) + "." + std::to_string(::getpid()) + "." + std::to_string(++counter);
    fs->txn_ = imageDir + "/" + fs->txnName_;
    if (::mkdir(fs->txn_.c_str(), 0700) != 0)
        throw ImageError(fs->txn_, 0, "cannot create the run's transaction folder: " + errnoText());
    fs->finished_ = false;
    return fs;
}

FileSystem::~FileSystem() {
    if (!finished_) discard();
    if (lockFd_ >= 0) ::close(lockFd_);
}

void FileSystem::discard() {
    if (finished_) return;
    if (!committed_) removeTree(txn_);  // a committed journal is the next command's to finish
    finish();
}

void FileSystem::finish() {
    finished_ = true;
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
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
    return e.staged.empty() ? e.source : txn_ + "/" + e.staged;
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
    Node dir = rootNode(drive);
    if (finished_ || dir.type != 2) {
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
        if (it->first.find('\\', prefix.size()) != std::string::npos) continue;
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
        if (c.name.find('\\') != std::string::npos || c.name.size() >= MAX_PATH) continue;
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
        ResolvedPath dir = resolve(p.full.substr(0, p.full.rfind('\\') + 1), "C:\\");
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
        size_t j = path.find_first_of("\\/", i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        bool drive = i == 0 && part.size() == 2 && part[1] == ':';
        if (!drive && !part.empty() && part != "." && part != "..") {
            ResolvedPath r = resolve(path.substr(0, j), currentDirectory);
            if (r.error) return r.error;
            if (!r.exists) return ERROR_FILE_NOT_FOUND;
            ResolvedPath dir = resolve(r.full.substr(0, r.full.rfind('\\') + 1), "C:\\");
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
    std::string name = "f" + std::to_string(++stagedCount_);
    fd = createExclusive(txn_ + "/" + name);
    return name;
}

int FileSystem::openFile(const ResolvedPath& p, const std::string& mode, DWORD& error) {
    error = 0;
    if (!p.exists) changed();
    if (p.error || finished_) {
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
        int fd = ::open((txn_ + "/" + staged).c_str(), flags | (kind == 'w' ? O_TRUNC : 0));
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
    if (ok) fd = ::open((txn_ + "/" + staged).c_str(), flags);
    if (!ok || fd < 0) {
        ::unlink((txn_ + "/" + staged).c_str());
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
    if (e.kind == Entry::File && !e.staged.empty()) ::unlink((txn_ + "/" + e.staged).c_str());
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
            ::unlink((txn_ + "/" + old.staged).c_str());
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

void FileSystem::stageImageFile(const std::string& name, const std::string& text) {
    if (finished_) throw std::logic_error("simwin: the drives were already committed or discarded");
    std::string staged = "image." + name;
    std::string path = txn_ + "/" + staged;
    ::unlink(path.c_str());
    int fd = createExclusive(path);
    if (fd < 0 || !writeAll(fd, text.data(), text.size()) || ::fsync(fd) != 0) {
        std::string why = errnoText();
        if (fd >= 0) ::close(fd);
        throw CommitRefused("cannot write " + path + ": " + why);
    }
    ::close(fd);
    for (auto& f : imageFiles_)
        if (f.first == name) return;
    imageFiles_.emplace_back(name, staged);
}

void FileSystem::commit() {
    if (finished_) throw std::logic_error("simwin: the drives were already committed or discarded");
    commitSteps(crashLimit());
    finish();
}

void FileSystem::commitInterrupted(unsigned steps) {
    if (finished_) throw std::logic_error("simwin: the drives were already committed or discarded");
    try {
        commitSteps(steps);
    } catch (const CommitStopped&) {
    }
    finish();  // a dead process cleans up nothing
}

namespace {

// What a commit knows of one overlay path on the live drives.
struct LiveEntry {
    std::string path;  // relative to the image; "" when missing
    std::string name;
    int type = 0;  // 0 missing, 1 file, 2 directory, 3 anything else
};

void refuse(const std::string& path, const std::string& why) {
    throw CommitRefused("cannot apply the run's changes: " + path + ": " + why +
                        "; the image is left unchanged");
}

}  // namespace

void FileSystem::commitSteps(unsigned limit) {
    const std::string& img = imageDir_;
    std::map<std::string, LiveEntry> liveMemo;
    std::function<LiveEntry(const std::string&)> liveOf = [&](const std::string& key) {
        auto it = liveMemo.find(key);
        if (it != liveMemo.end()) return it->second;
        LiveEntry le;
        size_t cut = key.find_last_of('\\');
        if (cut == std::string::npos) {
            le.name = "drive_" + std::string(1, static_cast<char>(std::tolower(key[0])));
            le.path = le.name;
        } else {
            LiveEntry parent = liveOf(key.substr(0, cut));
            std::string name;
            if (parent.type == 2 && findLive(img + "/" + parent.path, key.substr(cut + 1), name)) {
                le.name = name;
                le.path = parent.path + "/" + name;
            }
        }
        struct stat st;
        if (!le.path.empty() && lstatOk(img + "/" + le.path, st))
            le.type = S_ISREG(st.st_mode) ? 1 : S_ISDIR(st.st_mode) ? 2 : 3;
        if (!le.type) le.path.clear();
        return liveMemo[key] = le;
    };
    std::map<std::string, std::string> finalMemo;
    std::function<std::string(const std::string&)> finalOf = [&](const std::string& key) {
        auto it = finalMemo.find(key);
        if (it != finalMemo.end()) return it->second;
        size_t cut = key.find_last_of('\\');
        std::string p;
        if (cut == std::string::npos) {
            p = liveOf(key).name;
        } else {
            auto ov = overlay_.find(key);
            std::string name = ov != overlay_.end() && ov->second.kind != Entry::Deleted
                                   ? ov->second.name
                                   : liveOf(key).name;
            p = finalOf(key.substr(0, cut)) + "/" + name;
        }
        return finalMemo[key] = p;
    };
    auto depth = [](const std::string& p) { return std::count(p.begin(), p.end(), '/'); };
    std::string txnRel = txnName_;
    std::vector<Step> p1, p2, p3, p4;
    unsigned moved = 0;
    if (!isDir(img + "/drive_c")) p3.push_back({'M', "drive_c", ""});
    for (const auto& [key, e] : overlay_) {
        LiveEntry l = liveOf(key);
        if (l.type == 3) refuse(img + "/" + l.path, "a link or special file is in the way");
        std::string target = finalOf(key);
        switch (e.kind) {
            case Entry::Deleted:
                if (l.type) p2.push_back({l.type == 2 ? 'D' : 'U', l.path, ""});
                break;
            case Entry::Dir:
                if (l.type == 1) p2.push_back({'U', l.path, ""});
                if (l.type == 2 && l.name != e.name)
                    p3.push_back({'C', parentOf(target) + "/" + l.name, target});
                else if (l.type != 2)
                    p3.push_back({'M', target, ""});
                break;
            case Entry::File:
                if (l.type == 2) p2.push_back({'D', l.path, ""});
                if (l.type == 1 && l.name != e.name) p2.push_back({'U', l.path, ""});
                if (!e.staged.empty()) {
                    p4.push_back({'P', txnRel + "/" + e.staged, target});
                } else {
                    std::string aside = txnRel + "/m" + std::to_string(++moved);
                    std::string src = e.source.substr(img.size() + 1);
                    p1.push_back({'R', src, aside});
                    p4.push_back({'P', aside, target});
                }
                break;
        }
    }
    for (const auto& f : imageFiles_) p4.push_back({'P', txnRel + "/" + f.second, f.first});
    std::stable_sort(p2.begin(), p2.end(),
                     [&](const Step& a, const Step& b) { return depth(a.a) > depth(b.a); });
    std::stable_sort(p3.begin(), p3.end(), [&](const Step& a, const Step& b) {
        return depth(a.b.empty() ? a.a : a.b) < depth(b.b.empty() ? b.a : b.b);
    });

    // Before the commit point: every step must be one the host will let through.
    struct stat txnSt;
    if (!lstatOk(txn_, txnSt) || !S_ISDIR(txnSt.st_mode)) refuse(txn_, "the folder is gone");
    std::set<std::string> created, removed;
    for (const Step& s : p3) created.insert(s.b.empty() ? s.a : s.b);
    for (const Step& s : p1) removed.insert(s.a);
    for (const Step& s : p2) removed.insert(s.a);
    auto writableFolder = [&](const std::string& rel) {
        std::string dir = parentOf(rel);
        if (created.count(dir)) return;
        std::string host = dir == "." ? img : img + "/" + dir;
        try {
            checkNoLink(img, rel);
        } catch (const ImageError& e) {
            refuse(host, "a link or something else than a folder is on the way");
        }
        struct stat st;
        if (!lstatOk(host, st) || !S_ISDIR(st.st_mode)) refuse(host, "not a folder");
        if (::access(host.c_str(), W_OK | X_OK) != 0)
            refuse(host, "this user may not change that folder (" + errnoText() + ")");
        if (st.st_dev != txnSt.st_dev) refuse(host, "on another file system than the image");
    };
    for (const std::vector<Step>* phase : {&p1, &p2, &p3, &p4}) {
        for (const Step& s : *phase) {
            writableFolder(s.a);
            if (!s.b.empty()) writableFolder(s.b);
            struct stat st;
            if (s.op == 'R' && (!lstatOk(img + "/" + s.a, st) || !S_ISREG(st.st_mode)))
                refuse(img + "/" + s.a, "the file to move is gone or not a file");
            if (s.op == 'D') {
                for (const std::string& e : entries(img + "/" + s.a))
                    if (!removed.count(s.a + "/" + e))
                        refuse(img + "/" + s.a + "/" + e, "left in a folder that goes");
            }
            if (s.op == 'P') {
                if (lstatOk(img + "/" + s.b, st) && S_ISDIR(st.st_mode) && !removed.count(s.b))
                    refuse(img + "/" + s.b, "a folder is in the way");
            }
        }
    }

    // Everything staged reaches the disk before the journal does.
    for (const auto& [key, e] : overlay_)
        if (e.kind == Entry::File && !e.staged.empty()) syncPath(txn_ + "/" + e.staged, false);
    std::string journal;
    std::vector<Step> steps;
    for (const std::vector<Step>* phase : {&p1, &p2, &p3, &p4}) {
        for (const Step& s : *phase) {
            if ((s.a + s.b).find_first_of("\t\n") != std::string::npos)
                refuse(img + "/" + s.a, "a name dot4sim cannot journal");
            journal += std::string(1, s.op) + "\t" + s.a + "\t" + s.b + "\n";
            steps.push_back(s);
        }
    }
    std::string tmp = txn_ + "/journal.tmp";
    int fd = createExclusive(tmp);
    if (fd < 0 || !writeAll(fd, journal.data(), journal.size()) || ::fsync(fd) != 0) {
        std::string why = errnoText();
        if (fd >= 0) ::close(fd);
        refuse(tmp, why);
    }
    ::close(fd);
    syncPath(txn_, true);
    Ticker t{limit};
    t.tick();
    if (::rename(tmp.c_str(), (txn_ + "/" + kJournal).c_str()) != 0) refuse(tmp, errnoText());
    committed_ = true;
    syncPath(txn_, true);
    // Committed: from here on the next command finishes what this one does not.
    try {
        applyJournal(img, txn_, steps, t);
    } catch (const CommitStopped&) {
        throw;
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string(e.what()) +
                                 "; the run is committed, and the next dot4sim command on the "
                                 "image finishes it");
    }
}

}  // namespace simwin
