// dir /s /b listings: their encodings, and the paths they name.
#include "imports/listing.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "model/codepage.h"
#include "model/iconv.h"

namespace simwin {

namespace {

// Windows' limit on a name, in UTF-16 units; the host's is as many bytes.
const size_t kMaxName = 255;

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, nothing past U+10FFFF.
bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t w = c < 0x80                ? 1
                   : c >= 0xC2 && c < 0xE0 ? 2
                   : c >= 0xE0 && c < 0xF0 ? 3
                   : c >= 0xF0 && c < 0xF5 ? 4
                                           : 0;
        if (w == 0 || i + w > s.size()) return false;
        for (size_t k = 1; k < w; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        uint32_t code = w == 1 ? c : c & (0x7F >> w);
        for (size_t k = 1; k < w; ++k)
            code = code << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if ((w == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (w == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += w;
    }
    return true;
}

size_t utf8Width(unsigned char c) { return c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4; }

uint32_t utf8Code(const char* p, size_t left) {
    size_t w = std::min(left, utf8Width(static_cast<unsigned char>(*p)));
    uint32_t u = static_cast<unsigned char>(*p) & (w == 1 ? 0x7F : 0x3F >> (w - 1));
    for (size_t i = 1; i < w; ++i) u = u << 6 | (static_cast<unsigned char>(p[i]) & 0x3F);
    return u;
}

// A name's length as Windows counts it: characters past U+FFFF take two.
size_t utf16Length(const std::string& utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80 ? (c >= 0xF0 ? 2 : 1) : 0;
    return n;
}

bool isAscii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

bool startsWith(const std::string& s, const char* word) {
    return s.compare(0, std::strlen(word), word) == 0;
}

// A name the line cannot have, or "".
std::string refusedName(const std::string& name) {
    if (name == "." || name == ".." || name.find('\0') != std::string::npos)
        return "expected a path without . or .. components or NULs; line skipped";
    if (size_t n = utf16Length(name); n > kMaxName)
        return "a name longer than 255 characters, which Windows does not allow; line skipped (" +
               std::to_string(n) + ")";
    if (name.size() > kMaxName)
        return "a name longer than 255 bytes in UTF-8, which the host's names cannot be; line "
               "skipped (" +
               std::to_string(name.size()) + " bytes)";
    return "";
}

size_t driveEntry(Listing& l, char letter) {
    auto [it, added] = l.index.emplace(std::string(":") + letter, l.entries.size());
    if (added) l.entries.push_back({std::string("drive_") + letter, false, true});
    return it->second;
}

}  // namespace

ListingEncoding listingEncoding(const std::string& raw, unsigned oem) {
    auto byte = [&](size_t i) { return i < raw.size() ? static_cast<unsigned char>(raw[i]) : 0; };
    if (byte(0) == 0xFF && byte(1) == 0xFE) return {"UTF-16LE", 2, 2, "UTF-16LE (byte-order mark)"};
    if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
        return {"UTF-8", 1, 3, "UTF-8 (byte-order mark)"};
    if (raw.size() >= 2 && byte(0) != 0 && byte(1) == 0)
        return {"UTF-16LE", 2, 0, "UTF-16LE (no byte-order mark: the shape cmd /u writes)"};
    const std::string cp = "CP" + std::to_string(oem);
    if (isAscii(raw)) return {cp, 1, 0, "ASCII"};
    size_t bad = 0;
    Iconv utf8("UTF-16LE", "UTF-8");
    utf8.convert(raw.data(), raw.size(), "", [&](const char*, size_t) { return ++bad; });
    if (bad == 0)
        return {"UTF-8", 1, 0, "UTF-8 (no byte-order mark: valid UTF-8 with non-ASCII characters)"};
    return {cp, 1, 0, "code page " + std::to_string(oem) + ", the machine's OEM code page"};
}

bool looksLikeListing(const std::string& raw) {
    size_t skip = 0, unit = 1;
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE)
        skip = unit = 2;
    else if (raw.size() >= 2 && raw[0] != 0 && raw[1] == 0)
        unit = 2;
    else if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
        skip = 3;
    std::string head;
    for (size_t i = skip; i + unit <= raw.size() && head.size() < 3; i += unit) {
        if (unit == 2 && raw[i + 1] != 0) break;
        if (head.empty() && std::isspace(static_cast<unsigned char>(raw[i]))) continue;
        head += raw[i];
    }
    return startsWith(head, "\\\\") ||
           (head.size() == 3 && std::isalpha(static_cast<unsigned char>(head[0])) &&
            head[1] == ':' && head[2] == '\\');
}

std::string readListing(const std::string& raw, const std::string& file, const ListingEncoding& e,
                        Listing& l, std::ostream& warnings) {
    Iconv decode("UTF-8", e.name);
    if (!decode.ok())
        return "it is in " + e.name +
               ", which is not known here; name the listings' code page with --set "
               "system.oemcp=N";
    const CodePage& cp = activeCodePage();
    Iconv toAnsi("CP" + std::to_string(cp.number()), "UTF-8");
    if (!toAnsi.ok()) return "code page " + std::to_string(cp.number()) + " is not known here";
    auto warn = [&](size_t line, const std::string& why) {
        warnings << "dot4sim: warning: " << file << ":" << line << ": " << why << "\n";
    };
    bool first = true;
    size_t lineNo = 0;
    for (size_t pos = e.skip; pos < raw.size();) {
        size_t end = pos;
        if (e.unit == 2) {
            while (end + 1 < raw.size() && !(raw[end] == '\n' && raw[end + 1] == 0)) end += 2;
            end = std::min(end, raw.size());
        } else {
            end = std::min(raw.find('\n', pos), raw.size());
        }
        ++lineNo;
        size_t bad = 0;
        std::string line = decode.convert(raw.data() + pos, end - pos, kReplacement,
                                          [&](const char*, size_t) { return ++bad, e.unit; });
        pos = end + e.unit;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) continue;
        if (!validUtf8(line)) {
            // glibc's UTF-8 reader lets some malformed sequences through unchanged.
            warn(lineNo, "not valid " + e.name + "; line skipped");
            ++l.skipped;
            continue;
        }
        if (first &&
            (startsWith(line, "REGEDIT4") || startsWith(line, "Windows Registry Editor Version")))
            return "it is a registry export, not a dir /s /b listing; give exports without "
                   "--listing";
        first = false;
        bool drive = line.size() >= 3 && std::isalpha(static_cast<unsigned char>(line[0])) &&
                     line[1] == ':' && line[2] == '\\';
        if (!drive) {
            warn(lineNo, "expected a path on a drive letter (X:\\...); line skipped");
            ++l.skipped;
            continue;
        }
        // Split in Unicode, as Windows splits an ANSI path only once it is Unicode: a
        // double-byte trail byte 0x5C is no separator. '/' is one on Windows too.
        std::vector<std::string> names;
        std::string why;
        for (size_t i = 2; i < line.size() && why.empty();) {
            while (i < line.size() && (line[i] == '\\' || line[i] == '/')) ++i;
            size_t stop = std::min(line.find_first_of("\\/", i), line.size());
            if (stop > i) names.push_back(line.substr(i, stop - i));
            if (stop > i) why = refusedName(names.back());
            i = stop;
        }
        if (!why.empty()) {
            warn(lineNo, why);
            ++l.skipped;
            continue;
        }
        if (bad)
            warn(lineNo, "bytes that are no character in " + e.name + "; " + std::to_string(bad) +
                             " read as U+FFFD");
        // Names compare as the machine compares their ANSI form; one it cannot hold in full
        // keeps its Unicode spelling, which no other name shares.
        size_t parent = driveEntry(l, static_cast<char>(std::tolower(line[0])));
        size_t lost = 0;
        std::string codes;
        for (const std::string& name : names) {
            std::string key = std::to_string(parent) + '\0';
            size_t lostHere = 0;
            std::string codesHere;
            if (isAscii(name)) {
                key += cp.fold(name);
            } else {
                std::string ansi =
                    toAnsi.convert(name.data(), name.size(), "?", [&](const char* at, size_t left) {
                        if (++lostHere <= 3) {
                            char u[16];
                            std::snprintf(u, sizeof u, " U+%04X", utf8Code(at, left));
                            codesHere += u;
                        }
                        return utf8Width(static_cast<unsigned char>(*at));
                    });
                key += lostHere ? "\x01" + name : cp.fold(ansi);
            }
            auto [it, added] = l.index.emplace(std::move(key), l.entries.size());
            if (added) {
                l.entries.push_back({l.entries[parent].path + "/" + name});
                lost += lostHere;
                if (lost - lostHere < 3) codes += codesHere;
            }
            l.entries[parent].folder = true;
            parent = it->second;
        }
        if (lost)
            warn(lineNo, "characters with no form in code page " + std::to_string(cp.number()) +
                             "; " + std::to_string(lost) + " read as '?' by the machine:" + codes +
                             (lost > 3 ? " ..." : ""));
    }
    return "";
}

}  // namespace simwin
