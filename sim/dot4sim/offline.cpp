#include "dot4sim/offline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <unordered_map>

#include "model/codepage.h"
#include "model/drives.h"
#include "image/image.h"
#include "image/imagefacts.h"
#include "image/stacktraces.h"
#include "imports/fileedit.h"
#include "imports/hive.h"
#include "imports/hivelog.h"
#include "model/registry.h"
#include "dot4sim/backup.h"
#include "dot4sim/runner.h"
#include "model/host.h"

namespace simwin {

namespace {

const char* const kApplyHelp =
    "usage: dot4sim apply MACHINE --root DIR [--backup DIR2] [--yes]\n"
    "\n"
    "Carries the uninstall out on the Windows partition at DIR that MACHINE was imported from\n"
    "(dot4sim import MACHINE --root DIR; NT only). Runs the program on the image, answering the\n"
    "reboot prompt No, shows the preview and asks; then writes the run's net effect into DIR:\n"
    "keys deleted and created and values changed in the hives (each rewritten from a complete\n"
    "copy, renamed over the original last), and the files the run deleted or left for the\n"
    "restart moved into the backup folder. Refused when DIR changed since the import (a hive's\n"
    "hash, a file's size or time).\n"
    "\n"
    "The change is one transaction: the backup and its manifest are complete and flushed before\n"
    "DIR changes, and while it changes DIR/.dot4-apply names the backup. After a kill or a power\n"
    "cut, the next apply on DIR finishes the interrupted one (and undo rolls it back), saying so.\n"
    "\n"
    "  --backup DIR2  where the original hives, the moved files and the manifest go\n"
    "                 (default DIR/dot4-backup-YYYYMMDD-HHMMSS; it must not exist)\n"
    "  --yes          do not ask\n"
    "\n"
    "Exit status: 0 when applied, 1 when declined or when a step failed (the partition is then\n"
    "left as it was), 2 for a bad command line or a machine or partition that cannot be used.\n";

struct ValueCopy {
    std::string name, data;
    uint32_t type;
    bool exact;  // `name` in UTF-8, as NT holds it
};
struct KeyChange {
    std::string path;                // as the image spells it, for the report
    size_t keys = 1;                 // deleted: the sub-tree's size
    std::string foreign;             // deleted: what in it is not the stack's
    std::vector<std::string> names;  // below the root, machine code page
    int root = -1;
    std::vector<ValueCopy> values;
    bool hasClass = false;
};

struct Effect {
    std::vector<KeyChange> deleted, created, changed;  // deleted: each sub-tree once
    std::vector<std::string> files;  // Windows paths the run deleted or left for the restart
    std::vector<std::string> stays;  // the stack's keys the run leaves
    bool ran = false;
};

uint64_t valuesHash(const Registry& r, const Registry::Key* k) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            h = (h ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
    };
    for (uint32_t i = 0; i < k->valueCount; ++i) {
        const Registry::Value& v = k->values[i];
        mix(v.name, v.nameLength + 1);
        mix(&v.type, sizeof v.type);
        mix(&v.dataLength, sizeof v.dataLength);
        mix(v.data(), v.dataLength);
    }
    if (const char* c = r.classOf(k)) mix(c, std::strlen(c) + 1);
    return h;
}

KeyChange describe(const Registry& r, const Registry::Key* k, bool withValues) {
    KeyChange c;
    c.path = pathUtf8(r, k);  // for people: UTF-8
    // The program reaches no key named outside the code page, so `names` never hold one.
    const Registry::Key* top = k;
    for (; top->parent; top = top->parent)
        c.names.insert(c.names.begin(), std::string(top->name, top->nameLength));
    for (int i = 0; i < kRootCount; ++i)
        if (r.root(i) == top) c.root = i;
    c.hasClass = r.classOf(k) != nullptr;
    for (uint32_t i = 0; withValues && i < k->valueCount; ++i) {
        const Registry::Value& v = k->values[i];
        const std::string* exact = r.exactName(v);
        c.values.push_back({exact ? *exact : std::string(v.name, v.nameLength),
                            std::string(reinterpret_cast<const char*>(v.data()), v.dataLength),
                            v.type, exact != nullptr});
    }
    return c;
}

std::string longPath(const Machine& m, const std::string& path) {
    ResolvedPath r = m.run.files->resolve(path, m.config.system.currentDirectory);
    if (r.error || !r.exists || r.isRoot) return path;
    return r.full.substr(0, r.full.rfind('\\') + 1) + r.name;
}

// Runs the program on the image, discarded, and keeps what it changed. The files come from what
// the program asked for, not from listing the drive: a run costs what it touches.
Effect runForEffect(const std::string& image, std::ostream& err) {
    Effect e;
    std::vector<const Registry::Key*> before;
    std::unordered_map<const Registry::Key*, uint64_t> hashes;
    std::vector<PendingOperation> pending;
    std::optional<Registry::Data> pendingValue;
    StackKeys stack;
    std::vector<std::vector<const Registry::Key*>> subtrees;
    RunOptions o;
    o.image = image;
    o.commit = false;
    o.answerYes = false;
    o.beforeRun = [&](Machine& m) {
        const Registry& r = *m.run.registry;
        for (int i = 0; i < kRootCount; ++i)
            if (const Registry::Key* root = r.root(i)) liveKeys(root, before);
        for (const Registry::Key* k : before) hashes[k] = valuesHash(r, k);
        stack.take(r, before);
        m.report.traceEnabled = true;
        pending = pendingOperations(m);
        pendingValue = r.value(kSessionManagerKey, kPendingValue);
    };
    o.afterRun = [&](Machine& m) {
        Registry& r = *m.run.registry;
        for (const std::string& line : m.report.traceLines) {
            std::string path;
            if (!tracedPath(line, "DeleteFileA", path)) continue;
            ResolvedPath p = m.run.files->resolve(path, m.config.system.currentDirectory);
            if (!p.error && !p.exists) e.files.push_back(p.full);
        }
        std::set<PendingOperation> old(pending.begin(), pending.end());
        for (const PendingOperation& op : pendingOperations(m))
            if (op.target.empty() && !old.count(op)) e.files.push_back(longPath(m, op.source));
        // Offline nothing is in use: what the run left for the restart goes now, so the
        // restart list stays as it was.
        if (Registry::Key* sm = r.find(kSessionManagerKey)) {
            if (pendingValue)
                r.setValue(sm, kPendingValue, std::strlen(kPendingValue), pendingValue->type,
                           reinterpret_cast<const unsigned char*>(pendingValue->bytes.data()),
                           pendingValue->bytes.size());
            else
                r.removeValue(sm, kPendingValue, std::strlen(kPendingValue));
        }
        std::unordered_map<const Registry::Key*, bool> known;
        std::unordered_map<const Registry::Key*, size_t> tops;  // a deleted sub-tree's top
        for (const Registry::Key* k : before) {
            known[k] = true;
            if (k->deleted) {
                const Registry::Key* top = k;
                while (top->parent->deleted) top = top->parent;
                auto [it, fresh] = tops.emplace(top, e.deleted.size());
                if (fresh)
                    e.deleted.push_back(describe(r, top, false)), subtrees.emplace_back();
                else
                    ++e.deleted[it->second].keys;
                subtrees[it->second].push_back(k);
            } else if (valuesHash(r, k) != hashes[k]) {
                e.changed.push_back(describe(r, k, true));
            }
        }
        std::vector<const Registry::Key*> now;
        for (int i = 0; i < kRootCount; ++i)
            if (const Registry::Key* root = r.root(i)) liveKeys(root, now);
        for (const Registry::Key* k : now)
            if (!known.count(k)) e.created.push_back(describe(r, k, true));
        for (size_t i = 0; i < e.deleted.size(); ++i)
            e.deleted[i].foreign =
                codePageToUtf8(foreignPhrase(e.deleted[i].keys, stack.foreignIn(subtrees[i])));
        for (const StackTrace& t : stackTraces(r)) {
            const std::string why = outOfReach(r, t.key);
            e.stays.push_back(pathUtf8(r, t.key) + (why.empty() ? "" : "  (" + why + ")"));
        }
        e.ran = true;
    };
    runImage(o, err);
    return e;
}

// A registry file the effect touches, and what was done to it.
struct HiveEdit {
    const HiveFile* file = nullptr;
    std::unique_ptr<RegistryFileEdit> edit;
    std::string temp, newHash, attributes;
    uint64_t newSize = 0;
    size_t deleted = 0, created = 0, changed = 0;
};

// Which file a key lies in, and its names below that file's root key.
int fileOf(const Partition& p, const KeyChange& c, std::vector<std::string>& names) {
    for (size_t i = 0; i < p.hives.size(); ++i) {
        const std::string& kp = p.hives[i].keyPath;
        const size_t slash = kp.find('\\');
        if (!iequals(kp.substr(0, slash), rootName(c.root))) continue;
        if (slash == std::string::npos) {  // a whole root: 95/98
            names = c.names;
            return static_cast<int>(i);
        }
        if (!c.names.empty() && iequals(kp.substr(slash + 1), c.names[0])) {
            names.assign(c.names.begin() + 1, c.names.end());
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::vector<FileValue> fileValues(const std::vector<ValueCopy>& values) {
    std::vector<FileValue> out;
    for (const ValueCopy& v : values) out.push_back({v.name, v.data, v.type, v.exact});
    return out;
}

// Drops the edits; after a problem, says so and removes the new files.
bool closeHives(std::vector<HiveEdit>& edits, const std::string& problem, std::ostream& err) {
    for (HiveEdit& he : edits) {
        he.edit.reset();
        if (!problem.empty() && !he.temp.empty()) ::unlink(he.temp.c_str()), he.temp.clear();
    }
    if (!problem.empty()) err << "dot4sim apply: " << problem << "; nothing was changed\n";
    return problem.empty();
}

// Every registry file the effect touches, edited in memory; 0, or an exit status after a
// message: 2 for a file whose structure the editor does not know, 1 for an edit that fails.
int editHives(const Partition& p, const Effect& e, std::vector<HiveEdit>& edits,
              std::vector<std::string>& notCarried, std::ostream& err) {
    edits.clear();
    edits.resize(p.hives.size());
    std::string problem;
    int status = kStatusFailure;
    std::vector<std::string> names;
    auto edit = [&](const KeyChange& c) -> HiveEdit* {
        int i = problem.empty() ? fileOf(p, c, names) : -1;
        if (i < 0) {
            if (problem.empty()) notCarried.push_back(c.path + " (in no hive of the partition)");
            return nullptr;
        }
        HiveEdit& he = edits[i];
        he.file = &p.hives[i];
        std::string why;
        if (!he.edit) he.edit = editRegistryFile(*he.file, p.nt, why);
        if (!he.edit) problem = he.file->host + ": " + why, status = kStatusBadUsage;
        return he.edit ? &he : nullptr;
    };
    auto fail = [&](const char* what, const KeyChange& c, HiveEdit* he, const std::string& why) {
        problem = std::string("cannot ") + what + " " + c.path + " in " + he->file->host + " (" +
                  why + ")";
    };
    for (const KeyChange& c : e.deleted)
        if (HiveEdit* he = edit(c)) {
            std::string why = names.empty() ? "it is the file's root" : he->edit->remove(names);
            if (!why.empty()) fail("delete", c, he, why);
            ++he->deleted;
        }
    for (const KeyChange& c : e.created)
        if (HiveEdit* he = edit(c)) {
            if (std::string why = he->edit->create(names, fileValues(c.values)); !why.empty())
                fail("create", c, he, why);
            if (c.hasClass && he->edit->withoutClass())
                notCarried.push_back(c.path + " created without its class (" +
                                     he->edit->withoutClass() + ")");
            ++he->created;
        }
    for (const KeyChange& c : e.changed)
        if (HiveEdit* he = edit(c)) {
            if (std::string why = he->edit->set(names, fileValues(c.values)); !why.empty())
                fail("set the values of", c, he, why);
            ++he->changed;
        }
    if (problem.empty()) return 0;
    closeHives(edits, problem, err);
    return status;
}

// Writes each edited file complete beside the original, flushed, with its hash.
bool commitHives(std::vector<HiveEdit>& edits, std::ostream& err) {
    std::string problem;
    for (HiveEdit& he : edits) {
        if (!he.edit || !problem.empty()) continue;
        he.temp = backup::tempOf(he.file->host);
        std::string why = backup::step() ? std::strerror(errno) : he.edit->write(he.temp);
        if (!why.empty()) {
            problem = he.temp + ": " + why;
            continue;
        }
        he.attributes = backup::keepFatAttributes(he.file->host, he.temp);
        int fd = ::open(he.temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        bool flushed = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
        he.newHash = flushed ? fileSha256(he.temp, &he.newSize) : "";
        if (he.newHash.empty()) problem = he.temp + ": " + std::strerror(errno);
    }
    return closeHives(edits, problem, err);
}

std::string timestamp() {
    char b[32];
    std::time_t t = std::time(nullptr);
    std::strftime(b, sizeof b, "%Y%m%d-%H%M%S", std::gmtime(&t));
    return b;
}

std::string relativeTo(const std::string& root, const std::string& path) {
    return path.compare(0, root.size() + 1, root + "/") == 0 ? path.substr(root.size() + 1) : path;
}

bool writable(const std::string& root, const Partition& p, std::string& why) {
    struct statvfs sv;
    if (::statvfs(root.c_str(), &sv) == 0 && (sv.f_flag & ST_RDONLY))
        return why = root + " is mounted read-only; mount it read-write to apply", false;
    for (const HiveFile& h : p.hives) {
        std::string dir = h.host.substr(0, h.host.rfind('/'));
        // The files are renamed over, never written: their folder must take it. (A 95/98
        // SYSTEM.DAT is read-only by its attribute.)
        if (::access(dir.c_str(), W_OK) != 0)
            return why = dir + " cannot be written (" + std::strerror(errno) + ")", false;
    }
    return true;
}

}  // namespace

namespace {

struct ApplyArgs {
    std::string machine, root, backup;
    bool yes = false;
};

// What apply will do: the partition as checked, the run's effect, the edited files, the moves.
struct Plan {
    Machine check;
    std::string ini;
    Partition p;
    PartitionTree tree;
    char drive = 'C';
    Effect e;
    std::vector<HiveEdit> edits;
    std::vector<std::string> moves, notCarried, recoveryNotes;
};

// 0 to go on, -1 after --help, else an exit status after a message.
int parseApplyArgs(const std::vector<std::string>& a, ApplyArgs& args, std::ostream& out,
                   std::ostream& err) {
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--help" || a[i] == "-h") {
            out << kApplyHelp;
            return -1;
        } else if (a[i] == "--yes") {
            args.yes = true;
        } else if (a[i] == "--root" || a[i] == "--backup") {
            const std::string* v = optionValue(a, i, "apply", "a folder", err);
            if (!v) return kStatusBadUsage;
            (a[i - 1] == "--root" ? args.root : args.backup) = *v;
        } else if (!a[i].empty() && a[i][0] != '-' && args.machine.empty()) {
            args.machine = a[i];
        } else {
            err << "dot4sim apply: unexpected argument " << a[i] << "\n";
            return kStatusBadUsage;
        }
    }
    if (args.machine.empty() || args.root.empty()) {
        err << "dot4sim apply: missing " << (args.machine.empty() ? "MACHINE" : "--root DIR")
            << "\n"
            << kApplyHelp;
        return kStatusBadUsage;
    }
    args.root = partitionRoot(args.root);
    return 0;
}

// The image and the partition checked against each other before anything runs: an apply a kill
// interrupted is finished first, and the partition must be the one the image was imported from.
int checkPartition(ApplyArgs& args, Plan& plan, std::ostream& out, std::ostream& err) {
    const std::string &machine = args.machine, &root = args.root;
    try {
        if (!backup::readText(machine + "/machine.ini", plan.ini))
            throw ImageError(machine + "/machine.ini", 0, "cannot be read");
        parseMachineIni(plan.check, plan.ini, machine + "/machine.ini");
    } catch (const ImageError& e) {
        err << "dot4sim apply: " << e.what() << "\n";
        return kStatusBadUsage;
    }
    if (plan.ini.find("[source]") == std::string::npos) {
        err << "dot4sim apply: " << machine << " was not imported from a partition (dot4sim import "
            << machine << " --root DIR)\n";
        return kStatusBadUsage;
    }
    const bool nt = plan.check.config.isNT();
    setActiveCodePage(CodePage::get(plan.check.config.system.codePage, nt));
    Partition& p = plan.p;
    // The Windows directory import took, where the partition holds several.
    std::string windirName;
    std::istringstream lines(plan.ini);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, 7, "windir=") == 0) windirName = line.substr(7, line.find('\r') - 7);
    if (!openPartition(root, p, err, windirName)) return kStatusBadUsage;
    if (int status = backup::resolveInterrupted(root, backup::Way::Forward, out, err, "apply"))
        return status;
    std::vector<std::string> hivePaths;
    for (const HiveFile& h : p.hives) hivePaths.push_back(h.host);
    backup::clearStaleTemps(root, hivePaths, out, "apply");
    // What apply writes over passes import's checks, and its hash (below) is the one import
    // recorded: it is the file import read, byte for byte. A dirty hive is recovered from its
    // logs as import recovered it; one that no log recovers is never written.
    std::vector<std::string> stale;
    if (!recoverHives(p, false, plan.recoveryNotes, stale, err, true) ||
        !checkHives(p, err, "nothing was changed"))
        return kStatusBadUsage;
    if (p.nt != nt) {
        err << "dot4sim apply: " << root << " holds " << (p.nt ? "Windows NT" : "Windows 95/98")
            << ", and " << machine << " is not that machine; nothing was changed\n";
        return kStatusBadUsage;
    }
    std::ostringstream walkNotes;
    walkPartition(root, plan.tree, walkNotes);
    hashHives(p, plan.tree);
    const std::string& windir = plan.check.config.system.windowsDirectory;
    plan.drive =
        windir.size() >= 2 && windir[1] == ':' ? static_cast<char>(std::toupper(windir[0])) : 'C';
    std::string change = partitionChange(plan.ini, plan.tree, plan.drive);
    if (!change.empty()) {
        err << "dot4sim apply: " << root << " changed since the import: " << codePageToUtf8(change)
            << "; import it again and preview\n";
        return kStatusBadUsage;
    }
    if (args.backup.empty()) args.backup = root + "/dot4-backup-" + timestamp();
    std::string why;
    if (existsNoFollow(args.backup)) {
        err << "dot4sim apply: " << args.backup << " exists; give a backup folder that does not\n";
        return kStatusBadUsage;
    }
    if (!writable(root, p, why)) {
        err << "dot4sim apply: " << why << "; nothing was changed\n";
        return kStatusBadUsage;
    }
    return 0;
}

// The run on the image, and what it means for the partition: the files to move (with the logs
// of a hive rewritten from its recovered copy) and each registry file edited in memory.
int planChanges(const ApplyArgs& args, Plan& plan, std::ostream& err) {
    plan.e = runForEffect(args.machine, err);
    if (!plan.e.ran) {
        err << "dot4sim apply: the run on " << args.machine << " failed; nothing was changed\n";
        return kStatusFailure;
    }
    // The partition's own spelling of each file the run removed.
    std::map<std::string, std::string> hostOf;
    const CodePage& cp = activeCodePage();
    for (const auto& [rel, entry] : plan.tree) hostOf[cp.fold(windowsPath(rel, plan.drive))] = rel;
    std::set<std::string> moving;
    for (const std::string& f : plan.e.files) {
        auto it = hostOf.find(cp.fold(f));
        if (it == hostOf.end())
            plan.notCarried.push_back(codePageToUtf8(f) + " (not a file of the partition)");
        else if (!plan.tree[it->second].folder && moving.insert(it->second).second)
            plan.moves.push_back(it->second);
    }
    if (int status = editHives(plan.p, plan.e, plan.edits, plan.notCarried, err)) return status;
    // The logs of a hive rewritten from its recovered copy would be replayed over the new hive:
    // they go into the backup with it.
    for (const HiveEdit& he : plan.edits) {
        if (!he.edit || !he.file->recovered) continue;
        const std::string dir = parentOf(he.file->host),
                          base = he.file->host.substr(dir.size() + 1);
        for (const std::string& name : entries(dir))
            for (const char* suffix : {".LOG", ".LOG1", ".LOG2"}) {
                const std::string rel = relativeTo(args.root, dir + "/" + name);
                if (iequals(name, base + suffix) && plan.tree.count(rel) &&
                    moving.insert(rel).second)
                    plan.moves.push_back(rel);
            }
    }
    return 0;
}

void printPlan(const ApplyArgs& args, const Plan& plan, std::ostream& out) {
    const Effect& e = plan.e;
    for (const std::string& n : plan.recoveryNotes) out << n << "\n";
    out << "== what apply does to " << args.root << " (" << args.machine << ")\n";
    size_t keys = 0;
    for (const KeyChange& c : e.deleted) keys += c.keys;
    out << "keys deleted: " << keys << " in " << e.deleted.size() << " sub-trees\n";
    for (const KeyChange& c : e.deleted)
        out << "  " << c.path << "  (" << c.keys << (c.keys == 1 ? " key" : " keys")
            << (c.foreign.empty() ? "" : ", " + c.foreign) << ")\n";
    out << "stays (the stack's, left behind): " << e.stays.size() << "\n";
    for (const std::string& k : e.stays) out << "  " << k << "\n";
    out << "keys created: " << e.created.size() << "\n";
    for (const KeyChange& c : e.created) out << "  " << c.path << "\n";
    out << "keys whose values change: " << e.changed.size() << "\n";
    for (const KeyChange& c : e.changed) out << "  " << c.path << "\n";
    out << "files moved into " << args.backup << ": " << plan.moves.size() << "\n";
    for (const std::string& rel : plan.moves) out << "  " << rel << "\n";
    for (const std::string& n : plan.notCarried)
        out << (n.find(" created without its class") == std::string::npos ? "not carried out: "
                                                                          : "note: ")
            << n << "\n";
}

// One transaction: everything the way back needs is in the backup, flushed, before the
// partition changes; then the marker names the backup until the partition is the new one.
int transact(const ApplyArgs& args, Plan& plan, std::ostream& out, std::ostream& err) {
    const std::string &root = args.root, &backup = args.backup;
    std::vector<HiveEdit>& edits = plan.edits;
    const std::vector<std::string>& moves = plan.moves;
    const bool ownParent = isDir(parentOf(backup));
    auto abandon = [&](const std::string& what) {
        int e = errno;
        for (HiveEdit& he : edits)
            if (!he.temp.empty()) ::unlink(he.temp.c_str());
        removeTree(backup);
        err << "dot4sim apply: " << what << (e ? std::string(": ") + std::strerror(e) : "") << "; "
            << root << " is as it was\n";
        return kStatusFailure;
    };
    if (!ownParent && !backup::makeDirs(parentOf(backup)))
        return abandon("cannot create " + parentOf(backup));
    if (backup::step() || ::mkdir(backup.c_str(), 0755) != 0)
        return abandon("cannot create " + backup);
    const std::string backupPath = backup::resolvedPath(backup);
    backup::Manifest m;
    m.root = backup::resolvedPath(root);
    m.state = "applying";
    if (!backup::makeDirs(backup + "/hives")) return abandon("cannot create " + backup + "/hives");
    for (const HiveEdit& he : edits) {
        if (!he.edit) continue;
        backup::Manifest::Hive h;
        h.rel = relativeTo(root, he.file->host);
        h.copy = "hives/" + he.file->name;
        h.temp = relativeTo(root, backup::tempOf(he.file->host));
        h.oldHash = plan.tree[h.rel].hash, h.oldSize = plan.tree[h.rel].size;
        std::string copied;
        if (!backup::copyFlushed(he.file->host, backup + "/" + h.copy, &copied))
            return abandon("cannot copy " + he.file->host + " into the backup");
        if (copied != h.oldHash)
            return errno = 0, abandon(he.file->host + " changed while apply ran");
        m.hives.push_back(h);
    }
    for (const std::string& rel : moves) {
        std::string to = backup + "/files/" + rel, copied;
        if (!backup::makeDirs(parentOf(to)) || !backup::copyFlushed(root + "/" + rel, to, &copied))
            return abandon("cannot copy " + root + "/" + rel + " into the backup");
        m.files.push_back({rel, plan.tree[rel].size, copied});
    }
    if (!commitHives(edits, err)) return abandon("cannot write the new hives");
    for (size_t i = 0, h = 0; i < edits.size(); ++i)
        if (!edits[i].temp.empty()) {
            m.hives[h].newHash = edits[i].newHash, m.hives[h].newSize = edits[i].newSize;
            ++h;
        }
    if (!backup::writeManifest(backup, m)) return abandon("cannot write " + backup + "/manifest");
    const std::string marker = root + "/" + backup::kMarker;
    if (!backup::writeFlushed(marker, backupPath + "\n")) return abandon("cannot write " + marker);
    // From here the way is forward; a failure rolls back from the backup.
    std::string failed;
    for (const std::string& rel : moves)
        if (failed.empty() && !backup::unlinkFlushed(root + "/" + rel))
            failed = "cannot remove " + root + "/" + rel + ": " + std::strerror(errno);
    for (HiveEdit& he : edits) {  // last: each from a complete copy
        if (he.temp.empty() || !failed.empty()) continue;
        if (!backup::renameFlushed(he.temp, he.file->host))
            failed =
                "cannot rename " + he.temp + " over " + he.file->host + ": " + std::strerror(errno);
    }
    m.state = "applied";
    if (failed.empty() && !backup::writeManifest(backup, m))
        failed = "cannot write " + backup + "/manifest: " + std::strerror(errno);
    if (failed.empty() && !backup::unlinkFlushed(marker))
        failed = "cannot remove " + marker + ": " + std::strerror(errno);
    if (!failed.empty()) {
        err << "dot4sim apply: " << failed << "\n";
        backup::resolveInterrupted(root, backup::Way::Back, out, err, "apply");
        return kStatusFailure;
    }
    return 0;
}

}  // namespace

int applyMain(const std::vector<std::string>& a, std::istream& in, std::ostream& out,
              std::ostream& err) {
    ApplyArgs args;
    if (int status = parseApplyArgs(a, args, out, err)) return status < 0 ? 0 : status;
    Plan plan;
    if (int status = checkPartition(args, plan, out, err)) return status;
    if (int status = planChanges(args, plan, err)) return status;
    printPlan(args, plan, out);
    bool anything = !plan.moves.empty();
    for (const HiveEdit& he : plan.edits) anything |= he.edit != nullptr;
    if (!anything) {
        closeHives(plan.edits, "", err);
        out << "nothing to apply: the run changes nothing " << args.root << " holds\n";
        return 0;
    }
    if (!args.yes) {
        out << "\nApply this to " << args.root << " (backup in " << args.backup << ")? [y/N] "
            << std::flush;
        std::string answer;
        std::getline(in, answer);
        if (answer != "y" && answer != "Y" && answer != "yes") {
            closeHives(plan.edits, "", err);
            out << "nothing was changed\n";
            return kStatusFailure;
        }
    }
    if (int status = transact(args, plan, out, err)) return status;
    out << "\napplied to " << args.root << ":\n";
    for (const HiveEdit& he : plan.edits)
        if (he.file)
            out << "  " << relativeTo(args.root, he.file->host) << ": " << he.deleted
                << " sub-trees deleted, " << he.created << " keys created, " << he.changed
                << " keys' values changed" << (he.attributes.empty() ? "" : "; " + he.attributes)
                << "\n";
    out << "  " << plan.moves.size() << " files moved into " << args.backup << "\n";
    out << "undo with: dot4sim undo --backup " << args.backup << " --root " << args.root << "\n";
    return 0;
}
}  // namespace simwin
