// simwin's registry: six roots of case-insensitive, case-preserving keys, REGEDIT4 load and save.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "machine.h"

namespace simwin {

class Registry {
public:
    Registry();
    ~Registry();

    // Replaces the contents with a REGEDIT4 / 5.00 text. Throws ImageError(fileName, line, ...).
    void load(const std::string& text, const std::string& fileName);
    // Writes the whole registry as REGEDIT4, depth first in enumeration order.
    void save(std::ostream& out) const;

    // Names of the sub-keys of a key path such as "HKEY_LOCAL_MACHINE\\System\\...", in
    // enumeration order; empty when the key is missing.
    std::vector<std::string> subkeyNames(const std::string& keyPath) const;
};

}  // namespace simwin
