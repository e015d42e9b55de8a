#include "model/host.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace simwin {

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

int createExclusive(const std::string& p, mode_t mode) {
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
}  // namespace simwin
