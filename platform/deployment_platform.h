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

#include "platform/platform.h"

namespace ldr {

// What a folder holds, as far as /EXTRACT asks.
enum class FolderState { kMissing, kEmpty, kNotEmpty, kNotAFolder };

using Sha256Digest = std::array<unsigned char, 32>;

// Hands the next `size` bytes of file, from its position, to feed piece by
// piece (context, bytes, count). False when a read fails or ends early.
bool FeedFile(File& file, int64_t size, void (*feed)(void*, const unsigned char*, size_t),
              void* context);

// HashFile by base/sha256.h, for the platforms without a hash of their own.
bool Sha256OfFile(File& file, int64_t size, Sha256Digest* digest);

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

  virtual FolderState InspectFolder(SystemText path) = 0;

  // Opens a file for appending, made when missing (POSIX: mode 0600, never
  // through a symbolic link; Windows: an existing one only if it is the
  // user's disk file with one link, no reparse point on its path), shared
  // for reading. Empty on failure.
  virtual OpenFile OpenForAppending(SystemText path) = 0;

  virtual TimeText LocalTime() = 0;

  // The SHA-256 of the next `size` bytes of file, from its position: the
  // system's own on Windows (CryptoAPI), base/sha256.h elsewhere. False when
  // the file cannot be read whole or the system cannot hash.
  virtual bool HashFile(File& file, int64_t size, Sha256Digest* digest) = 0;

  // Sets a variable in this process's environment, which the programs it
  // starts inherit.
  virtual void SetEnvironment(SystemText name, SystemText value) = 0;

 protected:
  ~DeploymentPlatform() = default;
};

}  // namespace ldr
