#include "kitpack/kit/sign_step.h"

#include <zlib.h>

#include <cstring>

#include "format/trailer_location.h"
#include "kitpack/host/process.h"
#include "kitpack/kit/kit_digest.h"
#include "kitpack/kit/reader.h"
#include "kitpack/pe/signing.h"

namespace kitpack {
namespace {

// CRC-32 of a range of a file; with `signing_fields`, the fields a signing
// tool rewrites read as zero bytes.
uint32_t RangeCrc(const std::string& path, uint64_t offset, uint64_t length,
                  bool signing_fields = false) {
  ReadableFile f(path);
  const std::vector<Hole> holes = signing_fields ? SigningFields(f, f.Size()) : std::vector<Hole>{};
  uLong crc = crc32(0, nullptr, 0);
  ReadWithHoles(f, offset, length, holes, [&](const unsigned char* data, size_t n) {
    crc = crc32(crc, data, static_cast<uInt>(n));
  });
  return static_cast<uint32_t>(crc);
}

}  // namespace

void Sign(PendingOutput& out, SignFolder& folder, const std::string& command,
          const std::function<void(const std::string&)>& check) {
  const std::vector<std::string> words = SplitCommand(command);
  out.MoveTo(folder.kit());
  const std::vector<std::string> argv = FillPlaceholders(words, folder.kit(), folder.signed_copy());
  const std::string outcome = RunProgram(argv);
  if (!outcome.empty())
    throw KitError("the sign command " + argv[0] + " " + outcome + "; no kit was written");
  if (NamesOutput(words)) {
    if (!IsRegularFile(folder.signed_copy()))
      throw KitError("the sign command left no signed copy at {out} (" + folder.signed_copy() +
                     ")");
    RenameFile(folder.signed_copy(), out.TempPath());
  }
  check(out.TempPath());
}

KitSums Sums(const std::string& path, uint64_t archives_start, uint64_t trailer_offset) {
  return {RangeCrc(path, 0, archives_start, true),
          RangeCrc(path, archives_start, trailer_offset - archives_start)};
}

void CheckSignedKit(const std::string& path, int64_t trailer_offset,
                    const unsigned char (&trailer)[ldr::kTrailerSize], uint64_t archives_start,
                    const KitSums& sums) {
  const std::string fault = "the signed kit does not read back: ";
  ReadableFile f(path);
  const ldr::TrailerLocation at = ldr::LocateTrailer(f, f.Size());
  if (!at.before_certificates)
    throw KitError(
        fault +
        "it does not end in a certificate table named by its security entry (was it signed?)");
  if (at.offset != trailer_offset)
    throw KitError(fault + "its trailer moved from byte " + std::to_string(trailer_offset) +
                   " to " + std::to_string(at.offset));
  const std::vector<unsigned char> now =
      f.Range(static_cast<uint64_t>(at.offset), ldr::kTrailerSize);
  if (std::memcmp(now.data(), trailer, ldr::kTrailerSize) != 0)
    throw KitError(fault + "its trailer changed");
  const KitSums now_sums = Sums(path, archives_start, static_cast<uint64_t>(trailer_offset));
  if (now_sums.archives != sums.archives) throw KitError(fault + "its archives changed");
  if (now_sums.image != sums.image)
    throw KitError(fault +
                   "its loader image changed beyond the PE checksum and the security entry");
  try {
    ReadKit(path, true);
  } catch (const KitError& e) {
    throw KitError(fault + e.what());
  }
}

}  // namespace kitpack
