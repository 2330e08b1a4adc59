#include "kitpack/kit/loader_copy.h"

#include <cstring>

#include "format/pe/layout.h"
#include "format/pe/manifest.h"
#include "format/pe/resources.h"
#include "format/records.h"
#include "format/trailer_location.h"
#include "kitpack/pe/branding.h"
#include "kitpack/pe/signing.h"

namespace kitpack {

void CopyLoader(PendingOutput& out, const std::vector<unsigned char>& loader) {
  out.Write(loader.data(), loader.size());
}

std::vector<unsigned char> ReadLoader(const BuildOptions& o) {
  if (SameFile(o.loader, o.output))
    throw KitError("the output " + o.output + " is also the loader");
  std::vector<unsigned char> loader = ReadWholeFile(o.loader);
  // Where the loader would look for a trailer in its own file: a signed kit
  // is refused as well as an unsigned one.
  ldr::MemoryByteSource bytes(loader.data(), loader.size());
  const ldr::TrailerLocation at = ldr::LocateTrailer(bytes, loader.size());
  if (at.offset >= 0) {
    unsigned char tail[ldr::kTrailerSize];
    std::memcpy(tail, loader.data() + at.offset, ldr::kTrailerSize);
    if (ldr::IsSelfExtracting(ldr::DecodeTrailer(tail)))
      throw KitError("the loader " + o.loader + " already carries a kit (" +
                     (at.before_certificates ? "the 56 bytes before its certificate table"
                                             : "its last 56 bytes") +
                     " hold the SELFEXTRACTING mark)");
  }
  // A kit appends to the loader, which would break the loader's own
  // signature: its copy goes in unsigned, and the kit is signed as a whole.
  // An external kit's copy is the loader unchanged, unless it is branded:
  // that voids its signature too.
  if (!o.external || o.branding.Any()) {
    const uint64_t removed = StripSignature(loader, o.loader);
    if (removed != 0 && o.notice)
      o.notice("removed the signature of " + o.loader + " (a certificate table of " +
               std::to_string(removed) +
               " bytes) from the kit's copy: data appended behind a signature breaks it; sign the "
               "finished kit");
  }
  ApplyBranding(loader, o.branding, o.loader);
  if (static_cast<int64_t>(loader.size()) > o.offset_limit)
    throw KitError("the loader " + o.loader + " is too large: offsets in a kit are signed 32-bit");
  if (o.execution_level) {
    // The level changes the loader's bytes, which breaks a signature its copy
    // still carries (an external kit's): that copy goes in unsigned too.
    if (o.external) {
      const uint64_t removed = StripSignature(loader, o.loader);
      if (removed != 0 && o.notice)
        o.notice("removed the signature of " + o.loader + " (a certificate table of " +
                 std::to_string(removed) +
                 " bytes) from the kit's copy: writing the execution level breaks it; sign the "
                 "kit's copy of the loader");
    }
    SetLoaderExecutionLevel(loader, *o.execution_level, o.loader);
    // A branded loader's checksum was made right by the resource writer:
    // it stays right.
    if (o.branding.Any()) ldr::UpdatePeChecksum(loader);
  }
  return loader;
}

void CheckSignedLoader(const std::string& path) {
  std::vector<unsigned char> image = ReadWholeFile(path);
  ldr::MemoryByteSource bytes(image.data(), image.size());
  const ldr::TrailerLocation at = ldr::LocateTrailer(bytes, image.size());
  const std::string fault = "the signed loader " + path + " does not read back: ";
  if (!at.before_certificates)
    throw KitError(
        fault +
        "it does not end in a certificate table named by its security entry (was it signed?)");
  unsigned char tail[ldr::kTrailerSize];
  std::memcpy(tail, image.data() + at.offset, ldr::kTrailerSize);
  if (ldr::IsSelfExtracting(ldr::DecodeTrailer(tail)))
    throw KitError(fault + "it now carries the SELFEXTRACTING mark and would not look for setup.1");
}

void SetLoaderExecutionLevel(std::vector<unsigned char>& loader, ldr::ExecutionLevel level,
                             const std::string& path) {
  const std::string wanted(ldr::ExecutionLevelName(level));
  const std::optional<ldr::FileRange> manifest =
      ldr::FindPeResource(loader.data(), loader.size(), ldr::kRtManifest, 1);
  if (!manifest)
    throw KitError("the loader " + path +
                   " has no application manifest (RT_MANIFEST 1) to take "
                   "the execution level " +
                   wanted +
                   "; --execution-level needs loader.exe as the "
                   "Windows build makes it");
  const std::string refused = ldr::SetExecutionLevel(
      reinterpret_cast<char*>(loader.data() + manifest->offset), manifest->size, level);
  if (!refused.empty())
    throw KitError("the manifest of the loader " + path + " cannot take the execution level " +
                   wanted + ": " + refused);
}

}  // namespace kitpack
