// The reference installer: what the loader starts once it has unpacked the
// kit. It finds the kit from the command line the loader hands over and
// copies the second archive's files into a destination folder.
//
// Command lines it accepts. The loader puts a name or folder holding a blank
// (or a character cmd.exe acts on) in double quotes, so each arrives as one
// argument; loaders before that quoted nothing, and the pieces of a folder
// with blanks are joined again:
//   installer [--dest DIR] *SELFEXTRACT LOADERNAME LOADERFOLDER
//   installer [--dest DIR] *TODISK LOADERNAME LOADERFOLDER
//   installer [--dest DIR] LOADERFOLDER            (external kit: setup.2 there)
// The destination is --dest, else $KIT_INSTALL_DEST, else "installed" in the
// loader's folder. KIT_INSTALL_MESSAGEBOX=1 shows the outcome in a message box.
// Every step is also written to install.log in the destination.

#include <zlib.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "examples/installer/host.h"
#include "format/records.h"
#include "format/stored_names.h"
#include "format/stored_paths.h"
#include "format/trailer_location.h"

namespace {

using installer::kSeparator;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::FILE* g_log = nullptr;

void Say(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::printf("%s\n", line);
  if (g_log) std::fprintf(g_log, "%s\n", line);
}

std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == kSeparator || folder.back() == '/'))
    return folder + name;
  return folder + kSeparator + name;
}

// An open file with the byte range one archive occupies in it.
struct Archive {
  std::FILE* file = nullptr;
  std::string path;
  long start = 0;
  long end = 0;  // last byte, inclusive
  ~Archive() {
    if (file) std::fclose(file);
  }
};

void ReadAt(Archive& a, long offset, void* buffer, size_t size, const char* what) {
  if (offset < 0 || std::fseek(a.file, offset, SEEK_SET) != 0 ||
      std::fread(buffer, 1, size, a.file) != size)
    throw Failure(std::string("cannot read ") + what + " in " + a.path);
}

void Open(Archive& a, const std::string& path) {
  a.path = path;
  a.file = std::fopen(path.c_str(), "rb");
  if (!a.file) throw Failure("cannot open the kit file " + path);
  std::fseek(a.file, 0, SEEK_END);
  a.end = std::ftell(a.file) - 1;
}

// The kit file as the trailer finder reads it.
class KitBytes final : public ldr::ByteSource {
 public:
  explicit KitBytes(std::FILE* file) : file_(file) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override {
    return offset <= static_cast<uint64_t>(LONG_MAX) &&
           std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fread(buffer, 1, size, file_) == size;
  }

 private:
  std::FILE* file_;
};

// Finds the second archive: behind the loader's archive in a self-extracting
// loader, else in setup.2 beside the loader. The trailer is where the loader
// finds it: the last 56 bytes, or those before a signature's certificate
// table.
void FindPayload(Archive& a, const std::string& folder, const std::string& loader_name) {
  if (!loader_name.empty()) {
    Open(a, Join(folder, loader_name));
    KitBytes bytes(a.file);
    const ldr::TrailerLocation at =
        a.end >= 0 ? ldr::LocateTrailer(bytes, static_cast<uint64_t>(a.end) + 1)
                   : ldr::TrailerLocation{};
    if (at.offset >= 0) {
      unsigned char record[ldr::kTrailerSize];
      ReadAt(a, static_cast<long>(at.offset), record, sizeof record, "the trailer");
      ldr::ArchiveTrailer trailer = ldr::DecodeTrailer(record);
      if (ldr::IsSelfExtracting(trailer)) {
        if (trailer.second_archive_start < 0 ||
            trailer.second_archive_end < trailer.second_archive_start ||
            trailer.second_archive_end >= at.offset)
          throw Failure("the trailer of " + a.path + " points outside the kit");
        a.start = trailer.second_archive_start;
        a.end = trailer.second_archive_end;
        return;
      }
    }
    std::fclose(a.file);
    a.file = nullptr;  // not self-extracting: the loader ran from setup.1
  }
  Open(a, Join(folder, "setup.2"));
}

struct Entry {
  ldr::ArchiveEntry record;
  std::string name;                // as stored, "docs\guide.txt"
  std::vector<std::string> parts;  // checked: safe to create below the destination
};

std::vector<Entry> ReadEntries(Archive& a) {
  unsigned char header[ldr::kHeaderSize];
  ReadAt(a, a.start, header, sizeof header, "the archive header");
  int32_t count = ldr::GetInt32(header);
  if (count < 0) throw Failure("the archive in " + a.path + " has a negative file count");
  std::vector<Entry> entries;
  long size = a.end - a.start + 1;
  long at = ldr::kHeaderSize;
  for (int32_t i = 0; i < count; ++i) {
    if (at < 0 || at > size - static_cast<long>(ldr::kEntrySize))
      throw Failure("entry " + std::to_string(i) + " lies outside the archive");
    unsigned char bytes[ldr::kEntrySize];
    ReadAt(a, a.start + at, bytes, sizeof bytes, "an entry header");
    Entry e;
    e.record = ldr::DecodeEntry(bytes);
    e.name = ldr::StoredNameText(e.record);
    const ldr::ArchiveEntry& r = e.record;
    if (r.data_start < 0 || r.data_end < r.data_start || r.data_end >= size || r.unpacked_size < 0)
      throw Failure("entry " + std::to_string(i) + " (" + e.name + ") has a damaged record");
    ldr::RelativeName rel = ldr::SplitRelativeName(e.name);
    if (!rel.refused.empty())
      throw Failure("refusing entry " + std::to_string(i) + " (" + e.name + "): " + rel.refused);
    e.parts = rel.parts;
    entries.push_back(e);
    at = r.next_header;
  }
  return entries;
}

// Inflates one entry into its file, checking the stream's end and size.
void Install(Archive& a, const Entry& e, const std::string& dest) {
  std::string path = dest;
  for (size_t i = 0; i + 1 < e.parts.size(); ++i) {
    path = Join(path, e.parts[i]);
    if (!installer::MakeFolder(path)) throw Failure("cannot create the folder " + path);
  }
  path = Join(path, e.parts.back());
  std::FILE* out = installer::CreateForWriting(path);
  if (!out) throw Failure("cannot create " + path);

  z_stream z{};
  inflateInit(&z);
  std::vector<unsigned char> in(65536), buffer(65536);
  long left = static_cast<long>(e.record.data_end) - e.record.data_start + 1;
  long offset = a.start + e.record.data_start;
  unsigned long written = 0;
  int rc = Z_OK;
  std::string error;
  while (rc != Z_STREAM_END && error.empty()) {
    if (z.avail_in == 0) {
      if (left == 0) {
        error = "its data ends before its stream";
        break;
      }
      size_t n = left < 65536 ? static_cast<size_t>(left) : 65536;
      ReadAt(a, offset, in.data(), n, e.name.c_str());
      offset += static_cast<long>(n);
      left -= static_cast<long>(n);
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(n);
    }
    z.next_out = buffer.data();
    z.avail_out = static_cast<uInt>(buffer.size());
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc < 0 && rc != Z_BUF_ERROR)
      error = std::string("corrupt data (") + (z.msg ? z.msg : "zlib") + ")";
    size_t produced = buffer.size() - z.avail_out;
    if (produced && std::fwrite(buffer.data(), 1, produced, out) != produced)
      error = "the disk is full";
    written += produced;
  }
  inflateEnd(&z);
  if (std::fclose(out) != 0 && error.empty()) error = "the disk is full";
  if (error.empty() && written != static_cast<unsigned long>(e.record.unpacked_size))
    error = "it inflates to " + std::to_string(written) + " bytes, not " +
            std::to_string(e.record.unpacked_size);
  if (!error.empty()) throw Failure("cannot install " + e.name + ": " + error);
  Say("installed %s (%lu bytes)", path.c_str(), written);
}

// The loader's working folder, when this program runs from one: a folder
// named "ldx" and letters or digits, directly inside the user's temporary
// folder. Anything else (a build folder, or the temporary folder itself when
// the loader could not make its own) is never touched. "" when there is none.
std::string LoaderWorkingFolder() {
  const std::string own = installer::OwnExecutablePath();
  const size_t cut = own.find_last_of(std::string(1, kSeparator) + "/");
  if (cut == std::string::npos) return "";
  const std::string folder = own.substr(0, cut);
  const size_t name_at = folder.find_last_of(std::string(1, kSeparator) + "/");
  if (name_at == std::string::npos) return "";
  const std::string name = folder.substr(name_at + 1);
  if (name.size() <= 3 || (name.compare(0, 3, "ldx") != 0 && name.compare(0, 3, "LDX") != 0))
    return "";
  for (size_t i = 3; i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return "";
  }
  std::string parent = folder.substr(0, name_at);
  std::string temp = installer::TempFolder();
  if (kSeparator == '\\') {  // Windows compares names without regard to case
    for (std::string* text : {&parent, &temp})
      for (char& c : *text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return parent == temp ? folder : "";
}

// The loader exits as it starts the installer and leaves its working folder
// (this program and the kit's other first-archive files) and an empty
// "ldx....tmp" behind; the installer removes both once it is done.
// KIT_INSTALL_KEEP_WORKING_FOLDER=1 keeps them, for looking into a failure.
// A loader that waits for this program (a kit with the deployment record,
// run with /WAIT) says so in LOADERKIT_LOADER_WAITS=1 and removes them
// itself once this program has ended: no clean-up helper is started then.
void RemoveLoaderLeftovers() {
  const char* keep = std::getenv("KIT_INSTALL_KEEP_WORKING_FOLDER");
  if (keep && std::strcmp(keep, "1") == 0) return;
  const char* waits = std::getenv("LOADERKIT_LOADER_WAITS");
  if (waits && std::strcmp(waits, "1") == 0) {
    Say("the loader waits and removes its working folder itself");
    return;
  }
  const std::string folder = LoaderWorkingFolder();
  if (folder.empty()) return;
  const std::string problems = installer::RemoveWorkingFolder(folder, folder + ".tmp");
  if (problems.empty()) {
    Say("removing the loader's working folder %s", folder.c_str());
  } else {
    Say("could not remove the loader's working folder: %s", problems.c_str());
  }
}

std::string JoinArgs(char** first, char** last) {
  std::string out;
  for (char** p = first; p != last; ++p) out += (p == first ? "" : " ") + std::string(*p);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const char* box = std::getenv("KIT_INSTALL_MESSAGEBOX");
  const bool show_box = box && std::strcmp(box, "1") == 0;
  try {
    int i = 1;
    std::string dest;
    if (i + 1 < argc && std::strcmp(argv[i], "--dest") == 0) {
      dest = argv[i + 1];
      i += 2;
    }
    std::string folder, loader_name;
    if (i < argc &&
        (std::strcmp(argv[i], "*SELFEXTRACT") == 0 || std::strcmp(argv[i], "*TODISK") == 0)) {
      if (argc - i < 3) throw Failure(std::string(argv[i]) + " needs the loader's name and folder");
      // From a loader that did not quote them, a blank in the loader's name
      // or folder splits them further: take the first split at which the
      // loader's file exists. Quoted, they are exactly two arguments.
      for (int cut = i + 2; cut < argc; ++cut) {
        std::string name = JoinArgs(argv + i + 1, argv + cut),
                    dir = JoinArgs(argv + cut, argv + argc);
        std::FILE* probe = std::fopen(Join(dir, name).c_str(), "rb");
        if (cut == i + 2 || probe) loader_name = name, folder = dir;
        if (probe) {
          std::fclose(probe);
          break;
        }
      }
    } else if (i < argc) {
      folder = JoinArgs(argv + i, argv + argc);
    } else {
      throw Failure(
          "usage: installer [--dest DIR] *SELFEXTRACT|*TODISK LOADERNAME LOADERFOLDER\n"
          "       installer [--dest DIR] LOADERFOLDER");
    }
    if (dest.empty() && std::getenv("KIT_INSTALL_DEST")) dest = std::getenv("KIT_INSTALL_DEST");
    if (dest.empty()) dest = Join(folder, "installed");

    Archive archive;
    FindPayload(archive, folder, loader_name);
    std::vector<Entry> entries = ReadEntries(archive);  // every name checked before any write
    if (!installer::MakeFolder(dest)) throw Failure("cannot create the destination " + dest);
    g_log = std::fopen(Join(dest, "install.log").c_str(), "w");
    Say("installing %zu file(s) from %s into %s", entries.size(), archive.path.c_str(),
        dest.c_str());
    unsigned long total = 0;
    for (const Entry& e : entries) {
      Install(archive, e, dest);
      total += static_cast<unsigned long>(e.record.unpacked_size);
    }
    Say("done: %zu file(s), %lu bytes", entries.size(), total);
    RemoveLoaderLeftovers();
    if (g_log) std::fclose(g_log);
    g_log = nullptr;
    if (show_box) installer::ShowMessage("Installation", "Installed into " + dest, false);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "installer: %s\n", e.what());
    if (g_log) std::fprintf(g_log, "failed: %s\n", e.what());
    RemoveLoaderLeftovers();
    if (g_log) std::fclose(g_log);
    if (show_box) installer::ShowMessage("Installation failed", e.what(), true);
    return 1;
  }
}
