// dot4sim preview: the run on each image, discarded, with what it would have done.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <new>
#include <set>
#include <sstream>
#include <unordered_set>

#include "model/codepage.h"
#include "model/drives.h"
#include "dot4sim/restart.h"
#include "image/imagefacts.h"
#include "model/registry.h"
#include "dot4sim/runner.h"
#include "model/spooler.h"

namespace simwin {

namespace {

const char* const kPreviewHelp =
    "usage: dot4sim preview MACHINE... [--json FILE] [--jobs N] [--answer yes|no] [-- ARG...]\n"
    "\n"
    "Runs the uninstaller on each machine image as 'dot4sim run' does, answering the reboot\n"
    "prompt No unless told, and throws the run's changes away: the image is left as it was.\n"
    "Prints what the run would do: the keys it deletes (each deleted sub-tree once, with its\n"
    "size in keys) and creates, the printers deleted or failed through the spooler, the files\n"
    "deleted at once, scheduled for the restart or neither, what the restart would then\n"
    "delete, and whether a reboot is needed. With several images it ends with one summary row\n"
    "per machine.\n"
    "\n"
    "  --json FILE      also write the facts as a JSON array, one object per machine\n"
    "  --jobs N         preview N images at once (each in a process of its own; default 1)\n"
    "  --answer yes|no  answer the reboot prompt so (default no)\n"
    "\n"
    "Exit status: 0 when every image was previewed, 1 when one could not be loaded or the\n"
    "program failed on it (its JSON object then has an \"error\"), 2 for a bad command line.\n";

struct Preview {
    std::string machine, platform, error, answer;
    int exitCode = 0;
    std::vector<std::string> keysDeleted, keysCreated, printersDeleted, filesDeleted,
        filesScheduled, filesFailed, restartDeletes, restartNotes, warnings;
    std::vector<std::pair<std::string, DWORD>> printersFailed;
    bool rebootNeeded = false;
};

// What one preview prints and writes, made in the process that ran it.
struct Rendered {
    std::string text, json, row;
    bool failed = false;
};

std::string platformName(const MachineConfig& c) {
    const SystemConfig& s = c.system;
    std::string v =
        std::to_string(s.major) + "." + std::to_string(s.minor) + "." + std::to_string(s.build);
    if (s.platform == VER_PLATFORM_WIN32_NT) return "NT " + v;
    if (s.platform == VER_PLATFORM_WIN32_WINDOWS) return "95/98 " + v;
    return "Win32s " + v;
}

// The first argument of a traced call, as the program passed it.
bool tracedPath(const std::string& line, const std::string& function, std::string& path) {
    if (line.compare(0, function.size() + 2, function + "(\"") != 0) return false;
    path.clear();
    for (size_t i = function.size() + 2; i < line.size(); ++i) {
        if (line[i] == '"') return true;
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        path += line[i];
    }
    return false;
}

// A path as the drive spells it, aliases replaced by long names, when it exists.
std::string longPath(const Machine& m, const std::string& path) {
    ResolvedPath r = m.run.files->resolve(path, m.config.system.currentDirectory);
    if (r.error) return path;
    if (!r.exists || r.isRoot) return r.full;
    return r.full.substr(0, activeCodePage().rfindSeparator(r.full) + 1) + r.name;
}

// Every live key below the roots, the link excepted (its keys are the control set's).
void liveKeys(const Registry::Key* k, std::vector<const Registry::Key*>& out) {
    for (uint32_t i = 0; i < k->childCount; ++i) {
        const Registry::Key* c = k->children()[i];
        if (c->deleted || c->isLink) continue;
        out.push_back(c);
        liveKeys(c, out);
    }
}

// The keys before the run by their nodes, not their paths: a deleted key keeps its node (marked
// deleted) for the run's life, so only the few keys the run touched need a path. A million keys
// then cost a few megabytes instead of two sets of path strings.
struct KeySnapshot {
    std::vector<const Registry::Key*> before;
    void take(const Registry& r) {
        for (int i = 0; i < kRootCount; ++i)
            if (const Registry::Key* root = r.root(i)) liveKeys(root, before);
    }
    // The run's net effect by path, each list sorted without case.
    void compare(const Registry& r, std::vector<std::string>& deleted,
                 std::vector<std::string>& created) const {
        std::set<std::string> gone;  // upper-cased paths of deleted nodes
        for (const Registry::Key* k : before) {
            if (!k->deleted) continue;
            std::string p = r.path(k);
            gone.insert(upper(p));
            if (!r.find(p)) deleted.push_back(p);  // else deleted and made again
        }
        std::unordered_set<const Registry::Key*> old(before.begin(), before.end());
        std::vector<const Registry::Key*> now;
        for (int i = 0; i < kRootCount; ++i)
            if (const Registry::Key* root = r.root(i)) liveKeys(root, now);
        for (const Registry::Key* k : now) {
            if (old.count(k)) continue;
            std::string p = r.path(k);
            if (!gone.count(upper(p))) created.push_back(p);
        }
        sortWithoutCase(deleted);
        sortWithoutCase(created);
    }
};

struct Snapshot {
    KeySnapshot keys;
    PathSet files, folders;
    std::vector<PendingOperation> pending;
    void take(const Machine& m, bool withKeys) {
        if (withKeys) keys.take(*m.run.registry);
        drivePaths(m, files, folders);
        pending = pendingOperations(m);
    }
};

Preview previewOne(const std::string& image, const RunOptions& base) {
    Preview p;
    p.machine = image;
    Snapshot before, after;
    PathSet restartedFiles, restartedFolders;
    bool ran = false;
    RunOptions o = base;
    o.image = image;
    o.commit = false;
    o.beforeRun = [&](Machine& m) {
        m.report.traceEnabled = true;  // the files it tried to delete
        p.platform = platformName(m.config);
        before.take(m, true);
    };
    o.afterRun = [&](Machine& m) {
        after.take(m, false);
        const Outcome& out = m.report.outcome;
        p.answer = out.promptAnswer;
        p.printersDeleted = out.spoolerDeleted;
        p.printersFailed = out.spoolerFailed;
        before.keys.compare(*m.run.registry, p.keysDeleted, p.keysCreated);
        p.filesDeleted = minus(before.files, after.files);
        std::set<PendingOperation> old(before.pending.begin(), before.pending.end());
        std::set<std::string> scheduled;
        for (const PendingOperation& op : after.pending) {
            if (old.count(op)) continue;
            std::string path = longPath(m, op.source);
            scheduled.insert(upper(path));
            p.filesScheduled.push_back(path);
        }
        p.rebootNeeded = !p.filesScheduled.empty();
        std::set<std::string> tried;
        for (const std::string& line : m.report.traceLines) {
            std::string path;
            if (!tracedPath(line, "DeleteFileA", path) && !tracedPath(line, "MoveFileExA", path))
                continue;
            std::string u = upper(longPath(m, path));
            if (!before.files.count(u) || !after.files.count(u) || scheduled.count(u) ||
                !tried.insert(u).second)
                continue;
            p.filesFailed.push_back(before.files[u]);
        }
        sortWithoutCase(p.filesFailed);
        m.report.traceLines.clear();
        // Only what the restart list deletes: wininit.ini itself is renamed, not deleted.
        std::vector<std::string> doomed;
        for (const PendingOperation& op : after.pending)
            if (op.target.empty()) doomed.push_back(longPath(m, op.source));
        p.restartNotes = restartMachine(m);
        drivePaths(m, restartedFiles, restartedFolders);
        for (const std::string& path : doomed) {
            std::string u = upper(path);
            if ((after.files.count(u) && !restartedFiles.count(u)) ||
                (after.folders.count(u) && !restartedFolders.count(u)))
                p.restartDeletes.push_back(path);
        }
        sortWithoutCase(p.restartDeletes);
        ran = true;
    };
    std::ostringstream notes;
    p.exitCode = runImage(o, notes);
    for (const std::string& l : lines(notes.str()))
        if (!l.empty()) p.warnings.push_back(warningText(l));
    if (!ran) {
        p.error = p.warnings.empty() ? "the preview failed" : p.warnings.back();
        p.warnings.pop_back();
    }
    return p;
}

void section(std::ostream& s, const std::string& title, const std::vector<std::string>& items) {
    s << title << ": " << (items.empty() ? "none" : std::to_string(items.size())) << "\n";
    for (const std::string& i : items) s << "  " << i << "\n";
}

Rendered render(const Preview& p) {
    Rendered r;
    std::ostringstream t, j;
    t << "== " << p.machine << (p.platform.empty() ? "" : " (" + p.platform + ")") << "\n";
    if (!p.error.empty()) {
        r.failed = true;
        t << "not previewed: " << p.error << "\n";
    } else {
        t << "exit code " << p.exitCode << ", reboot prompt answered "
          << (p.answer.empty() ? "(not shown)" : p.answer) << "\n";
        auto trees = subtrees(p.keysDeleted);
        t << "keys deleted: "
          << (p.keysDeleted.empty() ? "none"
                                    : std::to_string(p.keysDeleted.size()) + " in " +
                                          std::to_string(trees.size()) + " sub-trees")
          << "\n";
        for (const auto& tr : trees)
            t << "  " << tr.first << "  (" << tr.second << (tr.second == 1 ? " key)" : " keys)")
              << "\n";
        section(t, "keys created", p.keysCreated);
        section(t, "printers deleted through the spooler", p.printersDeleted);
        std::vector<std::string> failed;
        for (const auto& f : p.printersFailed)
            failed.push_back(f.first + " (error " + std::to_string(f.second) + ")");
        section(t, "printers the spooler failed to delete", failed);
        section(t, "files deleted now", p.filesDeleted);
        section(t, "files scheduled for the restart", p.filesScheduled);
        section(t, "files neither deleted nor scheduled", p.filesFailed);
        section(t, "the restart would then delete", p.restartDeletes);
        for (const std::string& n : p.restartNotes) t << "  (" << n << ")\n";
        t << "reboot needed: " << (p.rebootNeeded ? "yes" : "no") << "\n";
    }
    for (const std::string& w : p.warnings) t << "warning: " << w << "\n";
    r.text = t.str();

    j << "  {\"machine\": " << jsonString(p.machine)
      << ", \"platform\": " << jsonString(p.platform);
    if (!p.error.empty()) {
        j << ", \"error\": " << jsonString(p.error);
    } else {
        j << ", \"exit_code\": " << p.exitCode
          << ",\n   \"keys_deleted\": " << jsonList(p.keysDeleted)
          << ",\n   \"keys_created\": " << jsonList(p.keysCreated)
          << ",\n   \"printers_deleted\": " << jsonList(p.printersDeleted)
          << ",\n   \"printers_failed\": [";
        for (size_t i = 0; i < p.printersFailed.size(); ++i)
            j << (i ? ", " : "") << "{\"name\": " << jsonString(p.printersFailed[i].first)
              << ", \"error\": " << p.printersFailed[i].second << "}";
        j << "],\n   \"files_deleted\": " << jsonList(p.filesDeleted)
          << ",\n   \"files_scheduled\": " << jsonList(p.filesScheduled)
          << ",\n   \"files_failed\": " << jsonList(p.filesFailed)
          << ",\n   \"restart_deletes\": " << jsonList(p.restartDeletes)
          << ",\n   \"restart_notes\": " << jsonList(p.restartNotes)
          << ",\n   \"reboot_needed\": " << (p.rebootNeeded ? "true" : "false");
    }
    j << ",\n   \"warnings\": " << jsonList(p.warnings) << "}";
    r.json = j.str();

    std::ostringstream row;
    row << std::left << std::setw(10) << p.platform.substr(0, p.platform.find(' ')) << std::right;
    if (!p.error.empty()) {
        row << "  not previewed";
    } else {
        row << std::setw(5) << p.exitCode << std::setw(7) << p.keysDeleted.size() << std::setw(7)
            << p.keysCreated.size() << std::setw(6) << p.printersDeleted.size() << "/" << std::left
            << std::setw(3) << p.printersFailed.size() << std::right << std::setw(8)
            << p.filesDeleted.size() << std::setw(10) << p.filesScheduled.size() << std::setw(7)
            << p.filesFailed.size() << std::setw(8) << (p.rebootNeeded ? "yes" : "no");
    }
    row << "  " << p.machine;
    r.row = row.str();
    return r;
}

std::string serialise(const Rendered& r) {
    return r.text + '\0' + r.json + '\0' + r.row + '\0' + (r.failed ? "1" : "0");
}

bool deserialise(const std::string& s, Rendered& r) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (size_t z; (z = s.find('\0', pos)) != std::string::npos; pos = z + 1)
        parts.push_back(s.substr(pos, z - pos));
    parts.push_back(s.substr(pos));
    if (parts.size() != 4) return false;
    r = {parts[0], parts[1], parts[2], parts[3] == "1"};
    return true;
}

bool writeResult(const std::string& path, const Rendered& r) {
    std::string s = serialise(r), tmp = path + ".part";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    bool ok = f && std::fwrite(s.data(), 1, s.size(), f) == s.size();
    if (f && std::fclose(f) != 0) ok = false;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

// simwin has one active machine per process, so parallel previews are separate processes: N
// workers, each taking the next image from a counter they share, each result in a file.
std::vector<Rendered> previewInProcesses(const std::vector<std::string>& images,
                                         const RunOptions& o, unsigned jobs, std::ostream& out,
                                         std::ostream& err) {
    std::vector<Rendered> results(images.size());
    char dir[] = "/tmp/dot4sim-preview-XXXXXX";
    void* shared = ::mmap(nullptr, sizeof(std::atomic<size_t>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED || !::mkdtemp(dir)) {
        if (shared != MAP_FAILED) ::munmap(shared, sizeof(std::atomic<size_t>));
        err << "dot4sim preview: cannot share the work; previewing one at a time\n";
        for (size_t i = 0; i < images.size(); ++i) results[i] = render(previewOne(images[i], o));
        return results;
    }
    auto* next = new (shared) std::atomic<size_t>(0);
    auto resultFile = [&](size_t i) { return std::string(dir) + "/" + std::to_string(i); };
    out.flush();
    err.flush();
    std::fflush(nullptr);
    std::vector<pid_t> workers;
    for (unsigned w = 0; w < jobs && w < images.size(); ++w) {
        pid_t pid = ::fork();
        if (pid == 0) {
            bool ok = true;
            for (size_t i; (i = next->fetch_add(1)) < images.size();)
                ok &= writeResult(resultFile(i), render(previewOne(images[i], o)));
            ::_exit(ok ? 0 : 1);
        }
        if (pid > 0) workers.push_back(pid);
    }
    if (workers.empty())  // no process could be made: this one does the work
        for (size_t i; (i = next->fetch_add(1)) < images.size();)
            results[i] = render(previewOne(images[i], o));
    for (pid_t pid : workers) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    for (size_t i = 0; i < images.size() && !workers.empty(); ++i) {
        std::ifstream in(resultFile(i), std::ios::binary);
        std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.is_open() || !deserialise(s, results[i])) {
            Preview p;
            p.machine = images[i];
            p.error = "the preview process failed";
            results[i] = render(p);
        }
        std::remove(resultFile(i).c_str());
        std::remove((resultFile(i) + ".part").c_str());
    }
    ::rmdir(dir);
    ::munmap(shared, sizeof(std::atomic<size_t>));
    return results;
}

}  // namespace

int previewMain(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    RunOptions o;
    o.answerYes = false;
    std::vector<std::string> images;
    std::string json;
    unsigned jobs = 1;
    for (size_t i = 0; i < a.size(); ++i) {
        const std::string& s = a[i];
        if (s == "--help" || s == "-h") {
            out << kPreviewHelp;
            return 0;
        } else if (s == "--") {
            o.args.assign(a.begin() + i + 1, a.end());
            break;
        } else if (s == "--answer") {
            o.answerYes = answerValue(a, i, "preview", err);
            if (!o.answerYes) return kStatusBadUsage;
        } else if (s == "--json") {
            const std::string* v = optionValue(a, i, "preview", "a file name", err);
            if (!v) return kStatusBadUsage;
            json = *v;
        } else if (s == "--jobs") {
            char* end = nullptr;
            long n = i + 1 < a.size() ? std::strtol(a[i + 1].c_str(), &end, 10) : 0;
            if (n < 1 || n > 1024 || !end || *end) {
                err << "dot4sim preview: --jobs needs a number from 1 to 1024\n";
                return kStatusBadUsage;
            }
            jobs = static_cast<unsigned>(n);
            ++i;
        } else if (!s.empty() && s[0] == '-') {
            err << "dot4sim preview: unknown option " << s << " (program arguments go after --)\n";
            return kStatusBadUsage;
        } else {
            images.push_back(s);
        }
    }
    if (images.empty()) {
        err << "dot4sim preview: missing MACHINE\n" << kPreviewHelp;
        return kStatusBadUsage;
    }
    std::unique_ptr<std::ofstream> jsonOut;
    if (!json.empty()) {
        jsonOut = std::make_unique<std::ofstream>(json, std::ios::binary | std::ios::trunc);
        if (!*jsonOut) {
            err << "dot4sim preview: cannot write " << json << "; nothing was run\n";
            return kStatusBadUsage;
        }
    }
    std::vector<Rendered> results;
    if (jobs > 1 && images.size() > 1) {
        results = previewInProcesses(images, o, jobs, out, err);
    } else {
        for (const std::string& image : images) results.push_back(render(previewOne(image, o)));
    }
    bool failed = false;
    for (size_t i = 0; i < results.size(); ++i) {
        out << (i ? "\n" : "") << results[i].text;
        failed |= results[i].failed;
    }
    if (results.size() > 1) {
        out << "\n"
            << std::left << std::setw(10) << "platform" << std::right << std::setw(5) << "exit"
            << std::setw(7) << "keys-" << std::setw(7) << "keys+" << std::setw(10) << "printers"
            << std::setw(8) << "deleted" << std::setw(10) << "scheduled" << std::setw(7) << "failed"
            << std::setw(8) << "reboot"
            << "  machine\n";
        for (const Rendered& r : results) out << r.row << "\n";
    }
    if (jsonOut) {
        *jsonOut << "[\n";
        for (size_t i = 0; i < results.size(); ++i)
            *jsonOut << results[i].json << (i + 1 < results.size() ? ",\n" : "\n");
        *jsonOut << "]\n";
        jsonOut->flush();
        if (!*jsonOut) {
            err << "dot4sim preview: cannot write " << json << "\n";
            return kStatusFailure;
        }
    }
    return failed ? kStatusFailure : 0;
}

}  // namespace simwin
