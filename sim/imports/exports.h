// What a real machine's registry exports give an image: the registry, and the settings of
// machine.ini [system] read off it.
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "model/registry.h"

namespace simwin {

// machine.ini as it will be written: sections in first-use order, keys in theirs.
struct Ini {
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections;
    void set(const std::string& section, const std::string& key, const std::string& value);
    std::string get(const std::string& section, const std::string& key) const;
    std::string str() const;
};

// What [system] and the listings' code page come to, with where each came from.
struct Derived {
    Ini ini;
    unsigned oemCodePage = 437;
    std::vector<std::string> notes;  // "derived: ..." lines
    // [system] keys left to machine.ini's defaults, and why: the default may hang on the
    // platform, which --set can still change.
    std::vector<std::pair<std::string, std::string>> assumed;
};

// [system] and the listings' code page, from the version and code-page values of `r`.
Derived derive(const Registry& r);

// The whole of a host file; false, with errno set, when it cannot be read (EISDIR for a folder).
bool readFile(const std::string& path, std::string& out);

// Merges the export `file` into `into`, leniently, as regedit imports it. Returns why it was not
// read ("" when it was): it cannot be read, or it is a dir /s /b listing.
std::string readExport(Registry& into, const std::string& file, std::ostream& warnings);

}  // namespace simwin
