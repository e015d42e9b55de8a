#include "image/transaction.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "model/codepage.h"
#include "model/host.h"
#include "model/machine.h"

namespace simwin {

namespace {

// The transaction folder: ".dot4sim-txn.PID.N". Its journal, once renamed into place, is the
// commit; "done.N" marks a finished phase.
const char* const kTxn = ".dot4sim-txn";
const char* const kJournal = "journal";

// One exclusive lock per image, held on the image folder for the life of a command.
int lockImage(const std::string& image) {
    int fd = ::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw ImageError(image, 0, "not a machine image: expected a directory");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw ImageError(image, 0,
                         "another dot4sim command is using this image; run again when it is done");
    }
    return fd;
}

// The journal: one line per step, "OP\tA\tB", paths relative to the image. Phases: 1 moves
// aside the live files that move elsewhere (R), 2 removes (U unlink, D rmdir, deepest first),
// 3 creates folders (M mkdir, C a folder's new letter case, shallowest first), 4 places staged
// files (P). Every step can be redone; a phase's "done.N" keeps a finished phase from being
// redone once a later one has begun.
struct Step {
    char op;
    std::string a, b;
};

int phaseOf(char op) {
    switch (op) {
        case 'R':
            return 1;
        case 'U':
        case 'D':
            return 2;
        case 'M':
        case 'C':
            return 3;
        default:
            return 4;
    }
}

bool safeRelative(const std::string& rel) {
    if (rel.empty() || rel[0] == '/') return false;
    size_t i = 0;
    while (i <= rel.size()) {
        size_t j = rel.find('/', i);
        if (j == std::string::npos) j = rel.size();
        std::string c = rel.substr(i, j - i);
        if (c.empty() || c == "." || c == "..") return false;
        i = j + 1;
    }
    return true;
}

// Refuses a path whose folders are not real folders of the image: nothing is followed.
void checkNoLink(const std::string& image, const std::string& rel) {
    if (!safeRelative(rel)) throw ImageError(image + "/" + rel, 0, "not a path inside the image");
    for (size_t j = rel.find('/'); j != std::string::npos; j = rel.find('/', j + 1)) {
        std::string p = image + "/" + rel.substr(0, j);
        struct stat st;
        if (!lstatOk(p, st)) return;  // missing: the step finds nothing to do
        if (!S_ISDIR(st.st_mode))
            throw ImageError(p, 0, "is a link or not a folder; dot4sim will not go through it");
    }
}

struct CommitStopped {};

// Crash tests: DOT4SIM_CRASH_AT=N kills the process before step N+1 of a commit.
struct Ticker {
    unsigned limit;
    unsigned done = 0;
    void tick() {
        if (done++ < limit) return;
        if (std::getenv("DOT4SIM_CRASH_AT")) ::raise(SIGKILL);
        throw CommitStopped{};
    }
};

unsigned crashLimit() {
    const char* e = std::getenv("DOT4SIM_CRASH_AT");
    return e ? static_cast<unsigned>(std::strtoul(e, nullptr, 10)) : ~0u;
}

void failStep(const std::string& what, const std::string& path) {
    throw std::runtime_error("cannot " + what + " " + path + ": " + errnoText());
}

// Applies a committed journal from the first unfinished phase on, then removes the folder.
void applyJournal(const std::string& image, const std::string& txn, const std::vector<Step>& steps,
                  Ticker& t) {
    int first = 1;
    for (int ph = 3; ph >= 1; --ph) {
        if (existsNoFollow(txn + "/done." + std::to_string(ph))) {
            first = ph + 1;
            break;
        }
    }
    for (int ph = first; ph <= 4; ++ph) {
        std::set<std::string> touched;
        for (const Step& s : steps) {
            if (phaseOf(s.op) != ph) continue;
            checkNoLink(image, s.a);
            if (!s.b.empty()) checkNoLink(image, s.b);
            std::string a = image + "/" + s.a, b = s.b.empty() ? "" : image + "/" + s.b;
            t.tick();
            struct stat st;
            switch (s.op) {
                case 'R':  // a live file moves into the transaction folder
                case 'P':  // a staged file moves into place; gone means placed
                case 'C':  // a folder changes case; the new name there means done
                    if (s.op == 'C' ? existsNoFollow(b) : !lstatOk(a, st)) break;
                    if (::rename(a.c_str(), b.c_str()) != 0) failStep("rename", a);
                    break;
                case 'U':
                    if (::unlink(a.c_str()) != 0 && errno != ENOENT) failStep("delete", a);
                    break;
                case 'D':
                    if (::rmdir(a.c_str()) != 0 && errno != ENOENT) failStep("remove", a);
                    break;
                case 'M':
                    if (::mkdir(a.c_str(), 0755) != 0 && !(errno == EEXIST && isDir(a)))
                        failStep("create", a);
                    break;
            }
            touched.insert(parentOf(a));
            if (!b.empty()) touched.insert(parentOf(b));
        }
        for (const std::string& d : touched) syncPath(d, true);
        if (ph < 4) {
            t.tick();
            int fd = createExclusive(txn + "/done." + std::to_string(ph));
            if (fd >= 0) ::close(fd);
            syncPath(txn, true);
        }
    }
    t.tick();
    // Without its journal, what is left of the folder is only rolled back.
    ::unlink((txn + "/" + kJournal).c_str());
    t.tick();
    removeTree(txn);
    syncPath(image, true);
}

std::vector<Step> readJournal(const std::string& path) {
    std::vector<Step> steps;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        throw ImageError(path, 0, "cannot be read, or is not a file dot4sim wrote");
    }
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        Step s;
        size_t t1 = line.find('\t'), t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        if (line.size() < 2 || t1 != 1 || t2 == std::string::npos ||
            !std::strchr("RUDMCP", line[0]))
            throw ImageError(path, number, "not a journal line dot4sim wrote");
        s.op = line[0];
        s.a = line.substr(2, t2 - 2);
        s.b = line.substr(t2 + 1);
        if (!safeRelative(s.a) || (!s.b.empty() && !safeRelative(s.b)))
            throw ImageError(path, number, "a path outside the image");
        steps.push_back(s);
    }
    return steps;
}

std::string recoverLocked(const std::string& image, unsigned stopAfter = ~0u) {
    std::string said;
    for (const std::string& e : entries(image)) {
        if (e.compare(0, std::strlen(kTxn), kTxn) != 0) continue;
        std::string txn = image + "/" + e;
        struct stat st;
        if (!lstatOk(txn, st)) continue;
        if (!S_ISDIR(st.st_mode))
            throw ImageError(txn, 0,
                             "is a link or special file where dot4sim keeps its transactions; "
                             "remove it");
        std::string journal = txn + "/" + kJournal;
        if (lstatOk(journal, st)) {
            Ticker t{stopAfter};
            try {
                applyJournal(image, txn, readJournal(journal), t);
            } catch (const ImageError&) {
                throw;
            } catch (const std::exception& ex) {
                throw ImageError(txn, 0,
                                 std::string("cannot finish an interrupted commit: ") + ex.what());
            }
            said = "dot4sim: " + image + ": finished an interrupted commit";
        } else {
            bool applied = existsNoFollow(txn + "/done.3");
            removeTree(txn);
            syncPath(image, true);
            said = "dot4sim: " + image +
                   (applied ? ": removed what a finished commit left"
                            : ": rolled back an interrupted run (it had not committed)");
        }
    }
    return said;
}

}  // namespace

std::string recoverImage(const std::string& imageDir, unsigned stopAfter) {
    int fd = lockImage(imageDir);
    std::string said;
    try {
        said = recoverLocked(imageDir, stopAfter);
    } catch (const CommitStopped&) {
        said = "stopped";
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return said;
}

std::unique_ptr<Transaction> Transaction::begin(const std::string& imageDir, std::ostream& notes) {
    std::unique_ptr<Transaction> t(new Transaction());
    t->imageDir_ = imageDir;
    t->lockFd_ = lockImage(imageDir);
    t->finished_ = true;  // nothing to discard until the folder exists
    std::string said = recoverLocked(imageDir);
    if (!said.empty()) notes << said << "\n";
    static unsigned counter = 0;
    t->txnName_ =
        std::string(kTxn) + "." + std::to_string(::getpid()) + "." + std::to_string(++counter);
    t->txn_ = imageDir + "/" + t->txnName_;
    if (::mkdir(t->txn_.c_str(), 0700) != 0)
        throw ImageError(t->txn_, 0, "cannot create the run's transaction folder: " + errnoText());
    t->finished_ = false;
    return t;
}

int Transaction::createFile(std::string& name) {
    name = "f" + std::to_string(++stagedCount_);
    return createExclusive(txn_ + "/" + name);
}

std::string Transaction::hostPath(const std::string& name) const { return txn_ + "/" + name; }

Transaction::~Transaction() {
    if (!finished_) discard();
    if (lockFd_ >= 0) ::close(lockFd_);
}

void Transaction::discard() {
    if (finished_) return;
    if (!committed_) removeTree(txn_);  // a committed journal is the next command's to finish
    finish();
}

void Transaction::finish() {
    finished_ = true;
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
}

void Transaction::stageImageFile(const std::string& name, const std::string& text) {
    if (finished_) throw std::logic_error("simwin: the run was already committed or discarded");
    std::string staged = "image." + name;
    std::string path = txn_ + "/" + staged;
    ::unlink(path.c_str());
    int fd = createExclusive(path);
    if (fd < 0 || !writeAll(fd, text.data(), text.size()) || ::fsync(fd) != 0) {
        std::string why = errnoText();
        if (fd >= 0) ::close(fd);
        throw CommitRefused("cannot write " + path + ": " + why);
    }
    ::close(fd);
    for (auto& f : imageFiles_)
        if (f.first == name) return;
    imageFiles_.emplace_back(name, staged);
}

void Transaction::commit(const FileSystem& drives) {
    if (finished_) throw std::logic_error("simwin: the run was already committed or discarded");
    commitSteps(drives, crashLimit());
    finish();
}

void Transaction::commitInterrupted(const FileSystem& drives, unsigned steps) {
    if (finished_) throw std::logic_error("simwin: the run was already committed or discarded");
    try {
        commitSteps(drives, steps);
    } catch (const CommitStopped&) {
    }
    finish();  // a dead process cleans up nothing
}

namespace {

// What a commit knows of one overlay path on the live drives.
struct LiveEntry {
    std::string path;  // relative to the image; "" when missing
    std::string name;
    int type = 0;  // 0 missing, 1 file, 2 directory, 3 anything else
};

void refuse(const std::string& path, const std::string& why) {
    throw CommitRefused("cannot apply the run's changes: " + path + ": " + why +
                        "; the image is left unchanged");
}

}  // namespace

void Transaction::commitSteps(const FileSystem& drives, unsigned limit) {
    const auto& changes = drives.changes();
    const CodePage& cp = activeCodePage();  // the host names its files in UTF-8
    using Entry = FileSystem::Entry;
    const std::string& img = imageDir_;
    std::map<std::string, LiveEntry> liveMemo;
    std::function<LiveEntry(const std::string&)> liveOf = [&](const std::string& key) {
        auto it = liveMemo.find(key);
        if (it != liveMemo.end()) return it->second;
        LiveEntry le;
        size_t cut = key.find_last_of('\\');
        if (cut == std::string::npos) {
            le.name = "drive_" + std::string(1, static_cast<char>(std::tolower(key[0])));
            le.path = le.name;
        } else {
            LiveEntry parent = liveOf(key.substr(0, cut));
            std::string name;
            if (parent.type == 2 &&
                drives.findLive(img + "/" + parent.path, key.substr(cut + 1), name)) {
                le.name = name;
                le.path = parent.path + "/" + name;
            }
        }
        struct stat st;
        if (!le.path.empty() && lstatOk(img + "/" + le.path, st))
            le.type = S_ISREG(st.st_mode) ? 1 : S_ISDIR(st.st_mode) ? 2 : 3;
        if (!le.type) le.path.clear();
        return liveMemo[key] = le;
    };
    std::map<std::string, std::string> finalMemo;
    std::function<std::string(const std::string&)> finalOf = [&](const std::string& key) {
        auto it = finalMemo.find(key);
        if (it != finalMemo.end()) return it->second;
        size_t cut = key.find_last_of('\\');
        std::string p;
        if (cut == std::string::npos) {
            p = liveOf(key).name;
        } else {
            auto ov = changes.find(key);
            std::string name = ov != changes.end() && ov->second.kind != Entry::Deleted
                                   ? cp.toHost(ov->second.name)
                                   : liveOf(key).name;
            p = finalOf(key.substr(0, cut)) + "/" + name;
        }
        return finalMemo[key] = p;
    };
    auto depth = [](const std::string& p) { return std::count(p.begin(), p.end(), '/'); };
    std::string txnRel = txnName_;
    std::vector<Step> p1, p2, p3, p4;
    unsigned moved = 0;
    if (!isDir(img + "/drive_c")) p3.push_back({'M', "drive_c", ""});
    for (const auto& [key, e] : changes) {
        LiveEntry l = liveOf(key);
        if (l.type == 3) refuse(img + "/" + l.path, "a link or special file is in the way");
        std::string target = finalOf(key);
        switch (e.kind) {
            case Entry::Deleted:
                if (l.type) p2.push_back({l.type == 2 ? 'D' : 'U', l.path, ""});
                break;
            case Entry::Dir:
                if (l.type == 1) p2.push_back({'U', l.path, ""});
                if (l.type == 2 && l.name != cp.toHost(e.name))
                    p3.push_back({'C', parentOf(target) + "/" + l.name, target});
                else if (l.type != 2)
                    p3.push_back({'M', target, ""});
                break;
            case Entry::File:
                if (l.type == 2) p2.push_back({'D', l.path, ""});
                if (l.type == 1 && l.name != cp.toHost(e.name)) p2.push_back({'U', l.path, ""});
                if (!e.staged.empty()) {
                    p4.push_back({'P', txnRel + "/" + e.staged, target});
                } else {
                    std::string aside = txnRel + "/m" + std::to_string(++moved);
                    std::string src = e.source.substr(img.size() + 1);
                    p1.push_back({'R', src, aside});
                    p4.push_back({'P', aside, target});
                }
                break;
        }
    }
    for (const auto& f : imageFiles_) p4.push_back({'P', txnRel + "/" + f.second, f.first});
    std::stable_sort(p2.begin(), p2.end(),
                     [&](const Step& a, const Step& b) { return depth(a.a) > depth(b.a); });
    std::stable_sort(p3.begin(), p3.end(), [&](const Step& a, const Step& b) {
        return depth(a.b.empty() ? a.a : a.b) < depth(b.b.empty() ? b.a : b.b);
    });

    // Before the commit point: every step must be one the host will let through.
    struct stat txnSt;
    if (!lstatOk(txn_, txnSt) || !S_ISDIR(txnSt.st_mode)) refuse(txn_, "the folder is gone");
    std::set<std::string> created, removed;
    for (const Step& s : p3) created.insert(s.b.empty() ? s.a : s.b);
    for (const Step& s : p1) removed.insert(s.a);
    for (const Step& s : p2) removed.insert(s.a);
    auto writableFolder = [&](const std::string& rel) {
        std::string dir = parentOf(rel);
        if (created.count(dir)) return;
        std::string host = dir == "." ? img : img + "/" + dir;
        try {
            checkNoLink(img, rel);
        } catch (const ImageError& e) {
            refuse(host, "a link or something else than a folder is on the way");
        }
        struct stat st;
        if (!lstatOk(host, st) || !S_ISDIR(st.st_mode)) refuse(host, "not a folder");
        if (::access(host.c_str(), W_OK | X_OK) != 0)
            refuse(host, "this user may not change that folder (" + errnoText() + ")");
        if (st.st_dev != txnSt.st_dev) refuse(host, "on another file system than the image");
    };
    for (const std::vector<Step>* phase : {&p1, &p2, &p3, &p4}) {
        for (const Step& s : *phase) {
            writableFolder(s.a);
            if (!s.b.empty()) writableFolder(s.b);
            struct stat st;
            if (s.op == 'R' && (!lstatOk(img + "/" + s.a, st) || !S_ISREG(st.st_mode)))
                refuse(img + "/" + s.a, "the file to move is gone or not a file");
            if (s.op == 'D') {
                for (const std::string& e : entries(img + "/" + s.a))
                    if (!removed.count(s.a + "/" + e))
                        refuse(img + "/" + s.a + "/" + e, "left in a folder that goes");
            }
            if (s.op == 'P') {
                if (lstatOk(img + "/" + s.b, st) && S_ISDIR(st.st_mode) && !removed.count(s.b))
                    refuse(img + "/" + s.b, "a folder is in the way");
            }
        }
    }

    // Everything staged reaches the disk before the journal does.
    for (const auto& [key, e] : changes)
        if (e.kind == Entry::File && !e.staged.empty()) syncPath(txn_ + "/" + e.staged, false);
    std::string journal;
    std::vector<Step> steps;
    for (const std::vector<Step>* phase : {&p1, &p2, &p3, &p4}) {
        for (const Step& s : *phase) {
            if ((s.a + s.b).find_first_of("\t\n") != std::string::npos)
                refuse(img + "/" + s.a, "a name dot4sim cannot journal");
            journal += std::string(1, s.op) + "\t" + s.a + "\t" + s.b + "\n";
            steps.push_back(s);
        }
    }
    std::string tmp = txn_ + "/journal.tmp";
    int fd = createExclusive(tmp);
    if (fd < 0 || !writeAll(fd, journal.data(), journal.size()) || ::fsync(fd) != 0) {
        std::string why = errnoText();
        if (fd >= 0) ::close(fd);
        refuse(tmp, why);
    }
    ::close(fd);
    syncPath(txn_, true);
    Ticker t{limit};
    t.tick();
    if (::rename(tmp.c_str(), (txn_ + "/" + kJournal).c_str()) != 0) refuse(tmp, errnoText());
    committed_ = true;
    syncPath(txn_, true);
    // Committed: from here on the next command finishes what this one does not.
    try {
        applyJournal(img, txn_, steps, t);
    } catch (const CommitStopped&) {
        throw;
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string(e.what()) +
                                 "; the run is committed, and the next dot4sim command on the "
                                 "image finishes it");
    }
}

Transaction& transactionOf(Machine& m) { return dynamic_cast<Transaction&>(*m.run.staging); }

}  // namespace simwin
