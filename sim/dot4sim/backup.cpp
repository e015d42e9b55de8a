#include "dot4sim/backup.h"

#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>

#include "imports/hive.h"
#include "model/host.h"

namespace simwin::backup {

namespace {

const char* const kHeader = "dot4sim backup 2";

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
            char b[4];
            std::snprintf(b, sizeof b, "%%%02X", static_cast<unsigned char>(c));
            out += b;
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool number(const std::string& s, uint64_t& v) {
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    v = std::strtoull(s.c_str(), nullptr, 10);
    return true;
}

bool isHash(const std::string& s) {
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A relative path that stays below its folder: no "..", no empty or absolute part.
bool plainRelative(const std::string& rel) {
    if (rel.empty() || rel[0] == '/') return false;
    for (size_t start = 0; start <= rel.size();) {
        size_t end = std::min(rel.find('/', start), rel.size());
        std::string name = rel.substr(start, end - start);
        if (name.empty() || name == "." || name == "..") return false;
        start = end + 1;
    }
    return true;
}

void syncDir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) ::fsync(fd), ::close(fd);
}

bool regularFile(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string resolvedPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string hashOf(const std::string& path) { return regularFile(path) ? fileSha256(path) : ""; }

bool copyIntact(const std::string& backup, const std::string& rel, uint64_t size,
                const std::string& hash) {
    if (!plainRelative(rel) || !noLinks(backup, rel) || !regularFile(backup + "/" + rel))
        return false;
    uint64_t n = 0;
    return fileSha256(backup + "/" + rel, &n) == hash && n == size;
}

std::string tempOf(const std::string& hostPath) {
    size_t slash = hostPath.rfind('/');
    return hostPath.substr(0, slash + 1) + "." + hostPath.substr(slash + 1) + ".dot4-new";
}

bool isTempName(const std::string& name) {
    return name.size() > 10 && name[0] == '.' && name.compare(name.size() - 9, 9, ".dot4-new") == 0;
}

std::string Manifest::text() const {
    std::string s = std::string(kHeader) + "\nroot\t" + escape(root) + "\nstate\t" + state + "\n";
    for (const Hive& h : hives)
        s += "hive\t" + escape(h.rel) + "\t" + escape(h.copy) + "\t" + escape(h.temp) + "\t" +
             std::to_string(h.oldSize) + "\t" + h.oldHash + "\t" + std::to_string(h.newSize) +
             "\t" + h.newHash + "\n";
    for (const File& f : files)
        s += "file\t" + escape(f.rel) + "\t" + std::to_string(f.size) + "\t" + f.hash + "\n";
    s += "count\t" + std::to_string(hives.size()) + "\t" + std::to_string(files.size()) + "\n";
    return s + "end\t" + textSha256(s) + "\n";
}

std::string Manifest::parse(const std::string& t) {
    *this = Manifest{};
    size_t endAt = t.rfind("\nend\t");
    if (t.compare(0, std::strlen(kHeader) + 1, std::string(kHeader) + "\n") != 0)
        return "not a manifest of dot4sim apply (or of an older version)";
    if (endAt == std::string::npos || t.size() != endAt + 5 + 64 + 1 || t.back() != '\n' ||
        t.compare(endAt + 5, 64, textSha256(t.substr(0, endAt + 1))) != 0)
        return "damaged: its checksum does not match what it holds";
    std::istringstream in(t.substr(0, endAt + 1));
    std::string line;
    std::getline(in, line);
    bool counted = false;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream ls(line);
        for (std::string x; std::getline(ls, x, '\t');) f.push_back(unescape(x));
        uint64_t a = 0, b = 0;
        if (f.size() == 2 && f[0] == "root") {
            root = f[1];
        } else if (f.size() == 2 && f[0] == "state") {
            state = f[1];
        } else if (f.size() == 8 && f[0] == "hive" && number(f[4], a) && isHash(f[5]) &&
                   number(f[6], b) && isHash(f[7]) && plainRelative(f[1]) && plainRelative(f[2]) &&
                   plainRelative(f[3])) {
            hives.push_back({f[1], f[2], f[3], a, b, f[5], f[7]});
        } else if (f.size() == 4 && f[0] == "file" && number(f[2], a) && isHash(f[3]) &&
                   plainRelative(f[1])) {
            files.push_back({f[1], a, f[3]});
        } else if (f.size() == 3 && f[0] == "count" && number(f[1], a) && number(f[2], b)) {
            if (a != hives.size() || b != files.size()) return "damaged: it lost entries";
            counted = true;
        } else {
            return "damaged: a line it cannot read";
        }
    }
    if (!counted || root.empty() || state.empty()) return "damaged: it lost lines";
    return "";
}

std::string readManifest(const std::string& backup, Manifest& m) {
    std::string text;
    if (!noLinks(backup, "manifest") || !regularFile(backup + "/manifest") ||
        !readText(backup + "/manifest", text))
        return "it holds no manifest";
    return m.parse(text);
}

bool writeManifest(const std::string& backup, const Manifest& m) {
    return writeFlushed(backup + "/manifest", m.text());
}

bool step() {
    static long fail = [] {
        const char* s = std::getenv("DOT4SIM_FAIL_STEP");
        return s ? std::atol(s) : 0L;
    }();
    static long kill = [] {
        const char* s = std::getenv("DOT4SIM_KILL_STEP");
        return s ? std::atol(s) : 0L;
    }();
    if (kill > 0 && --kill == 0) ::raise(SIGKILL);
    if (fail > 0 && --fail == 0) return errno = EIO, true;
    return false;
}

bool copyFlushed(const std::string& from, const std::string& to, std::string* hash) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return false;
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = out >= 0;
    char buf[1 << 16];
    for (ssize_t n; ok && (n = ::read(in, buf, sizeof buf)) != 0;)
        ok = n > 0 && !step() && writeAll(out, buf, static_cast<size_t>(n));
    struct stat st;
    if (ok && ::fstat(in, &st) == 0) {
        struct timespec t[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, t);
    }
    ok = ok && ::fsync(out) == 0;
    int e = errno;
    ::close(in);
    if (out >= 0 && ::close(out) != 0) ok = false, e = errno;
    if (!ok && out >= 0) ::unlink(to.c_str());
    if (ok) syncDir(parentOf(to));
    if (ok && hash) *hash = fileSha256(to);
    errno = e;
    return ok;
}

bool writeFlushed(const std::string& path, const std::string& text) {
    std::string tmp = path + ".part";
    ::unlink(tmp.c_str());
    if (step()) return false;
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && writeAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    int e = errno;
    if (fd >= 0 && ::close(fd) != 0) ok = false, e = errno;
    if (ok && renameFlushed(tmp, path)) return true;
    if (ok) e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    return false;
}

bool renameFlushed(const std::string& from, const std::string& to) {
    if (step() || ::rename(from.c_str(), to.c_str()) != 0) return false;
    syncDir(parentOf(to));
    return true;
}

bool unlinkFlushed(const std::string& path) {
    if (step() || ::unlink(path.c_str()) != 0) return false;
    syncDir(parentOf(path));
    return true;
}

std::string keepFatAttributes(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return "";
    uint32_t attributes = 0;
    const bool fat = ::ioctl(in, FAT_IOCTL_GET_ATTRIBUTES, &attributes) == 0;
    ::close(in);
    if (!fat) return "";  // not a FAT mount: there are none to keep
    int out = ::open(to.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const bool kept = out >= 0 && ::ioctl(out, FAT_IOCTL_SET_ATTRIBUTES, &attributes) == 0;
    const int e = errno;
    if (out >= 0) ::close(out);
    return kept ? ""
                : "its FAT attributes (" + std::to_string(attributes) +
                      ") could not be kept: " + std::strerror(e);
}

bool makeDirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (isDir(part)) continue;
        if (step() || ::mkdir(part.c_str(), 0755) != 0) return false;
        syncDir(parentOf(part));
    }
    return true;
}

bool noLinks(const std::string& base, const std::string& rel) {
    std::string path = base;
    for (size_t start = 0; start <= rel.size();) {
        size_t end = std::min(rel.find('/', start), rel.size());
        path += "/" + rel.substr(start, end - start);
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return false;
        start = end + 1;
    }
    return true;
}

bool readText(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

void clearStaleTemps(const std::string& root, const std::vector<std::string>& hivePaths,
                     std::ostream& out, const char* command) {
    std::vector<std::string> temps{root + "/" + kMarker + ".part"};
    for (const std::string& h : hivePaths) temps.push_back(tempOf(h));
    for (const std::string& t : temps) {
        if (regularFile(t) && ::unlink(t.c_str()) == 0)
            out << "dot4sim " << command << ": removed " << t
                << ", left by an apply that was stopped before it changed anything\n";
    }
}

int resolveInterrupted(const std::string& root, Way way, std::ostream& out, std::ostream& err,
                       const char* command, std::string* resolved) {
    const std::string marker = root + "/" + kMarker;
    if (!existsNoFollow(marker)) return 0;
    std::string b;
    if (!regularFile(marker) || !readText(marker, b) || b.empty() || b.back() != '\n') {
        err << "dot4sim " << command << ": " << marker
            << " (left by an interrupted apply) cannot be read; nothing was changed\n";
        return 2;
    }
    b.pop_back();
    Manifest m;
    std::string why = readManifest(b, m);
    if (why.empty() && m.root != resolvedPath(root))
        why = "it is the backup of " + m.root + ", not of " + resolvedPath(root);
    if (!why.empty()) {
        err << "dot4sim " << command << ": " << root << " holds an interrupted apply whose backup "
            << b << " cannot be used: " << why << "; nothing was changed\n";
        return 2;
    }
    // Each piece is checked by its hash, so a second kill here leaves work this resolves too.
    bool forward = way == Way::Forward;
    for (const Manifest::Hive& h : m.hives)
        forward = forward && (hashOf(root + "/" + h.rel) == h.newHash ||
                              hashOf(root + "/" + h.temp) == h.newHash);
    for (const Manifest::File& f : m.files)
        forward = forward && (!existsNoFollow(root + "/" + f.rel) ||
                              copyIntact(b, "files/" + f.rel, f.size, f.hash));
    bool ok = true;
    if (forward) {
        for (const Manifest::File& f : m.files)
            if (existsNoFollow(root + "/" + f.rel)) ok = ok && unlinkFlushed(root + "/" + f.rel);
        for (const Manifest::Hive& h : m.hives)
            if (hashOf(root + "/" + h.rel) != h.newHash)
                ok = ok && renameFlushed(root + "/" + h.temp, root + "/" + h.rel);
    } else {
        for (const Manifest::Hive& h : m.hives) {
            std::string host = root + "/" + h.rel, temp = root + "/" + h.temp;
            if (hashOf(host) != h.oldHash) {
                if (!copyIntact(b, h.copy, h.oldSize, h.oldHash)) {
                    err << "dot4sim " << command << ": " << b << "/" << h.copy
                        << " is not the copy apply made of " << host
                        << "; the interrupted apply cannot be rolled back\n";
                    return 2;
                }
                ::unlink(temp.c_str());
                ok = ok && copyFlushed(b + "/" + h.copy, temp);
                if (ok) keepFatAttributes(host, temp);
                ok = ok && renameFlushed(temp, host);
            } else if (existsNoFollow(temp)) {
                ok = ok && unlinkFlushed(temp);
            }
        }
        for (const Manifest::File& f : m.files) {
            std::string to = root + "/" + f.rel;
            if (existsNoFollow(to)) continue;
            std::string tmp = tempOf(to);
            ::unlink(tmp.c_str());
            ok = ok && copyIntact(b, "files/" + f.rel, f.size, f.hash) &&
                 copyFlushed(b + "/files/" + f.rel, tmp) && renameFlushed(tmp, to);
        }
    }
    if (ok) {
        m.state = forward ? "applied" : "rolled back";
        ok = writeManifest(b, m) && unlinkFlushed(marker);
    }
    if (!ok) {
        err << "dot4sim " << command << ": " << root << " holds an interrupted apply (backup " << b
            << ") that could not be " << (forward ? "finished" : "rolled back") << ": "
            << std::strerror(errno) << "; run the command again\n";
        return 1;
    }
    out << "dot4sim " << command << ": " << root << " held an apply that was interrupted (backup "
        << b << "): "
        << (forward ? "finished it; the partition is the new one\n"
                    : "rolled it back; the partition is as it was before\n");
    if (resolved) *resolved = b;
    return 0;
}

}  // namespace simwin::backup
