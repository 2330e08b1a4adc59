#pragma once
// What only a deployment run (loader/deployment.h) asks of the operating
// system, apart from Platform: waiting for the installer, free space,
// removing what the run made, the state of the /EXTRACT folder, the log. An
// interface of its own so that a loader built without deployment runs links
// none of it. The POSIX platform implements it beside Platform; the fake in
// tests/ does too, with its faults.

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/sha256.h"
#include "platform/platform.h"

namespace ldr {

// What a folder holds, as far as /EXTRACT asks.
enum class FolderState { kMissing, kEmpty, kNotEmpty, kNotAFolder };

using Sha256Digest = std::array<unsigned char, 32>;

// SHA-256 by base/sha256.h, for the platforms without a hash of their own:
// what DeploymentPlatform's HashStart, HashAdd and HashEnd do there.
class SoftwareSha256 {
 public:
  bool Start() {
    hash_ = Sha256();
    running_ = true;
    return true;
  }
  void Add(const unsigned char* bytes, size_t size) {
    if (running_) hash_.Update(bytes, size);
  }
  bool End(Sha256Digest* digest) {
    if (!running_) return false;
    running_ = false;
    *digest = hash_.Finish();
    return true;
  }

 private:
  Sha256 hash_;
  bool running_ = false;
};

// A local date and time in the log's form, "2024-05-01 13:45:07".
using TimeText = Text<19>;
TimeText FormatTime(int year, int month, int day, int hour, int minute, int second);

class DeploymentPlatform {
 public:
  DeploymentPlatform() = default;
  DeploymentPlatform(const DeploymentPlatform&) = delete;
  DeploymentPlatform& operator=(const DeploymentPlatform&) = delete;

  // Waits for the program the last Platform::StartProcess with `wait` set
  // started, and gives its exit code (Windows: GetExitCodeProcess; POSIX:
  // the exit status, or 128 + the signal that ended it). False when it
  // cannot wait.
  virtual bool WaitForProcess(uint32_t* exit_code) = 0;

  // The bytes this user may still write on the volume of folder
  // (GetDiskFreeSpaceExA, statvfs). False when that cannot be had.
  virtual bool FreeSpace(SystemText folder, uint64_t* bytes) = 0;

  // DeleteFileA / unlink; RemoveDirectoryA / rmdir (an empty folder only).
  // The loader removes only what its run made; POSIX removes it relative to
  // the held folder it was made in; Windows only a file or folder whose id
  // it noted when it made it, opened as itself relative to its held folder
  // and deleted through that handle. False on failure.
  virtual bool RemoveFile(SystemText path) = 0;
  virtual bool RemoveEmptyFolder(SystemText path) = 0;

  // Removes everything below folder, and the folder itself unless
  // keep_folder: files and links as themselves (never what a link or
  // junction leads to), folders with what they hold. POSIX works relative
  // to the held folder. False when anything stayed.
  virtual bool RemoveTree(SystemText folder, bool keep_folder) = 0;

  virtual FolderState InspectFolder(SystemText path) = 0;

  // Opens a file for appending, made when missing (POSIX: mode 0600, never
  // through a symbolic link; Windows: an existing one only if it is the
  // user's disk file with one link, no reparse point on its path), shared
  // for reading. Empty on failure.
  virtual OpenFile OpenForAppending(SystemText path) = 0;

  virtual TimeText LocalTime() = 0;

  // A SHA-256 fed piece by piece, one at a time: HashStart, HashAdd as often
  // as needed, HashEnd. The system's own on Windows (CryptoAPI), base/sha256.h
  // elsewhere. HashStart is false when the system cannot hash; HashEnd is
  // false when it could not, and ends the hash either way.
  virtual bool HashStart() = 0;
  virtual void HashAdd(const unsigned char* bytes, size_t size) = 0;
  virtual bool HashEnd(Sha256Digest* digest) = 0;

  // The text with every %NAME% of a variable of this process's environment
  // replaced by its value (ExpandEnvironmentStringsA), as a shell would
  // before the loader saw it; a name with no variable stays as it is. POSIX
  // takes the text as it is: its shells expand $NAME themselves. False when
  // the result does not fit.
  virtual bool ExpandVariables(SystemText text, PathText* expanded) = 0;

  // Sets a variable in this process's environment, which the programs it
  // starts inherit; an empty value removes it.
  virtual void SetEnvironment(SystemText name, SystemText value) = 0;

 protected:
  ~DeploymentPlatform() = default;
};

}  // namespace ldr
