// Writing the records: kitpack and the tests build kits with these; the
// loader only reads, so they are kept out of its objects.
#include <cstring>

#include "format/records.h"

namespace ldr {

void EncodeTrailer(const ArchiveTrailer& t, unsigned char (&bytes)[kTrailerSize]) {
  std::memcpy(bytes, t.magic.data(), 16);
  PutInt32(bytes + 16, t.archive_start);
  PutInt32(bytes + 20, t.archive_end);
  PutInt32(bytes + 24, t.second_archive_start);
  PutInt32(bytes + 28, t.second_archive_end);
  std::memcpy(bytes + 32, t.reserved.data(), 24);
}

ArchiveTrailer MakeSelfExtractingTrailer(int32_t archive_start, int32_t archive_end,
                                         int32_t second_archive_start, int32_t second_archive_end) {
  ArchiveTrailer t;
  SetShortString(t.magic, kSelfExtractingMark);
  t.archive_start = archive_start;
  t.archive_end = archive_end;
  t.second_archive_start = second_archive_start;
  t.second_archive_end = second_archive_end;
  return t;
}

void EncodeEntry(const ArchiveEntry& e, unsigned char (&bytes)[kEntrySize]) {
  PutInt32(bytes + 0, e.reserved_one);
  PutDouble(bytes + 4, e.file_time);
  PutInt32(bytes + 12, e.reserved_after_time);
  PutInt32(bytes + 16, e.data_end);
  std::memcpy(bytes + 20, e.stored_name.data(), e.stored_name.size());
  PutInt32(bytes + 124, e.next_header);
  PutInt32(bytes + 128, e.unpacked_size);
  PutInt32(bytes + 132, e.data_start);
  PutInt32(bytes + 136, e.reserved_after_start);
  PutU8(bytes + 140, e.reserved_before_version);
  std::memcpy(bytes + 141, e.file_version.data(), e.file_version.size());
}

}  // namespace ldr
