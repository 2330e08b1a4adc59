#include "format/pe/imports.h"

#include <algorithm>

#include "format/bytes.h"
#include "format/pe/layout.h"

namespace ldr {

namespace {

constexpr uint64_t kImportDescriptorSize = 20;
constexpr uint64_t kDelayDescriptorSize = 32;
// More descriptors than this, or a longer name, is taken as damage: no
// linker writes them, and a hostile file must not make kitpack read on.
constexpr uint32_t kMostDescriptors = 4096;
constexpr size_t kLongestDllName = 260;

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Reads the image's bytes at addresses, as its sections map them.
class ImageReader {
 public:
  ImageReader(ByteSource& file, uint64_t file_size, const PeLayout& layout)
      : reader_(file, 0, file_size), layout_(layout) {}

  bool Read(uint32_t rva, unsigned char* buffer, uint64_t length) const {
    const std::optional<uint64_t> at = layout_.FileOffset(rva, length);
    return at && reader_.Read(*at, buffer, length);
  }

  // A NUL-terminated name of printable ASCII at `rva`.
  std::optional<std::string> Name(uint32_t rva) const {
    std::string name;
    for (uint32_t i = 0; i < kLongestDllName; ++i) {
      unsigned char c = 0;
      if (rva > UINT32_MAX - i || !Read(rva + i, &c, 1)) return std::nullopt;
      if (c == 0) return name.empty() ? std::nullopt : std::optional<std::string>(name);
      if (c < 0x20 || c > 0x7E) return std::nullopt;
      name.push_back(static_cast<char>(c));
    }
    return std::nullopt;
  }

 private:
  SourceReader reader_;
  const PeLayout& layout_;
};

std::string Hex(uint64_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return "0x" + out;
}

// The image base, for delay-load descriptors of the old kind that hold
// addresses rather than RVAs.
uint64_t ImageBase(ByteSource& file, uint64_t file_size, const PeLayout& l) {
  SourceReader reader(file, 0, file_size);
  unsigned char b[8] = {};
  if (l.pe32_plus) return reader.Read(l.optional_offset + 24, b, 8) ? GetU64(b) : 0;
  return reader.Read(l.optional_offset + 28, b, 4) ? GetU32(b) : 0;
}

// Walks one table of descriptors up to the one that names no DLL.
void ReadTable(const ImageReader& image, uint32_t start, bool delay, uint64_t image_base,
               PeImports& out) {
  const char* table = delay ? "delay-load import table" : "import table";
  const uint64_t size = delay ? kDelayDescriptorSize : kImportDescriptorSize;
  for (uint32_t i = 0;; ++i) {
    if (i == kMostDescriptors) {
      out.damage = std::string("the ") + table + " has no end within " +
                   std::to_string(kMostDescriptors) + " entries";
      return;
    }
    const uint64_t at = start + uint64_t{i} * size;
    unsigned char d[kDelayDescriptorSize];
    if (at > UINT32_MAX || !image.Read(static_cast<uint32_t>(at), d, size)) {
      out.damage = std::string("the ") + table + "'s entry " + std::to_string(i) +
                   " cannot be read from the file's sections";
      return;
    }
    uint64_t name_at = delay ? GetU32(d + 4) : GetU32(d + 12);
    if (name_at == 0) return;
    if (delay && (GetU32(d) & 1) == 0) name_at -= std::min(name_at, image_base);
    const std::optional<std::string> name =
        name_at <= UINT32_MAX ? image.Name(static_cast<uint32_t>(name_at)) : std::nullopt;
    if (!name) {
      out.damage = std::string("the ") + table + "'s entry " + std::to_string(i) +
                   " names its DLL at " + Hex(name_at) +
                   ", where no name of printable characters ends within the file's sections";
      return;
    }
    out.dlls.push_back({*name, delay});
  }
}

}  // namespace

PeImports ReadPeImports(ByteSource& file, uint64_t file_size) {
  PeImports out;
  PeHeaders headers;
  if (!ReadPeHeaders(file, file_size, headers)) return out;
  const std::optional<PeDirectory> imports = headers.Directory(kPeImportDirectory);
  const std::optional<PeDirectory> delayed = headers.Directory(kPeDelayImportDirectory);
  const bool has_imports = imports && imports->address != 0;
  const bool has_delayed = delayed && delayed->address != 0;
  if (!has_imports && !has_delayed) return out;
  const std::optional<PeLayout> layout = ReadPeLayout(file, file_size);
  if (!layout) {
    out.damage = "its section table does not lie whole in the file";
    return out;
  }
  const ImageReader image(file, file_size, *layout);
  if (has_imports) ReadTable(image, imports->address, false, 0, out);
  if (has_delayed && out.damage.empty())
    ReadTable(image, delayed->address, true, ImageBase(file, file_size, *layout), out);
  return out;
}

bool IsWindowsSystemDll(const std::string& dll) {
  // Windows' own DLLs that programs import, as every Windows from 7 on holds
  // them in System32 (and SysWOW64). Not the Visual C++ runtimes
  // (vcruntime*, msvcp*), nor MinGW's (libstdc++-6, libgcc_s_*, libwinpthread-1),
  // nor zlib1: those come with a program or not at all.
  static const char* const kWindowsSystemDlls[] = {
      "advapi32.dll", "advpack.dll",  "apphelp.dll",    "authz.dll",    "avrt.dll",
      "bcrypt.dll",   "cabinet.dll",  "cfgmgr32.dll",   "clusapi.dll",  "combase.dll",
      "comctl32.dll", "comdlg32.dll", "credui.dll",     "crypt32.dll",  "cryptbase.dll",
      "cryptnet.dll", "cryptui.dll",  "d2d1.dll",       "d3d10.dll",    "d3d11.dll",
      "d3d12.dll",    "d3d9.dll",     "dbghelp.dll",    "dcomp.dll",    "devobj.dll",
      "dhcpcsvc.dll", "dnsapi.dll",   "dsound.dll",     "dwmapi.dll",   "dwrite.dll",
      "dxgi.dll",     "dxva2.dll",    "esent.dll",      "fltlib.dll",   "gdi32.dll",
      "gdiplus.dll",  "glu32.dll",    "hid.dll",        "imagehlp.dll", "imm32.dll",
      "iphlpapi.dll", "kernel32.dll", "kernelbase.dll", "ktmw32.dll",   "mfc42.dll",
      "mpr.dll",      "msacm32.dll",  "mscms.dll",      "mscoree.dll",  "msi.dll",
      "msimg32.dll",  "msvcrt.dll",   "mswsock.dll",    "ncrypt.dll",   "netapi32.dll",
      "newdev.dll",   "normaliz.dll", "ntdll.dll",      "ntdsapi.dll",  "odbc32.dll",
      "ole32.dll",    "oleacc.dll",   "oleaut32.dll",   "oledlg.dll",   "opengl32.dll",
      "pdh.dll",      "powrprof.dll", "propsys.dll",    "psapi.dll",    "rasapi32.dll",
      "rpcrt4.dll",   "rstrtmgr.dll", "sechost.dll",    "secur32.dll",  "setupapi.dll",
      "sfc.dll",      "shcore.dll",   "shell32.dll",    "shfolder.dll", "shlwapi.dll",
      "sspicli.dll",  "tdh.dll",      "ucrtbase.dll",   "urlmon.dll",   "user32.dll",
      "userenv.dll",  "usp10.dll",    "uxtheme.dll",    "version.dll",  "virtdisk.dll",
      "wevtapi.dll",  "winhttp.dll",  "wininet.dll",    "winmm.dll",    "winscard.dll",
      "winspool.drv", "wintrust.dll", "wldap32.dll",    "wmi.dll",      "ws2_32.dll",
      "wsock32.dll",  "wtsapi32.dll", "xmllite.dll",
  };
  const std::string name = Lower(dll);
  if (name.rfind("api-ms-win-", 0) == 0 || name.rfind("ext-ms-", 0) == 0) return true;
  return std::any_of(std::begin(kWindowsSystemDlls), std::end(kWindowsSystemDlls),
                     [&](const char* known) { return name == known; });
}

}  // namespace ldr
