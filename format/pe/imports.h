#pragma once
// The DLLs a Windows PE image names in its import table and in its
// delay-load import table, read through its section table. kitpack checks
// with them that an installer finds every DLL it needs on a user's machine.
// A damaged table yields the names read before the damage and a reason.

#include <cstdint>
#include <string>
#include <vector>

#include "format/byte_source.h"

namespace ldr {

inline constexpr uint32_t kPeImportDirectory = 1;  // index among the data directories
inline constexpr uint32_t kPeDelayImportDirectory = 13;

struct PeImport {
  std::string dll;  // as the table spells it
  bool delay_loaded = false;
};

struct PeImports {
  std::vector<PeImport> dlls;  // the import table's, then the delay-load table's
  // Why (part of) a table could not be read; "" when both were whole.
  std::string damage;
};

// The imports of the image in `file`; a file that is no PE image has none
// (and no damage: whether it is one is the caller's question).
PeImports ReadPeImports(ByteSource& file, uint64_t file_size);

// Windows' own DLLs, which every Windows the loader runs on holds in its
// system folder: the fixed list kWindowsSystemDlls and the API sets
// (api-ms-win-*, ext-ms-*). Compared without case.
bool IsWindowsSystemDll(const std::string& dll);

}  // namespace ldr
