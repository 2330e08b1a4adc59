#pragma once
// Reading, verifying and extracting kits.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "format/records.h"
#include "format/trailer_location.h"
#include "kitpack/host/files.h"
#include "kitpack/kit/payload.h"

namespace kitpack {

struct EntryInfo {
  int64_t header_offset = 0;  // relative to the archive start
  ldr::ArchiveEntry record;
  std::string stored_name;
  std::string version;
  int64_t packed_size = 0;
};

struct ArchiveInfo {
  std::string label;  // "first archive" / "second archive"
  std::string path;   // file holding it
  int64_t start = 0;  // absolute offset of its header
  int64_t end = 0;    // absolute offset of its last byte
  int32_t file_count = 0;
  std::vector<EntryInfo> entries;
  // What a checked read found that the format allows but a reader should
  // know: second-archive names the reference installer would refuse.
  std::vector<std::string> warnings;
};

// The image digest the first signature of a kit holds, against the one its
// bytes give (format/pe/authenticode.h).
struct AuthenticodeCheck {
  std::string algorithm;  // "SHA-1" or "SHA-256"
  bool matches = false;
};

// The Authenticode signature of a self-extracting kit, as far as kitpack
// looks at it: where its certificate table lies and, once checked, whether
// the digest it holds is the kit's.
struct SignatureInfo {
  bool present = false;
  int64_t table_offset = 0;
  int64_t table_size = 0;
  int64_t padding = 0;  // zero bytes between trailer and table
  ldr::PeSecurityEntry entry;
  std::optional<AuthenticodeCheck> authenticode;  // set by CheckAuthenticode
  // What the certificate table holds besides its signatures (set by
  // CheckAuthenticode); empty when nothing.
  std::string table_fault;
};

struct KitInfo {
  bool external = false;
  std::string path;
  int64_t file_size = 0;
  int64_t trailer_offset = 0;
  SignatureInfo signature;
  ldr::ArchiveTrailer trailer;
  ArchiveInfo first;
  ArchiveInfo second;
  bool checked = false;  // read with every check of verify
};

// Opens a self-extracting kit (signed or not), a folder holding setup.1 /
// setup.2, or a setup.1 file itself, and walks both entry chains. The
// trailer is found the way the loader finds it (ldr::LocateTrailer). With
// `check` set, every offset, size, chain link, name and the trailer is
// checked, and in a signed kit that both archives and the trailer lie in the
// part the signature covers; the first fault raises KitError naming the
// entry. Without it only what is needed to read is checked.
KitInfo ReadKit(const std::string& path, bool check);

// Inflates every stream and checks it against its record; raises on the
// first fault. Gives the number of entries checked. Memory stays bounded
// whatever the records claim.
size_t VerifyStreams(const KitInfo& kit);

// One line per stored name that is not UTF-8 (a kit from an older packer,
// names in a legacy code page), saying what Windows will make of it. Empty
// when every name is UTF-8.
std::vector<std::string> LegacyNameWarnings(const KitInfo& kit);
// The integrity digest kitpack keeps in a self-extracting kit's trailer
// (kit_digest.h): absent (an external kit, or one from another writer) or
// matching; raises KitError when it does not match.
enum class DigestCheck { kAbsent, kMatches };
DigestCheck CheckKitDigest(const KitInfo& kit);

// Compares the image digest in the first signature of a signed kit with the
// kit's own Authenticode hash and records the outcome in kit.signature. A
// kit changed after signing (a byte of the part the signature covers, or
// the table moved behind other bytes) does not match. Whether the signature
// itself is genuine is not looked at. Raises KitError when the table holds
// no signature kitpack can read, or the kit's bytes cannot be read. Does
// nothing for an unsigned kit.
void CheckAuthenticode(KitInfo& kit);

// The payload (second archive) against a folder, as `build --payload DIR`
// would store it: one line per name found on one side only or whose bytes
// differ; empty when they agree.
std::vector<std::string> ComparePayload(const KitInfo& kit, const std::string& folder);

// Extracts one archive below `dest`, from a kit read with its checks: every
// check of verify runs first, then each entry is inflated straight to its
// file. First archive: name parts only, as the loader does. Second: the
// stored paths without drive and leading separators; ".." and other escapes
// are refused before anything is written. Only new regular files are made:
// an existing name (a file, a hard link, a pipe, a symlink) is refused,
// never written.
size_t ExtractArchive(const KitInfo& kit, bool second, const std::string& dest);

// Inflates one entry in blocks of 64 KiB, handing each block to sink, and
// checks the stream against its record (its end, its range, its size).
void InflateEntryTo(const ArchiveInfo& archive, const EntryInfo& entry,
                    const std::function<void(const unsigned char*, size_t)>& sink);
// The same into memory.
std::vector<unsigned char> InflateEntry(const ArchiveInfo& archive, const EntryInfo& entry);

}  // namespace kitpack
