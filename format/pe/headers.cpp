#include "format/pe/headers.h"

namespace ldr {

namespace {

constexpr uint64_t kSignatureAndFileHeader = 4 + 20;
constexpr uint32_t kPe32Magic = 0x10B;
constexpr uint32_t kPe32PlusMagic = 0x20B;
// Where the data directories begin in the optional header.
constexpr uint64_t kPe32Directories = 96;
constexpr uint64_t kPe32PlusDirectories = 112;
constexpr uint64_t kMostOptionalBytes = kPe32PlusDirectories + kPeMaxDirectories * kPeDirectorySize;

// The optional header's fixed part and its directories: `opt` holds `held`
// bytes, at least up to the directories. Only the directories that the count,
// the header's size and the bytes held all cover are taken.
void DecodeOptional(const unsigned char* opt, uint64_t held, uint64_t directories, PeHeaders& h) {
  h.size_of_initialized_data = GetU32(opt + 8);
  h.section_alignment = GetU32(opt + 32);
  h.file_alignment = GetU32(opt + 36);
  h.size_of_image = GetU32(opt + 56);
  h.size_of_headers = GetU32(opt + 60);
  h.subsystem = GetU16(opt + 68);
  h.initialized_data_offset = h.optional_offset + 8;
  h.size_of_image_offset = h.optional_offset + 56;
  h.checksum_offset = h.optional_offset + 64;
  h.directories_offset = h.optional_offset + directories;

  const uint64_t room = (h.optional_size - directories) / kPeDirectorySize;
  const uint32_t declared = GetU32(opt + directories - 4);
  h.directory_count = static_cast<uint32_t>(declared < room ? declared : room);
  uint64_t read = (held - directories) / kPeDirectorySize;
  if (read > h.directory_count) read = h.directory_count;
  if (read > kPeMaxDirectories) read = kPeMaxDirectories;
  h.directories_read = static_cast<uint32_t>(read);
  for (uint32_t i = 0; i < h.directories_read; ++i) {
    const unsigned char* d = opt + directories + uint64_t{i} * kPeDirectorySize;
    h.directories[i] = {GetU32(d), GetU32(d + 4)};
  }
}

}  // namespace

std::optional<uint64_t> PeSignatureOffset(ByteSource& file, uint64_t file_size) {
  SourceReader bytes(file, 0, file_size);
  unsigned char dos[kPeDosHeaderSize];
  if (!bytes.Read(0, dos, sizeof dos) || !IsDosHeader(dos)) return std::nullopt;
  const uint64_t pe = GetU32(dos + kPeNewHeaderField);
  unsigned char signature[4];
  if (!bytes.Read(pe, signature, sizeof signature) || !IsPeSignature(signature))
    return std::nullopt;
  return pe;
}

bool ReadPeHeaders(ByteSource& file, uint64_t file_size, PeHeaders& h) {
  h = PeHeaders{};
  const SourceReader bytes(file, 0, file_size);
  unsigned char dos[kPeDosHeaderSize];
  if (!bytes.Read(0, dos, sizeof dos) || !IsDosHeader(dos)) return false;
  const uint64_t pe = GetU32(dos + kPeNewHeaderField);
  unsigned char head[kSignatureAndFileHeader + 2];  // with the optional header's magic
  if (!bytes.Read(pe, head, sizeof head) || !IsPeSignature(head)) return false;
  const uint32_t magic = GetU16(head + kSignatureAndFileHeader);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return false;
  h.pe32_plus = magic == kPe32PlusMagic;
  h.machine = GetU16(head + 4);
  h.section_count = GetU16(head + 6);
  h.optional_size = GetU16(head + 20);
  h.characteristics = GetU16(head + 22);
  h.section_count_offset = pe + 6;
  h.optional_offset = pe + kSignatureAndFileHeader;
  h.section_table_offset = h.optional_offset + h.optional_size;
  const uint64_t directories = h.pe32_plus ? kPe32PlusDirectories : kPe32Directories;

  // As much of the optional header as the directories need, and the file has.
  unsigned char opt[kMostOptionalBytes];
  uint64_t held = h.optional_size < kMostOptionalBytes ? h.optional_size : kMostOptionalBytes;
  const uint64_t rest = file_size - h.optional_offset;  // the magic lies inside the file
  if (held > rest) held = rest;
  if (held < directories || !bytes.Read(h.optional_offset, opt, held)) return false;
  DecodeOptional(opt, held, directories, h);
  return true;
}

PeSecurityEntry ReadPeSecurityEntry(ByteSource& file, uint64_t file_size) {
  PeSecurityEntry entry;
  PeHeaders h;
  if (!ReadPeHeaders(file, file_size, h) || h.directories_read <= kPeSecurityDirectory)
    return entry;
  entry.found = true;
  entry.pe32_plus = h.pe32_plus;
  entry.checksum_offset = h.checksum_offset;
  entry.entry_offset = h.DirectoryOffset(kPeSecurityDirectory);
  entry.table_offset = h.directories[kPeSecurityDirectory].address;
  entry.table_size = h.directories[kPeSecurityDirectory].size;
  return entry;
}

}  // namespace ldr
