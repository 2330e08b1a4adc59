#include "format/pe/headers.h"

namespace ldr {

namespace {

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kNewHeaderField = 0x3C;  // e_lfanew
constexpr uint64_t kSignatureAndFileHeader = 4 + 20;
constexpr uint32_t kPe32Magic = 0x10B;
constexpr uint32_t kPe32PlusMagic = 0x20B;
// Where the data directories begin in the optional header.
constexpr uint64_t kPe32Directories = 96;
constexpr uint64_t kPe32PlusDirectories = 112;
constexpr uint64_t kMostOptionalBytes = kPe32PlusDirectories + kPeMaxDirectories * kPeDirectorySize;

// The fields of the optional header's fixed part; `opt` holds at least its
// first `directories` bytes.
void DecodeOptional(const unsigned char* opt, PeHeaders& h) {
  h.size_of_initialized_data = GetU32(opt + 8);
  h.section_alignment = GetU32(opt + 32);
  h.file_alignment = GetU32(opt + 36);
  h.size_of_image = GetU32(opt + 56);
  h.size_of_headers = GetU32(opt + 60);
  h.subsystem = GetU16(opt + 68);
  h.initialized_data_offset = h.optional_offset + 8;
  h.size_of_image_offset = h.optional_offset + 56;
  h.checksum_offset = h.optional_offset + 64;
}

// Only the directories that the count, the header's size and the bytes read
// all cover.
void DecodeDirectories(const unsigned char* opt, uint64_t held, uint64_t directories,
                       PeHeaders& h) {
  const uint64_t room = (h.optional_size - directories) / kPeDirectorySize;
  const uint32_t declared = GetU32(opt + directories - 4);
  h.directory_count = static_cast<uint32_t>(declared < room ? declared : room);
  const uint64_t in_file = (held - directories) / kPeDirectorySize;
  uint64_t read = h.directory_count < kPeMaxDirectories ? h.directory_count : kPeMaxDirectories;
  if (read > in_file) read = in_file;
  h.directories_read = static_cast<uint32_t>(read);
  for (uint32_t i = 0; i < h.directories_read; ++i) {
    const unsigned char* d = opt + directories + uint64_t{i} * kPeDirectorySize;
    h.directories[i] = {GetU32(d), GetU32(d + 4)};
  }
}

}  // namespace

std::optional<uint64_t> PeSignatureOffset(ByteSource& file, uint64_t file_size) {
  SourceReader bytes(file, 0, file_size);
  unsigned char dos[kDosHeaderSize];
  if (!bytes.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
  const uint64_t pe = GetU32(dos + kNewHeaderField);
  unsigned char signature[4];
  if (!bytes.Read(pe, signature, sizeof signature) || signature[0] != 'P' || signature[1] != 'E' ||
      signature[2] != 0 || signature[3] != 0)
    return std::nullopt;
  return pe;
}

std::optional<PeHeaders> ReadPeHeaders(ByteSource& file, uint64_t file_size) {
  const std::optional<uint64_t> pe = PeSignatureOffset(file, file_size);
  if (!pe) return std::nullopt;
  SourceReader bytes(file, 0, file_size);
  unsigned char head[kSignatureAndFileHeader + 2];  // with the optional header's magic
  if (!bytes.Read(*pe, head, sizeof head)) return std::nullopt;
  PeHeaders h;
  h.machine = GetU16(head + 4);
  h.section_count = GetU16(head + 6);
  h.optional_size = GetU16(head + 20);
  h.characteristics = GetU16(head + 22);
  h.section_count_offset = *pe + 6;
  h.optional_offset = *pe + kSignatureAndFileHeader;
  h.section_table_offset = h.optional_offset + h.optional_size;
  const uint32_t magic = GetU16(head + kSignatureAndFileHeader);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return std::nullopt;
  h.pe32_plus = magic == kPe32PlusMagic;
  const uint64_t directories = h.pe32_plus ? kPe32PlusDirectories : kPe32Directories;
  if (h.optional_size < directories) return std::nullopt;

  unsigned char opt[kMostOptionalBytes];
  uint64_t held = h.optional_size < kMostOptionalBytes ? h.optional_size : kMostOptionalBytes;
  const uint64_t rest = file_size - h.optional_offset;  // the signature lies inside the file
  if (held > rest) held = rest;
  if (held < directories || !bytes.Read(h.optional_offset, opt, held)) return std::nullopt;
  DecodeOptional(opt, h);
  h.directories_offset = h.optional_offset + directories;
  DecodeDirectories(opt, held, directories, h);
  return h;
}

PeSecurityEntry ReadPeSecurityEntry(ByteSource& file, uint64_t file_size) {
  PeSecurityEntry entry;
  const std::optional<PeHeaders> h = ReadPeHeaders(file, file_size);
  if (!h) return entry;
  const std::optional<PeDirectory> security = h->Directory(kPeSecurityDirectory);
  if (!security) return entry;
  entry.found = true;
  entry.pe32_plus = h->pe32_plus;
  entry.checksum_offset = h->checksum_offset;
  entry.entry_offset = h->DirectoryOffset(kPeSecurityDirectory);
  entry.table_offset = security->address;
  entry.table_size = security->size;
  return entry;
}

}  // namespace ldr
