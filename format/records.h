#pragma once
// The container and archive records, decoded and encoded byte by byte,
// little-endian, at fixed offsets. Shared by the loader and by kitpack so the
// layout is written down once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format/bytes.h"

namespace ldr {

inline constexpr size_t kTrailerSize = 56;
inline constexpr size_t kHeaderSize = 5;
inline constexpr size_t kEntrySize = 164;
inline constexpr int32_t kMaxFiles = 50;

// Capacities of the short-string fields (length byte not counted).
inline constexpr size_t kMagicCapacity = 15;
inline constexpr size_t kStoredNameCapacity = 103;
inline constexpr size_t kFileVersionCapacity = 22;

// The self-extracting mark: length byte 14, then these letters.
inline constexpr std::string_view kSelfExtractingMark = "SELFEXTRACTING";

// The last 56 bytes of a self-extracting file. Offsets are absolute.
struct ArchiveTrailer {
  std::array<unsigned char, 16> magic{};  // short string: length byte + 15 characters
  int32_t archive_start = 0;
  int32_t archive_end = 0;
  int32_t second_archive_start = 0;
  int32_t second_archive_end = 0;
  std::array<unsigned char, 24> reserved{};
};

ArchiveTrailer DecodeTrailer(const unsigned char (&bytes)[kTrailerSize]);
void EncodeTrailer(const ArchiveTrailer& trailer, unsigned char (&bytes)[kTrailerSize]);
// A trailer carrying the mark, with the given offsets.
ArchiveTrailer MakeSelfExtractingTrailer(int32_t archive_start, int32_t archive_end,
                                         int32_t second_archive_start, int32_t second_archive_end);

// The mark test: byte 0 is 14 and bytes 1..14 are "SELFEXTRACTING" (case
// matters). Nothing after byte 14 takes part.
bool IsSelfExtracting(const ArchiveTrailer& trailer);

// The 5 bytes at the archive start.
struct ArchiveHeader {
  int32_t file_count = 0;
  uint8_t multi_partition = 0;
};

ArchiveHeader DecodeHeader(const unsigned char (&bytes)[kHeaderSize]);

// One 164-byte entry record. Offsets are relative to the archive start.
// The loader reads none of the reserved fields; kitpack writes them as
// shown, and recognises an entry record by reserved_one (a kit cut short).
struct ArchiveEntry {
  int32_t reserved_one = 1;                      // offset 0, holds 1
  double file_time = 0;                          // offset 4, days since 1899-12-30
  int32_t reserved_after_time = 0;               // offset 12, holds 0
  int32_t data_end = 0;                          // offset 16, last byte of the stream (inclusive)
  std::array<unsigned char, 104> stored_name{};  // offset 20, short string
  int32_t next_header = 0;                       // offset 124
  int32_t unpacked_size = 0;                     // offset 128
  int32_t data_start = 0;                        // offset 132
  int32_t reserved_after_start = 0;              // offset 136, 0 or a multiple of 65,536
  uint8_t reserved_before_version = 0;           // offset 140, holds 0
  std::array<unsigned char, 23> file_version{};  // offset 141, short string
};

ArchiveEntry DecodeEntry(const unsigned char (&bytes)[kEntrySize]);
void EncodeEntry(const ArchiveEntry& entry, unsigned char (&bytes)[kEntrySize]);

// The text of a short-string field, as a view into the field. A length
// byte larger than the field holds is cut at the field's end: nothing is
// ever taken from beyond it.
template <size_t N>
std::string_view ShortStringText(const std::array<unsigned char, N>& field) {
  size_t length = field[0];
  if (length > N - 1) length = N - 1;
  return std::string_view(reinterpret_cast<const char*>(field.data() + 1), length);
}

// Fills a short-string field: length byte, characters, zero padding. Gives
// false (and leaves the field empty) when the text does not fit.
template <size_t N>
bool SetShortString(std::array<unsigned char, N>& field, std::string_view text) {
  field.fill(0);
  if (text.size() > N - 1) return false;
  field[0] = static_cast<unsigned char>(text.size());
  for (size_t i = 0; i < text.size(); ++i) field[1 + i] = static_cast<unsigned char>(text[i]);
  return true;
}

// Views into the entry: they live as long as it does.
inline std::string_view StoredNameText(const ArchiveEntry& entry) {
  return ShortStringText(entry.stored_name);
}
inline std::string_view FileVersionText(const ArchiveEntry& entry) {
  return ShortStringText(entry.file_version);
}

}  // namespace ldr
