// The machine's ANSI code page: how its 8-bit names read as characters, how UTF-16 text is
// stored in them, and how names compare without case on each family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace simwin {

class CodePage {
  public:
    // Windows' number (1252, 1251, 932 ...); nt picks the family's case rules. Throws
    // std::invalid_argument when the C library has no converter for it.
    static std::shared_ptr<const CodePage> get(unsigned number, bool nt);

    unsigned number() const { return number_; }
    bool nt() const { return nt_; }

    // UTF-16LE text in this code page. A character it cannot hold becomes '?' and is reported
    // with its code point and its offset in the input.
    std::string fromUtf16(const char* p, size_t n,
                          const std::function<void(uint32_t code, size_t offset)>& lost) const;

    // Text of the code page in UTF-8 as Windows converts it: a byte of 0x80-0x9F the code page
    // leaves undefined is the C1 control of its value, and fromUtf16 gives that byte back.
    // Other bytes that do not convert become U+FFFD.
    std::string toUtf8(const char* p, size_t n) const;

    // Order of names without case: by the upper-cased characters' code points.
    int compare(const char* a, size_t an, const char* b, size_t bn) const;
    // A form equal for exactly the names that compare equal (ASCII stays as upper()).
    std::string fold(const std::string& name) const;

    // Whether s[i] and s[i + 1] are one two-byte character (only in 932, 936, 949, 950): a lead
    // byte and a trail byte that make a character.
    bool pairAt(const char* s, size_t n, size_t i) const {
        auto c = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
        return lead_[c(i)] && i + 1 < n && double_[c(i) << 8 | c(i + 1)] != 0;
    }
    // Where the first '\\' (or, with `slash`, '/') of s[from, n) that is a character of its own
    // is (n when none): a trail byte 0x5C belongs to its character. `from` must be where a
    // character starts.
    size_t findSeparator(const char* s, size_t n, size_t from = 0, bool slash = false) const;
    // The last such '\\' of `s` (npos when none).
    size_t rfindSeparator(const std::string& s) const;

    // A name of the machine as the host spells it, in UTF-8, and back. Bytes the code page does not
    // map, and host names that are not UTF-8 or hold what the code page lacks, stay as they are.
    std::string toHost(const std::string& name) const;
    std::string fromHost(const std::string& host) const;

    CodePage(unsigned number, bool nt);  // use get()

  private:
    bool undefinedC1(uint32_t c) const;
    // The character at p (one or two bytes), upper-cased as the family does.
    uint32_t next(const unsigned char*& p, const unsigned char* end) const;

    unsigned number_;
    bool nt_;
    uint32_t single_[256];          // the folded character of each byte
    bool lead_[256];                // first byte of a double-byte character
    std::vector<uint32_t> double_;  // (lead << 8 | trail) -> folded character; 0: none
};

// The code page names compare by: set when an image loads and when a machine is activated.
const CodePage& activeCodePage();
void setActiveCodePage(std::shared_ptr<const CodePage> cp);

}  // namespace simwin
