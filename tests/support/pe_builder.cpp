#include "tests/support/pe_builder.h"

namespace ldr::testing {

namespace {

constexpr size_t kDirectoryCount = 16;

size_t DirectoriesOffset(PeKind kind) { return kind == PeKind::kPe32 ? 96 : 112; }

}  // namespace

void PutU16(std::string& bytes, size_t offset, uint32_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>(value >> 8 & 0xFF);
}

void PutU32(std::string& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

uint32_t GetU32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (size_t i = 4; i-- > 0;) v = v << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return v;
}

size_t PeSecurityEntryOffset(PeKind kind) {
  return kPeOptionalHeader + DirectoriesOffset(kind) + 4 * 8;
}

std::string PeImage(PeKind kind, size_t size) {
  const size_t optional_size = DirectoriesOffset(kind) + kDirectoryCount * 8;
  std::string image(size, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  PutU32(image, 0x3C, kPeHeaderOffset);
  image.replace(kPeHeaderOffset, 4, std::string("PE\0\0", 4));
  PutU16(image, kPeHeaderOffset + 4, kind == PeKind::kPe32 ? 0x14C : 0x8664);  // Machine
  PutU16(image, kPeHeaderOffset + 20,
         static_cast<uint32_t>(optional_size));  // SizeOfOptionalHeader
  PutU16(image, kPeHeaderOffset + 22, 0x0102);   // executable
  PutU16(image, kPeOptionalHeader, kind == PeKind::kPe32 ? 0x10B : 0x20B);
  PutU32(image, kPeChecksum, 0x12345678);
  PutU32(image, kPeOptionalHeader + DirectoriesOffset(kind) - 4, kDirectoryCount);
  for (size_t i = kPeOptionalHeader + optional_size; i < size; ++i)
    image[i] = static_cast<char>('a' + i % 26);
  return image;
}

void SetSecurityEntry(std::string& image, PeKind kind, uint32_t offset, uint32_t size) {
  PutU32(image, PeSecurityEntryOffset(kind), offset);
  PutU32(image, PeSecurityEntryOffset(kind) + 4, size);
}

std::string AppendCertificateTable(std::string file, PeKind kind, size_t padding,
                                   size_t table_size) {
  file.append(padding, '\0');
  const size_t table = file.size();
  std::string certificate(table_size, '\x5A');
  if (table_size >= 8) {
    PutU32(certificate, 0, static_cast<uint32_t>(table_size));  // dwLength
    PutU16(certificate, 4, 0x0200);                             // WIN_CERT_REVISION_2_0
    PutU16(certificate, 6, 0x0002);                             // PKCS#7 signed data
  }
  file += certificate;
  SetSecurityEntry(file, kind, static_cast<uint32_t>(table), static_cast<uint32_t>(table_size));
  return file;
}

std::string SignLikeATool(std::string file, PeKind kind, size_t table_size) {
  const size_t padding = (8 - file.size() % 8) % 8;
  return AppendCertificateTable(std::move(file), kind, padding, table_size);
}

}  // namespace ldr::testing
