// Registry exports: the lenient reading, and machine.ini [system] derived from what they hold.
#include "imports/exports.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>

#include "image/regfile.h"
#include "imports/listing.h"
#include "model/codepage.h"
#include "model/machine.h"

namespace simwin {

namespace {

const char* const kNtVersionKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char* const k9xVersionKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

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

}  // namespace

void Ini::set(const std::string& section, const std::string& key, const std::string& value) {
    for (auto& s : sections) {
        if (!iequals(s.first, section)) continue;
        for (auto& kv : s.second)
            if (iequals(kv.first, key)) return void(kv.second = value);
        s.second.emplace_back(key, value);
        return;
    }
    sections.push_back({section, {{key, value}}});
}

std::string Ini::get(const std::string& section, const std::string& key) const {
    for (auto& s : sections)
        if (iequals(s.first, section))
            for (auto& kv : s.second)
                if (iequals(kv.first, key)) return kv.second;
    return "";
}

std::string Ini::str() const {
    std::string out;
    for (auto& s : sections) {
        out += "[" + s.first + "]\r\n";
        for (auto& kv : s.second) out += kv.first + "=" + kv.second + "\r\n";
        out += "\r\n";
    }
    return out;
}

bool readFile(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && S_ISDIR(st.st_mode)) ok = (errno = EISDIR, false);
    out.clear();
    if (ok && S_ISREG(st.st_mode)) out.reserve(static_cast<size_t>(st.st_size));
    char buf[1 << 16];
    for (ssize_t n; ok && (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            ok = false;
        else
            out.append(buf, static_cast<size_t>(n));
    }
    int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
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
            assumed("platform", "2",
                    "neither " + nt + " CurrentVersion nor " + w9x +
                        " VersionNumber in the registry it read");
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

// One export in memory at a time.
std::string readExport(Registry& into, const std::string& file, std::ostream& warnings) {
    std::string text;
    if (!readFile(file, text)) return std::strerror(errno);
    if (looksLikeListing(text))
        return "it is a dir /s /b listing, not a registry export; give listings with --listing "
               "FILE";
    readRegFile(into, text, file, warnings, true);
    return "";
}

}  // namespace simwin
