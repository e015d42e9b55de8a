#include "model/codepage.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "model/iconv.h"
#include "model/registry_model.h"

namespace simwin {

namespace {

// Characters no byte sequence of the code page decodes to sort after every real one.
constexpr uint32_t kUndecodable = 0x110000;

locale_t unicodeLocale() {
    static locale_t loc = [] {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
            if (locale_t l = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0))) return l;
        return static_cast<locale_t>(0);
    }();
    return loc;
}

uint32_t unicodeUpper(uint32_t c) {
    if (c < 0x80) return c >= 'a' && c <= 'z' ? c - 32 : c;
    locale_t loc = unicodeLocale();
    return loc ? static_cast<uint32_t>(towupper_l(static_cast<wint_t>(c), loc)) : c;
}

std::string iconvName(unsigned number) { return "CP" + std::to_string(number); }

bool ascii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// The whole of `s` converted, or nullopt when any of it does not convert. Iconvs are kept per
// thread: preview's workers convert side by side.
std::optional<std::string> convert(const std::string& s, const std::string& to,
                                   const std::string& from) {
    thread_local std::map<std::pair<std::string, std::string>, std::unique_ptr<Iconv>> made;
    auto& cv = made[{to, from}];
    if (!cv) cv = std::make_unique<Iconv>(to, from);
    if (!cv->ok()) return std::nullopt;
    iconv(cv->get(), nullptr, nullptr, nullptr, nullptr);
    std::string out(s.size() * 4 + 4, '\0');
    char* ip = const_cast<char*>(s.data());
    char* op = &out[0];
    size_t il = s.size(), ol = out.size();
    if (iconv(cv->get(), &ip, &il, &op, &ol) == static_cast<size_t>(-1) ||
        iconv(cv->get(), nullptr, nullptr, &op, &ol) == static_cast<size_t>(-1))
        return std::nullopt;
    out.resize(out.size() - ol);
    return out;
}

std::shared_ptr<const CodePage> g_owner;
const CodePage* g_active = nullptr;

}  // namespace

CodePage::CodePage(unsigned number, bool nt) : number_(number), nt_(nt) {
    Iconv cv("UTF-32LE", iconvName(number));
    if (!cv.ok())
        throw std::invalid_argument("code page " + std::to_string(number) + " is not known");
    uint32_t plain[256];
    std::map<uint32_t, unsigned> byteOf;  // single-byte characters, for 95/98's own upper case
    bool anyLead = false;
    for (unsigned b = 0; b < 256; ++b) {
        unsigned char c = static_cast<unsigned char>(b);
        long u = cv.decode(&c, 1);
        lead_[b] = u == -1;
        anyLead |= lead_[b];
        plain[b] = u >= 0 ? static_cast<uint32_t>(u) : kUndecodable + b;
        if (u >= 0) byteOf.emplace(plain[b], b);
    }
    for (unsigned b = 0; b < 256; ++b) {
        uint32_t up = unicodeUpper(plain[b]);
        if (plain[b] >= kUndecodable || up == plain[b])
            single_[b] = plain[b];
        else if (nt_ || byteOf.count(up))
            single_[b] = up;
        else
            single_[b] = plain[b];  // the code page has no capital for it
    }
    if (!anyLead) return;
    double_.assign(65536, 0);
    for (unsigned l = 0; l < 256; ++l) {
        if (!lead_[l]) continue;
        for (unsigned t = 0; t < 256; ++t) {
            unsigned char pair[2] = {static_cast<unsigned char>(l), static_cast<unsigned char>(t)};
            long u = cv.decode(pair, 2);
            if (u < 0) continue;
            // 95/98 upper-case single-byte letters only.
            double_[l << 8 | t] = nt_ ? unicodeUpper(static_cast<uint32_t>(u)) : uint32_t(u);
        }
    }
}

std::shared_ptr<const CodePage> CodePage::get(unsigned number, bool nt) {
    static std::mutex lock;
    static std::map<std::pair<unsigned, bool>, std::shared_ptr<const CodePage>> made;
    std::lock_guard<std::mutex> hold(lock);
    auto& cp = made[{number, nt}];
    if (!cp) cp = std::make_shared<CodePage>(number, nt);
    return cp;
}

std::string CodePage::toHost(const std::string& name) const {
    if (ascii(name)) return name;
    return convert(name, "UTF-8", iconvName(number_)).value_or(name);
}

std::string CodePage::fromHost(const std::string& host) const {
    if (ascii(host)) return host;
    return convert(host, iconvName(number_), "UTF-8").value_or(host);
}

size_t CodePage::findSeparator(const char* s, size_t n, size_t from, bool slash) const {
    for (size_t i = from; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\\' || (slash && c == '/')) return i;
        if (pairAt(s, n, i)) ++i;
    }
    return n;
}

size_t CodePage::rfindSeparator(const std::string& s) const {
    size_t last = std::string::npos;
    for (size_t i = findSeparator(s.data(), s.size()); i < s.size();
         i = findSeparator(s.data(), s.size(), i + 1))
        last = i;
    return last;
}

uint32_t CodePage::next(const unsigned char*& p, const unsigned char* end) const {
    unsigned c = *p++;
    if (lead_[c] && p < end) {
        if (uint32_t k = double_[c << 8 | *p]) {
            ++p;
            return k;
        }
    }
    return single_[c];
}

int CodePage::compare(const char* a, size_t an, const char* b, size_t bn) const {
    auto pa = reinterpret_cast<const unsigned char*>(a), ea = pa + an;
    auto pb = reinterpret_cast<const unsigned char*>(b), eb = pb + bn;
    while (pa < ea && pb < eb) {
        uint32_t x = next(pa, ea), y = next(pb, eb);
        if (x != y) return x < y ? -1 : 1;
    }
    return pa < ea ? 1 : pb < eb ? -1 : 0;
}

std::string CodePage::fold(const std::string& name) const {
    std::string out;
    out.reserve(name.size());
    auto p = reinterpret_cast<const unsigned char*>(name.data()), e = p + name.size();
    while (p < e) {
        uint32_t k = next(p, e);
        if (k < 0x80) {
            out += static_cast<char>(k);
        } else {  // a byte no ASCII character has, then the character
            out += '\x80';
            out += static_cast<char>(k >> 16);
            out += static_cast<char>(k >> 8);
            out += static_cast<char>(k);
        }
    }
    return out;
}

std::string CodePage::fromUtf16(
    const char* p, size_t n, const std::function<void(uint32_t code, size_t offset)>& lost) const {
    Iconv cv(iconvName(number_), "UTF-16LE");
    if (!cv.ok())
        throw std::invalid_argument("code page " + std::to_string(number_) + " is not known");
    std::string out(n + 16, '\0');
    char* in = const_cast<char*>(p);
    size_t inLeft = n & ~size_t(1);
    size_t used = 0;
    // glibc converts a call's input again up to the character it cannot convert, so each call
    // gets a window that starts small after such a character and doubles while none follows:
    // text full of them stays linear.
    const size_t kSmall = 16, kLarge = size_t(1) << 20;
    size_t window = kSmall;
    while (inLeft) {
        char* o = &out[used];
        size_t oLeft = out.size() - used;
        const size_t chunk = std::min(inLeft, window);
        const bool more = chunk < inLeft;
        size_t chunkLeft = chunk;
        size_t r = iconv(cv.get(), &in, &chunkLeft, &o, &oLeft);
        used = out.size() - oLeft;
        inLeft -= chunk - chunkLeft;
        if (r != static_cast<size_t>(-1) || (errno == EINVAL && more)) {  // a pair cut in two
            window = std::min(window * 2, kLarge);
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        window = kSmall;
        if (errno != EILSEQ || inLeft < 2) break;
        auto unit = [&](size_t i) {
            return uint32_t(static_cast<unsigned char>(in[i])) |
                   uint32_t(static_cast<unsigned char>(in[i + 1])) << 8;
        };
        uint32_t code = unit(0);
        size_t width = 2;
        if (code >= 0xD800 && code < 0xDC00 && inLeft >= 4 && unit(2) >= 0xDC00 &&
            unit(2) < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(2) - 0xDC00);
            width = 4;
        }
        const bool c1 = undefinedC1(code);
        if (!c1) lost(code, static_cast<size_t>(in - p));
        if (used == out.size()) out.resize(out.size() * 2);
        out[used++] = c1 ? static_cast<char>(code) : '?';
        in += width;
        inLeft -= width;
    }
    out.resize(used);
    return out;
}

bool CodePage::undefinedC1(uint32_t c) const {
    return c >= 0x80 && c < 0xA0 && !lead_[c] && single_[c] >= kUndecodable;
}

std::string CodePage::toUtf8(const char* p, size_t n) const {
    Iconv cv("UTF-8", iconvName(number_));
    std::string out;
    auto run = [&](size_t from, size_t to) {
        out +=
            cv.convert(p + from, to - from, "\xef\xbf\xbd", [](const char*, size_t) { return 1; });
    };
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        if (pairAt(p, n, i)) {
            ++i;
        } else if (undefinedC1(static_cast<unsigned char>(p[i]))) {
            run(start, i);
            out += '\xc2';
            out += p[i];
            start = i + 1;
        }
    }
    run(start, n);
    return out;
}

const CodePage& activeCodePage() {
    if (!g_active) setActiveCodePage(CodePage::get(1252, true));
    return *g_active;
}

void setActiveCodePage(std::shared_ptr<const CodePage> cp) {
    g_owner = std::move(cp);
    g_active = g_owner.get();
}

int compareNamesBeyondAscii(const char* a, size_t an, const char* b, size_t bn) {
    return activeCodePage().compare(a, an, b, bn);
}

}  // namespace simwin
