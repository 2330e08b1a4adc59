#include "kitpack/pe/import_check.h"

#include <map>
#include <set>

#include "format/pe/imports.h"
#include "format/stored_names.h"
#include "kitpack/host/files.h"
#include "kitpack/kit_error.h"
#include "kitpack/pe/exe_format.h"

namespace kitpack {

namespace {

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// A DLL nobody provides, and who imports it.
struct Missing {
  std::string dll, importer;
  bool delay_loaded = false;
};

std::string Listed(const std::vector<Missing>& missing) {
  std::string out;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i != 0) out += i + 1 == missing.size() ? " and " : ", ";
    out += missing[i].dll;
    std::string notes = missing[i].delay_loaded ? "delay-loaded" : "";
    if (!missing[i].importer.empty())
      notes += (notes.empty() ? "by " : ", by ") + missing[i].importer;
    if (!notes.empty()) out += " (" + notes + ")";
  }
  return out;
}

}  // namespace

void CheckInstallerImports(const std::vector<unsigned char>& loader,
                           const std::vector<FirstArchiveFile>& first) {
  if (first.empty() || KindOf(loader) != ExeKind::kWindows) return;
  // The first archive's files by the name the loader gives them beside the
  // installer, compared as Windows compares names of DLLs.
  std::map<std::string, const FirstArchiveFile*> carried;
  for (const FirstArchiveFile& f : first)
    carried.emplace(Lower(std::string(ldr::StoredNamePart(f.stored_name))), &f);
  std::vector<Missing> missing;
  std::set<std::string> seen;
  // The installer, then each carried DLL it reaches.
  std::vector<std::pair<const FirstArchiveFile*, std::string>> todo{{&first.front(), ""}};
  while (!todo.empty()) {
    const auto [file, shown] = todo.back();
    todo.pop_back();
    ReadableFile f(file->source);
    const ldr::PeImports imports = ldr::ReadPeImports(f, f.Size());
    if (!imports.damage.empty())
      throw KitError("the import table of " + file->source + " cannot be read: " + imports.damage +
                     "; Windows would not start it (give --allow-imports to pack it anyway)");
    for (const ldr::PeImport& i : imports.dlls) {
      const std::string key = Lower(i.dll);
      if (ldr::IsWindowsSystemDll(key) || !seen.insert(key).second) continue;
      const auto at = carried.find(key);
      if (at == carried.end())
        missing.push_back({i.dll, shown, i.delay_loaded});
      else if (at->second != &first.front())
        todo.emplace_back(at->second, i.dll);
    }
  }
  if (missing.empty()) return;
  throw KitError(
      "the installer " + first.front().source + " imports " + Listed(missing) + ", " +
      (missing.size() == 1 ? "which is neither a Windows system DLL"
                           : "which are neither Windows system DLLs") +
      " nor in the first archive: on a user's machine Windows "
      "would not start it (0xC0000135, a DLL not found). Link the installer statically (with "
      "MinGW: -static, or -static-libgcc -static-libstdc++), add each DLL with --file, or give "
      "--allow-imports if every user's machine has them");
}

}  // namespace kitpack
