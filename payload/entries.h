#pragma once
// The payload's entry chain, read and checked whole before anything is
// unpacked: every record's bounds (format/archive_bounds.h, the checks
// kitpack's reader makes) and every stored name (the installer's rule,
// SplitRelativeName: no drive, no absolute path, no "..", no device).

#include <cstdint>
#include <string>
#include <vector>

#include "payload/host.h"
#include "payload/locate.h"

namespace ldr::payload {

struct Entry {
  std::string name;  // as stored
  std::string path;  // the parts joined with the host's separator
  std::vector<std::string> parts;
  int64_t size = 0;
  int64_t time = 0;        // seconds since 1970
  int64_t data_start = 0;  // relative to the archive's start
  int64_t packed_size = 0;
};

// Raises kDamaged for a record that does not fit the archive, kUnsafeName
// for a name that would leave the folder it is unpacked into.
std::vector<Entry> ReadEntries(PayloadReader& file, const PayloadPlace& place);

// Both paths name one file on Windows (format/stored_paths.h WindowsFileKey
// for each part).
bool SameWindowsPath(const std::vector<std::string>& a, const std::vector<std::string>& b);

}  // namespace ldr::payload
