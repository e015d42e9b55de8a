// registry.reg: the registry as REGEDIT4 text, and the REGEDIT4 / 5.00 exports regedit writes.
#pragma once

#include <iosfwd>
#include <map>
#include <string>

#include "model/registry.h"

namespace simwin {

// Replaces the contents of `r` with a REGEDIT4 / 5.00 text. Throws ImageError(fileName, line,
// ...), and `r` stays as it was. Warnings go to `warnings` (standard error when null).
void loadRegFile(Registry& r, const std::string& text, const std::string& fileName,
                 std::ostream* warnings = nullptr);
// Adds a REGEDIT4 / 5.00 text to `r`, as regedit imports one: later values win and [-KEY]
// deletes. Lenient (dot4sim import): a line the strict reader refuses is named in a warning and
// skipped or, as regedit does, read anyway; nothing throws. Strict: as load, but a refused file
// leaves what it read so far.
void readRegFile(Registry& r, const std::string& text, const std::string& fileName,
                 std::ostream& warnings, bool lenient);
// What of a line the code page cannot hold: how many characters, the first three named.
struct LostCharacters {
    size_t count = 0;
    std::string codes;  // " U+041E U+0444 U+0438"
};
// UTF-16LE text in the active code page, as the machine's A functions give it: what the code page
// cannot hold becomes '?', warned about once per line of `file` with the count; with `held`, such
// lines are left to the caller there instead. `line` 0: the text is the whole file, whose lines
// are counted; else all of it is on that line.
std::string utf16ToAnsi(const char* p, size_t n, const std::string& file, int line,
                        std::ostream& warnings, std::map<int, LostCharacters>* held = nullptr);
// Writes the whole registry, depth first in enumeration order: REGEDIT4 in the code page or, on
// NT when a name is one the code page cannot hold, "Windows Registry Editor Version 5.00" in
// UTF-16LE, every name exact.
void writeRegFile(const Registry& r, std::ostream& out);

}  // namespace simwin
