#include <string>
#include <vector>

#include "format/bytes.h"
#include "format/pe/authenticode.h"
#include "kitpack/host/files.h"
#include "kitpack/kit/reader.h"
#include "kitpack/kit_error.h"

namespace kitpack {

namespace {

// Real signatures, nested ones and time stamps included, take a few KiB; a
// larger first entry is refused rather than read into memory.
constexpr uint32_t kMostSignatureBytes = uint32_t{16} << 20;

// The table's first entry as its header says, as far as the table holds it,
// so that the reader sees a claim past the table for what it is.
std::vector<unsigned char> FirstEntry(const ReadableFile& file, const SignatureInfo& s) {
  const auto offset = static_cast<uint64_t>(s.table_offset);
  const auto table_size = static_cast<uint64_t>(s.table_size);
  if (table_size < ldr::kWinCertificateHeaderSize) return file.Range(offset, table_size);
  std::vector<unsigned char> header = file.Range(offset, ldr::kWinCertificateHeaderSize);
  const uint32_t length = ldr::GetU32(header.data());
  if (length > kMostSignatureBytes)
    throw KitError("signature: its first entry claims " + std::to_string(length) +
                   " bytes; kitpack reads signatures of up to 16 MiB");
  if (length <= ldr::kWinCertificateHeaderSize) return header;
  return file.Range(offset, length < table_size ? length : table_size);
}

}  // namespace

void CheckAuthenticode(KitInfo& kit) {
  if (!kit.signature.present) return;
  ReadableFile file(kit.path);
  const std::vector<unsigned char> entry = FirstEntry(file, kit.signature);
  const ldr::SignedImageDigest held = ldr::ReadSignedImageDigest(entry.data(), entry.size());
  if (!held.refused.empty())
    throw KitError(
        "signature: the certificate table holds no Authenticode signature kitpack can "
        "read: " +
        held.refused);
  const ldr::ImageHash computed =
      ldr::AuthenticodeImageHash(file, static_cast<uint64_t>(kit.file_size), held.algorithm);
  if (!computed.refused.empty())
    throw KitError("signature: the kit's Authenticode hash cannot be computed: " +
                   computed.refused);
  kit.signature.authenticode =
      AuthenticodeCheck{ldr::DigestAlgorithmName(held.algorithm), computed.digest == held.digest};
  kit.signature.table_fault =
      ldr::CertificateTableFault(file, static_cast<uint64_t>(kit.signature.table_offset),
                                 static_cast<uint64_t>(kit.signature.table_size));
}

}  // namespace kitpack
