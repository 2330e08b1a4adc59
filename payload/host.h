#pragma once
// The few file operations the payload library needs, one implementation per
// system: host_posix.cpp and host_win32.cpp (wide calls there, UTF-8 paths
// at this edge). Every failure
// raises Failure with the path and the system's reason. kitpack's extractor
// writes through NewFileBelow too.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/byte_source.h"
#include "payload/failure.h"

namespace ldr::payload {

// The separator this system's paths are joined with.
extern const char kHostSeparator;

// folder + separator + name; no separator is doubled.
std::string JoinHostPath(const std::string& folder, const std::string& name);

// True when the path names something that is not a folder (links followed).
bool IsFile(const std::string& path);

// Makes one folder; one that exists already is fine. Raises kWrite.
void MakeFolder(const std::string& path);

// True when the path names a folder (links followed).
bool IsFolder(const std::string& path);

// This program's arguments, its own name first, in UTF-8, as the system
// holds them: on Windows read afresh from the process's UTF-16 command line
// (GetCommandLineW) and split by the C runtime's rules, so that no
// character outside the ANSI code page is lost. False elsewhere, where
// main's argv is that already.
bool OwnArguments(std::vector<std::string>* args);

// Removes the loader's working folder this program runs from (a folder
// named as IsWorkingFolderName says, directly in the user's temporary
// folder, owned by the current user) with the files in it, and the empty
// ".tmp" file of the same name beside it. Everything is reached through
// folders held open, never through a link: a link inside is removed as
// itself, a folder inside stays (the loader makes none). On Windows this
// program's own file cannot go while it runs: it is moved over the ".tmp"
// file, the folder removed, and a system program (cmd.exe, started
// without a window) deletes that one name once this process has ended.
// Returns the folder ("" when this program does not run from one). Raises
// kWrite when something of it cannot be removed.
std::string RemoveOwnWorkingFolder();

// The system's text for the last failed call (errno, GetLastError), one
// line. kitpack's files report through it too.
std::string LastSystemErrorText();
// The system's text for an error code (an errno value, a GetLastError
// value), without the line break, blanks and full stop Windows ends it with;
// "error N" when the system has none.
std::string SystemErrorText(unsigned long code);

// Reads exactly `size` bytes at `offset` from an open file (a descriptor on
// POSIX, a HANDLE on Windows), without moving a shared file position; false
// when they are not all there. kitpack's files read through it too.
bool ReadFullyAt(intptr_t handle, uint64_t offset, unsigned char* buffer, size_t size);

// The value of an environment variable of this process; false when it is
// not set.
bool EnvironmentValue(const char* name, std::string* value);

// What the payload's records and streams are read through: the kit's file,
// or a pass over it that hashes what it reads (digest_pass.h).
class PayloadReader {
 public:
  virtual ~PayloadReader() = default;
  // Raises kDamaged naming `what` when the bytes are not all there.
  virtual void Read(uint64_t offset, unsigned char* buffer, size_t size,
                    const std::string& what) = 0;
};

// A file open for reading at any offset, as the trailer finder reads it.
class KitFile final : public ByteSource, public PayloadReader {
 public:
  // Raises kOpen. With `deny_writes`, nobody may write the file while it is
  // open (Windows: no write or delete sharing; an open that another
  // writer holds fails); POSIX has no such lock, so a reader that must be
  // sure of the bytes hashes them as it reads them.
  explicit KitFile(const std::string& path, bool deny_writes = false);
  ~KitFile() override;
  KitFile(const KitFile&) = delete;
  KitFile& operator=(const KitFile&) = delete;

  uint64_t Size() const { return size_; }
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override;
  void Read(uint64_t offset, unsigned char* buffer, size_t size, const std::string& what) override {
    if (!ReadAt(offset, buffer, size))
      Fail(Fault::kDamaged, "cannot read " + what + " in " + path_ + ": the file ends early");
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  intptr_t handle_ = -1;
  uint64_t size_ = 0;
};

// A file as the system knows it: its volume or device, and its number there.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t number = 0;
};

// A new file below a folder, reached one part at a time without following a
// link: folders are made as needed, and none is entered that is a link; each
// is held open and the next opened relative to it (POSIX: openat with
// O_NOFOLLOW; Windows: NtCreateFile below the held handle, a reparse point
// opened as itself and refused). The file is created new (O_EXCL, CREATE_NEW), so an
// existing name of any kind (a file, a hard link to a file elsewhere, a
// pipe, a device, a link) is refused (kExists) rather than written through
// or waited on. With `replace`, the data goes to a new file beside it, which
// Finish() renames over an existing regular file (never over a link or a
// folder). Dropped before Finish(), the object removes what it created.
class NewFileBelow {
 public:
  NewFileBelow(const std::string& root, const std::vector<std::string>& parts,
               bool replace = false);
  ~NewFileBelow();
  NewFileBelow(const NewFileBelow&) = delete;
  NewFileBelow& operator=(const NewFileBelow&) = delete;

  void Write(const unsigned char* data, size_t size);
  // Gives the file its modification time (seconds since 1970 UTC) once
  // written; raises kWrite.
  void SetTime(int64_t unix_time);
  void Finish();
  // Which file was made (device and file number), for RemoveMadeFile.
  const FileIdentity& identity() const { return identity_; }
  // The path as shown in messages: root and parts joined.
  const std::string& shown() const { return shown_; }

 private:
  void Open(const std::string& root, const std::vector<std::string>& parts, bool replace);
  void Release();  // closes what is open, removes the file made here unless finished

  std::string shown_;
  std::string name_;      // the last part
  std::string written_;   // the name the data goes to: name_, or a new one beside it
  intptr_t folder_ = -1;  // the folder's descriptor or handle, held open
  intptr_t handle_ = -1;
  bool finished_ = false;
  FileIdentity identity_;
};

// Removes the file NewFileBelow made at root and parts, reached the same
// way (never through a link), only while that name is still the file made
// (its identity). Does nothing, and raises nothing, otherwise.
void RemoveMadeFile(const std::string& root, const std::vector<std::string>& parts,
                    const FileIdentity& identity);

}  // namespace ldr::payload
