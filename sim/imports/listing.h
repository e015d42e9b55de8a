// What dir /s /b listings give an image: the drives' paths, as empty files and folders.
#pragma once

#include <iosfwd>
#include <map>
#include <set>
#include <string>

namespace simwin {

struct Listing {
    // Folded Windows path -> the path as first spelt; and the folded paths with something below.
    std::map<std::string, std::string> paths;
    std::set<std::string> parents;
    size_t skipped = 0;
};

// Adds the listing `raw` (the file `file`: UTF-16LE, or 8-bit in the OEM code page `oem`) to
// `l`; lines that name no path on a drive are warned about on `err` and skipped.
void readListing(const std::string& raw, const std::string& file, unsigned oem, Listing& l,
                 std::ostream& err);

// The host path in the image `machine` of a listed Windows path, each component as the first
// path through it spelt it.
std::string hostPath(const Listing& l, const std::string& machine, const std::string& folded);

}  // namespace simwin
