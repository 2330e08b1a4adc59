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

#include <loaderkit/payload.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "examples/installer/host.h"

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

// Unpacks every entry into dest, one at a time so that each gets its line in
// the log; a file of the same name from an earlier run is replaced.
void InstallAll(loaderkit_payload* kit, const std::string& dest) {
  const int32_t count = loaderkit_payload_count(kit);
  Say("installing %d file(s) from %s into %s", static_cast<int>(count), loaderkit_payload_file(kit),
      dest.c_str());
  int64_t total = 0;
  for (int32_t i = 0; i < count; ++i) {
    loaderkit_entry entry;
    loaderkit_payload_entry(kit, i, &entry);
    if (loaderkit_payload_unpack(kit, dest.c_str(), &i, 1, LOADERKIT_REPLACE, nullptr, nullptr) !=
        LOADERKIT_OK)
      throw Failure(std::string("cannot install: ") + loaderkit_payload_error(kit));
    Say("installed %s (%lld bytes)", Join(dest, entry.path).c_str(),
        static_cast<long long>(entry.size));
    total += entry.size;
  }
  Say("done: %d file(s), %lld bytes", static_cast<int>(count), static_cast<long long>(total));
}

// The loader exits as it starts the installer and leaves its working folder
// (this program and the kit's other first-archive files) and an empty
// "ldx....tmp" behind; the library removes both once the installer is done
// (and leaves them to a loader that waits and removes them itself).
// KIT_INSTALL_KEEP_WORKING_FOLDER=1 keeps them, for looking into a failure.
void RemoveLoaderLeftovers(loaderkit_payload* kit) {
  const char* keep = std::getenv("KIT_INSTALL_KEEP_WORKING_FOLDER");
  if (!kit || (keep && std::strcmp(keep, "1") == 0)) return;
  const char* waits = std::getenv("LOADERKIT_LOADER_WAITS");
  if (waits && std::strcmp(waits, "1") == 0) {
    Say("the loader waits and removes its working folder itself");
    return;
  }
  const char* removed = "";
  if (loaderkit_payload_remove_working_folder(kit, &removed) != LOADERKIT_OK) {
    Say("could not remove the loader's working folder: %s", loaderkit_payload_error(kit));
  } else if (*removed) {
    Say("removing the loader's working folder %s", removed);
  }
}

// The payload, opened as the library reads the loader's hand-off line.
struct Kit {
  loaderkit_payload* handle = nullptr;
  ~Kit() { loaderkit_payload_close(handle); }
};

}  // namespace

int main(int argc, char** argv) {
  const char* box = std::getenv("KIT_INSTALL_MESSAGEBOX");
  const bool show_box = box && std::strcmp(box, "1") == 0;
  Kit kit;  // every stored name is checked as it opens, before anything is written
  try {
    int i = 1;
    std::string dest;
    if (i + 1 < argc && std::strcmp(argv[i], "--dest") == 0) {
      dest = argv[i + 1];
      i += 2;
    }
    if (i >= argc)
      throw Failure(
          "usage: installer [--dest DIR] *SELFEXTRACT|*TODISK LOADERNAME LOADERFOLDER\n"
          "       installer [--dest DIR] LOADERFOLDER");
    if (loaderkit_payload_open_main(argc, argv, i, &kit.handle) != LOADERKIT_OK)
      throw Failure(loaderkit_payload_error(kit.handle));
    if (dest.empty() && std::getenv("KIT_INSTALL_DEST")) dest = std::getenv("KIT_INSTALL_DEST");
    if (dest.empty()) dest = Join(loaderkit_payload_loader_folder(kit.handle), "installed");

    if (!installer::MakeFolder(dest)) throw Failure("cannot create the destination " + dest);
    g_log = std::fopen(Join(dest, "install.log").c_str(), "w");
    // What a user gave the kit after "--" is the installer's; not logged,
    // as the loader does not log it either (it may hold secrets).
    const int32_t extra = loaderkit_payload_extra_count(kit.handle);
    if (extra > 0) Say("the kit was given %d more argument(s)", static_cast<int>(extra));
    InstallAll(kit.handle, dest);
    RemoveLoaderLeftovers(kit.handle);
    if (g_log) std::fclose(g_log);
    g_log = nullptr;
    if (show_box) installer::ShowMessage("Installation", "Installed into " + dest, false);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "installer: %s\n", e.what());
    if (g_log) std::fprintf(g_log, "failed: %s\n", e.what());
    RemoveLoaderLeftovers(kit.handle);
    if (g_log) std::fclose(g_log);
    if (show_box) installer::ShowMessage("Installation failed", e.what(), true);
    return 1;
  }
}
