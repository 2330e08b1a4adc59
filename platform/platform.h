#pragma once
// Everything the loader logic needs of the operating system, behind one
// interface. The real implementation (Win32 or POSIX, one of them compiled in)
// is constructed only in main() and handed down; the fake in tests/ injects
// the faults a real system cannot produce on demand.
//
// Texts are byte strings in the system's single-byte code page (ANSI on
// Windows); nothing here converts between encodings.

#include <cstdint>
#include <memory>
#include <string>

#include "base/text_rules.h"

namespace ldr {

// An open file. The destructor closes it, so a scoped owner releases it on
// every path, the error path included.
class File {
 public:
  enum class Origin { Begin = 0, Current = 1, End = 2 };

  File() = default;
  virtual ~File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Moves the file position. Gives the new position, or -1 when the move
  // fails, in which case the position does not change.
  virtual int64_t Seek(int64_t distance, Origin origin) = 0;

  // Reads at most size bytes at the current position. Gives the number of
  // bytes read, 0 at the end of the file, or -1 when the read failed.
  virtual int32_t Read(void* buffer, uint32_t size) = 0;

  // Writes size bytes at the current position. Gives the number of bytes
  // stored (possibly fewer than size), or -1 when the write failed.
  virtual int32_t Write(const void* data, uint32_t size) = 0;
};

class Platform {
 public:
  Platform() = default;
  virtual ~Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // How host paths (the loader's own path, temp folder, working folder) are
  // split: "\" and ":" on Windows, "/" on POSIX. Names stored in archives
  // always use the Windows rules; see StoredNameStyle().
  virtual PathStyle HostPathStyle() const = 0;
  // Windows separators with this system's lead-byte test.
  virtual PathStyle StoredNameStyle() const = 0;

  // The full path of the loader's own executable (GetModuleFileNameA into
  // 261 bytes: at most 260 characters).
  virtual std::string OwnFilePath() = 0;

  // The process's whole command line (GetCommandLineA). On POSIX it is
  // composed from argv so that the splitting rules give argv back.
  virtual std::string CommandLine() = 0;

  // The temporary folder, ending in its separator (GetTempPathA with a
  // 261-byte buffer). False when there is none, or when its path does not fit
  // in 260 characters.
  virtual bool GetTempFolder(std::string* folder) = 0;

  // GetTempFileNameA(folder, prefix, 0): creates a new, empty file with a
  // unique name in folder and gives its full path; the empty text on failure.
  // Never reuses an existing file.
  virtual std::string MakeTempFileName(const std::string& folder, const std::string& prefix) = 0;

  // CreateDirectoryA: true when a new folder was made (false when anything of
  // that name exists already). On POSIX the folder is readable only by its
  // owner.
  virtual bool MakeFolder(const std::string& path) = 0;

  // The existence test: an entry of that name that is not a folder, and whose
  // last-write time in local time lies within 1980-01-01 .. 2107-12-31.
  virtual bool FileExists(const std::string& path) = 0;

  // Opens an existing file for reading, sharing reading and writing with
  // others. Null on failure.
  virtual std::unique_ptr<File> OpenForReading(const std::string& path) = 0;

  // Creates a new file, or cuts an existing one to 0 bytes, for reading and
  // writing, not shared. On POSIX it never follows a symbolic link. Null on
  // failure.
  virtual std::unique_ptr<File> CreateForWriting(const std::string& path) = 0;

  // Lets the owner run the file (POSIX); nothing on Windows. Failures are not
  // reported: starting the program reports them.
  virtual void MarkExecutable(const std::string& path) = 0;

  // WinExec(commandLine, SW_SHOW): starts the program named by the first word
  // and does not wait for it. 32 or more: started; 0..31: why it did not.
  // POSIX splits the line into argv by the loader's argument rules and never
  // uses a shell.
  virtual uint32_t StartProcess(const std::string& commandLine) = 0;
};

}  // namespace ldr
