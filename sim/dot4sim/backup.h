// What apply leaves in its backup folder, and how it changes a partition as one transaction: the
// journal (the manifest) is complete and flushed before the partition changes, a marker in the
// partition names it while the partition is between the old and the new state, and the next
// apply or undo finishes or rolls back what a kill left half done.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace simwin::backup {

// `path` with its links resolved, as a manifest records the partition's root.
std::string resolvedPath(const std::string& path);
// SHA-256 of a regular file, no link followed; "" for anything else.
std::string hashOf(const std::string& path);
// `backup`/`rel` is a regular file reached through no link, with `size` bytes and `hash`.
bool copyIntact(const std::string& backup, const std::string& rel, uint64_t size,
                const std::string& hash);

// The marker apply leaves at the partition's root while it changes it: the backup's path.
constexpr const char* kMarker = ".dot4-apply";
// A new hive beside its original, until it is renamed over it.
std::string tempOf(const std::string& hostPath);
bool isTempName(const std::string& name);

struct Manifest {
    std::string root;   // the partition's root, as resolved at apply
    std::string state;  // applying, applied, rolled back, undone
    struct Hive {
        std::string rel, copy, temp;  // partition-relative; backup-relative; partition-relative
        uint64_t oldSize = 0, newSize = 0;
        std::string oldHash, newHash;
    };
    struct File {
        std::string rel;  // partition-relative; its copy is files/REL in the backup
        uint64_t size = 0;
        std::string hash;
    };
    std::vector<Hive> hives;
    std::vector<File> files;

    std::string text() const;
    // "" or why the text is not a whole manifest of this program.
    std::string parse(const std::string& text);
};

// Reads and checks BACKUP/manifest; "" or why not.
std::string readManifest(const std::string& backup, Manifest& m);
// Writes it atomically and flushed.
bool writeManifest(const std::string& backup, const Manifest& m);

// DOT4SIM_FAIL_STEP=N fails the Nth change to a partition (errno EIO), DOT4SIM_KILL_STEP=N kills
// the process before it: the tests' way to a failure or a kill at any point. True: fail now.
bool step();

// File primitives that flush what they write and follow no link.
bool copyFlushed(const std::string& from, const std::string& to, std::string* hash = nullptr);
bool writeFlushed(const std::string& path, const std::string& text);
bool renameFlushed(const std::string& from, const std::string& to);
bool unlinkFlushed(const std::string& path);
bool makeDirs(const std::string& path);
bool readText(const std::string& path, std::string& out);
// `base`/`rel` with no link on the way, the last part included.
bool noLinks(const std::string& base, const std::string& rel);

// Gives `to` the FAT attributes (hidden, system, read-only ...) of `from`, which it is to
// replace, where the mount shows them (vfat); "" or what could not be kept, for the report.
std::string keepFatAttributes(const std::string& from, const std::string& to);

enum class Way { Forward, Back };
// Finishes (Forward) or rolls back (Back) an apply a kill interrupted on `root`, as its marker
// names it, saying which on `out`. Returns 0 when there was none or it is resolved, else an exit
// status after a message on `err`. `resolved` names the backup that was resolved.
int resolveInterrupted(const std::string& root, Way way, std::ostream& out, std::ostream& err,
                       const char* command, std::string* resolved = nullptr);
// Removes new hives an apply killed before its marker left beside `hivePaths`, saying so.
void clearStaleTemps(const std::string& root, const std::vector<std::string>& hivePaths,
                     std::ostream& out, const char* command);

}  // namespace simwin::backup
