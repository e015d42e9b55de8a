// One registry file of a partition, edited in memory as a whole and written complete beside the
// original: NT hives through libhivex, 95/98 SYSTEM.DAT and USER.DAT through this project's own
// editor of their format. apply carries a run's net effect through it whatever the format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace simwin {

struct HiveFile;

struct FileValue {
    std::string name, data;  // the machine's code page, as the image holds them
    uint32_t type = 0;
    bool exact = false;  // `name` is UTF-8: one the code page cannot hold, kept as NT holds it
};

class RegistryFileEdit {
  public:
    virtual ~RegistryFileEdit() = default;
    // `names` lead from the file's root key; each returns "" or why not.
    virtual std::string remove(const std::vector<std::string>& names) = 0;
    virtual std::string create(const std::vector<std::string>& names,
                               const std::vector<FileValue>& values) = 0;
    virtual std::string set(const std::vector<std::string>& names,
                            const std::vector<FileValue>& values) = 0;
    // The whole new file at `path`, which must not exist; "" or why not (errno set).
    virtual std::string write(const std::string& path) = 0;
    // Why a new key's class does not reach the file; null when it does.
    virtual const char* withoutClass() const = 0;
};

// `f` opened for editing: an NT hive (`nt`) or a 95/98 file; null after `why`.
std::unique_ptr<RegistryFileEdit> editRegistryFile(const HiveFile& f, bool nt, std::string& why);

}  // namespace simwin
