#pragma once
// What goes into a kit: its inputs with their stored names, the payload
// folders expanded, and the kit's time stamps.

#include <cstdint>
#include <string>
#include <vector>

#include "format/kit_time.h"

namespace kitpack {

inline constexpr const char* kFirstArchiveFile = "setup.1";
inline constexpr const char* kSecondArchiveFile = "setup.2";
inline constexpr const char* kDefaultStoredPrefix = "C:\\KIT\\";

struct InputFile {
  std::string source;
  std::string stored_name;
};

// Days since 1899-12-30 00:00 UTC, the fraction being the time of day.
using ldr::KitTimeFromUnix;
using ldr::UnixFromKitTime;

// Stored names for a list of --payload arguments: a file is stored under its
// own name, a folder's files under their paths relative to it ("\" between
// parts), folders recursed in byte order of their relative paths. FILE=STORED
// (split at the first "=", unless the whole argument names a file) stores a
// file under the relative path STORED.
std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources);

struct PayloadOptions {
  std::vector<std::string> excludes;  // --exclude patterns (glob.h)
  bool allow_empty = false;           // a folder holding no files is refused without it
  // Symlinked folders found below a folder, which are not entered.
  std::vector<std::string>* skipped = nullptr;
};
std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources,
                                     const PayloadOptions& options);

}  // namespace kitpack
