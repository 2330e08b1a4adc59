#pragma once
// Scratch folders for kitpack's tests, on the host's own file system (a
// POSIX folder natively, the Windows temporary folder under Wine).

#include <cstdint>
#include <string>
#include <vector>

namespace kitpack::testing {

// A new, empty folder; the path has no trailing separator.
std::string MakeScratchFolder(const char* prefix);
void RemoveTree(const std::string& folder);
void MakeTestFolder(const std::string& path);
// The names in a folder, sorted; none when it is missing.
std::vector<std::string> FolderNames(const std::string& folder);
// Sets a file's length, making it when missing; the new bytes are zeros and
// take no disk where the file system allows.
void SetFileLength(const std::string& path, uint64_t length);
// Makes `link` a symbolic link to `target`; false when that fails.
bool MakeSymlink(const std::string& target, const std::string& link);
// The permission bits of a file (POSIX modes; 0 when it is missing).
unsigned FileMode(const std::string& path);

}  // namespace kitpack::testing
