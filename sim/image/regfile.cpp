// registry.reg: REGEDIT4 out, REGEDIT4 and "Windows Registry Editor Version 5.00" in.
#include "image/regfile.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "model/codepage.h"
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

// Each line's lost characters are named once, with their count: a long value of another script
// would otherwise give a warning per character.
std::string utf16ToAnsi(const char* p, size_t n, const std::string& file, int line,
                        std::ostream& warnings) {
    const CodePage& cp = activeCodePage();
    const bool wholeFile = line == 0;  // else a value's data, all of it on `line`
    if (wholeFile) line = 1;
    size_t counted = 0;  // UTF-16 bytes whose line breaks are in `line`
    int lostLine = line;
    size_t lost = 0;
    std::string codes;
    auto report = [&] {
        if (lost == 0) return;
        warnings << "dot4sim: warning: " << file << ":" << lostLine
                 << ": characters with no form in code page " << cp.number() << "; " << lost
                 << " stored as '?':" << codes << (lost > 3 ? " ..." : "") << "\n";
        lost = 0;
        codes.clear();
    };
    std::string out = cp.fromUtf16(p, n, [&](uint32_t code, size_t offset) {
        for (; wholeFile && counted + 1 < offset; counted += 2)
            if (p[counted] == '\n' && p[counted + 1] == 0) ++line;
        if (line != lostLine) report(), lostLine = line;
        if (++lost > 3) return;
        char u[16];
        std::snprintf(u, sizeof u, " U+%04X", code);
        codes += u;
    });
    report();
    return out;
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
            if (activeCodePage().pairAt(s, n, i)) {
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
        if (dn == 1 && *d == '-') {
            reg_.removeValue(key_, name_.data(), name_.size());
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
        reg_.setValue(key_, name_.data(), name_.size(), REG_SZ,
                      reinterpret_cast<const unsigned char*>(data_.data()), data_.size());
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
        reg_.setValue(key_, name_.data(), name_.size(), REG_DWORD, b, 4);
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
        reg_.setValue(key_, name_.data(), name_.size(), type, bytes_.data(), bytes_.size());
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
    Registry::Key* key_ = nullptr;
    std::string prevPath_;
    std::vector<std::pair<size_t, Registry::Key*>> chain_;  // component end in prevPath_, key
    std::string name_, data_;
    std::vector<unsigned char> bytes_;
};

// Buffered output: one ostream write per megabyte.
class Writer {
  public:
    explicit Writer(std::ostream& out) : out_(out) { buf_.reserve(kFlush + 4096); }
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
    void quoted(const char* s, size_t n) {
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

  private:
    static constexpr size_t kFlush = 1 << 20;
    std::ostream& out_;
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

void writeValue(Writer& w, const Registry::Value& v) {
    static const char kHex[] = "0123456789abcdef";
    size_t lineStart = w.size();
    if (v.nameLength == 0)
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
    // Regedit's wrapping: lines of at most 80 characters, ending in ",\", continued after two
    // blanks. The first byte always stays on the value's own line.
    size_t col = w.size() - lineStart;
    for (uint32_t i = 0; i < v.dataLength; ++i) {
        bool last = i + 1 == v.dataLength;
        size_t need = last ? 2 : 4;
        if (i > 0 && col + need > 80) {
            w.put('\\');
            w.eol();
            w.put("  ", 2);
            col = 2;
        }
        char b[3] = {kHex[v.data()[i] >> 4], kHex[v.data()[i] & 15], ','};
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
        std::string ansi = utf16ToAnsi(text.data() + 2, text.size() - 2, fileName, 0, warn);
        parser.run(ansi.data(), ansi.size());
    } else {
        parser.run(text.data(), text.size());
    }
}

void writeRegFile(const Registry& reg, std::ostream& out) {
    using Key = Registry::Key;
    const Registry::Model& model = reg.model();
    Writer w(out);
    w.put("REGEDIT4");
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
                for (uint32_t i = 0; i < f.key->valueCount; ++i) writeValue(w, f.key->values[i]);
                w.eol();
            }
            if (f.next < f.key->childCount) {
                const Key* c = f.key->children()[f.next++];
                entering = false;
                // The link is written as a copy of its control set where the image had one.
                if (c->isLink && !model.linkSaved) continue;
                path.resize(f.pathLength);
                path += '\\';
                path.append(c->name, c->nameLength);
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

}  // namespace simwin
