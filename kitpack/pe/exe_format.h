#pragma once
// What kind of program a file is, as far as kitpack must know to refuse a
// loader and an installer that cannot go together.

#include <string>
#include <vector>

#include "format/byte_source.h"

namespace kitpack {

enum class ExeKind {
  kWindows,  // a PE image ("MZ" and "PE\0\0")
  kElf,      // a POSIX program
  kScript,   // "#!"
  kOther,    // anything else: kitpack does not judge it
};

ExeKind KindOf(const std::vector<unsigned char>& head);
const char* KindName(ExeKind kind);

// A Windows image carrying the loader's own resources, the bitmap BITMAP1
// and the icon group MAINICON. Reads its headers and resource tree only.
bool LooksLikeTheLoader(ldr::ByteSource& image, uint64_t size);

// Raises KitError when the loader (its bytes) cannot start the installer (the
// file at `installer`): a Windows loader with a POSIX program or script, the
// POSIX loader with a Windows program or a file made for Windows by its
// extension (.ps1 without "#!", .cmd, .msi, ...; other files it does not
// judge), or an installer that is itself the loader (--loader and
// --installer swapped).
void CheckLoaderAndInstaller(const std::vector<unsigned char>& loader,
                             const std::string& loader_path, const std::string& installer);

}  // namespace kitpack
