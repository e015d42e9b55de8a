// simwin's drives: C: is the image's drive_c/, confined to the image.
//
// A run works on a staging copy of the drives (MACHINE/.dot4sim-staging.PID.N/drive_x); commit()
// swaps it in with renames, so a crash leaves every drive either old or new, and the next
// attach() finishes or forgets a half-done swap.
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
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "machine.h"

namespace simwin {

// Where the NT Session Manager finds the operations to carry out at the next start.
extern const char* const kSessionManagerKey;
extern const char* const kPendingValue;  // PendingFileRenameOperations

// A Windows path resolved inside the staging drives.
struct ResolvedPath {
    DWORD error = 0;         // ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_NAME
    std::string full;        // normalised Windows path: "C:\\WINDOWS\\INF\\x.inf", "C:\\"
    std::string host;        // host path of the entry (of its would-be place when missing)
    std::string parentHost;  // host directory that holds the entry; empty for a root
    std::string leaf;        // last component as given ("" for a root)
    bool exists = false;     // the last component exists (always true for a root)
    bool isDirectory = false;
    bool isRoot = false;
    bool trailingSeparator = false;  // the path ended in "\\" or "/"
    bool wildcard = false;           // the last component holds * or ? (only when allowed)
};

// One entry a directory search found.
struct FoundEntry {
    std::string name;
    bool isDirectory = false;
    uint64_t size = 0;
    int64_t mtime = 0;  // seconds since 1970
    std::string full;   // Windows path of the entry
};

class FileSystem {
  public:
    // Prepares the drives of the image in `imageDir` for a run. Throws ImageError.
    static std::unique_ptr<FileSystem> attach(const std::string& imageDir);
    ~FileSystem();
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // Makes the run's changes to the drives permanent, atomically.
    void commit();
    // Forgets the run's changes.
    void discard();
    // For crash tests: commit() as a process killed after `renames` of its renames would leave
    // it. The staging copy is then committed or forgotten by the next attach().
    void commitInterrupted(unsigned renames);

    // Host directory of a drive of the run ('C'), or "" when the machine has no such drive.
    std::string driveRoot(char letter) const;

    // Resolves a Windows path. `currentDirectory` is the machine's. With `allowWildcard`, * and
    // ? are accepted in the last component (the entry is then not looked up).
    ResolvedPath resolve(const std::string& windowsPath, const std::string& currentDirectory,
                         bool allowWildcard = false) const;

    // The entries of the resolved directory whose names match `pattern` (* and ?, without case),
    // in name order; "." and ".." included outside a root, as Windows lists them.
    std::vector<FoundEntry> list(const ResolvedPath& dir, const std::string& pattern) const;

    // The operations behind the Win32 functions; 0 or the Windows error code. `rules` are the
    // machine's [files] rules (a restart passes none: nothing is in use any more).
    DWORD deleteFile(const std::string& path, const Machine& m, bool applyRules = true);
    DWORD moveFile(const std::string& from, const std::string& to, bool replace, const Machine& m,
                   bool applyRules = true);
    DWORD createDirectory(const std::string& path, const Machine& m);
    // Removes an empty directory (what a restart does with a scheduled directory).
    DWORD removeDirectory(const std::string& path, const Machine& m);

  private:
    FileSystem() = default;
    void commitSteps(unsigned limit);
    void finish();

    std::string imageDir_;
    std::string staging_;
    bool finished_ = false;
};

// The full Windows path of `windowsPath` ("C:\\A\\b"), lexically normalised against the current
// directory; nothing is looked up. 0 or ERROR_PATH_NOT_FOUND (empty, UNC or device paths).
DWORD fullWindowsPath(const std::string& windowsPath, const std::string& currentDirectory,
                      std::string& full);

// Whether `name` matches a Windows wildcard pattern (* and ?), without case. A pattern ending
// in ".*" also matches the name without an extension ("*.*" matches everything).
bool wildcardMatch(const std::string& pattern, const std::string& name);

}  // namespace simwin
