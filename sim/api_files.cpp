// File calls of the seam: searches, deletion, moves (and moves at restart), directories, and
// the C library opens of platformOpenFile.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "files.h"
#include "registry.h"

using simwin::machine;
using simwin::quote;
using simwin::trace;

namespace {

const DWORD kErrorNotSameDevice = 17;

std::string cwd() { return machine().config.system.currentDirectory; }

BOOL fail(DWORD code) {
    machine().run.lastError = code;
    return FALSE;
}

std::string boolText(BOOL r) {
    return r ? "TRUE" : "FALSE [" + std::to_string(machine().run.lastError) + "]";
}

std::string hex(uintptr_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%lx", static_cast<unsigned long>(v));
    return b;
}

// The call's result as a Windows error code: 0 when it may go ahead.
DWORD noDrives() { return machine().run.files ? 0 : static_cast<DWORD>(ERROR_PATH_NOT_FOUND); }

void fill(WIN32_FIND_DATAA& d, const simwin::FoundEntry& e) {
    std::memset(&d, 0, sizeof d);
    d.dwFileAttributes = e.isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!e.isDirectory && (machine().config.fileRule(e.full) & simwin::kFileReadOnly))
        d.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    // 100 ns units since 1601.
    uint64_t t = (static_cast<uint64_t>(e.mtime) + 11644473600ull) * 10000000ull;
    d.ftLastWriteTime = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    d.ftCreationTime = d.ftLastAccessTime = d.ftLastWriteTime;
    d.nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
    d.nFileSizeLow = static_cast<DWORD>(e.size);
    std::strncpy(d.cFileName, e.name.c_str(), MAX_PATH - 1);
}

std::string parentOf(const std::string& full) {
    size_t p = full.find_last_of('\\');
    if (p == std::string::npos || p <= 2) return full.substr(0, 3);  // "C:\"
    return full.substr(0, p);
}

// Appends one operation to the pending list, as the Session Manager reads it at the next start:
// pairs of strings (source, target) ending with one more NUL.
DWORD schedule(const std::string& source, const std::string& target) {
    auto& m = machine();
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
        case 112:
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
    auto& m = machine();
    std::string path = name ? name : "";
    DWORD err = 0;
    HANDLE r = INVALID_HANDLE_VALUE;
    std::string found;
    if (auto code = simwin::injectedFault("FindFirstFileA", path)) {
        err = *code;
    } else if (!name || !data) {
        err = name ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND;
    } else if (!(err = noDrives())) {
        simwin::ResolvedPath rp = m.run.files->resolve(path, cwd(), true);
        std::vector<simwin::FoundEntry> entries;
        if (rp.error) {
            err = rp.error;
        } else if (rp.trailingSeparator || rp.isRoot) {
            err = ERROR_FILE_NOT_FOUND;  // a search for "dir\" or "C:\" always fails
        } else if (rp.wildcard) {
            simwin::ResolvedPath dir = m.run.files->resolve(parentOf(rp.full), cwd());
            entries = m.run.files->list(dir, rp.leaf);
        } else if (rp.exists) {
            struct stat st;
            if (::lstat(rp.host.c_str(), &st) == 0) {
                simwin::FoundEntry e;
                e.name = rp.host.substr(rp.host.find_last_of('/') + 1);
                e.isDirectory = S_ISDIR(st.st_mode);
                e.size = e.isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
                e.mtime = st.st_mtim.tv_sec;
                e.full = rp.full;
                entries.push_back(e);
            }
        }
        if (!err && entries.empty()) err = ERROR_FILE_NOT_FOUND;
        if (!err) {
            fill(*data, entries[0]);
            found = entries[0].name;
            uintptr_t h = m.run.nextHandle;
            m.run.nextHandle += 4;
            m.run.files->searches[h] = simwin::FileSystem::Search{path, std::move(entries), 1};
            r = reinterpret_cast<HANDLE>(h);
        }
    }
    if (err) m.run.lastError = err;
    trace("FindFirstFileA(" + quote(name) + ") = " +
          (err ? "INVALID_HANDLE_VALUE [" + std::to_string(err) + "]"
               : hex(reinterpret_cast<uintptr_t>(r)) + " " + quote(found.c_str())));
    return r;
}

BOOL WINAPI FindClose(HANDLE h) {
    auto& m = machine();
    uintptr_t key = reinterpret_cast<uintptr_t>(h);
    std::string subject;
    if (m.run.files) {
        auto it = m.run.files->searches.find(key);
        if (it != m.run.files->searches.end()) subject = it->second.path;
    }
    BOOL r;
    if (auto code = simwin::injectedFault("FindClose", subject)) {
        r = fail(*code);
    } else if (!m.run.files || !m.run.files->searches.erase(key)) {
        r = fail(ERROR_INVALID_HANDLE);
    } else {
        r = TRUE;
    }
    trace("FindClose(" + hex(key) + ") = " + boolText(r));
    return r;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    auto& m = machine();
    std::string path = name ? name : "";
    DWORD err;
    if (auto code = simwin::injectedFault("DeleteFileA", path))
        err = *code;
    else if (!name)
        err = ERROR_PATH_NOT_FOUND;
    else if (!(err = noDrives()))
        err = m.run.files->deleteFile(path, m);
    BOOL r = err ? fail(err) : TRUE;
    trace("DeleteFileA(" + quote(name) + ") = " + boolText(r));
    return r;
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    auto& m = machine();
    std::string source = from ? from : "";
    DWORD err = 0;
    if (auto code = simwin::injectedFault("MoveFileExA", source)) {
        err = *code;
    } else if (!m.config.isNT()) {
        err = ERROR_CALL_NOT_IMPLEMENTED;  // Windows 95/98 have only the stub
    } else if (!from) {
        err = ERROR_INVALID_PARAMETER;
    } else if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        // Only the request is recorded: the file need not exist now, as on Windows.
        std::string full, fullTarget;
        if (flags & MOVEFILE_COPY_ALLOWED) {
            err = ERROR_INVALID_PARAMETER;
        } else if (!(err = simwin::fullWindowsPath(source, cwd(), full))) {
            if (m.config.fileRule(full) & simwin::kFileNoSchedule) {
                err = ERROR_ACCESS_DENIED;
            } else if (to && *to) {
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
            err = kErrorNotSameDevice;
        else
            err = m.run.files->moveFile(source, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0, m);
    }
    BOOL r = err ? fail(err) : TRUE;
    trace("MoveFileExA(" + quote(from) + ", " + quote(to) + ", " + std::to_string(flags) +
          ") = " + boolText(r));
    return r;
}

BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to) {
    auto& m = machine();
    std::string source = from ? from : "";
    DWORD err;
    if (auto code = simwin::injectedFault("MoveFileA", source))
        err = *code;
    else if (!from || !to)
        err = ERROR_PATH_NOT_FOUND;
    else if (!(err = noDrives()))
        err = m.run.files->moveFile(source, to, false, m);
    BOOL r = err ? fail(err) : TRUE;
    trace("MoveFileA(" + quote(from) + ", " + quote(to) + ") = " + boolText(r));
    return r;
}

BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    auto& m = machine();
    std::string path = name ? name : "";
    DWORD err;
    if (auto code = simwin::injectedFault("CreateDirectoryA", path))
        err = *code;
    else if (!name)
        err = ERROR_PATH_NOT_FOUND;
    else if (!(err = noDrives()))
        err = m.run.files->createDirectory(path, m);
    BOOL r = err ? fail(err) : TRUE;
    trace("CreateDirectoryA(" + quote(name) + ") = " + boolText(r));
    return r;
}

FILE* platformOpenFile(const char* name, const char* mode) {
    auto& m = machine();
    std::string path = name ? name : "";
    DWORD err = 0;
    FILE* f = nullptr;
    if (auto code = simwin::injectedFault("platformOpenFile", path)) {
        err = *code;
    } else if (!name || !mode || !std::strchr("rwa", mode[0])) {
        err = ERROR_INVALID_PARAMETER;
    } else if (!(err = noDrives())) {
        bool plus = std::strchr(mode, '+') != nullptr;
        bool binary = std::strchr(mode, 'b') != nullptr;
        bool writes = mode[0] != 'r' || plus;
        simwin::ResolvedPath rp = m.run.files->resolve(path, cwd());
        unsigned rule = rp.error ? 0 : m.config.fileRule(rp.full);
        if (rp.error) {
            err = rp.error;
        } else if (rp.isDirectory) {
            err = ERROR_ACCESS_DENIED;
        } else if (rp.trailingSeparator) {
            err = ERROR_INVALID_NAME;
        } else if (!rp.exists && mode[0] == 'r') {
            err = ERROR_FILE_NOT_FOUND;
        } else if (rp.exists && writes && (rule & simwin::kFileInUse)) {
            err = ERROR_SHARING_VIOLATION;
        } else if (rp.exists && writes && (rule & simwin::kFileReadOnly)) {
            err = ERROR_ACCESS_DENIED;
        } else {
            int flags = O_NOFOLLOW | O_CLOEXEC;
            const char* fdMode;
            switch (mode[0]) {
                case 'r':
                    flags |= plus ? O_RDWR : O_RDONLY;
                    fdMode = plus ? "r+" : "r";
                    break;
                case 'w':
                    flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
                    fdMode = plus ? "w+" : "w";
                    break;
                default:
                    flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
                    fdMode = plus ? "a+" : "a";
                    break;
            }
            int fd = ::open(rp.host.c_str(), flags, 0644);
            if (fd < 0) {
                err = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
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
        m.run.lastError = err;
        errno = errnoFor(err);
    }
    trace("platformOpenFile(" + quote(name) + ", " + quote(mode) +
          ") = " + (f ? std::string("FILE") : "NULL [" + std::to_string(err) + "]"));
    return f;
}
