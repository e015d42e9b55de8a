// One iconv converter, closed with its owner: a character at a time, or a whole text with a
// stand-in for what it cannot read.
#pragma once

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace simwin {

class Iconv {
  public:
    Iconv(const std::string& to, const std::string& from)
        : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

    // One character of the code page: its code point, or -1 incomplete, -2 invalid.
    long decode(const unsigned char* bytes, size_t n) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char in[2] = {static_cast<char>(bytes[0]), static_cast<char>(n > 1 ? bytes[1] : 0)};
        unsigned char out[8];
        char* ip = in;
        char* op = reinterpret_cast<char*>(out);
        size_t il = n, ol = sizeof out;
        if (iconv(cd_, &ip, &il, &op, &ol) == static_cast<size_t>(-1))
            return errno == EINVAL ? -1 : -2;
        if (il != 0 || sizeof out - ol != 4) return -2;
        return static_cast<long>(out[0] | out[1] << 8 | out[2] << 16 | uint32_t(out[3]) << 24);
    }

    // What the converter cannot read becomes `stand`; `lost(at, left)` is told where and says
    // how many bytes to pass over.
    template <class Lost>
    std::string convert(const char* p, size_t n, const char* stand, Lost&& lost) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out(n * 2 + 16, '\0');
        char* in = const_cast<char*>(p);
        size_t left = n, used = 0;
        const size_t standLength = std::strlen(stand);
        while (left) {
            char* o = &out[used];
            size_t room = out.size() - used;
            size_t r = iconv(cd_, &in, &left, &o, &room);
            used = out.size() - room;
            if (r != static_cast<size_t>(-1)) break;
            if (errno != E2BIG) {
                size_t width = std::max<size_t>(1, std::min<size_t>(left, lost(in, left)));
                in += width;
                left -= width;
                if (out.size() - used < standLength) out.resize(out.size() * 2 + standLength);
                std::memcpy(&out[used], stand, standLength);
                used += standLength;
                continue;
            }
            out.resize(out.size() * 2 + standLength);
        }
        out.resize(used);
        return out;
    }

  private:
    iconv_t cd_;
};

}  // namespace simwin
