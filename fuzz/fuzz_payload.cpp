// Feeds arbitrary bytes to the payload library's reader, through its C
// interface as an installer calls it. The first input byte picks the form:
// a self-extracting kit (the rest is the kit file) or an external kit's
// setup.2. Every entry that opens is unpacked into a scratch folder, which
// must afterwards hold nothing outside it: the library may refuse a kit, but
// never crash, hang, allocate without bound or write anywhere else.

#include <loaderkit/payload.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string g_folder;

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

void WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  Check(f != nullptr, "the input file opens");
  Check(size == 0 || std::fwrite(data, 1, size, f) == size, "the input is written");
  Check(std::fclose(f) == 0, "the input file closes");
}

// Only the kit, its setup.2 and the unpack folder lie in the scratch folder.
void CheckNothingOutside() {
  for (const auto& entry : fs::directory_iterator(g_folder)) {
    const std::string name = entry.path().filename().string();
    Check(name == "kit.exe" || name == "setup.2" || name == "out", "nothing outside the folder");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-payload-XXXXXX";
  Check(::mkdtemp(pattern.data()) != nullptr, "a scratch folder");
  g_folder = pattern;
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(g_folder, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool external = data[0] & 1;
  const std::string file = g_folder + (external ? "/setup.2" : "/kit.exe");
  WriteWhole(file, data + 1, size - 1);
  const std::string name = external ? "loader.exe" : "kit.exe";
  const char* args[] = {"*TODISK", name.c_str(), g_folder.c_str()};
  loaderkit_payload* kit = nullptr;
  if (loaderkit_payload_open_command_line(3, args, &kit) == LOADERKIT_OK) {
    const std::string out = g_folder + "/out";
    loaderkit_payload_unpack(kit, out.c_str(), nullptr, 0, LOADERKIT_REPLACE, nullptr, nullptr);
    CheckNothingOutside();
    std::error_code ignored;
    fs::remove_all(out, ignored);
  }
  Check(kit != nullptr, "a handle even on failure");
  loaderkit_payload_close(kit);
  ::unlink(file.c_str());
  return 0;
}
