#include "format/trailer_location.h"

#include <cstring>

#include "format/records.h"

namespace ldr {

TrailerLocation LocateTrailer(ByteSource& file, uint64_t file_size) {
  TrailerLocation plain;
  if (file_size >= kTrailerSize) plain.offset = static_cast<int64_t>(file_size - kTrailerSize);

  const PeSecurityEntry pe = ReadPeSecurityEntry(file, file_size);
  if (!pe.NamesTable()) return plain;
  const uint64_t table = pe.table_offset;
  const uint64_t table_end = table + pe.table_size;  // both 32-bit: no wrap in 64 bits
  if (table_end != file_size || pe.table_size < kMinCertificateTable || table < kTrailerSize)
    return plain;

  // The bytes before the table: a trailer and at most 7 bytes of padding.
  unsigned char before[kTrailerSize + kMaxCertificatePadding];
  const uint64_t room = table < sizeof before ? table : sizeof before;
  if (!SourceReader(file, 0, file_size).Read(table - room, before, room)) return plain;

  TrailerLocation found;
  found.before_certificates = true;
  found.certificate_offset = table;
  found.certificate_size = pe.table_size;
  found.offset = static_cast<int64_t>(table - kTrailerSize);
  for (uint64_t padding = 0; padding <= kMaxCertificatePadding && padding + kTrailerSize <= room;
       ++padding) {
    if (padding > 0 && before[room - padding] != 0) break;  // padding is zero bytes only
    unsigned char record[kTrailerSize];
    std::memcpy(record, before + (room - padding - kTrailerSize), kTrailerSize);
    if (IsSelfExtracting(DecodeTrailer(record))) {
      found.offset = static_cast<int64_t>(table - padding - kTrailerSize);
      found.padding = padding;
      return found;
    }
  }
  return found;
}

}  // namespace ldr
