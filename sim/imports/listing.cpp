// dir /s /b listings: their encodings, and the paths they name.
#include "imports/listing.h"

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <sstream>
#include <vector>

#include "imports/exports.h"
#include "model/codepage.h"

namespace simwin {

namespace {

// The OEM text of a listing as UTF-16LE, through the C library's converter.
bool oemToUtf16(const std::string& in, unsigned oem, std::string& out) {
    iconv_t cd = iconv_open("UTF-16LE", ("CP" + std::to_string(oem)).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.assign(in.size() * 2 + 16, '\0');
    char* ip = const_cast<char*>(in.data());
    size_t il = in.size();
    char* op = &out[0];
    size_t ol = out.size();
    while (il > 0) {
        if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1)) break;
        if (errno != EILSEQ && errno != EINVAL) break;
        ++ip, --il;  // a byte the code page does not map: '?'
        if (ol >= 2) *op++ = '?', *op++ = 0, ol -= 2;
    }
    iconv_close(cd);
    out.resize(out.size() - ol);
    return true;
}

}  // namespace

void readListing(const std::string& raw, const std::string& file, unsigned oem, Listing& l,
                 std::ostream& err) {
    std::string text;
    bool utf16 = raw.size() >= 2 && ((static_cast<unsigned char>(raw[0]) == 0xFF &&
                                      static_cast<unsigned char>(raw[1]) == 0xFE) ||
                                     (raw[0] != 0 && raw[1] == 0));
    if (utf16) {
        text = fromUtf16(raw, raw[1] == 0 ? 0 : 2, file, err);
    } else {
        std::string wide;
        if (!oemToUtf16(raw, oem, wide)) {
            err << "dot4sim: warning: " << file << ": code page " << oem
                << " is not known here; the listing is read as the machine's own code page\n";
            text = raw;
        } else {
            text = fromUtf16(wide, 0, file, err);
        }
    }
    const CodePage& cp = activeCodePage();
    std::istringstream in(text);
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) continue;
        bool drive = line.size() >= 3 && std::isalpha(static_cast<unsigned char>(line[0])) &&
                     line[1] == ':' && line[2] == '\\';
        if (!drive) {
            err << "dot4sim: warning: " << file << ":" << lineNo
                << ": expected a path on a drive letter (X:\\...); line skipped\n";
            ++l.skipped;
            continue;
        }
        // One form per path: separators ('/' is one on Windows too) collapsed, the drive letter
        // upper case. "." and ".." are never listed; as names here they would leave the drive.
        std::string path(1, static_cast<char>(std::toupper(static_cast<unsigned char>(line[0]))));
        path += ":";
        std::vector<size_t> ends;
        bool dots = false;
        for (size_t i = 2; i < line.size();) {
            while (i < line.size() && (line[i] == '\\' || line[i] == '/')) ++i;
            size_t e = line.find_first_of("\\/", i);
            if (e == std::string::npos) e = line.size();
            std::string name = line.substr(i, e - i);
            dots |= name == "." || name == ".." || name.find('\0') != std::string::npos;
            if (e > i) {
                path += "\\" + name;
                ends.push_back(path.size());
            }
            i = e;
        }
        if (dots) {
            err << "dot4sim: warning: " << file << ":" << lineNo
                << ": expected a path without . or .. components or NULs; line skipped\n";
            ++l.skipped;
            continue;
        }
        if (ends.empty()) continue;  // the drive itself
        std::string folded = cp.fold(path);
        l.paths.emplace(folded, path);
        for (size_t k = 0; k + 1 < ends.size(); ++k) {
            std::string parent = folded.substr(0, ends[k]);
            if (!l.parents.insert(parent).second) continue;
            l.paths.emplace(parent, path.substr(0, ends[k]));
        }
    }
}

// The host path of a Windows path, each component as the first path through it spelt it.
std::string hostPath(const Listing& l, const std::string& machine, const std::string& folded) {
    std::string host =
        machine + "/drive_" +
        std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(folded[0]))));
    size_t start = 3;
    while (start <= folded.size()) {
        size_t e = folded.find('\\', start);
        if (e == std::string::npos) e = folded.size();
        const std::string& spelt = l.paths.at(folded.substr(0, e));
        host += "/" + spelt.substr(start);
        start = e + 1;
    }
    return host;
}

}  // namespace simwin
