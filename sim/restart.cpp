// The next start of the machine: what the NT Session Manager does with
// PendingFileRenameOperations, and what Windows 95/98 do with wininit.ini.
#include <cstdio>
#include <string>
#include <vector>

#include "files.h"
#include "registry.h"
#include "spooler.h"

namespace simwin {

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string withoutNtPrefix(const std::string& p) {
    return p.compare(0, 4, "\\??\\") == 0 ? p.substr(4) : p;
}

// Errors are ignored, as at a real start: whatever cannot be done stays as it is.
void runPendingOperations(Machine& m) {
    auto v = m.run.registry->value(kSessionManagerKey, kPendingValue);
    if (!v) return;
    std::vector<std::string> items;
    if (v->type == REG_MULTI_SZ) {
        std::string data = v->bytes;
        if (!data.empty() && data.back() == '\0') data.pop_back();  // the list's closing NUL
        std::string cur;
        for (char c : data) {
            if (c == '\0') {
                items.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        if (!cur.empty()) items.push_back(cur);
    }
    for (size_t i = 0; i < items.size(); i += 2) {
        std::string source = withoutNtPrefix(items[i]);
        std::string target = i + 1 < items.size() ? items[i + 1] : "";
        if (source.empty()) continue;
        if (target.empty()) {
            if (m.run.files->deleteFile(source, m) == ERROR_ACCESS_DENIED)
                m.run.files->removeDirectory(source, m);  // an empty directory goes too
        } else {
            bool replace = target[0] == '!';
            if (replace) target.erase(0, 1);
            m.run.files->moveFile(source, withoutNtPrefix(target), replace, m);
        }
    }
    if (Registry::Key* k = m.run.registry->find(kSessionManagerKey))
        m.run.registry->removeValue(k, kPendingValue, std::string(kPendingValue).size());
}

void runWininit(Machine& m, std::vector<std::string>& undone) {
    std::string ini = m.config.system.windowsDirectory + "\\wininit.ini";
    ResolvedPath r = m.run.files->resolve(ini, m.config.system.currentDirectory);
    std::string text;
    if (r.error || !r.exists || r.isDirectory || !m.run.files->readFile(r, text)) return;
    bool inRename = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            inRename =
                close != std::string::npos && iequals(trim(line.substr(1, close - 1)), "rename");
            continue;
        }
        if (!inRename) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string target = trim(line.substr(0, eq)), source = trim(line.substr(eq + 1));
        if (source.empty()) continue;
        // WININIT runs before the protected-mode disk system and knows only 8.3 names.
        if (!isShortPath(source) || (!iequals(target, "NUL") && !isShortPath(target)))
            undone.push_back("wininit.ini: " + line + ": left undone, WININIT ignores long names");
        else if (iequals(target, "NUL"))
            m.run.files->deleteFile(source, m);
        else
            m.run.files->moveFile(source, target, true, m);
    }
    m.run.files->moveFile(ini, m.config.system.windowsDirectory + "\\wininit.bak", true, m);
}

}  // namespace

std::vector<std::string> restartMachine(Machine& m) {
    // Nothing is in use or loaded when the machine starts again.
    for (auto& rule : m.config.fileRules)
        rule.second &= ~static_cast<unsigned>(kFileInUse | kFileLoaded);
    std::vector<std::string> undone;
    if (!m.run.files) return undone;
    if (m.config.isNT()) {
        if (m.run.registry) runPendingOperations(m);
    } else if (m.config.system.platform == VER_PLATFORM_WIN32_WINDOWS) {
        runWininit(m, undone);
    }
    return undone;
}

}  // namespace simwin
