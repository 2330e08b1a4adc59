#pragma once
// Whether a Windows installer finds the DLLs it imports on a user's machine:
// each one Windows' own (ldr::IsWindowsSystemDll) or carried in the first
// archive, which the loader unpacks beside the installer. A MinGW or Visual
// C++ program linked against its runtime DLLs otherwise fails to start there
// (0xC0000135) though it runs on its author's machine.

#include <string>
#include <vector>

namespace kitpack {

// A file of the first archive: where it is read from, the name it is stored
// under.
struct FirstArchiveFile {
  std::string source;
  std::string stored_name;
};

// Raises KitError naming every DLL that the installer (first[0]), or a DLL of
// the first archive it loads, imports (delay-loaded ones too) and that is
// neither, or naming an import table that cannot be read. Only for a Windows
// loader and a Windows installer; --allow-imports skips it.
void CheckInstallerImports(const std::vector<unsigned char>& loader,
                           const std::vector<FirstArchiveFile>& first);

}  // namespace kitpack
