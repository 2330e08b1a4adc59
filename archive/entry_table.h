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

}  // namespace ldr
