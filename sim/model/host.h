// Host file primitives for the image's folders. None follows a link: a link is handled as itself.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace simwin {

bool lstatOk(const std::string& p, struct stat& st);
bool isDir(const std::string& p);
bool existsNoFollow(const std::string& p);
// The names in a folder, "." and ".." left out, sorted; empty when it cannot be read.
std::vector<std::string> entries(const std::string& dir);
// drive_a ... drive_z
bool isDriveName(const std::string& n);
void removeTree(const std::string& p);
std::string errnoText();
std::string parentOf(const std::string& p);
int createExclusive(const std::string& p, mode_t mode = 0644);
bool writeAll(int fd, const char* data, size_t size);
bool copyInto(const std::string& from, int out);
void syncPath(const std::string& p, bool directory);

}  // namespace simwin
