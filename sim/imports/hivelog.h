// A dirty NT hive recovered from its transaction logs as Windows recovers it when it loads the
// hive: the old log format (a copy of the base block, a dirty vector, dirty pages: NT 4 to
// Windows 7) and the new one (log entries with sequence numbers and hashes: Windows 8.1 and
// later), as Maxim Suhanov's description of the regf format ([Suhanov REGF]) has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace simwin {

struct Partition;

struct LogInput {
    std::string name;   // as messages show it: "SYSTEM.LOG1"
    std::string bytes;  // the whole file
};

// What became of one log.
struct LogUse {
    std::string name;
    bool applied = false;
    uint32_t entries = 0;  // log entries applied (new format)
    uint64_t pages = 0;    // pages written into the hive: 512 bytes each in the old format
    uint64_t bytes = 0;
    std::string why;  // why it was not used, or why it stopped part-way
};

struct RecoveryReport {
    bool dirty = false;
    bool newFormat = false;
    bool baseFromLog = false;         // the hive's base block was damaged and came from a log
    uint32_t sequence = 0;            // both sequence numbers of the recovered base block
    uint32_t gapFrom = 0, gapTo = 0;  // sequence numbers no log holds: Windows wrote them already
    std::vector<LogUse> logs;         // one per log given, in the same order
    std::vector<uint32_t> healed;     // hive bins a log left invalid, made empty as Windows does
    // "SYSTEM.LOG1 (1 log entry, 5 pages, 20 KiB) and ...; not used: SYSTEM.LOG (empty)"
    std::string summary() const;
};

// Whether a hive's base block asks for recovery: sequence numbers that differ or a wrong
// checksum. False for what is no hive at all.
bool hiveIsDirty(const std::string& hive);

// Recovers the primary file `hive` from `logs`, given in the order Windows tries them (.LOG1,
// .LOG2, .LOG). Each log is checked as Windows checks it (its base block's checksum, file type,
// timestamp and sequence numbers against the hive's; in the new format each entry's hashes and
// sequence); a log that does not fit is not used and its LogUse says why. The recovered base
// block is clean, with the sequence numbers of Windows' first write after recovery. Returns ""
// when recovered (or clean already); else why not, with `hive` unchanged.
std::string recoverHive(std::string& hive, const std::vector<LogInput>& logs,
                        RecoveryReport& report);

// Marvin32 of `size` bytes, both halves of its state (p1 high, p0 low), and the seed of log
// entries' hashes.
uint64_t marvin32(const void* data, size_t size, uint64_t seed);
constexpr uint64_t kLogEntrySeed = 0x82EF4D887A4E55C5ull;

// Bytes as a file that only this process sees, for libraries that open a path; removed with it.
class PrivateFile {
  public:
    explicit PrivateFile(const std::string& bytes);  // ok() false with errno set on failure
    ~PrivateFile();
    PrivateFile(const PrivateFile&) = delete;
    PrivateFile& operator=(const PrivateFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
    bool named_ = false;  // a file of the temporary folder, where memfd_create is missing
};

// Each dirty NT hive of `p` recovered in memory from the logs beside it (the partition is only
// read); `notes` says which logs and how many pages. A hive no log recovers is refused by name
// with what is missing or unusable, unless `readStale`: then it is read as it is and named in
// `stale`. False after a message on `err`.
// `forApply`: the refusal says that apply never writes such a hive, and that nothing changed.
bool recoverHives(Partition& p, bool readStale, std::vector<std::string>& notes,
                  std::vector<std::string>& stale, std::ostream& err, bool forApply = false);

}  // namespace simwin
