#include "format/archive_bounds.h"

namespace ldr {

int64_t MaxEntriesIn(int64_t archive_size) {
  const int64_t room = archive_size - static_cast<int64_t>(kHeaderSize);
  return room < 0 ? 0 : room / static_cast<int64_t>(kEntrySize);
}

bool EntryHeaderInside(int64_t offset, int64_t archive_size) {
  return offset >= 0 && offset <= archive_size - static_cast<int64_t>(kEntrySize);
}

bool EntryDataInside(const ArchiveEntry& entry, int64_t archive_size) {
  return entry.data_start >= 0 && entry.data_end >= entry.data_start &&
         entry.data_end < archive_size;
}

bool RangeBeforeTrailer(int32_t first, int32_t last, int64_t trailer_offset) {
  return first >= 0 && last >= first && last < trailer_offset;
}

}  // namespace ldr
