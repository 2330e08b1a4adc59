#include "kitpack/pe/installer_check.h"

#include <algorithm>
#include <cstring>

#include "base/text_rules.h"
#include "format/bytes.h"
#include "format/pe/layout.h"
#include "kitpack/host/files.h"
#include "kitpack/kit_error.h"
#include "kitpack/pe/exe_format.h"

namespace kitpack {

namespace {

constexpr size_t kHeadSize = 4096;
// An "MZ" file whose PE signature lies further in than this is taken as no
// Windows program.
constexpr uint64_t kFurthestPeSignature = 64u << 20;

const unsigned char kOleSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// The name's extension in lower case, without the dots and blanks Windows
// drops from the end of a name.
std::string Extension(const std::string& stored_name) {
  std::string name(ldr::NamePart(stored_name));
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return "";
  std::string ext = name.substr(dot);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

// Files an author may mean as an installer, by their extension.
const char* ScriptKind(const std::string& ext) {
  static const std::pair<const char*, const char*> kKinds[] = {
      {".msi", "a Windows Installer package (.msi)"},
      {".msp", "a Windows Installer patch (.msp)"},
      {".ps1", "a PowerShell script (.ps1), which Windows opens rather than runs"},
      {".vbs", "a VBScript file (.vbs), which needs wscript.exe"},
      {".vbe", "a VBScript file (.vbe), which needs wscript.exe"},
      {".js", "a JScript file (.js), which needs wscript.exe"},
      {".jse", "a JScript file (.jse), which needs wscript.exe"},
      {".wsf", "a Windows Script file (.wsf), which needs wscript.exe"},
      {".hta", "an HTML application (.hta), which needs mshta.exe"},
  };
  for (const auto& [extension, kind] : kKinds)
    if (ext == extension) return kind;
  return nullptr;
}

// The first bytes of the file: kHeadSize, and, of an "MZ" file, up to its PE
// signature wherever the DOS header puts it.
std::vector<unsigned char> ReadHead(const std::string& path) {
  const FileInfo info = StatRegularFile(path);
  ReadableFile f(path);
  uint64_t length = std::min<uint64_t>(info.size, kHeadSize);
  std::vector<unsigned char> head = f.Range(0, static_cast<size_t>(length));
  if (head.size() >= 0x40 && head[0] == 'M' && head[1] == 'Z') {
    const uint64_t signature_end = uint64_t{ldr::GetU32(&head[0x3C])} + 4;
    if (signature_end > length && signature_end <= info.size &&
        signature_end <= kFurthestPeSignature)
      head = f.Range(0, static_cast<size_t>(signature_end));
  }
  return head;
}

}  // namespace

std::string UnstartableReason(const std::vector<unsigned char>& head,
                              const std::string& stored_name) {
  const bool batch_name = ldr::IsBatchFileName(ldr::NamePart(stored_name));
  const bool ole = head.size() >= sizeof kOleSignature &&
                   std::memcmp(head.data(), kOleSignature, sizeof kOleSignature) == 0;
  const std::string ext = Extension(stored_name);
  if (KindOf(head) == ExeKind::kWindows)
    return batch_name ? "a Windows program stored under a batch file's name (" + ext +
                            "), which Windows would hand to cmd.exe to read as commands"
                      : "";
  if (ole)
    return ext == ".msi" || ext == ".msp"
               ? ScriptKind(ext)
               : "an OLE compound file, the format of Windows Installer packages (.msi)";
  if (const char* kind = ScriptKind(ext)) return kind;
  if (batch_name) return "";
  if (head.size() >= 2 && head[0] == 'M' && head[1] == 'Z')
    return "an \"MZ\" file without a PE header (a DOS program, or a damaged Windows program)";
  return "neither a Windows program nor a batch file (.bat, .cmd)";
}

void CheckInstallerStarts(const std::vector<unsigned char>& loader, const std::string& source,
                          const std::string& stored_name) {
  if (KindOf(loader) != ExeKind::kWindows) return;
  const std::vector<unsigned char> head = ReadHead(source);
  const std::string reason = UnstartableReason(head, stored_name);
  if (reason.empty()) return;
  const std::string starter =
      KindOf(head) == ExeKind::kWindows
          ? ""
          : StarterAdvice(Extension(stored_name), std::string(ldr::NamePart(stored_name)));
  throw KitError("the installer " + source + " (stored as " + stored_name + ") is " + reason +
                 ": the loader starts its installer from a command line, where Windows starts "
                 "only a program (.exe) or a batch file (.bat, .cmd); give an .exe, or a .cmd "
                 "that starts it" +
                 starter);
}

std::string StarterAdvice(const std::string& ext, const std::string& name) {
  const std::string file = "\"%~dp0" + name + "\"";
  std::string command, what = "the file";
  if (ext == ".msi") {
    command = "msiexec /i " + file;
    what = "the package";
  } else if (ext == ".msp") {
    command = "msiexec /p " + file;
    what = "the patch";
  } else if (ext == ".ps1") {
    command = "powershell -NoProfile -ExecutionPolicy Bypass -File " + file + " %*";
    what = "the script";
  } else if (ext == ".vbs" || ext == ".vbe" || ext == ".js" || ext == ".jse" || ext == ".wsf") {
    command = "cscript //nologo " + file + " %*";
    what = "the script";
  } else if (ext == ".hta") {
    command = "mshta " + file;
  } else {
    return "";
  }
  const bool an = ext[1] == 'm' || ext[1] == 'h';  // said "em", "aitch"
  return " (for a" + std::string(an ? "n" : "") + " " + ext + ": a setup.cmd holding  " + command +
         "  as --installer, and " + what + " as --file)";
}

}  // namespace kitpack
