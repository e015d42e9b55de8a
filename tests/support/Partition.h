// A Windows partition made from a machine image, as a mounted file system would show it: the
// image's drive C: and its registry in the partition's own registry files.
#pragma once

#include <map>
#include <string>

namespace simwin {
class Registry;
}

namespace testsupport {

// NT: the image's registry in system32/config/SYSTEM, SOFTWARE and DEFAULT (filled through
// libhivex), CurrentControlSet kept as the control set SYSTEM\Select names, the version values
// added. 95/98: SYSTEM.DAT and USER.DAT. `extraRegistry` (REGEDIT4 lines) is added first.
// Throws std::runtime_error.
void makePartition(const std::string& image, const std::string& root, bool nt,
                   const std::string& extraRegistry = "", unsigned codePage = 1252);

// What libcreg's own cregexport shows of a 95/98 registry file: each key path (upper case) with
// the lines it prints for the key's values. Empty when cregexport refuses the file.
std::map<std::string, std::string> cregDump(const std::string& path);

// A Windows 95/98 registry file (CREG) holding the key `keyPath` of `r` and its sub-tree.
std::string cregFile(const simwin::Registry& r, const std::string& keyPath);

}  // namespace testsupport
