#pragma once
// The bounds every reader of an archive's entry chain checks before it
// trusts a record: kitpack's reader and the payload library call these, so
// a record one of them accepts the other accepts too. Offsets are relative
// to the archive's first byte; sizes are the archive's length in bytes.

#include <cstdint>

#include "format/records.h"

namespace ldr {

// The most entries an archive of `archive_size` bytes can hold: every entry
// needs a header of its own behind the 5-byte archive header. A file count
// beyond this is a damaged or hostile archive, and a walk that believed it
// would loop without end.
int64_t MaxEntriesIn(int64_t archive_size);

// The 164-byte header at `offset` lies wholly inside the archive.
bool EntryHeaderInside(int64_t offset, int64_t archive_size);

// The entry's stream lies inside the archive (DataStart..DataEnd, the last
// byte included, at least one byte long).
bool EntryDataInside(const ArchiveEntry& entry, int64_t archive_size);

// The bytes of the entry's stream: DataEnd - DataStart + 1. Only meaningful
// once EntryDataInside holds.
inline int64_t PackedSize(const ArchiveEntry& entry) {
  return int64_t{entry.data_end} - entry.data_start + 1;
}

// A range the trailer names (first byte, last byte, both absolute) lies
// before the trailer at `trailer_offset` and is not empty.
bool RangeBeforeTrailer(int32_t first, int32_t last, int64_t trailer_offset);

}  // namespace ldr
