#include "format/records.h"

#include <cstring>

namespace ldr {

ArchiveTrailer DecodeTrailer(const unsigned char (&bytes)[kTrailerSize]) {
  ArchiveTrailer t;
  std::memcpy(t.magic.data(), bytes, 16);
  t.archive_start = GetInt32(bytes + 16);
  t.archive_end = GetInt32(bytes + 20);
  t.second_archive_start = GetInt32(bytes + 24);
  t.second_archive_end = GetInt32(bytes + 28);
  std::memcpy(t.reserved.data(), bytes + 32, 24);
  return t;
}

bool IsSelfExtracting(const ArchiveTrailer& trailer) {
  if (trailer.magic[0] != kSelfExtractingMark.size()) return false;
  return std::memcmp(trailer.magic.data() + 1, kSelfExtractingMark.data(),
                     kSelfExtractingMark.size()) == 0;
}

ArchiveHeader DecodeHeader(const unsigned char (&bytes)[kHeaderSize]) {
  ArchiveHeader header;
  header.file_count = GetInt32(bytes);
  header.multi_partition = bytes[4];
  return header;
}

ArchiveEntry DecodeEntry(const unsigned char (&bytes)[kEntrySize]) {
  ArchiveEntry e;
  e.reserved_one = GetInt32(bytes + 0);
  e.file_time = GetDouble(bytes + 4);
  e.reserved_after_time = GetInt32(bytes + 12);
  e.data_end = GetInt32(bytes + 16);
  std::memcpy(e.stored_name.data(), bytes + 20, e.stored_name.size());
  e.next_header = GetInt32(bytes + 124);
  e.unpacked_size = GetInt32(bytes + 128);
  e.data_start = GetInt32(bytes + 132);
  e.reserved_after_start = GetInt32(bytes + 136);
  e.reserved_before_version = GetU8(bytes + 140);
  std::memcpy(e.file_version.data(), bytes + 141, e.file_version.size());
  return e;
}

}  // namespace ldr
