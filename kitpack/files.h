#pragma once
// The file operations kitpack needs, one implementation per host system:
// files_posix.cpp and files_win32.cpp (ANSI calls, which the program's
// manifest makes UTF-8). Paths are the host's own; every failure raises
// KitError with the path and the system's reason.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kitpack/kit_error.h"

namespace kitpack {

struct FileInfo {
  uint64_t size = 0;
  int64_t mtime = 0;  // seconds since 1970-01-01 UTC
  // Which file it is: its volume and its number there.
  uint64_t volume = 0;
  uint64_t index = 0;
};

// Follows symlinks; raises KitError when the path is missing, not a regular
// file or not readable.
FileInfo StatRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);
// True when both paths exist and name the same file.
bool SameFile(const std::string& a, const std::string& b);
// Makes the folder; one that exists already is fine.
void MakeFolder(const std::string& path);

// --- Host paths -------------------------------------------------------------
// A path's parts are split at "/" on POSIX, at "\", "/" and a drive's ":" on
// Windows; joined with "/" or "\".

// The text after the last separator.
std::string BaseName(const std::string& path);
// The text up to and including the last separator; "" when there is none.
std::string FolderPart(const std::string& path);
std::string JoinPath(const std::string& folder, const std::string& name);

// The full path of the running program's own file.
std::string OwnExecutablePath();
// True when standard error is a terminal that a progress bar may redraw.
bool StderrIsTerminal();

// --- Reading ----------------------------------------------------------------

// A file open for reading at any offset. Reads from several threads at once
// are safe.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path);
  ~ReadOnlyFile();
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  uint64_t Size() const;
  // Reads `length` bytes at `offset`; raises when the file is shorter.
  std::vector<unsigned char> Read(uint64_t offset, size_t length) const;
  // Reads up to `length` bytes at `offset`; gives how many arrived, 0 at the
  // end of the file.
  size_t ReadSome(uint64_t offset, unsigned char* out, size_t length) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  intptr_t handle_ = -1;
};

std::vector<unsigned char> ReadWholeFile(const std::string& path);

// The regular files below `root`, as paths relative to it with "/" between
// parts, in byte order of those paths (the same order on every host).
// Symlinks to files are followed; a symlinked folder is refused, so a loop
// cannot run away.
std::vector<std::string> ListFilesRecursively(const std::string& root);

// --- Writing ----------------------------------------------------------------

// An output written under a temporary name beside its final place and renamed
// there by Commit(). Destroying it uncommitted removes the temporary file, so
// a failed build never leaves a half-written kit behind.
class PendingOutput {
 public:
  explicit PendingOutput(const std::string& final_path);
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  void Write(const void* data, size_t size);
  // Overwrites bytes already written (a record whose sizes were not known
  // when its place was reserved).
  void WriteAt(uint64_t offset, const void* data, size_t size);
  uint64_t Position() const { return position_; }
  // A program is made executable where the host has such a mark (mode 0755
  // rather than 0644 on POSIX).
  enum class Kind { kData, kProgram };
  void Commit(Kind kind);

 private:
  std::string final_path_;
  std::string temp_path_;
  intptr_t handle_ = -1;
  uint64_t position_ = 0;
  bool committed_ = false;
};

// Writes a file below a folder, one part at a time, never through a symlink:
// folders are made as needed and none is entered that is a link.
void WriteFileBelow(const std::string& root, const std::vector<std::string>& parts,
                    const std::vector<unsigned char>& data);

}  // namespace kitpack
