#pragma once
// Building, reading, verifying and extracting kits.
//
// A self-extracting kit is the loader image, the loader's archive (entry 0 is
// the installer, at most 50 entries), the second archive (the payload, any
// number of entries) and the 56-byte trailer; kitpack puts 0 to 7 zero bytes
// between the loader image and the first archive so that the kit's length is
// a multiple of 8, which lets a signing tool append its certificate table
// right behind the trailer. A signed kit ends in that table. An external kit is a folder
// holding a copy of the loader, "setup.1" (the loader's archive) and
// "setup.2" (the second archive); both archive files start at offset 0.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "format/pe/manifest.h"
#include "format/records.h"
#include "format/trailer_location.h"
#include "kitpack/host/files.h"
#include "kitpack/pe/branding.h"

namespace kitpack {

inline constexpr const char* kFirstArchiveFile = "setup.1";
inline constexpr const char* kSecondArchiveFile = "setup.2";
inline constexpr const char* kDefaultStoredPrefix = "C:\\KIT\\";

struct InputFile {
  std::string source;
  std::string stored_name;
};

struct BuildOptions {
  std::string loader;
  std::vector<InputFile> first;  // entry 0 is the installer
  std::vector<InputFile> second;
  std::string output;  // the kit, or the folder for an external kit
  bool external = false;
  int level = 9;
  unsigned threads = 1;
  // Set from SOURCE_DATE_EPOCH: every entry gets this time instead of its
  // file's modification time.
  std::optional<int64_t> fixed_time;
  // The largest file offset a kit may use. Every offset in the formats is a
  // signed 32-bit number; tests lower this to reach the limit cheaply.
  int64_t offset_limit = std::numeric_limits<int32_t>::max();
  // When set, the kit's copy of the loader asks Windows for this execution
  // level: it is written into the loader's manifest, every other byte stays
  // as built. Unset, the loader is copied unchanged (as built it asks for
  // asInvoker).
  std::optional<ldr::ExecutionLevel> execution_level;
  // Replace a read-only output (--force).
  bool force = false;
  // Fill in the deployment record of the kit's copy of the loader
  // (kitpack/kit/deployment.h); --no-deployment leaves the loader's block as it is.
  bool deployment = true;
  // The author's icon, picture and version texts for the kit's copy of the
  // loader.
  Branding branding;
  // Called on the writing thread as each entry is finished (kitpack -v).
  std::function<void(const struct EntryDone&)> entry_done;
  // Called from worker threads with the input bytes compressed so far.
  std::function<void(uint64_t done, uint64_t total)> progress;
  // Run on the finished kit (on the loader's copy for an external kit)
  // before it takes its place; see signing.h for how it is split and what
  // {} and {out} stand for. The result must read back as the kit built.
  std::string sign_command;
  // One-line notes for the user (a signature removed from the loader's copy).
  std::function<void(const std::string&)> notice;
};

// Days since 1899-12-30 00:00 UTC, the fraction being the time of day.
double KitTimeFromUnix(int64_t seconds);
int64_t UnixFromKitTime(double days);

// Stored names for a list of --payload arguments: a file is stored under its
// own name, a folder's files under their paths relative to it ("\" between
// parts), folders recursed in byte order of their relative paths.
std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources);

struct PayloadOptions {
  std::vector<std::string> excludes;  // --exclude patterns (glob.h)
  bool allow_empty = false;           // a folder holding no files is refused without it
  // Symlinked folders found below a folder, which are not entered.
  std::vector<std::string>* skipped = nullptr;
};
std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources,
                                     const PayloadOptions& options);

struct EntryDone {
  bool second = false;  // which archive
  size_t index = 0;
  const InputFile* input = nullptr;
  uint64_t unpacked = 0;
  uint64_t packed = 0;  // its zlib stream
};

// What a build wrote, for its closing summary.
struct BuildSummary {
  std::vector<std::string> files;   // the kit, or setup.1, setup.2 and the loader's copy
  std::vector<std::string> sha256;  // of each file as written, in hexadecimal
  uint64_t size = 0;                // of all of them
  uint64_t loader_size = 0;         // the kit's copy of the loader
  size_t entries[2] = {0, 0};       // per archive
  uint64_t unpacked[2] = {0, 0};    // the input bytes of each archive
  uint64_t archive_size[2] = {0, 0};
};

BuildSummary BuildKit(const BuildOptions& options);

// Writes the execution level into the application manifest (RT_MANIFEST 1)
// of a loader image in memory; raises KitError naming `path` when the image
// has no such manifest or the manifest has no room for the level.
void SetLoaderExecutionLevel(std::vector<unsigned char>& loader, ldr::ExecutionLevel level,
                             const std::string& path);

// --- The installed loaders ---------------------------------------------------
// Without --loader, kitpack takes a loader installed with it. An install
// tree puts kitpack in bin/ and the loaders in share/loaderkit/; a loader
// lying beside kitpack itself is taken too.

inline constexpr const char* kWindowsLoaderName = "loader.exe";
inline constexpr const char* kPosixLoaderName = "loader";

// Where a loader of that name is looked for, first to last, for a kitpack
// whose own file is `own_file`.
std::vector<std::string> InstalledLoaderPlaces(const std::string& own_file,
                                               const std::string& loader_name);
// The first of those places that holds a file; raises KitError naming every
// place it looked when none does.
std::string FindInstalledLoader(const std::string& own_file, const std::string& loader_name);

// --- Reading ---------------------------------------------------------------

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

// The Authenticode signature of a self-extracting kit, as far as kitpack
// looks at it: where its certificate table lies.
struct SignatureInfo {
  bool present = false;
  int64_t table_offset = 0;
  int64_t table_size = 0;
  int64_t padding = 0;  // zero bytes between trailer and table
  ldr::PeSecurityEntry entry;
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
