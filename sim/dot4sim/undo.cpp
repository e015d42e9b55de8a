// dot4sim undo: puts back from apply's backup what apply changed, once every piece is checked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "dot4sim/backup.h"
#include "dot4sim/offline.h"
#include "dot4sim/runner.h"
#include "imports/hive.h"
#include "model/host.h"

namespace simwin {

namespace {

const char* const kUndoHelp =
    "usage: dot4sim undo --backup DIR2 --root DIR [--yes]\n"
    "\n"
    "Puts back what dot4sim apply changed on the partition DIR: the hives, byte for byte, and the\n"
    "files it moved into DIR2. Every copy in DIR2 is checked against the manifest (its size and\n"
    "hash) and DIR against what apply wrote before anything changes; a backup of another\n"
    "partition, a damaged copy or manifest, or a link in DIR2 is refused. When a hive changed\n"
    "since the apply (Windows wrote to it), undo says so and asks, unless --yes. An apply that\n"
    "was interrupted is rolled back. A second undo finds nothing to do.\n"
    "\n"
    "Exit status: 0 when restored or already restored, 1 when declined or a step failed (run it\n"
    "again), 2 for a bad command line or a backup that is damaged or does not match DIR.\n";

// Copies `from` over `to` through a complete file beside it.
bool putBack(const std::string& from, const std::string& to) {
    std::string tmp = backup::tempOf(to);
    ::unlink(tmp.c_str());
    if (!backup::makeDirs(parentOf(to)) || !backup::copyFlushed(from, tmp)) return false;
    backup::keepFatAttributes(to, tmp);
    return backup::renameFlushed(tmp, to);
}

// New hives and a marker an apply left when it was stopped before it changed anything.
void clearTemps(const std::string& root, std::ostream& out) {
    Partition p;
    std::ostringstream ignored;
    std::vector<std::string> hives;
    if (openPartition(root, p, ignored))
        for (const HiveFile& h : p.hives) hives.push_back(h.host);
    backup::clearStaleTemps(root, hives, out, "undo");
}

}  // namespace

int undoMain(const std::vector<std::string>& a, std::istream& in, std::ostream& out,
             std::ostream& err) {
    std::string root, b;
    bool yes = false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--help" || a[i] == "-h") {
            out << kUndoHelp;
            return 0;
        } else if (a[i] == "--yes") {
            yes = true;
        } else if (a[i] == "--root" || a[i] == "--backup") {
            const std::string* v = optionValue(a, i, "undo", "a folder", err);
            if (!v) return kStatusBadUsage;
            (a[i - 1] == "--root" ? root : b) = *v;
        } else {
            err << "dot4sim undo: unexpected argument " << a[i] << "\n";
            return kStatusBadUsage;
        }
    }
    if (root.empty() || b.empty()) {
        err << "dot4sim undo: missing " << (b.empty() ? "--backup DIR2" : "--root DIR") << "\n"
            << kUndoHelp;
        return kStatusBadUsage;
    }
    root = partitionRoot(root);
    if (!isDir(root)) {
        err << "dot4sim undo: " << root << " is not a folder\n";
        return kStatusBadUsage;
    }
    backup::Manifest m;
    std::string why = backup::readManifest(b, m);
    if (!why.empty()) {
        // An apply killed before its manifest was whole changed nothing but its new hives.
        std::string rolled;
        int status = backup::resolveInterrupted(root, backup::Way::Back, out, err, "undo", &rolled);
        if (status || !rolled.empty()) return status;
        clearTemps(root, out);
        err << "dot4sim undo: " << b << ": " << why << "; nothing was changed\n";
        return kStatusBadUsage;
    }
    const std::string here = backup::resolvedPath(root);
    // The pieces' hashes say whether this is the partition the backup was made of.
    bool same = !m.hives.empty();
    for (const backup::Manifest::Hive& h : m.hives) {
        std::string now = backup::hashOf(root + "/" + h.rel);
        same = same && (now == h.newHash || now == h.oldHash);
    }
    const bool ours = m.root == here || same;
    if (!ours) {
        err << "dot4sim undo: " << b << " is the backup of " << m.root << ", not of " << here
            << "; nothing was changed\n";
        return kStatusBadUsage;
    }
    std::string rolled;
    if (int status = backup::resolveInterrupted(root, backup::Way::Back, out, err, "undo", &rolled))
        return status;
    clearTemps(root, out);
    if (backup::resolvedPath(rolled) == backup::resolvedPath(b)) return 0;
    if (m.state == "applying") {
        out << "dot4sim undo: the apply recorded in " << b << " never changed " << root
            << "; nothing to undo\n";
        return 0;
    }
    // Every piece is checked before the first is put back.
    for (const backup::Manifest::Hive& h : m.hives) {
        std::string copy = b + "/" + h.copy;
        if (!backup::noLinks(root, h.rel) || !backup::copyIntact(b, h.copy, h.oldSize, h.oldHash)) {
            err << "dot4sim undo: " << copy << " is not the copy apply made of " << root << "/"
                << h.rel << " (missing, a link, or its size or hash differ); nothing was changed\n";
            return kStatusBadUsage;
        }
    }
    std::vector<const backup::Manifest::File*> files;
    for (const backup::Manifest::File& f : m.files) {
        std::string copy = b + "/files/" + f.rel, there = root + "/" + f.rel;
        if (!backup::noLinks(root, f.rel) || !backup::noLinks(b, "files/" + f.rel)) {
            err << "dot4sim undo: a link stands in the way of " << f.rel
                << "; nothing was changed\n";
            return kStatusBadUsage;
        }
        std::string now = backup::hashOf(there);
        if (now == f.hash) continue;  // already back
        if (existsNoFollow(there)) {
            err << "dot4sim undo: " << there
                << " exists again and differs from the backup's copy; move it away and run undo "
                   "again; nothing was changed\n";
            return kStatusBadUsage;
        }
        if (!backup::copyIntact(b, "files/" + f.rel, f.size, f.hash)) {
            err << "dot4sim undo: " << copy << " is not the copy apply made of " << there
                << " (missing, or its size or hash differ); nothing was changed\n";
            return kStatusBadUsage;
        }
        files.push_back(&f);
    }
    std::vector<const backup::Manifest::Hive*> hives;
    std::vector<std::string> written;
    for (const backup::Manifest::Hive& h : m.hives) {
        std::string now = backup::hashOf(root + "/" + h.rel);
        if (now == h.oldHash) continue;
        if (now != h.newHash) written.push_back(root + "/" + h.rel);
        hives.push_back(&h);
    }
    if (hives.empty() && files.empty()) {
        out << "already undone: " << root
            << " holds what it held before the apply; nothing to do\n";
        return 0;
    }
    if (!written.empty()) {
        for (const std::string& w : written)
            out << "dot4sim undo: " << w
                << " changed since the apply (Windows has written to it); undo puts back the hive "
                   "apply saved, and what was written since is lost\n";
        if (!yes) {
            out << "Put the saved hives back all the same? [y/N] " << std::flush;
            std::string answer;
            std::getline(in, answer);
            if (answer != "y" && answer != "Y" && answer != "yes") {
                out << "nothing was changed\n";
                return kStatusFailure;
            }
        }
    }
    size_t failed = 0;
    for (const backup::Manifest::File* f : files)
        if (!putBack(b + "/files/" + f->rel, root + "/" + f->rel)) {
            err << "dot4sim undo: cannot put back " << root << "/" << f->rel << ": "
                << std::strerror(errno) << "\n";
            ++failed;
        }
    for (const backup::Manifest::Hive* h : hives)
        if (!putBack(b + "/" + h->copy, root + "/" + h->rel)) {
            err << "dot4sim undo: cannot put back " << root << "/" << h->rel << ": "
                << std::strerror(errno) << "\n";
            ++failed;
        }
    if (failed) {
        err << "dot4sim undo: " << failed << " pieces could not be put back; run undo again\n";
        return kStatusFailure;
    }
    m.state = "undone";
    backup::writeManifest(b, m);
    out << "restored " << hives.size() << " hives and " << files.size() << " files of " << root
        << " from " << b << "\n";
    return 0;
}

}  // namespace simwin
