// What the partition's reader shares with each registry file format's own unit: the NT hive
// (nthive.cpp, through libhivex) and the 95/98 file (creg.cpp, through libcreg and this
// project's own editor). Each unit checks, reads and edits its format; hive.cpp picks one.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "model/registry.h"

namespace simwin {

struct HiveFile;
class RegistryFileEdit;

constexpr unsigned kMaxDepth = 512;  // Windows' own limit of nested keys

// "" when `f` is a file of its format that its library can read, else why not.
std::string checkNt(const HiveFile& f);
std::string check9x(const HiveFile& f);
// Adds the file's keys below its key path; false after a message naming the file.
bool readNt(const HiveFile& f, Registry& r, std::ostream& warnings, std::ostream& err);
bool readCreg(const HiveFile& f, Registry& r, std::ostream& warnings, std::ostream& err);
// The file opened for editing; null after `why`.
std::unique_ptr<RegistryFileEdit> editNtHive(const HiveFile& f, std::string& why);
std::unique_ptr<RegistryFileEdit> editCregFile(const HiveFile& f, std::string& why);

// The key `keyPath` ("HKEY_LOCAL_MACHINE\\SYSTEM"), made where missing.
Registry::Key* keyAt(Registry& r, const std::string& keyPath);
// UTF-8 as UTF-16LE; an invalid byte becomes U+FFFD.
std::string utf8ToUtf16(const char* s, size_t n);
bool validUtf8(const std::string& s);
// Whether the image's registry.reg can hold a key or value name (no line break); if not, says
// so as a warning naming `file`, the key it is in, and `what` is left out.
bool fitsImage(const std::string& name, std::ostream& warnings, const std::string& file,
               const Registry& r, const Registry::Key* key, const char* what);

}  // namespace simwin
