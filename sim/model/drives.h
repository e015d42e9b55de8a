// simwin's drives: C: is the image's drive_c/, confined to the image.
//
// A run never copies a drive. It reads the live drive_X/ folders through an overlay of its own
// changes (per path: deleted, a directory, or a file whose content is a staged file or a live
// file moved there). Files it writes wait in the Staging the image's transaction gives it; the
// transaction makes the overlay permanent or forgets it.
//
// Path rules, as Windows applies them: "/" is a separator too, relative paths resolve against
// the current directory, "." and ".." are resolved lexically and ".." stops at the drive root,
// repeated separators collapse, names are looked up without case and created with the case given.
// UNC and device paths (\\server\share, \\.\, \\?\, \??\) name nothing here. A symbolic link
// in a drive is a host artefact that Windows cannot traverse: naming it, or a path through it,
// fails with ERROR_ACCESS_DENIED, and directory searches do not list it. Nothing is ever read or
// written outside the image.
#pragma once

#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/machine.h"

namespace simwin {

// Where the NT Session Manager finds the operations to carry out at the next start.
extern const char* const kSessionManagerKey;
extern const char* const kPendingValue;  // PendingFileRenameOperations

// A Windows path resolved in the run's view of the drives.
struct ResolvedPath {
    DWORD error = 0;      // ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_NAME
    std::string full;     // normalised Windows path: "C:\\WINDOWS\\INF\\x.inf", "C:\\"
    std::string leaf;     // last component as given ("" for a root)
    std::string name;     // the entry's own spelling when it exists, else `leaf`
    bool exists = false;  // the last component exists (always true for a root)
    bool isDirectory = false;
    bool isRoot = false;
    bool trailingSeparator = false;  // the path ended in "\\" or "/"
    bool wildcard = false;           // the last component holds * or ? (only when allowed)
    // FileSystem's own: the overlay key and the live host entries behind the path.
    std::string key, parentKey, live, parentLive;
};

// One entry a directory search found.
struct FoundEntry {
    std::string name;
    bool isDirectory = false;
    uint64_t size = 0;
    int64_t mtime = 0;      // seconds since 1970
    std::string full;       // Windows path of the entry
    std::string shortName;  // its 8.3 alias; "" when the name is one already
};

// Where a run's written files wait until the image commits them.
class Staging {
  public:
    virtual ~Staging() = default;
    // A new empty file, created exclusively: its descriptor (or -1) and its name.
    virtual int createFile(std::string& name) = 0;
    // The host path of a staged file.
    virtual std::string hostPath(const std::string& name) const = 0;
    // False once the run's changes were committed or discarded: the drives change no more.
    virtual bool open() const = 0;
    // Forgets the run's changes and lets the image go.
    virtual void discard() = 0;
};

class FileSystem {
  public:
    // The drives of the image in `imageDir`, changed through `staging`. Throws ImageError when a
    // drive folder is a link or a file.
    FileSystem(const std::string& imageDir, Staging& staging);
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    const std::string& imageDir() const { return imageDir_; }

    // Host directory of a live drive ('C'), or "" when the image has no such folder. The run's
    // changes are not there before the commit.
    std::string driveRoot(char letter) const;

    // Resolves a Windows path. `currentDirectory` is the machine's. With `allowWildcard`, * and
    // ? are accepted in the last component (the entry is then not looked up).
    ResolvedPath resolve(const std::string& windowsPath, const std::string& currentDirectory,
                         bool allowWildcard = false) const;

    // The entries of the resolved directory whose names match `pattern` (* and ?, without case),
    // in name order; "." and ".." included outside a root, as Windows lists them.
    std::vector<FoundEntry> list(const ResolvedPath& dir, const std::string& pattern) const;
    // The entry the resolved path names; false when it does not exist.
    bool entry(const ResolvedPath& p, FoundEntry& out) const;
    // A file descriptor on the resolved file for C library mode `mode` ("r", "w+", "ab"...),
    // or -1 with `error` set. Writing never touches the live file before the commit.
    int openFile(const ResolvedPath& p, const std::string& mode, DWORD& error);
    // The whole content of an existing resolved file.
    bool readFile(const ResolvedPath& p, std::string& out) const;

    // The aliases machine.ini [short_names] gives, by upper-cased full Windows path.
    void setShortNames(const std::map<std::string, std::string>& aliases);
    // GetShortPathNameA: the path with each long component replaced by the entry's alias; 8.3
    // components, the drive and the path's form stay as given. 0 or the error code.
    DWORD shortPath(const std::string& path, const std::string& currentDirectory,
                    std::string& out) const;

    // The operations behind the Win32 functions, under the machine's [files] states as its
    // family treats them; 0 or the Windows error code. A restart passes applyRules false.
    DWORD deleteFile(const std::string& path, const Machine& m, bool applyRules = true);
    DWORD moveFile(const std::string& from, const std::string& to, bool replace, const Machine& m,
                   bool applyRules = true);
    // Whether a C library open of the resolved existing file may go ahead.
    static DWORD openAllowed(const ResolvedPath& p, bool writes, const Machine& m);
    // Whether MoveFileExA may schedule the file (full Windows path) for the restart.
    static DWORD scheduleAllowed(const std::string& full, const Machine& m);
    // FILE_ATTRIBUTE_* of a found entry.
    static DWORD attributes(const FoundEntry& e, const Machine& m);
    DWORD createDirectory(const std::string& path, const Machine& m);
    // Removes an empty directory (what a restart does with a scheduled directory).
    DWORD removeDirectory(const std::string& path, const Machine& m);

    struct Entry {
        enum Kind { Deleted, Dir, File } kind = Deleted;
        std::string name;    // spelling of the entry
        std::string staged;  // File: content staged in the transaction folder (its file name)
        std::string source;  // File: content is this live host file (moved here)
        int64_t mtime = 0;   // Dir without a live folder
    };
    struct Node;

    // The run's changes by upper-cased full Windows path ("C:" a root), for the commit.
    const std::map<std::string, Entry>& changes() const { return overlay_; }
    // The host spelling of `name` in the live host folder `dir`, found without case.
    bool findLive(const std::string& dir, const std::string& name, std::string& hostName) const;

  private:
    Node child(const Node& dir, const std::string& name) const;
    Node rootNode(char drive) const;
    Node nodeOf(const ResolvedPath& p) const;
    std::vector<Node> children(const Node& dir) const;
    bool attrs(const Node& n, FoundEntry& out) const;
    std::string contentPath(const Entry& e) const;
    std::string newStaged(int& fd);
    DWORD moveTree(const Node& src, const std::string& dstKey, const std::string& dstName);
    // The alias and the spelling of each entry of a directory, by upper-cased name.
    using Aliases = std::map<std::string, std::pair<std::string, std::string>>;
    const Aliases& aliases(const Node& dir) const;
    void changed() { aliasCache_.clear(); }

    std::string imageDir_;
    Staging& staging_;
    std::map<std::string, Entry> overlay_;  // by upper-cased full Windows path, "C:" a root
    mutable std::map<std::string, std::map<std::string, std::string>> liveNames_;
    std::map<std::string, std::string> shortNames_;
    mutable std::map<std::string, Aliases> aliasCache_;
};

// The full Windows path of `windowsPath` ("C:\\A\\b"), lexically normalised against the current
// directory; nothing is looked up. 0 or ERROR_PATH_NOT_FOUND (empty, UNC or device paths).
DWORD fullWindowsPath(const std::string& windowsPath, const std::string& currentDirectory,
                      std::string& full);

// Whether `name` is a valid 8.3 name (ignoring case): 1-8 characters, an optional extension of
// 1-3, only the characters FAT allows in a short name.
bool isShortName(const std::string& name);

// Whether every component of a Windows path (the drive, "." and ".." aside) is an 8.3 name.
bool isShortPath(const std::string& path);

// Whether `name` matches a Windows wildcard pattern (* and ?), without case. A pattern ending
// in ".*" also matches the name without an extension ("*.*" matches everything).
bool wildcardMatch(const std::string& pattern, const std::string& name);

}  // namespace simwin
