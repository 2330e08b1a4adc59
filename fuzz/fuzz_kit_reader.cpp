// Feeds arbitrary bytes to kitpack's reader, the code behind "kitpack list"
// and "kitpack verify". The first input byte picks the container: a
// self-extracting kit (the rest of the input is the file), or a folder with
// setup.1 and setup.2 (the rest split in two at a point the second byte
// picks). Both the lenient walk of "list" and the checked one of "verify"
// run, then every stream is inflated, and a kit's bytes are also read as
// the loader image whose resources kitpack rewrites when it brands a kit
// (fuzz_pe_resources goes further there). A damaged kit must end in KitError,
// never in anything else, and never in a huge allocation or a long loop.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "kitpack/host/files.h"
#include "kitpack/kit/kit.h"
#include "kitpack/pe/pe_resources.h"

namespace {

std::string g_folder;

void WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  Check(f != nullptr);
  Check(size == 0 || std::fwrite(data, 1, size, f) == size);
  Check(std::fclose(f) == 0);
}

void ReadAndVerify(const std::string& path) {
  for (bool check : {false, true}) {
    try {
      kitpack::KitInfo kit = kitpack::ReadKit(path, check);
      Check(kit.first.entries.size() <= static_cast<size_t>(ldr::kMaxFiles));
      for (const kitpack::ArchiveInfo* a : {&kit.first, &kit.second}) {
        Check(a->entries.size() == static_cast<size_t>(a->file_count));
        for (const kitpack::EntryInfo& e : a->entries) {
          Check(e.packed_size > 0);
          Check(e.stored_name.size() <= ldr::kStoredNameCapacity);
        }
      }
      kitpack::VerifyStreams(kit);
      kitpack::CheckKitDigest(kit);
    } catch (const kitpack::KitError&) {
    } catch (const std::exception&) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-kit-XXXXXX";
  Check(::mkdtemp(pattern.data()) != nullptr);
  g_folder = pattern;
  // The scratch folder goes when the process ends normally.
  std::atexit([] {
    for (const char* name : {"/kit.exe", "/setup.1", "/setup.2"})
      ::unlink((g_folder + name).c_str());
    ::rmdir(g_folder.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  data += 1;
  size -= 1;
  if ((mode & 1) == 0) {
    const std::string kit = g_folder + "/kit.exe";
    WriteWhole(kit, data, size);
    ReadAndVerify(kit);
    // The same bytes as the loader image kitpack brands: its resource tree.
    try {
      kitpack::ReadResources(std::vector<unsigned char>(data, data + size), "input");
    } catch (const kitpack::KitError&) {
    }
  } else {
    const size_t cut = (static_cast<size_t>(data[0]) * size) / 256;
    WriteWhole(g_folder + "/setup.1", data + 1, cut > 0 ? cut - 1 : 0);
    WriteWhole(g_folder + "/setup.2", data + (cut > 0 ? cut : 1), size - (cut > 0 ? cut : 1));
    ReadAndVerify((mode & 2) ? g_folder : g_folder + "/setup.1");
  }
  return 0;
}
