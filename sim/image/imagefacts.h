// What preview and diff read off a machine: its keys, files and restart work, and JSON text.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "model/drives.h"
#include "model/machine.h"
#include "model/registry.h"

namespace simwin {

// Upper-cased path -> the path as the image spells it.
using PathSet = std::map<std::string, std::string>;

// Every live key below the roots, as Registry::path spells it; keys CurrentControlSet links to
// once, by the control set's name.
PathSet keyPaths(const Registry& r);
// Every file and folder of the drives as the machine sees them now (the run's changes included).
void drivePaths(const Machine& m, PathSet& files, PathSet& folders);

// The drives as they were when the image was loaded: the live folders without the run's
// changes. Each question costs what it asks, not the size of the drives.
class DrivesAsLoaded {
  public:
    explicit DrivesAsLoaded(const Machine& m);
    const FileSystem& files() const { return files_; }

  private:
    struct Unchanged : Staging {
        int createFile(std::string&) override { return -1; }
        std::string hostPath(const std::string&) const override { return ""; }
        bool open() const override { return true; }
        void discard() override {}
    } staging_;
    FileSystem files_;
};

// Paths as a drive spells them, aliases replaced by long names; each folder is looked up once.
class Spelling {
  public:
    Spelling(const FileSystem& fs, std::string currentDirectory)
        : fs_(fs), cwd_(std::move(currentDirectory)) {}
    // The path when it names a file, else "".
    std::string file(const std::string& path);

  private:
    std::string folder(const std::string& full);
    const FileSystem& fs_;
    std::string cwd_;
    std::map<std::string, std::string> folders_;  // upper-cased -> spelt
};

// The files the run's changes touched, as they were when loaded and as they are now.
void changedFiles(const Machine& m, const DrivesAsLoaded& loaded, Spelling& was, Spelling& is,
                  PathSet& before, PathSet& after);

// One operation waiting for the next start: `target` empty deletes `source`.
struct PendingOperation {
    std::string source, target;
    bool replace = false;  // NT's "!" before the target: an existing target is replaced
    std::string line;      // the wininit.ini line, as written (95/98)
    bool operator<(const PendingOperation& o) const {
        return source != o.source ? source < o.source : target < o.target;
    }
    bool operator==(const PendingOperation& o) const {
        return source == o.source && target == o.target;
    }
};
// PendingFileRenameOperations (NT) or wininit.ini [rename] (95/98), Windows paths.
std::vector<PendingOperation> pendingOperations(const Machine& m);

// In a+b but not in b, keeping a's spelling, sorted without case.
std::vector<std::string> minus(const PathSet& a, const PathSet& b);
void sortWithoutCase(std::vector<std::string>& v);
// The topmost paths of a set of key paths, each with how many of the set lie at or below it.
std::vector<std::pair<std::string, size_t>> subtrees(const std::vector<std::string>& sorted);

// Text in the ANSI code page `codepage` as UTF-8; a byte it cannot decode becomes U+FFFD.
std::string toUtf8(const std::string& text, unsigned codepage);
// A key's path for people: UTF-8, each name the code page cannot hold as it is.
std::string pathUtf8(const Registry& r, const Registry::Key* key);
// "" for a key the A functions reach; else why not: a name on its path is one the code page
// cannot hold, which they see with a '?' for each character and which opens nothing on NT.
std::string outOfReach(const Registry& r, const Registry::Key* key);
// A JSON string of UTF-8 text, or of text in `codepage` when one is given.
std::string jsonString(const std::string& s, unsigned codepage = 0);
std::string jsonList(const std::vector<std::string>& v, unsigned codepage = 0);
std::vector<std::string> lines(const std::string& text);
// A line dot4sim wrote on standard error without its "dot4sim: warning: " lead.
std::string warningText(std::string line);

// The first argument of a traced call ("DeleteFileA(\"C:\\\\x\", ...)"), as the program passed it.
bool tracedPath(const std::string& line, const std::string& function, std::string& path);

// Every live key below `k`, depth first, the link excepted (its keys are the control set's).
void liveKeys(const Registry::Key* k, std::vector<const Registry::Key*>& out);

}  // namespace simwin
