// dot4sim preview: the run on each image, discarded, with what it would have done.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <unordered_set>

#include "model/codepage.h"
#include "model/drives.h"
#include "dot4sim/restart.h"
#include "image/imagefacts.h"
#include "image/stacktraces.h"
#include "model/registry.h"
#include "dot4sim/runner.h"
#include "model/spooler.h"

namespace simwin {

namespace {

const char* const kPreviewHelp =
    "usage: dot4sim preview MACHINE... [--json FILE] [--html FILE] [--warnings all] [--jobs N]\n"
    "                       [--answer yes|no] [-- ARG...]\n"
    "\n"
    "Runs the uninstaller on each machine image as 'dot4sim run' does, answering the reboot\n"
    "prompt No unless told, and throws the run's changes away: the image is left as it was.\n"
    "Each machine's report opens with a verdict: whether the Dot4 stack is there (its own\n"
    "device and driver entries, Dot4 ports, printers, files), what the uninstall removes, leaves\n"
    "for the restart or cannot remove, what of the stack stays, and whether a reboot is needed.\n"
    "Then the keys it deletes (each deleted sub-tree once, with its size in keys and how many of\n"
    "them are not the stack's, with what they are) and creates (empty base keys marked), the\n"
    "printers deleted or failed through the spooler, the files deleted at once, created (its\n"
    "log), scheduled for the restart or neither, what the restart would then delete, and the\n"
    "image's warnings: per reason the first five, then how many more. It ends with one\n"
    "summary row per machine. Names are printed in UTF-8.\n"
    "\n"
    "  --json FILE      also write the facts as a JSON array, one object per machine\n"
    "  --html FILE      also write them as one self-contained HTML page\n"
    "  --warnings all   print every warning, not five per reason\n"
    "  --jobs N         preview N images at once (each in a process of its own; default 1)\n"
    "  --answer yes|no  answer the reboot prompt so (default no)\n"
    "\n"
    "Exit status: 0 when every image was previewed, 1 when one could not be loaded or the\n"
    "program failed on it (its JSON object then has an \"error\"), 2 for a bad command line.\n";

struct Preview {
    std::string machine, platform, error, answer, verdict, reach;  // reach: why unreachable
    unsigned codepage = 1252;
    int exitCode = 0;
    std::vector<std::string> keysDeleted, keysCreated, emptyKeys, printersDeleted, filesDeleted,
        filesCreated, filesScheduled, filesFailed, restartDeletes, restartNotes, warnings, notes,
        keysForeign, stays, staysWhere, unreachable;
    std::vector<std::pair<std::string, DWORD>> printersFailed;
    std::vector<std::pair<std::string, size_t>> trees;  // the deleted sub-trees and their sizes
    std::vector<ForeignKeys> treesForeign;              // per sub-tree: what is not the stack's
    std::vector<std::pair<StackTrace::Kind, std::string>> found;  // the traces before the run
    bool rebootNeeded = false, stackFound = false;
};

// What one preview prints and writes, made in the process that ran it.
struct Rendered {
    std::string text, json, row, html, htmlRow, notes;
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
                 std::vector<std::string>& created,
                 std::vector<const Registry::Key*>& deletedKeys) const {
        std::set<std::string> gone;  // upper-cased paths of deleted nodes
        for (const Registry::Key* k : before) {
            if (!k->deleted) continue;
            std::string p = r.path(k);
            gone.insert(upper(p));
            if (r.find(p)) continue;  // deleted and made again
            deleted.push_back(p);
            deletedKeys.push_back(k);
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

std::string counted(size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "a, b and c"
std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return out;
}

// Per deleted sub-tree, the keys in it that hold nothing of the stack.
void foreignKeys(const Registry& r, const StackKeys& stack,
                 const std::vector<const Registry::Key*>& deleted, Preview& p) {
    std::unordered_map<const Registry::Key*, size_t> treeOf;
    std::map<std::string, size_t> tops;
    for (size_t i = 0; i < p.trees.size(); ++i) tops[upper(p.trees[i].first)] = i;
    for (const Registry::Key* k : deleted) {
        auto it = tops.find(upper(r.path(k)));
        if (it != tops.end()) treeOf[k] = it->second;
    }
    std::vector<std::vector<const Registry::Key*>> trees(p.trees.size());
    for (const Registry::Key* k : deleted) {
        const Registry::Key* top = k;
        while (top && !treeOf.count(top)) top = top->parent;
        if (!top) continue;
        trees[treeOf[top]].push_back(k);
        if (stack.foreign(k)) p.keysForeign.push_back(r.path(k));
    }
    sortWithoutCase(p.keysForeign);
    for (const auto& t : trees) p.treesForeign.push_back(stack.foreignIn(t));
}

// The stack is what its own traces say, found before the run; a key the program deletes is not
// the stack's for being deleted, nor is one it only creates.
void judge(Preview& p) {
    std::set<std::string> created;
    for (const std::string& f : p.filesCreated) created.insert(upper(f));
    auto own = [&](const std::vector<std::string>& files) {
        size_t n = 0;
        for (const std::string& f : files) n += !created.count(upper(f));
        return n;
    };
    std::set<std::string> entries, ports, printers;
    bool monitor = false;
    for (const auto& [kind, where] : p.found) {
        std::string leaf = upper(where.substr(where.rfind('\\') + 1));
        if (kind == StackTrace::Monitor) monitor = true;
        if (kind == StackTrace::Port) ports.insert(leaf);
        if (kind == StackTrace::Printer) printers.insert(leaf);
        if (kind == StackTrace::Device || kind == StackTrace::Driver) entries.insert(upper(where));
    }
    for (const std::string& n : p.printersDeleted) printers.insert(upper(n));
    for (const auto& f : p.printersFailed) printers.insert(upper(f.first));
    const size_t now = own(p.filesDeleted), later = own(p.filesScheduled),
                 never = p.filesFailed.size();
    const size_t files = now + later + never;
    size_t foreign = 0;
    for (const ForeignKeys& f : p.treesForeign) foreign += f.count;
    p.stackFound = !p.found.empty() || !printers.empty() || files > 0;
    std::string reboot = !p.rebootNeeded ? "no reboot needed"
                         : later > 0     ? "reboot needed"
                                         : "a reboot would only delete the program's own log";
    std::string made = counted(p.emptyKeys.size(), "empty base key", "empty base keys");
    if (!p.filesCreated.empty()) made += " and its log " + p.filesCreated.front();
    if (!p.stackFound) {
        if (p.keysDeleted.empty()) {
            p.verdict =
                "no trace of the Dot4 stack on this machine: nothing to remove; the program "
                "only creates " +
                made + "; " + reboot;
            return;
        }
        std::vector<std::string> where;
        for (size_t i = 0; i < p.trees.size(); ++i) {
            const std::string& top = p.trees[i].first;
            const std::string& what = p.treesForeign[i].what;
            where.push_back(top.substr(top.rfind('\\') + 1) +
                            (what.empty() ? "" : " (" + what + ")"));
        }
        p.verdict = "no trace of the Dot4 stack on this machine, yet the uninstall deletes " +
                    counted(p.keysDeleted.size(), "key that is", "keys that are") +
                    " not the stack's, under " + joined(where) + "; the program also creates " +
                    made + "; " + reboot;
        return;
    }
    std::vector<std::string> found;
    if (!entries.empty())
        found.push_back(
            counted(entries.size(), "device or driver entry", "device and driver entries"));
    if (monitor) found.push_back("the Dot4 Monitor");
    if (!ports.empty()) found.push_back(counted(ports.size(), "Dot4 port", "Dot4 ports"));
    if (!printers.empty()) found.push_back(counted(printers.size(), "printer", "printers"));
    if (files) found.push_back(counted(files, "file", "files"));
    std::vector<std::string> removes;
    if (!p.keysDeleted.empty())
        removes.push_back(
            counted(p.keysDeleted.size(), "key", "keys") +
            (foreign ? " (" + foreignPhrase(p.keysDeleted.size(), {foreign, ""}) + ")" : ""));
    if (!p.printersDeleted.empty())
        removes.push_back(counted(p.printersDeleted.size(), "printer", "printers"));
    if (now) removes.push_back(counted(now, "file", "files") + " now");
    std::vector<std::string> cannot;
    if (!p.printersFailed.empty())
        cannot.push_back(counted(p.printersFailed.size(), "printer", "printers"));
    if (never) cannot.push_back(counted(never, "file", "files"));
    p.verdict = "the Dot4 stack is here (" + joined(found) + "); the uninstall removes " +
                (removes.empty() ? "nothing" : joined(removes));
    if (later) p.verdict += ", leaves " + counted(later, "file", "files") + " for the restart";
    if (!cannot.empty()) p.verdict += ", cannot remove " + joined(cannot);
    p.verdict += "; stays: " + (p.staysWhere.empty() ? "nothing" : joined(p.staysWhere));
    if (!p.unreachable.empty())
        p.verdict += " (" + counted(p.unreachable.size(), "key", "keys") +
                     " named outside code page " + std::to_string(p.codepage) +
                     ", out of the program's reach: it sees a '?' for each character the code "
                     "page lacks, and on NT such a name opens nothing)";
    p.verdict += "; " + reboot;
}

// What a person reads is Unicode: names leave the machine's code page once, here, the run's
// lists before the verdict is made of them and the messages at the end.
// The image's folder in a message is a host name, in UTF-8 already.
void inUtf8(Preview& p, bool messages) {
    auto one = [&](std::string& s) {
        std::string out;
        size_t from = 0;
        for (size_t at; !p.machine.empty() && (at = s.find(p.machine, from)) != std::string::npos;
             from = at + p.machine.size())
            out += toUtf8(s.substr(from, at - from), p.codepage) + p.machine;
        s = out + toUtf8(s.substr(from), p.codepage);
    };
    auto all = [&](std::vector<std::string>& v) {
        for (std::string& s : v) one(s);
    };
    if (messages) {
        all(p.warnings), all(p.notes), one(p.error);
        return;
    }
    for (auto* v : {&p.keysDeleted, &p.keysCreated, &p.emptyKeys, &p.printersDeleted,
                    &p.filesDeleted, &p.filesCreated, &p.filesScheduled, &p.filesFailed,
                    &p.restartDeletes, &p.restartNotes, &p.keysForeign})
        all(*v);
    for (auto& f : p.treesForeign) one(f.what);
    for (auto& f : p.printersFailed) one(f.first);
    for (auto& t : p.trees) one(t.first);
}

// A trace's place for people, its own name exact.
std::string whereUtf8(const Registry& r, const StackTrace& t, unsigned codepage) {
    const std::string* exact = r.exactName(t.key);
    const std::string leaf = exact ? *exact : std::string(t.key->name, t.key->nameLength);
    return toUtf8(t.where.substr(0, t.where.size() - t.key->nameLength), codepage) +
           (exact ? leaf : toUtf8(leaf, codepage));
}

// The hives import --stale-hives read without what only their logs held (machine.ini [source]).
std::string staleHives(const std::string& image) {
    std::ifstream in(image + "/machine.ini", std::ios::binary);
    bool source = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[')
            source = line == "[source]";
        else if (source && line.compare(0, 6, "stale=") == 0)
            return line.substr(6);
    }
    return "";
}

Preview previewOne(const std::string& image, const RunOptions& base) {
    Preview p;
    p.machine = image;
    KeySnapshot keys;
    StackKeys stack;
    std::vector<PendingOperation> pendingBefore;
    std::unique_ptr<DrivesAsLoaded> loaded;
    bool ran = false;
    RunOptions o = base;
    o.image = image;
    o.commit = false;
    o.beforeRun = [&](Machine& m) {
        m.report.traceEnabled = true;  // the files it tried to delete
        p.platform = platformName(m.config);
        p.codepage = m.config.system.codePage;
        keys.take(*m.run.registry);
        stack.take(*m.run.registry, keys.before);
        pendingBefore = pendingOperations(m);
    };
    o.afterRun = [&](Machine& m) {
        // Only what the run touched is looked at, so the preview costs what the run costs.
        loaded = std::make_unique<DrivesAsLoaded>(m);
        const FileSystem& now = *m.run.files;
        const std::string& cwd = m.config.system.currentDirectory;
        Spelling was(loaded->files(), cwd), is(now, cwd);
        PathSet before, after;
        changedFiles(m, *loaded, was, is, before, after);
        const Outcome& out = m.report.outcome;
        p.answer = out.promptAnswer;
        p.printersDeleted = out.spoolerDeleted;
        p.printersFailed = out.spoolerFailed;
        std::vector<const Registry::Key*> deletedKeys;
        keys.compare(*m.run.registry, p.keysDeleted, p.keysCreated, deletedKeys);
        for (const std::string& k : p.keysCreated)
            if (const Registry::Key* key = m.run.registry->find(k))
                if (key->valueCount == 0) p.emptyKeys.push_back(k);
        p.filesDeleted = minus(before, after);
        p.filesCreated = minus(after, before);
        auto spelt = [&](const std::string& path) {
            std::string s = is.file(path);
            if (s.empty()) s = was.file(path);
            return s.empty() ? path : s;
        };
        std::vector<PendingOperation> pending = pendingOperations(m);
        std::set<PendingOperation> old(pendingBefore.begin(), pendingBefore.end());
        std::set<std::string> scheduled;
        for (const PendingOperation& op : pending) {
            if (old.count(op)) continue;
            std::string path = spelt(op.source);
            scheduled.insert(upper(path));
            p.filesScheduled.push_back(path);
        }
        p.rebootNeeded = !p.filesScheduled.empty();
        std::set<std::string> tried;
        for (const std::string& line : m.report.traceLines) {
            std::string path;
            if (!tracedPath(line, "DeleteFileA", path) && !tracedPath(line, "MoveFileExA", path))
                continue;
            std::string had = was.file(path);
            if (had.empty() || is.file(path).empty() || scheduled.count(upper(had)) ||
                !tried.insert(upper(had)).second)
                continue;
            p.filesFailed.push_back(had);
        }
        sortWithoutCase(p.filesFailed);
        m.report.traceLines.clear();
        // Only what the restart list deletes: wininit.ini itself is renamed, not deleted.
        std::vector<std::string> doomed;
        for (const PendingOperation& op : pending) {
            if (!op.target.empty()) continue;
            ResolvedPath r = now.resolve(op.source, cwd);
            if (!r.error && r.exists) doomed.push_back(spelt(op.source));
        }
        p.restartNotes = restartMachine(m);
        for (const std::string& path : doomed) {
            ResolvedPath r = now.resolve(path, cwd);
            if (r.error || !r.exists) p.restartDeletes.push_back(path);
        }
        sortWithoutCase(p.restartDeletes);
        // Under the machine's code page, before the names become UTF-8.
        p.trees = subtrees(p.keysDeleted);
        foreignKeys(*m.run.registry, stack, deletedKeys, p);
        inUtf8(p, false);
        const Registry& reg = *m.run.registry;
        for (const StackTrace& t : stack.traces())
            p.found.emplace_back(t.kind, whereUtf8(reg, t, p.codepage));
        std::set<std::string> stays;
        for (const StackTrace& t : stackTraces(reg)) {
            const std::string where = whereUtf8(reg, t, p.codepage);
            p.stays.push_back(pathUtf8(reg, t.key));
            if (std::string why = outOfReach(reg, t.key); !why.empty())
                p.unreachable.push_back(p.stays.back()), p.reach = why;
            if (stays.insert(upper(where)).second) p.staysWhere.push_back(where);
        }
        sortWithoutCase(p.stays);
        sortWithoutCase(p.unreachable);
        for (const std::string& f : p.filesFailed) p.stays.push_back(f), p.staysWhere.push_back(f);
        judge(p);
        if (std::string stale = staleHives(image); !stale.empty())
            p.verdict = "stale (" + stale + " read without what only the logs hold): " + p.verdict;
        ran = true;
    };
    std::ostringstream notes;
    p.exitCode = runImage(o, notes);
    for (const std::string& l : lines(notes.str())) {
        if (l.empty()) continue;
        // Recovering an interrupted command is news about the image, not about the machine.
        if (l.compare(0, 18, "dot4sim: warning: ") != 0 && ran)
            p.notes.push_back(l);
        else
            p.warnings.push_back(warningText(l));
    }
    if (!ran) {
        p.error = p.warnings.empty() ? "the preview failed" : p.warnings.back();
        if (!p.warnings.empty()) p.warnings.pop_back();
    }
    inUtf8(p, true);
    return p;
}

void section(std::ostream& s, const std::string& title, const std::vector<std::string>& items,
             const std::set<std::string>& marked = {}, const char* mark = "") {
    s << title << ": " << (items.empty() ? "none" : std::to_string(items.size())) << "\n";
    for (const std::string& i : items) s << "  " << i << (marked.count(i) ? mark : "") << "\n";
}

// "FILE:LINE: REASON; what was done" -> REASON, its names (paths, characters) left out so that
// warnings of one kind share it; a warning without a place is its own reason.
std::string reasonOf(const std::string& w) {
    size_t colon = w.find(": ");
    if (colon == std::string::npos || colon == 0) return w;
    size_t line = w.rfind(':', colon - 1);
    if (line == std::string::npos || line + 1 >= colon) return w;
    for (size_t i = line + 1; i < colon; ++i)
        if (w[i] < '0' || w[i] > '9') return w;
    std::istringstream words(w.substr(colon + 2, w.find("; ", colon) - colon - 2));
    std::string out;
    for (std::string word; words >> word;) {
        if (word.find('\\') != std::string::npos) word = "…";
        if (word.compare(0, 2, "U+") == 0) word = "U+…";
        out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

constexpr size_t kWarningsPerReason = 5;

// Per reason the first few, then how many more; every one with `all`.
void printWarnings(std::ostream& t, const std::vector<std::string>& warnings, bool all) {
    if (warnings.empty()) return;
    std::map<std::string, size_t> seen, order;
    std::vector<std::string> reasons;
    for (const std::string& w : warnings) {
        std::string r = reasonOf(w);
        if (!order.count(r)) {
            order[r] = reasons.size();
            reasons.push_back(r);
        }
        if (all || ++seen[r] <= kWarningsPerReason) t << "warning: " << w << "\n";
    }
    for (const std::string& r : reasons)
        if (seen[r] > kWarningsPerReason)
            t << "warning: ... and " << seen[r] - kWarningsPerReason << " more: " << r << "\n";
    t << counted(warnings.size(), "warning", "warnings") << " in all\n";
}

std::string html(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void htmlList(std::ostream& h, const std::string& title, const std::vector<std::string>& items) {
    h << "<h3>" << html(title) << " (" << items.size() << ")</h3>\n";
    if (items.empty()) return;
    h << "<ul>\n";
    for (const std::string& i : items) h << "<li><code>" << html(i) << "</code></li>\n";
    h << "</ul>\n";
}

// The deleted keys as nested <details>, each key inside the nearest deleted key above it; a top
// with its size (by upper-cased path).
void htmlTree(std::ostream& h, const std::vector<std::string>& sorted,
              const std::map<std::string, std::string>& sizes) {
    std::map<std::string, size_t> index;  // upper-cased key -> its place in `sorted`
    for (size_t i = 0; i < sorted.size(); ++i) index[upper(sorted[i])] = i;
    std::vector<std::vector<size_t>> below(sorted.size() + 1);  // the last: the tops
    for (size_t i = 0; i < sorted.size(); ++i) {
        std::string u = upper(sorted[i]);
        size_t parent = sorted.size();
        for (size_t cut = u.rfind('\\'); cut != std::string::npos && cut > 0;
             cut = u.rfind('\\', cut - 1)) {
            auto it = index.find(u.substr(0, cut));
            if (it != index.end()) {
                parent = it->second;
                break;
            }
        }
        below[parent].push_back(i);
    }
    std::function<void(size_t, size_t)> show = [&](size_t i, size_t parent) {
        const std::string& k = sorted[i];
        std::string name = parent == sorted.size() ? k : k.substr(sorted[parent].size() + 1);
        h << "<details" << (parent == sorted.size() ? "" : " open") << "><summary><code>"
          << html(name) << "</code>";
        auto size = sizes.find(upper(k));
        if (parent == sorted.size() && size != sizes.end()) h << " (" << html(size->second) << ")";
        h << "</summary>\n";
        for (size_t c : below[i]) show(c, i);
        h << "</details>\n";
    };
    for (size_t top : below[sorted.size()]) show(top, sorted.size());
}

Rendered render(const Preview& p, bool allWarnings) {
    Rendered r;
    std::ostringstream t, j, h;
    t << "== " << p.machine << (p.platform.empty() ? "" : " (" + p.platform + ")") << "\n";
    h << "<section class=\"machine\">\n<h2>" << html(p.machine)
      << (p.platform.empty() ? "" : " (" + html(p.platform) + ")") << "</h2>\n";
    for (const std::string& n : p.notes) r.notes += n + "\n";
    if (!p.error.empty()) {
        r.failed = true;
        t << "not previewed: " << p.error << "\n";
        h << "<p class=\"verdict failed\">not previewed: " << html(p.error) << "</p>\n";
    } else {
        t << "verdict: " << p.verdict << "\n";
        h << "<p class=\"verdict\">" << html(p.verdict) << "</p>\n";
        t << "exit code " << p.exitCode << ", reboot prompt answered "
          << (p.answer.empty() ? "(not shown)" : p.answer) << "\n";
        h << "<p>exit code " << p.exitCode << ", reboot prompt answered "
          << html(p.answer.empty() ? "(not shown)" : p.answer) << "</p>\n";
        const auto& trees = p.trees;
        t << "keys deleted: "
          << (p.keysDeleted.empty() ? "none"
                                    : std::to_string(p.keysDeleted.size()) + " in " +
                                          std::to_string(trees.size()) + " sub-trees")
          << "\n";
        std::map<std::string, std::string> sizes;
        for (size_t i = 0; i < trees.size(); ++i) {
            std::string foreign = foreignPhrase(trees[i].second, p.treesForeign[i]);
            std::string& size = sizes[upper(trees[i].first)];
            size =
                counted(trees[i].second, "key", "keys") + (foreign.empty() ? "" : ", " + foreign);
            t << "  " << trees[i].first << "  (" << size << ")\n";
        }
        h << "<h3>keys deleted (" << p.keysDeleted.size() << ")</h3>\n";
        htmlTree(h, p.keysDeleted, sizes);
        std::set<std::string> empty(p.emptyKeys.begin(), p.emptyKeys.end());
        section(t, "keys created", p.keysCreated, empty, "  (empty base key)");
        std::vector<std::string> created;
        for (const std::string& k : p.keysCreated)
            created.push_back(k + (empty.count(k) ? "  (empty base key)" : ""));
        htmlList(h, "keys created", created);
        const std::set<std::string> unreachable(p.unreachable.begin(), p.unreachable.end());
        const std::string reach = "  (" + p.reach + ")";
        section(t, "stays (the stack's, left behind)", p.stays, unreachable, reach.c_str());
        std::vector<std::string> stays;
        for (const std::string& k : p.stays)
            stays.push_back(k + (unreachable.count(k) ? reach : ""));
        htmlList(h, "stays (the stack's, left behind)", stays);
        section(t, "printers deleted through the spooler", p.printersDeleted);
        htmlList(h, "printers deleted through the spooler", p.printersDeleted);
        std::vector<std::string> failed;
        for (const auto& f : p.printersFailed)
            failed.push_back(f.first + " (error " + std::to_string(f.second) + ")");
        section(t, "printers the spooler failed to delete", failed);
        htmlList(h, "printers the spooler failed to delete", failed);
        const std::pair<const char*, const std::vector<std::string>*> lists[] = {
            {"files deleted now", &p.filesDeleted},
            {"files created", &p.filesCreated},
            {"files scheduled for the restart", &p.filesScheduled},
            {"files neither deleted nor scheduled", &p.filesFailed},
            {"the restart would then delete", &p.restartDeletes}};
        for (const auto& l : lists) {
            section(t, l.first, *l.second);
            htmlList(h, l.first, *l.second);
        }
        for (const std::string& n : p.restartNotes) t << "  (" << n << ")\n";
        if (!p.restartNotes.empty()) htmlList(h, "the restart would leave undone", p.restartNotes);
        t << "reboot needed: " << (p.rebootNeeded ? "yes" : "no") << "\n";
        h << "<p>reboot needed: " << (p.rebootNeeded ? "yes" : "no") << "</p>\n";
    }
    printWarnings(t, p.warnings, allWarnings);
    htmlList(h, "warnings", p.warnings);
    h << "</section>\n";
    r.text = t.str();
    r.html = h.str();

    j << "  {\"machine\": " << jsonString(p.machine) << ", \"platform\": " << jsonString(p.platform)
      << ", \"codepage\": " << p.codepage;
    if (!p.error.empty()) {
        j << ", \"error\": " << jsonString(p.error);
    } else {
        j << ", \"exit_code\": " << p.exitCode << ",\n   \"verdict\": " << jsonString(p.verdict)
          << ", \"stack_found\": " << (p.stackFound ? "true" : "false")
          << ",\n   \"keys_deleted\": " << jsonList(p.keysDeleted)
          << ",\n   \"keys_deleted_foreign\": " << jsonList(p.keysForeign)
          << ",\n   \"stays\": " << jsonList(p.stays)
          << ",\n   \"stays_unreachable\": " << jsonList(p.unreachable)
          << ",\n   \"keys_created\": " << jsonList(p.keysCreated)
          << ",\n   \"keys_created_empty\": " << jsonList(p.emptyKeys)
          << ",\n   \"printers_deleted\": " << jsonList(p.printersDeleted)
          << ",\n   \"printers_failed\": [";
        for (size_t i = 0; i < p.printersFailed.size(); ++i)
            j << (i ? ", " : "") << "{\"name\": " << jsonString(p.printersFailed[i].first)
              << ", \"error\": " << p.printersFailed[i].second << "}";
        j << "],\n   \"files_deleted\": " << jsonList(p.filesDeleted)
          << ",\n   \"files_created\": " << jsonList(p.filesCreated)
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
            << p.filesFailed.size() << std::setw(8) << (p.rebootNeeded ? "yes" : "no")
            << std::setw(7) << (p.stackFound ? "yes" : "no");
    }
    row << "  " << p.machine;
    r.row = row.str();
    std::ostringstream hr;
    hr << "<tr><td><code>" << html(p.machine) << "</code></td><td>" << html(p.platform) << "</td>";
    if (!p.error.empty()) {
        hr << "<td colspan=\"7\">not previewed: " << html(p.error) << "</td>";
    } else {
        hr << "<td>" << (p.stackFound ? "yes" : "no") << "</td><td>" << p.keysDeleted.size()
           << "</td><td>" << p.printersDeleted.size() << "/" << p.printersFailed.size()
           << "</td><td>" << p.filesDeleted.size() << "</td><td>" << p.filesScheduled.size()
           << "</td><td>" << p.filesFailed.size() << "</td><td>" << (p.rebootNeeded ? "yes" : "no")
           << "</td>";
    }
    r.htmlRow = hr.str() + "</tr>\n";
    return r;
}

std::string serialise(const Rendered& r) {
    std::string s;
    for (const std::string* part : {&r.text, &r.json, &r.row, &r.html, &r.htmlRow, &r.notes})
        s += *part + '\0';
    return s + (r.failed ? "1" : "0");
}

bool deserialise(const std::string& s, Rendered& r) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (size_t z; (z = s.find('\0', pos)) != std::string::npos; pos = z + 1)
        parts.push_back(s.substr(pos, z - pos));
    parts.push_back(s.substr(pos));
    if (parts.size() != 7) return false;
    r = {parts[0], parts[1], parts[2], parts[3], parts[4], parts[5], parts[6] == "1"};
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
                                         const RunOptions& o, unsigned jobs, bool allWarnings,
                                         std::ostream& out, std::ostream& err) {
    std::vector<Rendered> results(images.size());
    char dir[] = "/tmp/dot4sim-preview-XXXXXX";
    void* shared = ::mmap(nullptr, sizeof(std::atomic<size_t>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED || !::mkdtemp(dir)) {
        if (shared != MAP_FAILED) ::munmap(shared, sizeof(std::atomic<size_t>));
        err << "dot4sim preview: cannot share the work; previewing one at a time\n";
        for (size_t i = 0; i < images.size(); ++i)
            results[i] = render(previewOne(images[i], o), allWarnings);
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
                ok &= writeResult(resultFile(i), render(previewOne(images[i], o), allWarnings));
            ::_exit(ok ? 0 : 1);
        }
        if (pid > 0) workers.push_back(pid);
    }
    if (workers.empty())  // no process could be made: this one does the work
        for (size_t i; (i = next->fetch_add(1)) < images.size();)
            results[i] = render(previewOne(images[i], o), allWarnings);
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
            results[i] = render(p, allWarnings);
        }
        std::remove(resultFile(i).c_str());
        std::remove((resultFile(i) + ".part").c_str());
    }
    ::rmdir(dir);
    ::munmap(shared, sizeof(std::atomic<size_t>));
    return results;
}

const char* const kHtmlStyle =
    "body{font-family:sans-serif;margin:1.5em;max-width:75em}"
    "table{border-collapse:collapse}td,th{border:1px solid #999;padding:.2em .5em}"
    ".verdict{font-weight:bold;background:#eef;padding:.5em}.failed{background:#fdd}"
    "details details{margin-left:1.5em}code{font-size:95%}";

bool writeHtml(const std::string& path, const std::vector<Rendered>& results) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<title>dot4sim preview</title>\n<style>" << kHtmlStyle << "</style>\n</head>\n<body>\n"
      << "<h1>dot4sim preview</h1>\n<table>\n<tr><th>machine</th><th>platform</th><th>stack "
         "found</th><th>keys deleted</th><th>printers deleted/failed</th><th>files "
         "deleted</th><th>scheduled</th><th>failed</th><th>reboot</th></tr>\n";
    for (const Rendered& r : results) f << r.htmlRow;
    f << "</table>\n";
    for (const Rendered& r : results) f << r.html;
    f << "</body>\n</html>\n";
    f.flush();
    return static_cast<bool>(f);
}

}  // namespace

int previewMain(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    RunOptions o;
    o.answerYes = false;
    std::vector<std::string> images;
    std::string json, htmlFile;
    unsigned jobs = 1;
    bool allWarnings = false;
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
        } else if (s == "--json" || s == "--html") {
            const std::string* v = optionValue(a, i, "preview", "a file name", err);
            if (!v) return kStatusBadUsage;
            (s == "--json" ? json : htmlFile) = *v;
        } else if (s == "--warnings") {
            if (i + 1 >= a.size() || a[i + 1] != "all") {
                err << "dot4sim preview: --warnings needs all\n";
                return kStatusBadUsage;
            }
            allWarnings = true;
            ++i;
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
    if (!htmlFile.empty() && !std::ofstream(htmlFile, std::ios::binary | std::ios::app)) {
        err << "dot4sim preview: cannot write " << htmlFile << "; nothing was run\n";
        return kStatusBadUsage;
    }
    std::vector<Rendered> results;
    if (jobs > 1 && images.size() > 1) {
        results = previewInProcesses(images, o, jobs, allWarnings, out, err);
    } else {
        for (const std::string& image : images)
            results.push_back(render(previewOne(image, o), allWarnings));
    }
    bool failed = false;
    for (size_t i = 0; i < results.size(); ++i) {
        err << results[i].notes;
        out << (i ? "\n" : "") << results[i].text;
        failed |= results[i].failed;
    }
    out << "\n"
        << std::left << std::setw(10) << "platform" << std::right << std::setw(5) << "exit"
        << std::setw(7) << "keys-" << std::setw(7) << "keys+" << std::setw(10) << "printers"
        << std::setw(8) << "deleted" << std::setw(10) << "scheduled" << std::setw(7) << "failed"
        << std::setw(8) << "reboot" << std::setw(7) << "stack"
        << "  machine\n";
    for (const Rendered& r : results) out << r.row << "\n";
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
    if (!htmlFile.empty() && !writeHtml(htmlFile, results)) {
        err << "dot4sim preview: cannot write " << htmlFile << "\n";
        return kStatusFailure;
    }
    return failed ? kStatusFailure : 0;
}

}  // namespace simwin
