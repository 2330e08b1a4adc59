#pragma once
// The file operations kitpack needs, one implementation per host system:
// files_posix.cpp and files_win32.cpp (ANSI calls, which the program's
// manifest makes UTF-8). Paths are the host's own; every failure raises
// KitError with the path and the system's reason.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/byte_source.h"
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
// A regular file that no one may write (no write permission bit; on
// Windows the read-only attribute).
bool IsReadOnlyFile(const std::string& path);
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

// A file open for reading at any offset, also as the trailer finder and the
// other readers of the format layer read it. Raises KitError when it does
// not open. Reads from several threads at once are safe.
class ReadableFile final : public ldr::ByteSource {
 public:
  explicit ReadableFile(const std::string& path);
  ~ReadableFile() override;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;

  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override;
  uint64_t Size() const;
  // Reads `length` bytes at `offset`; raises when the file is shorter.
  std::vector<unsigned char> Range(uint64_t offset, size_t length) const;
  // The same into a buffer of the caller's.
  void RangeInto(uint64_t offset, unsigned char* data, size_t length) const;
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
// Symlinks to files are followed; a symlinked folder is not entered, so a
// loop cannot run away: it goes to `skipped`, when given.
std::vector<std::string> ListFilesRecursively(const std::string& root,
                                              std::vector<std::string>* skipped = nullptr);

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
  // Moves everything from offset on by count bytes towards the end and fills
  // the gap with zero bytes.
  void InsertZeros(uint64_t offset, uint64_t count);
  uint64_t Position() const { return position_; }
  // Reads back bytes already written; false when they are not all there.
  bool ReadBack(uint64_t offset, unsigned char* buffer, size_t size) const;

  // Flushes and closes the file, which stays uncommitted: another program
  // may now work on it under TempPath().
  void Close();
  // Renames the uncommitted file (same file system); it is removed from
  // there when the output is dropped.
  void MoveTo(const std::string& path);
  const std::string& TempPath() const { return temp_path_; }
  bool Committed() const { return committed_; }
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

// Makes a new folder, readable only by its owner (on Windows: with the
// rights its parent folder passes on), from a pattern ending in XXXXXX,
// which is replaced by six characters that make the name new; gives its
// path.
std::string MakePrivateFolder(const std::string& pattern);
// Removes a file or an empty folder; one that is missing, or a folder that
// is not empty, is left alone without complaint.
void RemoveFile(const std::string& path);
void RemoveEmptyFolder(const std::string& path);
// Renames a file, replacing one already at `to`.
void RenameFile(const std::string& from, const std::string& to);
// True when the path names a regular file (links followed).
bool IsRegularFile(const std::string& path);

// A new file below a folder, reached one part at a time without following a
// symlink: folders are made as needed, and none is entered that is a link
// (on POSIX each is opened with O_NOFOLLOW; on Windows each is checked by
// name for a reparse point). The file itself must not exist yet (O_EXCL,
// CREATE_NEW): an existing name of any kind (a file, a hard link to a file
// elsewhere, a pipe, a device) is refused rather than written through or
// waited on.
class NewFileBelow {
 public:
  NewFileBelow(const std::string& root, const std::vector<std::string>& parts);
  ~NewFileBelow();
  NewFileBelow(const NewFileBelow&) = delete;
  NewFileBelow& operator=(const NewFileBelow&) = delete;

  void Write(const unsigned char* data, size_t size);
  void Finish();

 private:
  std::string shown_;  // the file's path for messages (format/shown_name.h)
  intptr_t handle_ = -1;
};

}  // namespace kitpack
