// The next start of the machine: what the NT Session Manager does with
// PendingFileRenameOperations, and what Windows 95/98 do with wininit.ini.
#include <cstdio>
#include <string>
#include <vector>

#include "model/drives.h"
#include "image/imagefacts.h"
#include "model/registry.h"
#include "dot4sim/restart.h"
#include "model/spooler.h"

namespace simwin {

namespace {

// Errors are ignored, as at a real start: whatever cannot be done stays as it is.
void runPendingOperations(Machine& m) {
    for (const PendingOperation& op : pendingOperations(m)) {
        if (op.target.empty()) {
            if (m.run.files->deleteFile(op.source, m) == ERROR_ACCESS_DENIED)
                m.run.files->removeDirectory(op.source, m);  // an empty directory goes too
        } else {
            m.run.files->moveFile(op.source, op.target, op.replace, m);
        }
    }
    if (Registry::Key* k = m.run.registry->find(kSessionManagerKey))
        m.run.registry->removeValue(k, kPendingValue, std::string(kPendingValue).size());
}

void runWininit(Machine& m, std::vector<std::string>& undone) {
    std::string ini = m.config.system.windowsDirectory + "\\wininit.ini";
    ResolvedPath r = m.run.files->resolve(ini, m.config.system.currentDirectory);
    if (r.error || !r.exists || r.isDirectory) return;
    for (const PendingOperation& op : pendingOperations(m)) {
        // WININIT runs before the protected-mode disk system and knows only 8.3 names.
        const std::string cwd = m.config.system.currentDirectory;
        std::string from, to;
        if (!isShortPath(op.source) || (!op.target.empty() && !isShortPath(op.target)))
            undone.push_back("wininit.ini: " + op.line +
                             ": left undone, WININIT ignores long names");
        else if (m.run.files->resolve(op.source, cwd).isDirectory)
            undone.push_back("wininit.ini: " + op.line +
                             ": left undone, WININIT moves and deletes files, not directories");
        else if (!op.target.empty() && !fullWindowsPath(op.source, cwd, from) &&
                 !fullWindowsPath(op.target, cwd, to) && from[0] != to[0])
            undone.push_back("wininit.ini: " + op.line +
                             ": left undone, WININIT renames only within one volume");
        else if (op.target.empty())
            m.run.files->deleteFile(op.source, m);
        else
            m.run.files->moveFile(op.source, op.target, true, m);
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
