// What every fuzz target checks: a refusal names the file and a line, and a refused image is
// left as it was on disk.
#pragma once

#include <dirent.h>
#include <sanitizer/allocator_interface.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "image/image.h"
#include "model/machine.h"

namespace fuzz {

[[noreturn]] inline void die(const std::string& why) {
    std::fprintf(stderr, "fuzz: %s\n", why.c_str());
    std::abort();
}

// The heap a reader may use for an input of `size` bytes: a fixed allowance (code page tables,
// iconv) and a small multiple of the input. The readers must not grow with anything else.
inline size_t heapLive = 0, heapPeak = 0;
inline void countMalloc(const volatile void*, size_t n) {
    heapLive += n;
    if (heapLive > heapPeak) heapPeak = heapLive;
}
inline void countFree(const volatile void* p) {
    const size_t n = __sanitizer_get_allocated_size(const_cast<const void*>(p));
    heapLive = n <= heapLive ? heapLive - n : 0;
}
struct HeapBound {
    size_t base;
    HeapBound() {
        static const bool installed =
            __sanitizer_install_malloc_and_free_hooks(countMalloc, countFree) != 0;
        (void)installed;
        base = heapPeak = heapLive;
    }
    void check(size_t inputSize, const char* what) const {
        const size_t limit = (32u << 20) + 64 * inputSize;
        if (heapPeak - base > limit)
            die(std::string(what) + " used " + std::to_string(heapPeak - base) +
                " bytes of heap for an input of " + std::to_string(inputSize) + " bytes");
    }
};

inline void checkRefusal(const simwin::ImageError& e, const std::string& file) {
    if (e.file() != file) die("refusal names '" + e.file() + "', not " + file + ": " + e.what());
    if (e.line() < 1) die(std::string("refusal without a line: ") + e.what());
    if (std::string(e.what()).find(file + ":" + std::to_string(e.line()) + ": ") != 0)
        die(std::string("refusal does not start with the file and line: ") + e.what());
}

inline std::map<std::string, std::string> contents(const std::string& dir) {
    std::map<std::string, std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) die("cannot list " + dir);
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        out[name] = s.str();
    }
    closedir(d);
    return out;
}

// Every 16th input also goes through loadImage as `file` of a temporary image.
inline void checkOnDisk(const std::string& text, const std::string& file) {
    static unsigned count = 0;
    if (count++ % 16 != 0) return;
    // In memory where the machine allows: the fuzzer should spend its time in the readers.
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/dot4fuzz.XXXXXX" : "/tmp/dot4fuzz.XXXXXX";
    const char* dir = mkdtemp(&pattern[0]);
    if (!dir) die("mkdtemp failed");
    const std::string path = std::string(dir) + "/" + file;
    {
        std::ofstream out(path, std::ios::binary);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    const auto before = contents(dir);
    try {
        simwin::loadImage(dir);
    } catch (const simwin::ImageError& e) {
        checkRefusal(e, path);
        if (contents(dir) != before) die("a refused image was changed on disk");
    }
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace fuzz
