// A Windows partition as import reads it: its Windows directory, its registry files (NT hives
// through libhivex, 95/98 SYSTEM.DAT and USER.DAT through libcreg) and its tree of files.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace simwin {

class Registry;
class PrivateFile;

struct HiveFile {
    std::string name;     // "SYSTEM", "SYSTEM.DAT"
    std::string host;     // host path
    std::string keyPath;  // where it lands: "HKEY_LOCAL_MACHINE\\SYSTEM"
    HiveFile(std::string n, std::string h, std::string k)
        : name(std::move(n)), host(std::move(h)), keyPath(std::move(k)) {}
    std::shared_ptr<const PrivateFile> recovered;  // a dirty hive recovered from its logs
    bool stale = false;                            // dirty, and read as it is
    // What libhivex reads: the recovered copy, or the file itself.
    const std::string& readPath() const;
};

struct Partition {
    std::string root;     // host path of the partition's root
    std::string windows;  // the Windows directory's host path
    bool nt = true;
    std::vector<HiveFile> hives;
};

// The partition's root as given on the command line: without trailing slashes, and a link
// there resolved (only there).
std::string partitionRoot(std::string given);
// Finds the one Windows directory of `root` and its registry files, names found without case
// and no link followed; false after a message naming what is wrong.
// `windir`, when given, names the Windows directory to take (for a root holding several).
bool openPartition(const std::string& root, Partition& p, std::ostream& err,
                   const std::string& windir = "");
// Checks each registry file as its library and Windows' own header see it, before anything is
// read; false after a message naming the file.
// `outcome` ends the message: what the caller leaves undone.
bool checkHives(const Partition& p, std::ostream& err, const char* outcome = "nothing was made");
// Adds every registry file to `r`, names and strings in the active code page; a character it
// cannot hold is warned about with the key it is in.
bool readHives(const Partition& p, Registry& r, std::ostream& warnings, std::ostream& err);

// A file of the partition, by its path relative to the root (host spelling, '/' separated).
struct PartitionEntry {
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    bool folder = false;
    std::string hash;  // the registry files': SHA-256, so that apply sees any change
};
using PartitionTree = std::map<std::string, PartitionEntry>;

// Every file and folder below `root`, links and special files left out with a warning, and the
// backups apply makes skipped.
bool walkPartition(const std::string& root, PartitionTree& tree, std::ostream& warnings);
// Records each registry file's hash in `tree`.
void hashHives(const Partition& p, PartitionTree& tree);
// The tree as `cmd /u /c dir /s /b X:\` writes it (UTF-16LE with its BOM).
std::string partitionListing(const PartitionTree& tree, char drive);
// A relative host path as a Windows path on `drive`, in the active code page.
std::string windowsPath(const std::string& relative, char drive);
// machine.ini [source]: the root and each file's size and time, for apply to compare.
std::string sourceSection(const std::string& root, const PartitionTree& tree, char drive);
// The first difference between [source] of `iniText` and the tree now; empty when none.
std::string partitionChange(const std::string& iniText, const PartitionTree& tree, char drive);

// What dot4sim import --root takes from a partition.
struct PartitionImport {
    Partition partition;
    PartitionTree tree;
    bool staleHives = false;         // a dirty hive no log recovers is read as it is
    std::string windir;              // the Windows directory to take; "" for the only one
    std::vector<std::string> notes;  // which logs recovered which hive
    std::vector<std::string> stale;  // the hives read as they are, for machine.ini [source]
    // Finds the Windows directory, recovers dirty hives from their logs, checks the registry
    // files and lists the tree.
    bool open(const std::string& root, std::ostream& err);
    bool read(Registry& r, std::ostream& warnings, std::ostream& err) const {
        return readHives(partition, r, warnings, err);
    }
    std::string listing(const std::string& windowsDirectory) const;
    std::string source(const std::string& windowsDirectory) const;
};

// SHA-256 of a host file (no link followed), in hex, and its size; "" with errno set when it
// cannot be read. textSha256: of bytes in memory.
std::string fileSha256(const std::string& host, uint64_t* size = nullptr);
std::string textSha256(const std::string& text);

// UTF-16LE <-> the active code page and UTF-8, for names hivex takes and gives.
std::string codePageToUtf16(const std::string& s);
std::string codePageToUtf8(const std::string& s);

// A value as libhivex writes it; `type` may be any number, as Windows allows.
struct HiveValue {
    std::string name, data;  // UTF-8 name; the data as the hive holds it
    uint32_t type;
};
// Replaces the values of a node of a hive open for writing; false with errno set.
bool setHiveValues(void* hive, size_t node, const std::vector<HiveValue>& values);

// An empty NT hive (base block and one bin holding the root key) whose header names `name`.
std::string emptyHive(const std::string& name);
// Writes `keyPath` of `r` with its sub-tree into a new hive file at `path` through libhivex.
bool writeHive(const std::string& path, const std::string& name, const Registry& r,
               const std::string& keyPath, std::string& why);

}  // namespace simwin
