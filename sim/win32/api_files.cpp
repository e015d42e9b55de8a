// File calls of the seam: searches, deletion, moves (and moves at restart), directories, and
// the C library opens of platformOpenFile.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "model/drives.h"
#include "win32/gate.h"
#include "win32/handles.h"
#include "model/registry.h"

using simwin::Call;
using simwin::Fn;
using simwin::machine;
using simwin::quote;

namespace {

std::string cwd() { return machine().config.system.currentDirectory; }

std::string hex(uintptr_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%lx", static_cast<unsigned long>(v));
    return b;
}

// The call's result as a Windows error code: 0 when it may go ahead.
DWORD noDrives() { return machine().run.files ? 0 : static_cast<DWORD>(ERROR_PATH_NOT_FOUND); }

void fill(WIN32_FIND_DATAA& d, const simwin::FoundEntry& e) {
    std::memset(&d, 0, sizeof d);
    d.dwFileAttributes = simwin::FileSystem::attributes(e, machine());
    // 100 ns units since 1601.
    uint64_t t = (static_cast<uint64_t>(e.mtime) + 11644473600ull) * 10000000ull;
    d.ftLastWriteTime = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    d.ftCreationTime = d.ftLastAccessTime = d.ftLastWriteTime;
    d.nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
    d.nFileSizeLow = static_cast<DWORD>(e.size);
    std::strncpy(d.cFileName, e.name.c_str(), MAX_PATH - 1);
    std::strncpy(d.cAlternateFileName, e.shortName.c_str(), sizeof d.cAlternateFileName - 1);
}

std::string parentOf(const std::string& full) {
    size_t p = full.find_last_of('\\');
    if (p == std::string::npos || p <= 2) return full.substr(0, 3);  // "C:\"
    return full.substr(0, p);
}

// Appends one operation to the pending list, as the Session Manager reads it at the next start:
// pairs of strings (source, target) ending with one more NUL. The value is written as any
// program writes it, under the Session Manager key's own access rules.
DWORD schedule(const std::string& source, const std::string& target) {
    auto& m = machine();
    const std::string path = simwin::kSessionManagerKey;
    const size_t slash = path.find('\\');
    simwin::Registry::Key* key = nullptr;
    DWORD disposition = 0;
    if (LONG rc = m.run.registry->createKey(
            m.run.registry->root(simwin::rootIndex(path.data(), slash)), path.c_str() + slash + 1,
            0, KEY_SET_VALUE, nullptr, m.config, &key, &disposition))
        return static_cast<DWORD>(rc);
    std::string data;
    if (auto v = m.run.registry->value(simwin::kSessionManagerKey, simwin::kPendingValue)) {
        if (v->type == REG_MULTI_SZ) data = v->bytes;
    }
    if (data.find_first_not_of('\0') == std::string::npos) data.clear();  // an empty list
    if (!data.empty() && data.back() == '\0') data.pop_back();            // the list's closing NUL
    if (!data.empty() && data.back() != '\0') data += '\0';               // a last string left open
    data += source;
    data += '\0';
    data += target;
    data += '\0';
    data += '\0';
    m.run.registry->setValue(simwin::kSessionManagerKey, simwin::kPendingValue, REG_MULTI_SZ, data);
    return 0;
}

int errnoFor(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
            return ENOSPC;
        default:
            return EINVAL;
    }
}

// Text mode as the Windows C library has it: "\n" is written as "\r\n", and "\r\n" reads as
// "\n". Positions are the file's own byte offsets, as there. (A Ctrl-Z in the data is data.)
struct TextFile {
    int fd;
};

ssize_t textRead(void* c, char* buf, size_t size) {
    int fd = static_cast<TextFile*>(c)->fd;
    if (size == 0) return 0;
    ssize_t n;
    do n = ::read(fd, buf, size);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return n;
    size_t out = 0;
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\r') {
            if (i + 1 < n) {
                if (buf[i + 1] == '\n') continue;  // the '\n' follows
            } else {
                // A '\r' at the end of the chunk: look at the next byte.
                char next;
                ssize_t k = ::read(fd, &next, 1);
                if (k == 1) {
                    if (next == '\n') {
                        buf[out++] = '\n';
                        break;
                    }
                    ::lseek(fd, -1, SEEK_CUR);
                }
            }
        }
        buf[out++] = buf[i];
    }
    return static_cast<ssize_t>(out);
}

ssize_t textWrite(void* c, const char* buf, size_t size) {
    int fd = static_cast<TextFile*>(c)->fd;
    std::string raw;
    raw.reserve(size + size / 8 + 2);
    for (size_t i = 0; i < size; ++i) {
        if (buf[i] == '\n') raw += '\r';
        raw += buf[i];
    }
    size_t done = 0;
    while (done < raw.size()) {
        ssize_t w = ::write(fd, raw.data() + done, raw.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return done ? 0 : -1;
        done += static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(size);
}

int textSeek(void* c, off64_t* pos, int whence) {
    off_t r = ::lseek(static_cast<TextFile*>(c)->fd, static_cast<off_t>(*pos), whence);
    if (r < 0) return -1;
    *pos = r;
    return 0;
}

int textClose(void* c) {
    TextFile* t = static_cast<TextFile*>(c);
    int r = ::close(t->fd);
    delete t;
    return r;
}

}  // namespace

HANDLE WINAPI FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
    Call c(Fn::FindFirstFileA, [&] { return quote(name); });
    auto& m = c.machine();
    std::string path = name ? name : "";
    HANDLE r = INVALID_HANDLE_VALUE;
    std::string found;
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return path; })) {
        err = code;
    } else if (!name || !data) {
        err = name ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND;
    } else if (!(err = noDrives())) {
        simwin::ResolvedPath rp = m.run.files->resolve(path, cwd(), true);
        std::vector<simwin::FoundEntry> entries;
        if (rp.error) {
            err = rp.error;
        } else if (rp.trailingSeparator && !rp.exists) {
            err = ERROR_PATH_NOT_FOUND;  // "missing\" names a directory that is not there
        } else if (rp.trailingSeparator || rp.isRoot) {
            err = ERROR_FILE_NOT_FOUND;  // a search for "dir\" or "C:\" always fails
        } else if (rp.wildcard) {
            simwin::ResolvedPath dir = m.run.files->resolve(parentOf(rp.full), cwd());
            entries = m.run.files->list(dir, rp.leaf);
        } else if (simwin::FoundEntry e; m.run.files->entry(rp, e)) {
            entries.push_back(e);
        }
        if (!err && entries.empty()) err = ERROR_FILE_NOT_FOUND;
        if (!err) {
            fill(*data, entries[0]);
            found = entries[0].name;
            r = reinterpret_cast<HANDLE>(
                simwin::handleTable(m).open(simwin::SearchHandle{path, std::move(entries), 1}));
        }
    }
    if (err) c.setLastError(err);
    return c.returns(r, [&] {
        return err ? "INVALID_HANDLE_VALUE [" + std::to_string(err) + "]"
                   : hex(reinterpret_cast<uintptr_t>(r)) + " " + quote(found.c_str());
    });
}

BOOL WINAPI FindClose(HANDLE h) {
    Call c(Fn::FindClose, [&] { return hex(reinterpret_cast<uintptr_t>(h)); });
    auto& handles = simwin::handleTable(c.machine());
    const simwin::SearchHandle* search = handles.find<simwin::SearchHandle>(h);
    DWORD err = c.refusal([&] { return search ? search->path : std::string(); });
    if (!err && !handles.close<simwin::SearchHandle>(h)) err = ERROR_INVALID_HANDLE;
    return c.boolean(err);
}

DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    Call c(Fn::GetShortPathNameA, [&] {
        return quote(longPath) + ", " + hex(reinterpret_cast<uintptr_t>(shortPath)) + ", " +
               std::to_string(size);
    });
    auto& m = c.machine();
    std::string path = longPath ? longPath : "";
    std::string out;
    DWORD err = 0, r = 0;
    if (DWORD code = c.refusal([&] { return path; }))
        err = code;
    else if (!longPath)
        err = ERROR_INVALID_PARAMETER;
    else if (!(err = noDrives()))
        err = m.run.files->shortPath(path, cwd(), out);
    if (!err) {
        // Too small a buffer gets the size needed, NUL included, and is left alone.
        if (shortPath && out.size() < size) {
            std::memcpy(shortPath, out.c_str(), out.size() + 1);
            r = static_cast<DWORD>(out.size());
        } else {
            r = static_cast<DWORD>(out.size() + 1);
        }
    } else {
        c.setLastError(err);
    }
    return c.returns(r, [&] {
        return err ? "0 [" + std::to_string(err) + "]"
                   : std::to_string(r) + " " + quote(out.c_str());
    });
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    Call c(Fn::DeleteFileA, [&] { return quote(name); });
    auto& m = c.machine();
    std::string path = name ? name : "";
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return path; }))
        err = code;
    else if (!name)
        err = ERROR_PATH_NOT_FOUND;
    else if (!(err = noDrives()))
        err = m.run.files->deleteFile(path, m);
    return c.boolean(err);
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    Call c(Fn::MoveFileExA,
           [&] { return quote(from) + ", " + quote(to) + ", " + std::to_string(flags); });
    auto& m = c.machine();
    std::string source = from ? from : "";
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return source; })) {
        err = code;
    } else if (!from) {
        err = ERROR_INVALID_PARAMETER;
    } else if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        // Only the request is recorded: the file need not exist now, as on Windows.
        std::string full, fullTarget;
        if (flags & MOVEFILE_COPY_ALLOWED) {
            err = ERROR_INVALID_PARAMETER;
        } else if (!(err = simwin::fullWindowsPath(source, cwd(), full)) &&
                   !(err = simwin::FileSystem::scheduleAllowed(full, m))) {
            if (to && *to) {
                if (!(err = simwin::fullWindowsPath(to, cwd(), fullTarget)))
                    err = schedule("\\??\\" + full,
                                   std::string(flags & MOVEFILE_REPLACE_EXISTING ? "!" : "") +
                                       "\\??\\" + fullTarget);
            } else {
                err = schedule("\\??\\" + full, "");
            }
        }
    } else if (!to) {
        err = ERROR_INVALID_PARAMETER;
    } else if (!(err = noDrives())) {
        std::string a, b;
        if (!(flags & MOVEFILE_COPY_ALLOWED) && !simwin::fullWindowsPath(source, cwd(), a) &&
            !simwin::fullWindowsPath(to, cwd(), b) &&
            simwin::upper(a.substr(0, 1)) != simwin::upper(b.substr(0, 1)))
            err = ERROR_NOT_SAME_DEVICE;
        else
            err = m.run.files->moveFile(source, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0, m);
    }
    return c.boolean(err);
}

BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to) {
    Call c(Fn::MoveFileA, [&] { return quote(from) + ", " + quote(to); });
    auto& m = c.machine();
    std::string source = from ? from : "";
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return source; }))
        err = code;
    else if (!from || !to)
        err = ERROR_PATH_NOT_FOUND;
    else if (!(err = noDrives()))
        err = m.run.files->moveFile(source, to, false, m);
    return c.boolean(err);
}

BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    Call c(Fn::CreateDirectoryA, [&] { return quote(name); });
    auto& m = c.machine();
    std::string path = name ? name : "";
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return path; }))
        err = code;
    else if (!name)
        err = ERROR_PATH_NOT_FOUND;
    else if (!(err = noDrives()))
        err = m.run.files->createDirectory(path, m);
    return c.boolean(err);
}

FILE* platformOpenFile(const char* name, const char* mode) {
    Call c(Fn::platformOpenFile, [&] { return quote(name) + ", " + quote(mode); });
    auto& m = c.machine();
    std::string path = name ? name : "";
    FILE* f = nullptr;
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return path; })) {
        err = code;
    } else if (!name || !mode || !std::strchr("rwa", mode[0])) {
        err = ERROR_INVALID_PARAMETER;
    } else if (!(err = noDrives())) {
        bool plus = std::strchr(mode, '+') != nullptr;
        bool binary = std::strchr(mode, 'b') != nullptr;
        bool writes = mode[0] != 'r' || plus;
        simwin::ResolvedPath rp = m.run.files->resolve(path, cwd());
        if (rp.error) {
            err = rp.error;
        } else if (rp.isDirectory) {
            err = ERROR_ACCESS_DENIED;
        } else if (rp.trailingSeparator) {
            err = ERROR_INVALID_NAME;
        } else if (!rp.exists && mode[0] == 'r') {
            err = ERROR_FILE_NOT_FOUND;
        } else if (!(err = simwin::FileSystem::openAllowed(rp, writes, m))) {
            const char* fdMode = plus ? (mode[0] == 'r'   ? "r+"
                                         : mode[0] == 'w' ? "w+"
                                                          : "a+")
                                      : (mode[0] == 'r'   ? "r"
                                         : mode[0] == 'w' ? "w"
                                                          : "a");
            DWORD openError = 0;
            int fd = m.run.files->openFile(rp, fdMode, openError);
            if (fd < 0) {
                err = openError;
            } else if (binary) {
                f = ::fdopen(fd, fdMode);
                if (!f) ::close(fd);
            } else {
                TextFile* t = new TextFile{fd};
                cookie_io_functions_t io = {textRead, textWrite, textSeek, textClose};
                f = ::fopencookie(t, fdMode, io);
                if (!f) {
                    ::close(fd);
                    delete t;
                }
            }
            if (!f && !err) err = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (err) {
        c.setLastError(err);
        errno = errnoFor(err);
    }
    return c.returns(
        f, [&] { return f ? std::string("FILE") : "NULL [" + std::to_string(err) + "]"; });
}
