#include "kitpack/pe/exe_format.h"

#include "format/pe/headers.h"
#include "kitpack/host/files.h"
#include "kitpack/kit_error.h"
#include "kitpack/pe/pe_resources.h"

namespace kitpack {

namespace {

// Installers larger than this are not searched for the loader's resources.
constexpr uint64_t kMostRead = 64u << 20;

// Why the POSIX loader cannot start an installer of no known program
// format, for the kinds of file that are made to be started on Windows (by
// the extension of `installer`); "" for any other, which kitpack does not
// judge.
std::string PosixUnstartable(const std::string& installer) {
  const size_t dot = installer.rfind('.');
  std::string ext = dot == std::string::npos || installer.find('/', dot) != std::string::npos
                        ? ""
                        : installer.substr(dot);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (ext == ".ps1")
    return "a PowerShell script runs where PowerShell is installed when its first line is  "
           "#!/usr/bin/env pwsh";
  static const char* const kWindowsOnly[] = {".bat", ".cmd", ".msi", ".msp", ".exe", ".vbs",
                                             ".vbe", ".js",  ".jse", ".wsf", ".hta"};
  for (const char* windows : kWindowsOnly)
    if (ext == windows)
      return "a Windows installer (" + ext + ") needs loader.exe, a kit for Windows";
  return "";
}

}  // namespace

ExeKind KindOf(const std::vector<unsigned char>& head) {
  if (head.size() >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F')
    return ExeKind::kElf;
  if (head.size() >= 2 && head[0] == '#' && head[1] == '!') return ExeKind::kScript;
  ldr::MemoryByteSource bytes(head.data(), head.size());
  if (ldr::PeSignatureOffset(bytes, head.size())) return ExeKind::kWindows;
  return ExeKind::kOther;
}

const char* KindName(ExeKind kind) {
  switch (kind) {
    case ExeKind::kWindows:
      return "a Windows program";
    case ExeKind::kElf:
      return "a POSIX (ELF) program";
    case ExeKind::kScript:
      return "a script (#!)";
    case ExeKind::kOther:
      break;
  }
  return "a file of no known program format";
}

bool LooksLikeTheLoader(ldr::ByteSource& image, uint64_t size) {
  ResourceTable table;
  if (!ResourceTable::Read(image, size, "", table, false).empty()) return false;
  return !table.Find(ResourceId::Number(kRtBitmap), ResourceId::Text("BITMAP1")).empty() &&
         !table.Find(ResourceId::Number(kRtGroupIcon), ResourceId::Text("MAINICON")).empty();
}

void CheckLoaderAndInstaller(const std::vector<unsigned char>& loader,
                             const std::string& loader_path, const std::string& installer) {
  const ExeKind loader_kind = KindOf(loader);
  if (loader_kind != ExeKind::kWindows && loader_kind != ExeKind::kElf) return;
  const FileInfo info = StatRegularFile(installer);
  ReadableFile f(installer);
  const std::vector<unsigned char> head =
      f.Range(0, static_cast<size_t>(std::min<uint64_t>(info.size, 4096)));
  const ExeKind installer_kind = KindOf(head);
  const bool windows_loader = loader_kind == ExeKind::kWindows;
  if ((windows_loader && (installer_kind == ExeKind::kElf || installer_kind == ExeKind::kScript)) ||
      (!windows_loader && installer_kind == ExeKind::kWindows))
    throw KitError("the installer " + installer + " is " + KindName(installer_kind) +
                   ", but the loader " + loader_path + " is " + KindName(loader_kind) +
                   ": it cannot start it (use " +
                   (windows_loader ? "the POSIX loader" : "loader.exe") +
                   " for this installer, or an installer built for " +
                   (windows_loader ? "Windows" : "POSIX") + ")");
  const std::string posix_reason =
      !windows_loader && installer_kind == ExeKind::kOther ? PosixUnstartable(installer) : "";
  if (!posix_reason.empty())
    throw KitError("the installer " + installer +
                   " is neither a POSIX (ELF) program nor a script that starts with #!: the "
                   "loader " +
                   loader_path +
                   " is a POSIX program, which starts its installer with execve, and that runs "
                   "only those (" +
                   posix_reason + ")");
  if (installer_kind == ExeKind::kWindows && info.size <= kMostRead &&
      LooksLikeTheLoader(f, info.size))
    throw KitError("the installer " + installer +
                   " carries the loader's picture and icon (BITMAP1, MAINICON): it is a loader, "
                   "not an installer; were --loader and --installer swapped?");
}

}  // namespace kitpack
