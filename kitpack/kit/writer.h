#pragma once
// Writing a kit: the options of a build and what it reports.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "format/pe/manifest.h"
#include "kitpack/kit/payload.h"
#include "kitpack/kit/zstream.h"
#include "kitpack/pe/branding.h"

namespace kitpack {

struct BuildOptions {
  std::string loader;
  std::vector<InputFile> first;  // entry 0 is the installer
  std::vector<InputFile> second;
  std::string output;  // the kit, or the folder for an external kit
  bool external = false;
  int level = kDefaultLevel;  // libdeflate's, 0 to kMaxLevel, or chosen by LevelFor
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
  // Pack a Windows installer whose imports name DLLs that are neither
  // Windows' own nor in the first archive (--allow-imports; import_check.h).
  bool allow_imports = false;
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

}  // namespace kitpack
