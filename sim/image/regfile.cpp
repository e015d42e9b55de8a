// registry.reg: REGEDIT4 out, REGEDIT4 and "Windows Registry Editor Version 5.00" in.
#include "image/regfile.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "image/imagefacts.h"
#include "model/codepage.h"
#include "model/iconv.h"
#include "model/registry.h"
#include "model/registry_model.h"

namespace simwin {

namespace {

const char kRootList[] =
    "HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG "
    "or HKEY_DYN_DATA";

// Windows' limit on how deep keys nest, counted below the root.
const size_t kMaxDepth = 512;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string lostWarning(const std::string& file, int line, const LostCharacters& lost) {
    return "dot4sim: warning: " + file + ":" + std::to_string(line) +
           ": characters with no form in code page " + std::to_string(activeCodePage().number()) +
           "; " + std::to_string(lost.count) + " stored as '?':" + lost.codes +
           (lost.count > 3 ? " ..." : "") + "\n";
}

// Each line's lost characters are named once, with their count: a long value of another script
// would otherwise give a warning per character.
std::string utf16ToAnsi(const char* p, size_t n, const std::string& file, int line,
                        std::ostream& warnings, std::map<int, LostCharacters>* held) {
    const CodePage& cp = activeCodePage();
    const bool wholeFile = line == 0;  // else a value's data, all of it on `line`
    if (wholeFile) line = 1;
    size_t counted = 0;  // UTF-16 bytes whose line breaks are in `line`
    int lostLine = line;
    LostCharacters lost;
    auto report = [&] {
        if (lost.count == 0) return;
        if (held)
            (*held)[lostLine] = lost;
        else
            warnings << lostWarning(file, lostLine, lost);
        lost = LostCharacters();
    };
    std::string out = cp.fromUtf16(p, n, [&](uint32_t code, size_t offset) {
        for (; wholeFile && counted + 1 < offset; counted += 2)
            if (p[counted] == '\n' && p[counted + 1] == 0) ++line;
        if (line != lostLine) report(), lostLine = line;
        if (++lost.count > 3) return;
        char u[16];
        std::snprintf(u, sizeof u, " U+%04X", code);
        lost.codes += u;
    });
    report();
    return out;
}

// A name in UTF-8 as the code page holds it, with what it cannot hold.
struct Narrowed {
    std::string ansi;
    LostCharacters lost;
};
Narrowed narrow(const std::string& utf8) {
    Iconv cv("UTF-16LE", "UTF-8");
    const std::string wide = cv.convert(utf8.data(), utf8.size(), "\xfd\xff",
                                        [](const char*, size_t) { return size_t(1); });
    Narrowed n;
    n.ansi = activeCodePage().fromUtf16(wide.data(), wide.size(), [&](uint32_t code, size_t) {
        if (++n.lost.count > 3) return;
        char u[16];
        std::snprintf(u, sizeof u, " U+%04X", code);
        n.lost.codes += u;
    });
    return n;
}

namespace {

int rootFromName(const char* p, size_t n) {
    int r = rootIndex(p, n);
    if (r >= 0) return r;
    static const char* const shortNames[kRootCount] = {"HKCR",  "HKCU", "HKLM", "HKU",
                                                       nullptr, "HKCC", "HKDD"};
    for (int i = 0; i < kRootCount; ++i)
        if (shortNames[i] && std::strlen(shortNames[i]) == n &&
            compareNames(shortNames[i], n, p, n) == 0)
            return i;
    return -1;
}

// A line the lenient reader leaves out; the reason is already in `why`.
struct SkipLine {
    std::string why;
};

bool startsWithNoCase(const char* s, size_t n, const char* word) {
    size_t w = std::strlen(word);
    if (n < w) return false;
    for (size_t i = 0; i < w; ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != word[i]) return false;
    return true;
}

class Parser {
  public:
    // A UTF-16 file's lines with characters the code page cannot hold (NT), and their own text.
    void hold(std::map<int, LostCharacters>* lost, std::map<int, std::string>* text) {
        held_ = lost;
        heldText_ = text;
    }

    Parser(Registry& reg, const std::string& fileName, std::ostream& warnings,
           std::unordered_map<const Registry::Key*, int>& topLines, bool lenient)
        : reg_(reg), file_(fileName), warnings_(warnings), topLines_(topLines), lenient_(lenient) {}

    void run(const char* text, size_t size) {
        p_ = text;
        end_ = text + size;
        if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) p_ += 3;
        line_ = 0;
        const char* s;
        size_t n;
        if (!nextLine(s, n)) {
            line_ = 1;
            if (lenient_) return warn("empty file: nothing read");
            fail("expected REGEDIT4 or Windows Registry Editor Version 5.00");
        }
        trimRight(s, n);
        if (n == 8 && std::memcmp(s, "REGEDIT4", 8) == 0) {
            unicode_ = false;
        } else if (n == 36 && std::memcmp(s, "Windows Registry Editor Version 5.00", 36) == 0) {
            unicode_ = true;
        } else if (lenient_) {
            warn("expected REGEDIT4 or Windows Registry Editor Version 5.00; read as REGEDIT4");
            p_ = s;  // the line is read again as an ordinary one
            --line_;
        } else {
            fail("expected REGEDIT4 or Windows Registry Editor Version 5.00");
        }
        int headerLine = -1;
        while (nextLine(s, n)) {
            trimRight(s, n);
            while (n && isBlank(*s)) ++s, --n;
            if (n == 0) continue;
            if (!lenient_) {
                readLine(s, n, headerLine);
                continue;
            }
            const int start = line_;
            try {
                readLine(s, n, headerLine);
            } catch (const SkipLine& e) {
                prevPath_.clear();  // a header may have stopped half-way down the chain
                chain_.clear();
                if (line_ == start)
                    warn(e.why + "; line skipped");
                else
                    warn(e.why + "; lines " + std::to_string(start) + " to " +
                         std::to_string(line_) + " skipped");
            }
        }
    }

  private:
    void readLine(const char* s, size_t n, int& headerLine) {
        heldLost_ = nullptr;
        if (held_) {
            auto it = held_->find(line_);
            if (it != held_->end()) {
                heldLost_ = &it->second;
                std::string& u = (*heldText_)[line_];
                while (!u.empty() && (isBlank(u.back()) || u.back() == '\r')) u.pop_back();
                u.erase(0, std::min(u.size(), u.find_first_not_of(" \t")));
                heldLine_ = u;
            }
        }
        readHeldLine(s, n, headerLine);
        // Names the code page cannot hold were warned about with their line; the rest here.
        if (heldLost_) warnings_ << lostWarning(file_, line_, *heldLost_);
    }

    void readHeldLine(const char* s, size_t n, int& headerLine) {
        {
            if (*s == '#') {
                if (!lenient_) fail("expected [KEY], a value line or a ; comment");
                // Only ';' starts a comment in regedit's format; regedit passes over other lines.
                warn("a # line is no comment in this format; skipped, as regedit skips it");
                return;
            }
            if (*s == ';') {
                if (key_ && headerLine == line_ - 1 && n >= 7 && std::memcmp(s, ";class=", 7) == 0)
                    parseClass(s + 7, n - 7);
                return;
            }
            if (*s == '[') {
                if (lenient_) key_ = nullptr, deletedSection_ = false;  // until the header reads
                if (heldLost_ && !heldLine_.empty() && heldLine_[0] == '[')
                    parseExactHeader();
                else
                    parseHeader(s, n);
                headerLine = line_;
                return;
            }
            if (*s == '"' || *s == '@') {
                parseValue(s, n);
                return;
            }
            fail("expected [KEY], a value line or a ; comment");
        }
    }

    [[noreturn]] void fail(const std::string& message) {
        if (lenient_) throw SkipLine{message};
        throw ImageError(file_, line_, message);
    }

    void warn(const std::string& message) {
        warnings_ << "dot4sim: warning: " << file_ << ":" << line_ << ": " << message << "\n";
    }

    bool nextLine(const char*& s, size_t& n) {
        if (p_ >= end_) return false;
        const char* nl = static_cast<const char*>(std::memchr(p_, '\n', end_ - p_));
        const char* e = nl ? nl : end_;
        s = p_;
        n = e - p_;
        if (n && s[n - 1] == '\r') --n;
        p_ = nl ? nl + 1 : end_;
        ++line_;
        return true;
    }

    static void trimRight(const char* s, size_t& n) {
        while (n && (isBlank(s[n - 1]) || s[n - 1] == '\r')) --n;
    }

    void parseHeader(const char* s, size_t n) {
        if (s[n - 1] != ']' || n < 3) fail("expected [KEY PATH] closed by ]");
        const char* path = s + 1;
        size_t len = n - 2;
        bool remove = false;
        if (*path == '-') {
            remove = true;
            ++path;
            --len;
        }
        size_t rootLen = 0;
        while (rootLen < len && path[rootLen] != '\\') ++rootLen;
        int r = rootFromName(path, rootLen);
        if (r < 0) fail(std::string("expected a key path under ") + kRootList);
        deletedSection_ = remove;
        if (remove) {
            key_ = nullptr;
            prevPath_.clear();
            chain_.clear();
            size_t consumed = 0;
            const char* sub = path + rootLen;
            size_t subLen = len - rootLen;
            Registry::Key* k = reg_.walk(reg_.root(r), sub, subLen, &consumed);
            if (consumed == subLen && k->parent) reg_.remove(k);
            return;
        }
        key_ = locate(r, path, len, rootLen);
    }

    // A header with names the code page cannot hold, read from the line's own characters: each
    // such name is its own key, kept exactly.
    void parseExactHeader() {
        const std::string& u = heldLine_;
        if (u.size() < 3 || u.back() != ']') fail("expected [KEY PATH] closed by ]");
        std::string path = u.substr(1, u.size() - 2);
        const bool remove = path[0] == '-';
        if (remove) path.erase(0, 1);
        const size_t rootLen = std::min(path.size(), path.find('\\'));
        int r = rootFromName(path.data(), rootLen);
        if (r < 0) fail(std::string("expected a key path under ") + kRootList);
        deletedSection_ = remove;
        key_ = nullptr;
        prevPath_.clear();  // the next header walks from the root
        chain_.clear();
        Registry::Key* k = reg_.root(r);
        LostCharacters lost;
        size_t depth = 0;
        for (size_t pos = rootLen; pos < path.size() && k;) {
            if (path[pos] == '\\') {
                ++pos;
                continue;
            }
            const size_t end = std::min(path.size(), path.find('\\', pos));
            const std::string name = path.substr(pos, end - pos);
            pos = end;
            if (++depth > kMaxDepth)
                fail("expected keys at most " + std::to_string(kMaxDepth) +
                     " levels deep, as Windows allows");
            const Narrowed c = narrow(name);
            const char* a = c.ansi.data();
            const size_t an = c.ansi.size();
            Registry::Key* parent = k;
            if (c.lost.count) {
                k = remove ? reg_.exactChild(k, a, an, name)
                           : reg_.createExactChild(k, a, an, name);
                lost.count += c.lost.count;
                if (lost.codes.size() < 21) lost.codes += c.lost.codes;
            } else {
                k = remove ? reg_.child(k, a, an) : reg_.createChild(k, a, an);
            }
            if (k && !remove && !parent->parent && (r == 2 || r == 3)) topLines_.emplace(k, line_);
        }
        nameWarning("a key name", lost);
        if (!remove)
            key_ = k;
        else if (k && k->parent)
            reg_.remove(k);
    }

    // One warning for a line whose names hold what the code page cannot; what its text lost
    // is counted with it.
    void nameWarning(const char* what, const LostCharacters& lost) {
        if (!lost.count) return;
        const size_t rest = heldLost_->count > lost.count ? heldLost_->count - lost.count : 0;
        warn(std::string(what) + " with " + std::to_string(lost.count) + " characters code page " +
             std::to_string(activeCodePage().number()) + " lacks:" + lost.codes.substr(0, 21) +
             (lost.count > 3 ? " ..." : "") +
             "; kept exactly: the program's A functions see a '?' for each, and on NT such a "
             "name opens nothing" +
             (rest ? "; " + std::to_string(rest) + " more in its text, stored as '?'" : ""));
        heldLost_ = nullptr;
    }

    // Finds or creates the key, starting from the deepest key it shares with the last header:
    // files list keys depth first, so most headers add one component to a known chain.
    Registry::Key* locate(int root, const char* path, size_t len, size_t rootLen) {
        size_t common = 0;
        size_t limit = prevPath_.size() < len ? prevPath_.size() : len;
        while (common < limit && prevPath_[common] == path[common]) ++common;
        size_t keep = 0;  // chain entries still valid
        for (size_t i = 0; i < chain_.size(); ++i) {
            size_t e = chain_[i].first;
            if (e > common) break;
            if (e < len && path[e] != '\\') break;
            keep = i + 1;
        }
        if (keep == 0) {
            chain_.clear();
            chain_.emplace_back(rootLen, reg_.root(root));
        } else {
            chain_.resize(keep);
        }
        Registry::Key* k = chain_.back().second;
        size_t pos = chain_.back().first;
        while (pos < len) {
            if (path[pos] == '\\') {
                ++pos;
                continue;
            }
            size_t e = activeCodePage().findSeparator(path, len, pos);
            // Past the limit no machine can have the key, and every header line and every
            // walk down the chain would grow with its depth.
            if (chain_.size() > kMaxDepth)
                fail("expected keys at most " + std::to_string(kMaxDepth) +
                     " levels deep, as Windows allows");
            Registry::Key* parent = k;
            k = reg_.createChild(k, path + pos, e - pos);
            if (!parent->parent && (root == 2 || root == 3)) topLines_.emplace(k, line_);
            chain_.emplace_back(e, k);
            pos = e;
        }
        prevPath_.assign(path, len);
        return k;
    }

    // A quoted string starting after its opening quote; returns the position after the closing one.
    size_t unquote(const char* s, size_t n, std::string& out, const char* what) {
        out.clear();
        size_t i = 0;
        while (i < n) {
            char c = s[i];
            if (c == '"') return i + 1;
            if (c == '\\') {
                if (i + 1 >= n) break;
                char e = s[i + 1];
                if (e == '\\' || e == '"')
                    out += e;
                else if (e == 'n')
                    out += '\n';
                else if (e == 'r')
                    out += '\r';
                else if (e == '0')
                    out += '\0';
                else
                    fail(std::string("expected \\\\ or \\\" inside ") + what);
                i += 2;
                continue;
            }
            if (!utf8Text_ && activeCodePage().pairAt(s, n, i)) {
                out.append(s + i, 2);  // a trail byte '\\' or '"' is part of its character
                i += 2;
                continue;
            }
            out += c;
            ++i;
        }
        fail(std::string("expected a closing \" after ") + what);
    }

    void parseClass(const char* s, size_t n) {
        if (n < 2 || *s != '"') return;  // an ordinary comment
        std::string cls;
        size_t used = unquote(s + 1, n - 1, cls, "the class");
        if (used + 1 != n) fail("expected nothing after the class's closing \"");
        // A class is a string: what follows a NUL is not part of it, and would not be saved.
        reg_.setClass(key_, cls.data(), std::strlen(cls.c_str()));
    }

    void parseValue(const char* s, size_t n) {
        const int valueLine = line_;
        size_t i;
        if (*s == '@') {
            name_.clear();
            i = 1;
        } else {
            i = 1 + unquote(s + 1, n - 1, name_, "the value name");
        }
        while (i < n && isBlank(s[i])) ++i;
        if (i >= n || s[i] != '=') fail("expected = after the value name");
        ++i;
        while (i < n && isBlank(s[i])) ++i;
        const char* d = s + i;
        size_t dn = n - i;
        if (!key_) {
            if (deletedSection_) return;  // values of a [-KEY] section are ignored, as regedit does
            fail("expected a [KEY] line before the first value");
        }
        exactValue_.clear();
        if (heldLost_ && !heldLine_.empty() && heldLine_[0] == '"') {
            utf8Text_ = true;
            std::string exact;
            unquote(heldLine_.data() + 1, heldLine_.size() - 1, exact, "the value name");
            utf8Text_ = false;
            const Narrowed c = narrow(exact);
            if (c.lost.count) exactValue_ = exact;
            nameWarning("a value name", c.lost);
        }
        if (dn == 1 && *d == '-') {
            if (exactValue_.empty())
                reg_.removeValue(key_, name_.data(), name_.size());
            else
                reg_.removeExactValue(key_, exactValue_);
        } else if (dn && *d == '"') {
            setText(d, dn);
        } else {
            if (lenient_) checkTypeCase(d, dn);
            if (isType(d, dn, "dword:"))
                setDword(d, dn);
            else if (isType(d, dn, "hex"))
                setHex(d, dn, valueLine);
            else
                fail("expected \"text\", dword:, hex:, hex(N): or - after =");
        }
    }

    // "text"
    void setText(const char* d, size_t dn) {
        size_t used = 1 + unquote(d + 1, dn - 1, data_, "the text");
        if (used != dn) {
            if (!lenient_ || d[dn - 1] != '"') fail("expected nothing after the text's closing \"");
            // Regedit takes the text up to the line's last quote, the inner ones as they are.
            warn("quotes inside the text are not escaped as \\\"; read up to the last quote");
            unquoteLoose(d + 1, dn - 2, data_);
        }
        data_ += '\0';
        store(REG_SZ, reinterpret_cast<const unsigned char*>(data_.data()), data_.size());
    }

    // dword:XXXXXXXX
    void setDword(const char* d, size_t dn) {
        if (dn == 6) fail("expected dword: and 1 to 8 hex digits");
        size_t first = 6;
        if (dn > 14 && lenient_) {
            // Leading zeros past eight digits leave the number as it is; more would not fit.
            while (first < dn - 8 && d[first] == '0') ++first;
            if (dn - first <= 8)
                warn("dword: with more than 8 hex digits; read without its leading zeros");
        }
        if (dn - first > 8) fail("expected dword: and 1 to 8 hex digits");
        uint32_t v = 0;
        for (size_t k = first; k < dn; ++k) {
            int h = hexDigit(d[k]);
            if (h < 0) fail("expected dword: and 1 to 8 hex digits");
            v = (v << 4) | unsigned(h);
        }
        unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 24)};
        store(REG_DWORD, b, 4);
    }

    // hex:.. and hex(N):..; a UTF-16 export's strings come back to the machine's code page.
    void setHex(const char* d, size_t dn, int valueLine) {
        DWORD type = REG_BINARY;
        size_t k = 3;
        if (k < dn && d[k] == '(') {
            ++k;
            uint32_t t = 0;
            size_t digits = 0;
            while (k < dn && hexDigit(d[k]) >= 0 && digits < 8) {
                t = (t << 4) | unsigned(hexDigit(d[k]));
                ++k;
                ++digits;
            }
            if (digits == 0 || k >= dn || d[k] != ')') fail("expected hex(N): with N in hex");
            ++k;
            type = t;
        }
        if (k >= dn || d[k] != ':') fail("expected : after hex");
        parseHexBytes(d + k + 1, dn - k - 1);
        if (unicode_ && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
            std::string ansi = utf16ToAnsi(reinterpret_cast<const char*>(bytes_.data()),
                                           bytes_.size(), file_, valueLine, warnings_);
            bytes_.assign(ansi.begin(), ansi.end());
        }
        store(type, bytes_.data(), bytes_.size());
    }

    void store(DWORD type, const unsigned char* data, size_t length) {
        if (exactValue_.empty())
            reg_.setValue(key_, name_.data(), name_.size(), type, data, length);
        else
            reg_.setExactValue(key_, name_.data(), name_.size(), exactValue_, type, data, length);
    }

    // Type names in another case: regedit's own files write them in lower case only, and the
    // strict reader keeps to that; the lenient one reads them as the lower-case ones.
    void checkTypeCase(const char* d, size_t dn) {
        for (const char* t : {"dword:", "hex"}) {
            size_t w = std::strlen(t);
            if (startsWithNoCase(d, dn, t) && std::memcmp(d, t, w) != 0)
                warn("type " + std::string(d, w) + " is not in lower case; read as " + t);
        }
    }

    bool isType(const char* d, size_t dn, const char* t) const {
        size_t w = std::strlen(t);
        return lenient_ ? startsWithNoCase(d, dn, t) : dn >= w && std::memcmp(d, t, w) == 0;
    }

    // The lenient reading of a text with bare quotes: escapes as usual, a quote is itself.
    void unquoteLoose(const char* s, size_t n, std::string& out) {
        out.clear();
        const CodePage& cp = activeCodePage();
        for (size_t i = 0; i < n; ++i) {
            if (cp.pairAt(s, n, i))
                out += s[i++];
            else if (s[i] == '\\' && i + 1 < n && (s[i + 1] == '\\' || s[i + 1] == '"'))
                ++i;
            out += s[i];
        }
    }

    void parseHexBytes(const char* s, size_t n) {
        bytes_.clear();
        for (;;) {
            bool more = false;
            size_t i = 0;
            while (i < n) {
                char c = s[i];
                if (isBlank(c) || c == ',') {
                    ++i;
                    continue;
                }
                if (c == '\\') {
                    size_t j = i + 1;
                    while (j < n && isBlank(s[j])) ++j;
                    if (j != n) fail("expected \\ only at the end of a line");
                    more = true;
                    break;
                }
                int hi = hexDigit(c);
                int lo = i + 1 < n ? hexDigit(s[i + 1]) : -1;
                if (hi < 0 || lo < 0 || (i + 2 < n && hexDigit(s[i + 2]) >= 0))
                    fail("expected hex bytes of two digits separated by commas");
                bytes_.push_back(static_cast<unsigned char>(hi * 16 + lo));
                i += 2;
                if (i < n && !isBlank(s[i]) && s[i] != ',' && s[i] != '\\')
                    fail("expected hex bytes of two digits separated by commas");
            }
            if (!more) return;
            if (!nextLine(s, n)) fail("expected a continuation line after \\");
            trimRight(s, n);
        }
    }

    Registry& reg_;
    const std::string& file_;
    std::ostream& warnings_;
    std::unordered_map<const Registry::Key*, int>& topLines_;  // for the NT warnings
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    int line_ = 0;
    bool lenient_;
    bool unicode_ = false;
    bool deletedSection_ = false;
    std::map<int, LostCharacters>* held_ = nullptr;
    std::map<int, std::string>* heldText_ = nullptr;
    const LostCharacters* heldLost_ = nullptr;  // this line's, until warned about
    std::string heldLine_, exactValue_;
    bool utf8Text_ = false;  // unquoting UTF-8: no double-byte characters
    Registry::Key* key_ = nullptr;
    std::string prevPath_;
    std::vector<std::pair<size_t, Registry::Key*>> chain_;  // component end in prevPath_, key
    std::string name_, data_;
    std::vector<unsigned char> bytes_;
};

// Buffered output: one ostream write per megabyte.
class Writer {
  public:
    // `utf8`: names and text leave the code page, for a 5.00 file.
    Writer(std::ostream& out, bool utf8) : out_(out), utf8_(utf8) { buf_.reserve(kFlush + 4096); }
    ~Writer() { flush(); }
    void put(char c) { buf_ += c; }
    void put(const char* s, size_t n) { buf_.append(s, n); }
    void put(const char* s) { buf_.append(s); }
    void eol() {
        buf_.append("\r\n", 2);
        if (buf_.size() >= kFlush) flush();
    }
    size_t size() const { return buf_.size(); }
    void flush() {
        if (!buf_.empty()) out_.write(buf_.data(), static_cast<std::streamsize>(buf_.size()));
        buf_.clear();
    }
    bool utf8() const { return utf8_; }
    // A name or text of the code page as the file holds it.
    std::string text(const char* s, size_t n) const {
        return utf8_ ? activeCodePage().toUtf8(s, n) : std::string(s, n);
    }
    void quoted(const char* s, size_t n) {
        if (utf8_) return quotedAsIs(text(s, n));
        buf_ += '"';
        const CodePage& cp = activeCodePage();
        size_t start = 0;
        for (size_t i = 0; i < n; ++i) {
            if (cp.pairAt(s, n, i)) {
                ++i;  // its trail byte is never escaped
            } else if (s[i] == '\\' || s[i] == '"') {
                buf_.append(s + start, i - start);
                buf_ += '\\';
                start = i;
            }
        }
        buf_.append(s + start, n - start);
        buf_ += '"';
    }
    void quotedAsIs(const std::string& s) {
        buf_ += '"';
        for (char c : s) {
            if (c == '\\' || c == '"') buf_ += '\\';
            buf_ += c;
        }
        buf_ += '"';
    }

  private:
    static constexpr size_t kFlush = 1 << 20;
    std::ostream& out_;
    bool utf8_;
    std::string buf_;
};

// Text that reads back as the same bytes: one trailing NUL, no other NUL, no line break.
bool isPlainText(const Registry::Value& v) {
    if (v.dataLength == 0 || v.data()[v.dataLength - 1] != 0) return false;
    const unsigned char* d = v.data();
    const CodePage& cp = activeCodePage();
    const char* text = reinterpret_cast<const char*>(d);
    for (uint32_t i = 0; i + 1 < v.dataLength; ++i) {
        if (d[i] == 0 || d[i] == '\n' || d[i] == '\r') return false;
        if (cp.pairAt(text, v.dataLength - 1, i)) {
            ++i;
            continue;
        }
        // A lone lead byte before a quote or backslash would pair with the escape's backslash.
        const char probe[2] = {text[i], '\\'};
        if ((d[i + 1] == '"' || d[i + 1] == '\\') && cp.pairAt(probe, 2, 0)) return false;
    }
    return true;
}

void writeValue(Writer& w, const Registry::Value& v, const std::string* exact) {
    static const char kHex[] = "0123456789abcdef";
    size_t lineStart = w.size();
    if (exact)
        w.quotedAsIs(*exact);
    else if (v.nameLength == 0)
        w.put('@');
    else
        w.quoted(v.name, v.nameLength);
    w.put('=');
    if (v.type == REG_SZ && isPlainText(v)) {
        w.quoted(reinterpret_cast<const char*>(v.data()), v.dataLength - 1);
        w.eol();
        return;
    }
    if (v.type == REG_DWORD && v.dataLength == 4) {
        uint32_t x =
            v.data()[0] | (v.data()[1] << 8) | (v.data()[2] << 16) | (uint32_t(v.data()[3]) << 24);
        char b[16];
        b[0] = 'd', b[1] = 'w', b[2] = 'o', b[3] = 'r', b[4] = 'd', b[5] = ':';
        for (int i = 0; i < 8; ++i) b[6 + i] = kHex[(x >> (28 - 4 * i)) & 15];
        w.put(b, 14);
        w.eol();
        return;
    }
    if (v.type == REG_BINARY) {
        w.put("hex:");
    } else {
        char b[24];
        int n = std::snprintf(b, sizeof b, "hex(%x):", static_cast<unsigned>(v.type));
        w.put(b, static_cast<size_t>(n));
    }
    const unsigned char* data = v.data();
    uint32_t length = v.dataLength;
    std::string wide;  // a 5.00 file holds strings in UTF-16LE
    if (w.utf8() && (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)) {
        const std::string u = activeCodePage().toUtf8(reinterpret_cast<const char*>(data), length);
        Iconv cv("UTF-16LE", "UTF-8");
        wide = cv.convert(u.data(), u.size(), "\xfd\xff",
                          [](const char*, size_t) { return size_t(1); });
        data = reinterpret_cast<const unsigned char*>(wide.data());
        length = static_cast<uint32_t>(wide.size());
    }
    // Regedit's wrapping: lines of at most 80 characters, ending in ",\", continued after two
    // blanks. The first byte always stays on the value's own line.
    size_t col = w.size() - lineStart;
    for (uint32_t i = 0; i < length; ++i) {
        bool last = i + 1 == length;
        size_t need = last ? 2 : 4;
        if (i > 0 && col + need > 80) {
            w.put('\\');
            w.eol();
            w.put("  ", 2);
            col = 2;
        }
        char b[3] = {kHex[data[i] >> 4], kHex[data[i] & 15], ','};
        w.put(b, last ? 2 : 3);
        col += last ? 2 : 3;
    }
    w.eol();
}

}  // namespace

void loadRegFile(Registry& r, const std::string& text, const std::string& fileName,
                 std::ostream* warnings) {
    Registry fresh;
    readRegFile(fresh, text, fileName, warnings ? *warnings : std::cerr, false);
    r.swap(fresh);
}

void readRegFile(Registry& r, const std::string& text, const std::string& fileName,
                 std::ostream& warn, bool lenient) {
    Parser parser(r, fileName, warn, r.model().topLines, lenient);
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
        static_cast<unsigned char>(text[1]) == 0xFE) {
        // NT keeps a name the code page cannot hold exactly; 95/98 hold bytes of the code page.
        std::map<int, LostCharacters> held;
        std::map<int, std::string> heldText;
        const bool nt = activeCodePage().nt();
        std::string ansi =
            utf16ToAnsi(text.data() + 2, text.size() - 2, fileName, 0, warn, nt ? &held : nullptr);
        if (!held.empty()) {
            Iconv cv("UTF-8", "UTF-16LE");
            const std::string u = cv.convert(text.data() + 2, (text.size() - 2) & ~size_t(1),
                                             "\xef\xbf\xbd", [](const char*, size_t) { return 2; });
            int line = 1;
            for (size_t at = 0; at <= u.size();) {
                size_t nl = std::min(u.size(), u.find('\n', at));
                if (held.count(line)) heldText[line] = u.substr(at, nl - at);
                at = nl + 1;
                ++line;
            }
            parser.hold(&held, &heldText);
        }
        parser.run(ansi.data(), ansi.size());
    } else {
        parser.run(text.data(), text.size());
    }
}

namespace {

void writeText(const Registry& reg, std::ostream& out, bool utf8) {
    using Key = Registry::Key;
    const Registry::Model& model = reg.model();
    Writer w(out, utf8);
    w.put(utf8 ? "Windows Registry Editor Version 5.00" : "REGEDIT4");
    w.eol();
    w.eol();
    std::string path;
    struct Frame {
        const Key* key;
        uint32_t next;
        size_t pathLength;
    };
    std::vector<Frame> stack;
    for (int r = 0; r < kRootCount; ++r) {
        const Key* root = model.roots[r];
        if (!root || (root->childCount == 0 && root->valueCount == 0 && !root->hasClass)) continue;
        path.assign(root->name, root->nameLength);
        stack.push_back({root, 0, path.size()});
        bool entering = true;
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (entering) {
                w.put('[');
                w.put(path.data(), path.size());
                w.put(']');
                w.eol();
                if (const char* cls = reg.classOf(f.key)) {
                    w.put(";class=");
                    w.quoted(cls, std::strlen(cls));
                    w.eol();
                }
                for (uint32_t i = 0; i < f.key->valueCount; ++i)
                    writeValue(w, f.key->values[i], reg.exactName(f.key->values[i]));
                w.eol();
            }
            if (f.next < f.key->childCount) {
                const Key* c = f.key->children()[f.next++];
                entering = false;
                // The link is written as a copy of its control set where the image had one.
                if (c->isLink && !model.linkSaved) continue;
                path.resize(f.pathLength);
                path += '\\';
                const std::string* exact = reg.exactName(c);
                path += exact ? *exact : w.text(c->name, c->nameLength);
                stack.push_back({c->isLink ? model.linkTarget : c, 0, path.size()});
                entering = true;
            } else {
                stack.pop_back();
                if (!stack.empty()) path.resize(stack.back().pathLength);
                entering = false;
            }
        }
    }
    w.flush();
}

}  // namespace

void writeRegFile(const Registry& reg, std::ostream& out) {
    if (!reg.hasExactNames() || !activeCodePage().nt()) return writeText(reg, out, false);
    std::ostringstream utf8;
    writeText(reg, utf8, true);
    const std::string u = utf8.str();
    Iconv cv("UTF-16LE", "UTF-8");
    out << "\xff\xfe" << cv.convert(u.data(), u.size(), "\xfd\xff", [](const char*, size_t) {
        return size_t(1);
    });
}

}  // namespace simwin
