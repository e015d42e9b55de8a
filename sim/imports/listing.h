// What dir /s /b listings give an image: the drives' paths, as empty files and folders.
#pragma once

#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

namespace simwin {

struct Listing {
    struct Entry {
        std::string path;     // below the image, in UTF-8 as first spelt: drive_c/WINDOWS/INF
        bool folder = false;  // a listed path lies below it
        bool drive = false;   // drive_X itself
    };
    std::vector<Entry> entries;  // a folder before what it holds
    // The parent's index and the name as the machine folds it -> the entry.
    std::unordered_map<std::string, size_t> index;
    size_t skipped = 0;
};

// How a listing's bytes are to be read: from its byte-order mark, else its shape (UTF-16LE as
// cmd /u writes it; valid UTF-8 with non-ASCII bytes), else the OEM code page `oem`.
struct ListingEncoding {
    std::string name;  // iconv's name
    size_t unit = 1;   // bytes of a code unit
    size_t skip = 0;   // the byte-order mark
    std::string why;   // for people: "UTF-16LE (byte-order mark)"
};
ListingEncoding listingEncoding(const std::string& raw, unsigned oem);

// Adds the listing `raw` (the file `file`) to `l`, each name split in its Unicode form and
// compared as the active code page compares it. Lines that name nothing Windows can have are
// warned about on `warnings` and skipped. Returns why the listing is refused ("" when it is
// read): a registry export, or an encoding not known here; `l` is then as it was.
std::string readListing(const std::string& raw, const std::string& file, const ListingEncoding& e,
                        Listing& l, std::ostream& warnings);

// Whether a file's first line is a path as dir /s /b writes it, not a registry export's header.
bool looksLikeListing(const std::string& raw);

}  // namespace simwin
