#pragma once
// The few file operations kitpack needs, on POSIX.

#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/pe_image.h"
#include "kitpack/kit_error.h"

namespace kitpack {

struct FileInfo {
  uint64_t size = 0;
  int64_t mtime = 0;  // seconds since 1970-01-01 UTC
  dev_t device = 0;
  ino_t inode = 0;
};

// Follows symlinks; raises KitError when the path is missing or not a
// regular file.
FileInfo StatRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);
// True when both paths exist and name the same file.
bool SameFile(const std::string& a, const std::string& b);

std::vector<unsigned char> ReadWholeFile(const std::string& path);
// Reads `length` bytes at `offset`; raises when the file is shorter.
std::vector<unsigned char> ReadRange(int fd, uint64_t offset, size_t length,
                                     const std::string& path);
// The same into a buffer of the caller's.
void ReadRangeInto(int fd, uint64_t offset, unsigned char* data, size_t length,
                   const std::string& path);

// A file open for reading, as the trailer finder and the other readers of
// the format layer read it. Raises KitError when it does not open.
class ReadableFile final : public ldr::ByteSource {
 public:
  explicit ReadableFile(const std::string& path);
  ~ReadableFile() override;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;

  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override;
  // Reads length bytes at offset; raises when the file is shorter.
  std::vector<unsigned char> Range(uint64_t offset, size_t length) const;
  uint64_t Size() const;
  int fd() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// The regular files below `root`, as paths relative to it with "/" between
// parts, in byte order of those paths. Symlinks to files are followed;
// symlinked folders are not entered, so a loop cannot run away.
std::vector<std::string> ListFilesRecursively(const std::string& root);

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

  // Flushes and closes the file, which stays uncommitted: another program
  // may now work on it under TempPath().
  void Close();
  // Renames the uncommitted file (same file system); it is removed from
  // there when the output is dropped.
  void MoveTo(const std::string& path);
  const std::string& TempPath() const { return temp_path_; }
  bool Committed() const { return committed_; }
  void Commit(mode_t mode);

 private:
  std::string final_path_;
  std::string temp_path_;
  int fd_ = -1;
  uint64_t position_ = 0;
  bool committed_ = false;
};

// Makes a new folder, readable only by its owner, from a mkdtemp pattern
// ending in XXXXXX; gives its path.
std::string MakePrivateFolder(const std::string& pattern);

// A new file below a folder, reached one part at a time without following a
// symlink: folders are made as needed and each is opened with O_NOFOLLOW.
// The file itself must not exist yet (O_EXCL): an existing name of any kind
// (a file, a hard link to a file elsewhere, a pipe, a device) is refused
// rather than written through or waited on.
class NewFileBelow {
 public:
  NewFileBelow(const std::string& root, const std::vector<std::string>& parts);
  ~NewFileBelow();
  NewFileBelow(const NewFileBelow&) = delete;
  NewFileBelow& operator=(const NewFileBelow&) = delete;

  void Write(const unsigned char* data, size_t size);
  void Finish();

 private:
  std::string shown_;
  int fd_ = -1;
};

std::string ErrnoText();

}  // namespace kitpack
