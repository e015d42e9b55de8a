// dot4sim import: a machine image from a real machine's registry exports and file listings.
#include <dirent.h>
#include <iconv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "codepage.h"
#include "imports/hive.h"
#include "image.h"
#include "registry.h"
#include "runner.h"

namespace simwin {

namespace {

const char* const kImportHelp =
    "usage: dot4sim import MACHINE EXPORT... [--listing FILE]... [--set SECTION.KEY=VALUE]...\n"
    "       dot4sim import MACHINE --root DIR [--set SECTION.KEY=VALUE]...\n"
    "\n"
    "Makes the machine image MACHINE (a folder that does not exist, or is empty) from registry\n"
    "exports (regedit /e, reg export: REGEDIT4, or Windows Registry Editor Version 5.00 in\n"
    "UTF-16LE or 8-bit), merged in the order given, and file listings written by dir /s /b\n"
    "(OEM code page, or UTF-16LE from cmd /u). Every listed path becomes an empty file of the\n"
    "image, or a folder when another listed path lies below it.\n"
    "\n"
    "machine.ini [system] is derived from the exports' own values; each derived and each\n"
    "assumed setting is printed with the key it came from.\n"
    "\n"
    "  --listing FILE           a dir /s /b listing\n"
    "  --set SECTION.KEY=VALUE  a machine.ini value, over what was derived\n"
    "  --root DIR               a mounted Windows partition: its registry files (NT hives, or\n"
    "                           95/98 SYSTEM.DAT and USER.DAT) and its files, instead of exports\n"
    "\n"
    "Lines the image format would refuse are warned about (file, line, why) and skipped or, as\n"
    "regedit does, read anyway; an export is never refused whole.\n"
    "Exit status: 0 when the image was written, 2 for a bad command line, a file that cannot be\n"
    "read or a MACHINE that is not empty.\n";

const char* const kNtVersionKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char* const k9xVersionKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return !in.bad();
}

std::optional<std::string> text(const Registry& r, const std::string& key, const char* name) {
    auto v = r.value(key, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    std::string s = v->bytes;
    size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

std::optional<unsigned> number(const std::string& s) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return static_cast<unsigned>(std::stoul(s));
}

// machine.ini as it will be written: sections in first-use order, keys in theirs.
struct Ini {
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections;
    void set(const std::string& section, const std::string& key, const std::string& value) {
        for (auto& s : sections) {
            if (!iequals(s.first, section)) continue;
            for (auto& kv : s.second)
                if (iequals(kv.first, key)) return void(kv.second = value);
            s.second.emplace_back(key, value);
            return;
        }
        sections.push_back({section, {{key, value}}});
    }
    std::string get(const std::string& section, const std::string& key) const {
        for (auto& s : sections)
            if (iequals(s.first, section))
                for (auto& kv : s.second)
                    if (iequals(kv.first, key)) return kv.second;
        return "";
    }
    std::string str() const {
        std::string out;
        for (auto& s : sections) {
            out += "[" + s.first + "]\r\n";
            for (auto& kv : s.second) out += kv.first + "=" + kv.second + "\r\n";
            out += "\r\n";
        }
        return out;
    }
};

// What [system] and the listings' code page come to, with where each came from.
struct Derived {
    Ini ini;
    unsigned oemCodePage = 437;
    std::vector<std::string> notes;  // "derived: ..." lines
    // [system] keys left to machine.ini's defaults, and why: the default may hang on the
    // platform, which --set can still change.
    std::vector<std::pair<std::string, std::string>> assumed;
};

// The control set the machine runs on: CurrentControlSet where the export has it, else the
// one SYSTEM\Select names, as the loader links it.
std::string controlSet(const Registry& r, std::string& why) {
    const std::string system = "HKEY_LOCAL_MACHINE\\SYSTEM";
    if (r.hasKey(system + "\\CurrentControlSet")) return system + "\\CurrentControlSet";
    auto v = r.value(system + "\\Select", "Current");
    if (v && v->type == REG_DWORD && v->bytes.size() == 4) {
        unsigned n =
            static_cast<unsigned char>(v->bytes[0]) | static_cast<unsigned char>(v->bytes[1]) << 8;
        char b[32];
        std::snprintf(b, sizeof b, "ControlSet%03u", n);
        why = " (the control set " + system + "\\Select Current names)";
        return system + "\\" + b;
    }
    return system + "\\CurrentControlSet";
}

Derived derive(const Registry& r) {
    Derived d;
    auto derived = [&](const std::string& key, const std::string& value, const std::string& from) {
        d.ini.set("system", key, value);
        d.notes.push_back("derived: " + key + "=" + value + " from " + from);
    };
    auto assumed = [&](const std::string& key, const std::string&, const std::string& why) {
        d.assumed.emplace_back(key, why);
    };
    const std::string nt = kNtVersionKey, w9x = k9xVersionKey;
    auto ntVersion = text(r, nt, "CurrentVersion");
    auto w9xVersion = text(r, w9x, "VersionNumber");
    std::string versionKey;
    std::vector<unsigned> parts;
    if (ntVersion || !w9xVersion) {
        versionKey = nt;
        if (ntVersion) {
            derived("platform", "2", nt + " CurrentVersion (Windows NT)");
            std::istringstream in(*ntVersion);
            for (std::string p; std::getline(in, p, '.');)
                if (auto n = number(p)) parts.push_back(*n);
        } else {
            assumed(
                "platform", "2",
                "neither " + nt + " CurrentVersion nor " + w9x + " VersionNumber in the exports");
        }
        if (parts.size() >= 2) {
            derived("major", std::to_string(parts[0]),
                    nt + " CurrentVersion \"" + *ntVersion + "\"");
            derived("minor", std::to_string(parts[1]),
                    nt + " CurrentVersion \"" + *ntVersion + "\"");
        } else {
            assumed("major", "5", "no readable " + nt + " CurrentVersion");
            assumed("minor", "1", "no readable " + nt + " CurrentVersion");
        }
        auto build = text(r, nt, "CurrentBuildNumber");
        if (build && number(*build))
            derived("build", std::to_string(*number(*build)), nt + " CurrentBuildNumber");
        else
            assumed("build", "2600", "no readable " + nt + " CurrentBuildNumber");
    } else {
        versionKey = w9x;
        derived("platform", "1", w9x + " VersionNumber (Windows 95/98)");
        std::istringstream in(*w9xVersion);
        for (std::string p; std::getline(in, p, '.');)
            if (auto n = number(p)) parts.push_back(*n);
        const char* names[] = {"major", "minor", "build"};
        const char* defaults[] = {"4", "10", "2222"};
        for (size_t i = 0; i < 3; ++i) {
            if (i < parts.size())
                derived(names[i], std::to_string(parts[i]),
                        w9x + " VersionNumber \"" + *w9xVersion + "\"");
            else
                assumed(names[i], defaults[i], "no readable " + w9x + " VersionNumber");
        }
    }
    if (auto root = text(r, versionKey, "SystemRoot"); root && !root->empty())
        derived("windows_directory", *root, versionKey + " SystemRoot");
    else
        assumed("windows_directory", "C:\\WINDOWS", "no " + versionKey + " SystemRoot");
    std::string why;
    std::string nls = controlSet(r, why) + "\\Control\\Nls\\CodePage";
    auto acp = text(r, nls, "ACP");
    if (acp && number(*acp) && *number(*acp) != 0)
        derived("codepage", std::to_string(*number(*acp)), nls + " ACP" + why);
    else
        assumed("codepage", "1252", "no readable " + nls + " ACP" + why);
    auto oem = text(r, nls, "OEMCP");
    if (oem && number(*oem) && *number(*oem) != 0) {
        d.oemCodePage = *number(*oem);
        d.notes.push_back("derived: listings' code page " + *oem + " from " + nls + " OEMCP" + why);
    } else {
        d.notes.push_back("assumed: listings' code page 437 (no readable " + nls + " OEMCP" + why +
                          ")");
    }
    return d;
}

// UTF-16LE text in the machine's code page, with a warning per lost character.
std::string fromUtf16(const std::string& in, size_t skip, const std::string& file,
                      std::ostream& err) {
    const CodePage& cp = activeCodePage();
    return cp.fromUtf16(in.data() + skip, in.size() - skip, [&](uint32_t code, size_t offset) {
        size_t line = 1;
        for (size_t i = skip; i + 1 < skip + offset && i + 1 < in.size(); i += 2)
            if (in[i] == '\n' && in[i + 1] == 0) ++line;
        char u[16];
        std::snprintf(u, sizeof u, "U+%04X", code);
        err << "dot4sim: warning: " << file << ":" << line << ": " << u
            << " has no form in code page " << cp.number() << "; stored as '?'\n";
    });
}

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

struct Listing {
    // Folded Windows path -> the path as first spelt; and the folded paths with something below.
    std::map<std::string, std::string> paths;
    std::set<std::string> parents;
    size_t skipped = 0;
};

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

bool emptyOrMissing(const std::string& dir, std::string& why) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        return errno == ENOENT || (why = std::strerror(errno), false);
    if (!S_ISDIR(st.st_mode)) return why = "exists and is not a folder", false;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return why = std::strerror(errno), false;
    bool empty = true;
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    ::closedir(d);
    if (!empty) why = "is not empty; import makes a new image";
    return empty;
}

bool makeDirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string p = path.substr(0, i);
        if (::mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

int importMain(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    std::string machine;
    std::vector<std::string> exports, listings;
    std::string root;
    std::vector<std::pair<std::string, std::string>> sets;  // "section.key", value
    for (size_t i = 0; i < a.size(); ++i) {
        const std::string& s = a[i];
        if (s == "--help" || s == "-h") {
            out << kImportHelp;
            return 0;
        } else if (s == "--listing" || s == "--set" || s == "--root") {
            const std::string* value = optionValue(a, i, "import", "a value", err);
            if (!value) return kStatusBadUsage;
            const std::string& v = *value;
            if (s == "--listing") {
                listings.push_back(v);
                continue;
            }
            if (s == "--root") {
                root = v;
                continue;
            }
            size_t dot = v.find('.'), eq = v.find('=');
            if (dot == std::string::npos || eq == std::string::npos || dot == 0 || eq < dot + 2) {
                err << "dot4sim import: --set needs SECTION.KEY=VALUE, got '" << v << "'\n";
                return kStatusBadUsage;
            }
            sets.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (!s.empty() && s[0] == '-') {
            err << "dot4sim import: unknown option " << s << "\n";
            return kStatusBadUsage;
        } else if (machine.empty()) {
            machine = s;
        } else {
            exports.push_back(s);
        }
    }
    if (!exports.empty() && !root.empty()) {
        err << "dot4sim import: exports and --root do not mix; give one or the other\n";
        return kStatusBadUsage;
    }
    if (machine.empty() || (exports.empty() && root.empty())) {
        err << "dot4sim import: missing " << (machine.empty() ? "MACHINE" : "EXPORT") << "\n"
            << kImportHelp;
        return kStatusBadUsage;
    }
    std::string why;
    if (!emptyOrMissing(machine, why)) {
        err << "dot4sim import: " << machine << " " << why << "\n";
        return kStatusBadUsage;
    }
    PartitionImport partition;
    if (!root.empty() && !partition.open(root, err)) return kStatusBadUsage;
    // One export in memory at a time, and a UTF-16 one only until it is converted: the peak is
    // the 8-bit text and the registry.
    auto readExport = [&](std::unique_ptr<Registry>& into, const std::string& file,
                          std::ostream& warnings) {
        std::string text;
        if (!readFile(file, text)) return false;
        if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
            static_cast<unsigned char>(text[1]) == 0xFE) {
            std::string ansi = fromUtf16(text, 2, file, warnings);
            std::string().swap(text);
            text.swap(ansi);
        }
        into->read(text, file, warnings, true);
        return true;
    };
    std::vector<std::string> listed(listings.size());
    for (size_t i = 0; i < listings.size(); ++i)
        if (!readFile(listings[i], listed[i])) {
            err << "dot4sim import: cannot read " << listings[i] << "\n";
            return kStatusBadUsage;
        }

    // First pass in code page 1252, enough for the values [system] comes from. A UTF-16 export
    // is stored in the machine's own code page, and names compare by it: when that is another
    // one, the exports are read again in it.
    auto firstPage = CodePage::get(1252, true);
    setActiveCodePage(firstPage);
    auto reg = std::make_unique<Registry>();
    std::ostringstream firstWarnings;
    for (const std::string& file : exports)
        if (!readExport(reg, file, firstWarnings)) {
            err << "dot4sim import: cannot read " << file << "\n";
            return kStatusBadUsage;
        }
    if (!root.empty() && !partition.read(*reg, firstWarnings, err)) return kStatusBadUsage;
    Derived d = derive(*reg);
    for (auto& [name, value] : sets) {
        size_t dot = name.find('.');
        d.ini.set(name.substr(0, dot), name.substr(dot + 1), value);
        d.notes.push_back("set: " + name + "=" + value + " (--set)");
    }
    // Refuse a bad machine.ini before anything is written.
    Machine check;
    try {
        parseMachineIni(check, d.ini.str(), machine + "/machine.ini");
    } catch (const ImageError& e) {
        err << "dot4sim import: " << e.what() << "\n";
        return kStatusBadUsage;
    }
    const unsigned cpNumber = check.config.system.codePage;
    const bool nt = check.config.isNT();
    if (cpNumber != firstPage->number() || nt != firstPage->nt()) {
        setActiveCodePage(CodePage::get(cpNumber, nt));
        reg = std::make_unique<Registry>();
        for (const std::string& file : exports)
            if (!readExport(reg, file, err)) {
                err << "dot4sim import: cannot read " << file << "\n";
                return kStatusBadUsage;
            }
        if (!root.empty() && !partition.read(*reg, err, err)) return kStatusBadUsage;
    } else {
        err << firstWarnings.str();
    }

    if (!root.empty()) {
        listed.push_back(partition.listing(check.config.system.windowsDirectory));
        listings.push_back(root);
    }
    Listing l;
    for (size_t i = 0; i < listings.size(); ++i)
        readListing(listed[i], listings[i], d.oemCodePage, l, err);

    if (!makeDirs(machine)) {
        err << "dot4sim import: cannot create " << machine << ": " << std::strerror(errno) << "\n";
        return kStatusFailure;
    }
    {
        std::ofstream ini(machine + "/machine.ini", std::ios::binary);
        ini << d.ini.str();
        if (!root.empty()) ini << partition.source(check.config.system.windowsDirectory);
        std::ofstream regOut(machine + "/registry.reg", std::ios::binary);
        reg->save(regOut);
        if (!ini.flush() || !regOut.flush()) {
            err << "dot4sim import: cannot write " << machine << "\n";
            return kStatusFailure;
        }
    }
    size_t files = 0, folders = 0;
    std::string lastFolder;  // files come folder by folder: one mkdir walk per folder
    for (auto& [folded, spelt] : l.paths) {
        std::string host = hostPath(l, machine, folded);
        bool ok;
        if (l.parents.count(folded)) {
            ok = makeDirs(host);
            ++folders;
        } else {
            size_t slash = host.rfind('/');
            ok = (host.compare(0, slash, lastFolder) == 0 && lastFolder.size() == slash) ||
                 makeDirs(host.substr(0, slash));
            ok = ok && std::ofstream(host, std::ios::binary).good();
            if (ok) lastFolder = host.substr(0, slash);
            ++files;
        }
        if (!ok) {
            err << "dot4sim import: cannot create " << host << ": " << std::strerror(errno) << "\n";
            return kStatusFailure;
        }
    }
    const SystemConfig& sys = check.config.system;
    for (auto& [key, reason] : d.assumed) {
        if (!d.ini.get("system", key).empty()) continue;  // --set named it
        std::string value = key == "platform"            ? std::to_string(sys.platform)
                            : key == "major"             ? std::to_string(sys.major)
                            : key == "minor"             ? std::to_string(sys.minor)
                            : key == "build"             ? std::to_string(sys.build)
                            : key == "windows_directory" ? sys.windowsDirectory
                                                         : std::to_string(sys.codePage);
        d.notes.push_back("assumed: " + key + "=" + value + " (" + reason + ")");
    }
    for (auto& n : d.notes) out << n << "\n";
    out << "wrote " << machine << ": " << reg->keyCount() << " keys, " << files << " files, "
        << folders << " folders\n";
    return 0;
}

}  // namespace simwin
