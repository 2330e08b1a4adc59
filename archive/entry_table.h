#pragma once
// The table of entry records read from the start of an archive.

#include <array>
#include <cstdint>

#include "format/records.h"
#include "platform/platform.h"

namespace ldr {

// Slot 0 is the installation executable. Only the first `count` slots are
// filled, in archive order.
struct EntryTable {
  std::array<ArchiveEntry, kMaxFiles> entries{};
  int32_t count = 0;
};

// Reads the header at archive_start (an absolute offset in archive) and then
// follows the chain of entry records. Raises LoaderError when the archive is
// too short or holds more than kMaxFiles entries. A count of 0 or below gives
// an empty table; the caller decides whether that is a failure.
void ReadEntryTable(File& archive, int32_t archive_start, EntryTable* table);

// Visits every entry of an archive of any length (the second archive, for
// /EXTRACT), in chain order. The visitor may move the file position. Raises
// the messages of ReadEntryTable for a short archive, and the header
// message for a chain that does not move forward (which could never end).
class EntryVisitor {
 public:
  virtual void Visit(const ArchiveEntry& entry) = 0;

 protected:
  ~EntryVisitor() = default;
};
void WalkArchive(File& archive, int64_t archive_start, EntryVisitor& visitor);

}  // namespace ldr
