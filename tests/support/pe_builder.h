#pragma once
// Small PE images built in memory, and signatures laid out the way a signing
// tool lays them out, for the tests of the trailer finder and of everything
// that reads or writes signed kits. No sections, nothing runnable: only the
// headers those readers look at.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ldr::testing {

enum class PeKind { kPe32, kPe32Plus };

inline constexpr size_t kPeHeaderOffset = 0x80;  // e_lfanew of every image made here
inline constexpr size_t kPeOptionalHeader = kPeHeaderOffset + 24;
inline constexpr size_t kPeChecksum = kPeOptionalHeader + 64;

size_t PeSecurityEntryOffset(PeKind kind);

// DOS header, "PE\0\0", file header and an optional header with 16 data
// directories, all zero, then filler up to size bytes. CheckSum is
// 0x12345678 so that a test can see it cleared.
std::string PeImage(PeKind kind, size_t size = 1024);

void PutU16(std::string& bytes, size_t offset, uint32_t value);
void PutU32(std::string& bytes, size_t offset, uint32_t value);
uint32_t GetU32(const std::string& bytes, size_t offset);

void SetSecurityEntry(std::string& image, PeKind kind, uint32_t offset, uint32_t size);

// file, then padding zero bytes, then a certificate table of table_size
// bytes (a WIN_CERTIFICATE header and filler), named by the security entry.
std::string AppendCertificateTable(std::string file, PeKind kind, size_t padding,
                                   size_t table_size = 1000);
// The same with the padding a signing tool adds: up to the next multiple of 8.
std::string SignLikeATool(std::string file, PeKind kind, size_t table_size = 1000);

}  // namespace ldr::testing
