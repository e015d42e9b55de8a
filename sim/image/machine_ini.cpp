// machine.ini: what a machine image configures of its machine.
#include "image/machine_ini.h"

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "model/codepage.h"
#include "model/drives.h"
#include "win32/gate.h"

namespace simwin {

namespace {

bool isSeamFunction(const std::string& name) {
    for (const SeamFunction& f : seamFunctions())
        if (name == f.name) return true;
    return false;
}

std::vector<std::string> splitList(const std::string& s) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == ',') {
            out.push_back(trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(trim(cur));
    return out;
}

bool isNumber(const std::string& s) {
    if (s.empty()) return false;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        return parseResult(s).has_value();
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

struct IniParser {
    IniParser(Machine& machine, const std::string& fileName) : m(machine), file(fileName) {}
    Machine& m;
    const std::string& file;
    int line = 0;
    std::string section;
    std::set<std::string> seen;  // section/key pairs that may appear once
    bool platformSet = false, majorSet = false, minorSet = false, buildSet = false;
    // Keyed once the code page and family are known: the section may come first.
    std::vector<std::pair<std::string, unsigned>> registryRules;

    [[noreturn]] void error(const std::string& message) { throw ImageError(file, line, message); }

    DWORD number(const std::string& key, const std::string& v) {
        if (!isNumber(v)) error("expected a number for " + key + ", got '" + v + "'");
        auto r = parseResult(v);
        if (!r) error("expected a number for " + key + ", got '" + v + "'");
        return *r;
    }

    Result result(const std::string& key, const std::string& v) {
        auto r = parseResult(v);
        if (!r) error("expected ok or an error code for " + key + ", got '" + v + "'");
        return Result{*r};
    }

    DWORD code(const std::string& key, const std::string& v) {
        auto r = parseResult(v);
        if (!r || *r == 0 || !isNumber(v))
            error("expected a non-zero error code for " + key + ", got '" + v + "'");
        return *r;
    }

    void once(const std::string& key) {
        if (!seen.insert(section + "/" + upper(key)).second)
            error("key '" + key + "' given twice in [" + section + "]");
    }

    void systemEntry(const std::string& key, const std::string& v) {
        once(key);
        if (key == "platform") {
            DWORD p = number(key, v);
            if (p > 2)
                error("expected platform 0 (Win32s), 1 (Windows 95/98) or 2 (NT), got '" + v + "'");
            m.config.system.platform = p;
            platformSet = true;
        } else if (key == "major") {
            m.config.system.major = number(key, v);
            majorSet = true;
        } else if (key == "minor") {
            m.config.system.minor = number(key, v);
            minorSet = true;
        } else if (key == "build") {
            m.config.system.build = number(key, v);
            buildSet = true;
        } else if (key == "version_query") {
            m.config.system.versionQuery = result(key, v);
        } else if (key == "windows_directory") {
            if (isNumber(v)) {
                m.config.system.windowsDirectoryResult = Result{code(key, v)};
            } else {
                if (v.empty())
                    error("expected a Windows path or an error code for windows_directory");
                m.config.system.windowsDirectory = v;
            }
        } else if (key == "current_directory") {
            if (v.empty()) error("expected a Windows path for current_directory");
            m.config.system.currentDirectory = v;
        } else if (key == "program") {
            if (v.empty()) error("expected the program's path for program");
            m.config.system.program = v;
        } else if (key == "codepage") {
            unsigned cp = number(key, v);
            try {
                CodePage::get(cp, true);
            } catch (const std::invalid_argument&) {
                error(
                    "expected a Windows code page such as 1252, 1250, 1251 or 932 for "
                    "codepage, got '" +
                    v + "': no converter for it");
            }
            m.config.system.codePage = cp;
        } else {
            error("unknown key '" + key +
                  "' in [system]; expected platform, major, minor, build, version_query, "
                  "windows_directory, current_directory, program or codepage");
        }
    }

    void promptEntry(const std::string& key, const std::string& v) {
        once(key);
        if (key != "answer") error("unknown key '" + key + "' in [prompt]; expected answer");
        if (iequals(v, "yes"))
            m.config.promptAnswer = IDYES;
        else if (iequals(v, "no"))
            m.config.promptAnswer = IDNO;
        else
            error("expected yes or no for answer, got '" + v + "'");
    }

    void privilegesEntry(const std::string& key, const std::string& v) {
        once(key);
        if (key == "thread_token") {
            if (iequals(v, "none")) {
                m.config.privileges.threadToken = PrivilegeConfig::Thread::None;
            } else if (iequals(v, "present")) {
                m.config.privileges.threadToken = PrivilegeConfig::Thread::Present;
            } else {
                auto r = parseResult(v);
                if (!r || *r == 0 || !isNumber(v))
                    error("expected none, present or an error code for thread_token, got '" + v +
                          "'");
                m.config.privileges.threadToken = PrivilegeConfig::Thread::Fails;
                m.config.privileges.threadTokenError = *r;
            }
        } else if (key == "process_token") {
            m.config.privileges.processToken = result(key, v);
        } else if (key == "lookup") {
            m.config.privileges.lookup = result(key, v);
        } else if (key == "adjust") {
            if (iequals(v, "not_all_assigned"))
                m.config.privileges.notAllAssigned = true;
            else
                m.config.privileges.adjust = result(key, v);
        } else {
            error("unknown key '" + key +
                  "' in [privileges]; expected thread_token, "
                  "process_token, lookup or adjust");
        }
    }

    void shutdownEntry(const std::string& key, const std::string& v) {
        once(key);
        if (key != "result") error("unknown key '" + key + "' in [shutdown]; expected result");
        m.config.shutdown = result(key, v);
    }

    void spoolerEntry(const std::string& key, const std::string& v) {
        once(key);
        PrinterRule rule;
        if (iequals(v, "ok")) {
            rule.kind = PrinterRule::Kind::Ok;
        } else if (iequals(v, "absent")) {
            rule.kind = PrinterRule::Kind::Absent;
        } else if (v.size() > 5 && iequals(v.substr(0, 5), "open=")) {
            rule.kind = PrinterRule::Kind::OpenFails;
            rule.code = code(key, v.substr(5));
        } else if (v.size() > 7 && iequals(v.substr(0, 7), "delete=")) {
            rule.kind = PrinterRule::Kind::DeleteFails;
            rule.code = code(key, v.substr(7));
        } else {
            error("expected ok, absent, open=CODE or delete=CODE for printer '" + key + "', got '" +
                  v + "'");
        }
        m.config.printerRules.emplace_back(key, rule);
    }

    void filesEntry(const std::string& key, const std::string& v) {
        once(key);
        unsigned bits = 0;
        for (const std::string& w : splitList(v)) {
            if (iequals(w, "in_use"))
                bits |= kFileInUse;
            else if (iequals(w, "no_schedule"))
                bits |= kFileNoSchedule;
            else if (iequals(w, "read_only"))
                bits |= kFileReadOnly;
            else if (iequals(w, "loaded"))
                bits |= kFileLoaded;
            else
                error("expected in_use, loaded, read_only or no_schedule for '" + key + "', got '" +
                      w + "'");
        }
        m.config.fileRules[upper(key)] |= bits;
    }

    void shortNameEntry(const std::string& key, const std::string& v) {
        once(key);
        std::string full;
        if (fullWindowsPath(key, "C:\\", full) || full.size() <= 3)
            error("expected a file's Windows path before '=', got '" + key + "'");
        if (!isShortName(v) || v.find_first_of("*?") != std::string::npos)
            error("expected an 8.3 name for '" + key + "', got '" + v + "'");
        m.config.shortNames[upper(full)] = upper(v);
    }

    void registryEntry(const std::string& key, const std::string& v) {
        once(key);
        unsigned bits = 0;
        for (const std::string& w : splitList(v)) {
            if (iequals(w, "read_only"))
                bits |= kRuleReadOnly;
            else if (iequals(w, "no_access"))
                bits |= kRuleNoAccess;
            else if (iequals(w, "no_delete"))
                bits |= kRuleNoDelete;
            else if (iequals(w, "no_create"))
                bits |= kRuleNoCreate;
            else
                error("expected read_only, no_access, no_delete or no_create for '" + key +
                      "', got '" + w + "'");
        }
        std::string path = key;
        while (!path.empty() && path.back() == '\\') path.pop_back();
        registryRules.emplace_back(path, bits);
    }

    void faultEntry(const std::string& key, const std::string& v) {
        if (!isSeamFunction(key))
            error("unknown function '" + key +
                  "' in [faults]; expected a Win32 function the "
                  "program calls, such as RegDeleteKeyA or DeleteFileA");
        Fault f;
        f.function = key;
        size_t at = v.find('@');
        std::string c = at == std::string::npos ? v : trim(v.substr(0, at));
        f.code = code(key, c);
        if (at != std::string::npos) {
            std::string rest = trim(v.substr(at + 1));
            if (rest.empty()) error("expected CODE@N or CODE@path for " + key);
            if (isNumber(rest)) {
                auto n = parseResult(rest);
                if (!n || *n == 0) error("expected a call number of 1 or more for " + key);
                f.nth = *n;
            } else {
                f.subject = rest;
            }
        }
        m.config.faults.push_back(f);
    }

    void entry(const std::string& key, const std::string& v) {
        if (section == "system")
            systemEntry(key, v);
        else if (section == "prompt")
            promptEntry(key, v);
        else if (section == "privileges")
            privilegesEntry(key, v);
        else if (section == "shutdown")
            shutdownEntry(key, v);
        else if (section == "spooler")
            spoolerEntry(key, v);
        else if (section == "files")
            filesEntry(key, v);
        else if (section == "short_names")
            shortNameEntry(key, v);
        else if (section == "registry")
            registryEntry(key, v);
        else if (section == "faults")
            faultEntry(key, v);
    }

    void parse(const std::string& text) {
        std::istringstream in(text);
        std::string raw;
        while (std::getline(in, raw)) {
            ++line;
            if (line == 1 && raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
                raw.erase(0, 3);
            std::string s = trim(raw);
            if (s.empty() || s[0] == ';' || s[0] == '#') continue;
            if (s[0] == '[') {
                if (s.back() != ']') error("expected a section header such as [system]");
                std::string name = trim(s.substr(1, s.size() - 2));
                static const std::set<std::string> known = {"system",      "prompt",   "privileges",
                                                            "shutdown",    "spooler",  "files",
                                                            "short_names", "registry", "faults"};
                std::string lower = name;
                for (char& c : lower)
                    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                if (!known.count(lower) && lower != "source")  // what import --root recorded
                    error("unknown section [" + name +
                          "]; expected [system], [prompt], "
                          "[privileges], [shutdown], [spooler], [files], [short_names], [registry] "
                          "or [faults]");
                section = lower;
                continue;
            }
            size_t eq = s.find('=');
            if (eq == std::string::npos) error("expected key = value or a [section] header");
            std::string key = trim(s.substr(0, eq));
            std::string value = trim(s.substr(eq + 1));
            if (key.empty()) error("expected a key before '='");
            if (section.empty()) error("expected a [section] header before '" + key + "'");
            entry(key, value);
        }
        if (platformSet && m.config.system.platform == VER_PLATFORM_WIN32_WINDOWS) {
            if (!majorSet) m.config.system.major = 4;
            if (!minorSet) m.config.system.minor = 10;
            if (!buildSet) m.config.system.build = 2222;
        }
        auto cp = CodePage::get(m.config.system.codePage, m.config.isNT());
        for (const auto& r : registryRules) m.config.registryRules[cp->fold(r.first)] |= r.second;
    }
};

}  // namespace

void parseMachineIni(Machine& m, const std::string& text, const std::string& fileName) {
    IniParser p(m, fileName);
    p.parse(text);
}

}  // namespace simwin
