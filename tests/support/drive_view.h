// The active machine's drives as the run sees them before its commit: "C:/WINDOWS/x.dll" with
// the host's exact spelling of the last component, as fs::exists() would check it.
#pragma once

#include <algorithm>
#include <string>

#include "model/drives.h"

namespace driveview {

inline simwin::ResolvedPath find(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    simwin::ResolvedPath r = simwin::machine().run.files->resolve(path, "C:\\");
    std::string leaf = path.substr(path.find_last_of('\\') + 1);
    if (r.exists && !r.isRoot && r.name != leaf) r.exists = false;
    return r;
}

inline bool exists(const std::string& path) { return find(path).exists; }
inline bool isDirectory(const std::string& path) { return find(path).isDirectory; }
inline std::string read(const std::string& path) {
    std::string out;
    simwin::machine().run.files->readFile(find(path), out);
    return out;
}

}  // namespace driveview
