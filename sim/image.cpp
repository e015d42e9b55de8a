#include "image.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "files.h"
#include "gate.h"
#include "registry.h"
#include "spooler.h"

namespace simwin {

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
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

    void entry(const std::string& key, const std::string& v) {
        if (section == "system") {
            once(key);
            if (key == "platform") {
                DWORD p = number(key, v);
                if (p > 2)
                    error("expected platform 0 (Win32s), 1 (Windows 95/98) or 2 (NT), got '" + v +
                          "'");
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
            } else {
                error("unknown key '" + key +
                      "' in [system]; expected platform, major, minor, "
                      "build, version_query, windows_directory, current_directory or program");
            }
        } else if (section == "prompt") {
            once(key);
            if (key != "answer") error("unknown key '" + key + "' in [prompt]; expected answer");
            if (iequals(v, "yes"))
                m.config.promptAnswer = IDYES;
            else if (iequals(v, "no"))
                m.config.promptAnswer = IDNO;
            else
                error("expected yes or no for answer, got '" + v + "'");
        } else if (section == "privileges") {
            once(key);
            if (key == "thread_token") {
                if (iequals(v, "none")) {
                    m.config.privileges.threadToken = PrivilegeConfig::Thread::None;
                } else if (iequals(v, "present")) {
                    m.config.privileges.threadToken = PrivilegeConfig::Thread::Present;
                } else {
                    auto r = parseResult(v);
                    if (!r || *r == 0 || !isNumber(v))
                        error("expected none, present or an error code for thread_token, got '" +
                              v + "'");
                    m.config.privileges.threadToken = PrivilegeConfig::Thread::Fails;
                    m.config.privileges.threadTokenError = *r;
                }
            } else if (key == "process_token") {
                m.config.privileges.processToken = result(key, v);
            } else if (key == "lookup") {
                m.config.privileges.lookup = result(key, v);
            } else if (key == "adjust") {
                m.config.privileges.adjust = result(key, v);
            } else {
                error("unknown key '" + key +
                      "' in [privileges]; expected thread_token, "
                      "process_token, lookup or adjust");
            }
        } else if (section == "shutdown") {
            once(key);
            if (key != "result") error("unknown key '" + key + "' in [shutdown]; expected result");
            m.config.shutdown = result(key, v);
        } else if (section == "spooler") {
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
                error("expected ok, absent, open=CODE or delete=CODE for printer '" + key +
                      "', got '" + v + "'");
            }
            m.config.printerRules.emplace_back(key, rule);
        } else if (section == "files") {
            once(key);
            unsigned bits = 0;
            for (const std::string& w : splitList(v)) {
                if (iequals(w, "in_use"))
                    bits |= kFileInUse;
                else if (iequals(w, "no_schedule"))
                    bits |= kFileNoSchedule;
                else if (iequals(w, "read_only"))
                    bits |= kFileReadOnly;
                else
                    error("expected in_use, no_schedule or read_only for '" + key + "', got '" + w +
                          "'");
            }
            m.config.fileRules[upper(key)] |= bits;
        } else if (section == "registry") {
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
            m.config.registryRules[upper(path)] |= bits;
        } else if (section == "faults") {
            if (!findSeamFunction(key))
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
                static const std::set<std::string> known = {"system",   "prompt",  "privileges",
                                                            "shutdown", "spooler", "files",
                                                            "registry", "faults"};
                std::string lower = name;
                for (char& c : lower)
                    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                if (!known.count(lower))
                    error("unknown section [" + name +
                          "]; expected [system], [prompt], "
                          "[privileges], [shutdown], [spooler], [files], [registry] or [faults]");
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
    }
};

bool readWholeFile(const std::string& path, std::string& out, bool& exists) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        exists = errno != ENOENT;
        return errno == ENOENT;
    }
    exists = true;
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    out.resize(size > 0 ? static_cast<size_t>(size) : 0);
    size_t got = out.empty() ? 0 : std::fread(&out[0], 1, out.size(), f);
    std::fclose(f);
    return got == out.size();
}

void writeAtomically(const std::string& path, const std::function<void(std::ostream&)>& body) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + tmp + ": " + std::strerror(errno));
        body(out);
        out.flush();
        if (!out) throw std::runtime_error("cannot write " + tmp + ": " + std::strerror(errno));
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        std::remove(tmp.c_str());
        throw std::runtime_error("cannot replace " + path + ": " + std::strerror(e));
    }
}

}  // namespace

void parseMachineIni(Machine& m, const std::string& text, const std::string& fileName) {
    IniParser p(m, fileName);
    p.parse(text);
}

std::unique_ptr<Machine> loadImage(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw ImageError(dir, 0, "not a machine image: expected a directory");
    auto m = std::make_unique<Machine>();
    m->config.imageDir = dir;
    std::string text;
    bool exists = false;
    std::string ini = dir + "/machine.ini";
    if (!readWholeFile(ini, text, exists)) throw ImageError(ini, 0, "cannot be read");
    if (exists) parseMachineIni(*m, text, ini);
    std::string reg = dir + "/registry.reg";
    text.clear();
    if (!readWholeFile(reg, text, exists)) throw ImageError(reg, 0, "cannot be read");
    if (exists) m->run.registry->load(text, reg);
    std::string().swap(text);
    m->run.files = FileSystem::attach(dir);
    m->run.spooler = std::make_unique<Spooler>(*m);
    return m;
}

std::string formatOutcome(const Outcome& o) {
    std::ostringstream s;
    s << "[run]\n"
      << "exit_code=" << o.exitCode << "\n"
      << "command_line=" << o.commandLine << "\n\n"
      << "[prompt]\n"
      << "shown=" << o.promptShown << "\n"
      << "text=" << o.promptText << "\n"
      << "caption=" << o.promptCaption << "\n"
      << "style=" << o.promptStyle << "\n"
      << "answer=" << o.promptAnswer << "\n\n"
      << "[restart]\n"
      << "requested=" << (o.restartRequested ? 1 : 0) << "\n"
      << "flags=" << (o.restartFlags ? std::to_string(*o.restartFlags) : "") << "\n\n"
      << "[spooler]\n";
    for (size_t i = 0; i < o.spoolerDeleted.size(); ++i)
        s << "deleted." << i + 1 << "=" << o.spoolerDeleted[i] << "\n";
    for (size_t i = 0; i < o.spoolerFailed.size(); ++i)
        s << "failed." << i + 1 << "=" << o.spoolerFailed[i].first << "="
          << o.spoolerFailed[i].second << "\n";
    return s.str();
}

void writeFileAtomically(const std::string& path, const std::string& text) {
    writeAtomically(path, [&](std::ostream& out) { out.write(text.data(), text.size()); });
}

void saveImage(Machine& m, bool writeOutcome) {
    const std::string& dir = m.config.imageDir;
    // Everything is written beside its target first; the renames come last.
    std::string reg = dir + "/registry.reg";
    {
        std::ofstream out(reg + ".tmp", std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + reg + ".tmp: " + std::strerror(errno));
        m.run.registry->save(out);
        out.flush();
        if (!out) throw std::runtime_error("cannot write " + reg + ".tmp: " + std::strerror(errno));
    }
    std::string outcome = dir + "/outcome.ini";
    if (writeOutcome) {
        std::ofstream out(outcome + ".tmp", std::ios::binary | std::ios::trunc);
        std::string text = formatOutcome(m.report.outcome);
        out.write(text.data(), text.size());
        out.flush();
        if (!out) throw std::runtime_error("cannot write " + outcome + ".tmp");
    }
    if (m.run.files) m.run.files->commit();
    if (std::rename((reg + ".tmp").c_str(), reg.c_str()) != 0)
        throw std::runtime_error("cannot replace " + reg + ": " + std::strerror(errno));
    if (writeOutcome && std::rename((outcome + ".tmp").c_str(), outcome.c_str()) != 0)
        throw std::runtime_error("cannot replace " + outcome + ": " + std::strerror(errno));
}

}  // namespace simwin
