#pragma once
// Everything the loader logic needs of the operating system, behind one
// interface. The real implementation (Win32 or POSIX, one of them compiled in)
// is constructed only in main() and handed down; the fake in tests/ injects
// the faults a real system cannot produce on demand.
//
// Texts are byte strings in the system's single-byte code page (ANSI on
// Windows); nothing here converts between encodings but ConvertName. Paths
// come back in fixed-capacity texts (base/text.h) and nothing here uses the
// heap: open files live in a few slots of the platform itself.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

#include <array>

#include "base/sha256.h"
#include "base/text_rules.h"

namespace ldr {

// Which file a name stands for: its volume (device) and its number on it
// (inode, file index). Two paths name the same file when their ids are equal.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool known = false;  // false: no such file, or its id could not be had
};

inline bool operator==(const FileId& a, const FileId& b) {
  return a.known && b.known && a.volume == b.volume && a.index == b.index;
}
inline bool operator!=(const FileId& a, const FileId& b) { return !(a == b); }

// Who may change what lies in a temporary folder.
enum class FolderSharing {
  // Only this user (and the system): files may go straight into it.
  kPrivate,
  // Others may add names, but cannot rename or remove this user's (the
  // sticky bit of /tmp). What the loader makes there needs a name nobody
  // can foresee, and nothing goes straight into the folder itself.
  kShared,
  // Others could rename or replace what the loader makes there: the folder
  // itself, or one on its path, is writable by others without the sticky
  // bit, or belongs to another user.
  kUnsafe,
  // No folder of that name.
  kMissing,
};

// The arguments a program receives, one after the other, each ended by a
// zero byte, in as much room as the longest command line.
class ArgumentList {
 public:
  void Clear() {
    size_ = 0;
    count_ = 0;
  }
  // False, with nothing added, when it does not fit or holds a zero byte.
  bool Add(std::string_view argument) {
    if (argument.find('\0') != std::string_view::npos || argument.size() >= sizeof bytes_ - size_)
      return false;
    argument.copy(bytes_ + size_, argument.size());
    size_ += argument.size();
    bytes_[size_++] = '\0';
    ++count_;
    return true;
  }
  int count() const { return count_; }
  // The argument at *pos (0 for the first), moving *pos on; false at the end.
  bool Next(size_t* pos, const char** argument) const {
    if (*pos >= size_) return false;
    *argument = bytes_ + *pos;
    *pos += std::string_view(*argument).size() + 1;
    return true;
  }

 private:
  char bytes_[kMaxCommandLine + 1];
  size_t size_ = 0;
  int count_ = 0;
};

// A program started for the run to wait for: the system's handle of it
// (Windows) or its process id (POSIX); 0 while there is none.
struct WaitableProcess {
  uint64_t id = 0;
};

// A program to start: its path, the arguments it receives (the first is the
// program as typed), and the same as one command line. WinExec and
// CreateProcess take the line; POSIX hands the arguments over as they are,
// never re-splitting the line.
struct ProcessStart {
  PathText program;
  // The loader's three or four, and with the deployment record those given
  // after "--", as many as the longest command line holds.
  ArgumentList arguments;
  CommandLineText command_line;
  // When given, the loader will wait for the program (/WAIT): the platform
  // puts there what WaitForProcess needs, and skips the wait for the
  // program's first input.
  WaitableProcess* waitable = nullptr;
  // When known, the file the program must be: POSIX starts nothing when its
  // path names another file by then (the result is 2, not found).
  FileId program_id;
};

// A zero-terminated text handed to the system: a path, a prefix. Made from a
// string literal or from anything with c_str() (the loader's texts; the
// tests' std::string).
class SystemText {
 public:
  SystemText(const char* text) : text_(text) {}  // NOLINT: taken as it is
  template <class Text, class = decltype(std::declval<const Text&>().c_str())>
  SystemText(const Text& text) : text_(text.c_str()) {}  // NOLINT
  const char* c_str() const { return text_; }
  std::string_view view() const { return text_; }
  operator std::string_view() const { return text_; }  // NOLINT

 private:
  const char* text_;
};

// A name as the system reads it: UTF-16 code units, as many as a name part
// of 255 characters can become.
struct WideName {
  char16_t units[kMaxShortText];
  size_t size = 0;
  std::u16string_view view() const { return std::u16string_view(units, size); }
  operator std::u16string_view() const { return view(); }  // NOLINT
};
inline bool operator==(const WideName& a, std::u16string_view b) { return a.view() == b; }

// An open file, owned by an OpenFile: the owner closes it on every path,
// the error path included.
class File {
 public:
  enum class Origin { Begin = 0, Current = 1, End = 2 };

  File() = default;
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

  // The id of the open file itself, whatever its path names by now.
  virtual FileId Id() = 0;

 protected:
  friend class OpenFile;
  ~File() = default;
  // Closes the file and gives its object back to whoever made it. Called
  // once, by the owner.
  virtual void Close() = 0;
};

// The one owner of an open file; empty when an open failed. Moves, never
// copies; closes the file when it ends.
class OpenFile {
 public:
  OpenFile() = default;
  explicit OpenFile(File* file) : file_(file) {}
  OpenFile(OpenFile&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }
  OpenFile& operator=(OpenFile&& other) noexcept {
    if (this != &other) {
      reset();
      file_ = other.file_;
      other.file_ = nullptr;
    }
    return *this;
  }
  ~OpenFile() { reset(); }

  File* get() const { return file_; }
  File* operator->() const { return file_; }
  File& operator*() const { return *file_; }
  explicit operator bool() const { return file_ != nullptr; }
  void reset() {
    if (file_ != nullptr) file_->Close();
    file_ = nullptr;
  }

 private:
  File* file_ = nullptr;
};

inline bool operator==(const OpenFile& file, std::nullptr_t) { return !file; }
inline bool operator!=(const OpenFile& file, std::nullptr_t) { return static_cast<bool>(file); }

// What a folder holds, as far as /EXTRACT asks.
enum class FolderState { kMissing, kEmpty, kNotEmpty, kNotAFolder };

using Sha256Digest = std::array<unsigned char, 32>;

// SHA-256 by base/sha256.h, for the platforms without a hash of their own:
// what Platform's HashStart, HashAdd and HashEnd do there.
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

// How many files a real platform keeps open at once.
inline constexpr int kMaxOpenFiles = 8;

class Platform {
 public:
  Platform() = default;
  virtual ~Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // Where a failure does not unwind (base/failure.h), its handler closes
  // here what the files' scoped owners would have closed on the way: every
  // file opened since `mark` (a value of FilesOpened), the last opened
  // first. Where failures unwind, the owners have closed them already; a
  // platform only built that way keeps no count and closes nothing.
  virtual uint32_t FilesOpened() { return 0; }
  virtual void CloseFilesOpenedSince(uint32_t /*mark*/) {}

  // How host paths (the loader's own path, temp folder, working folder) are
  // split: "\" and ":" on Windows, "/" on POSIX. Names stored in archives
  // always use the Windows rules; see StoredNameStyle().
  virtual PathStyle HostPathStyle() const = 0;
  // Windows separators with this system's lead-byte test.
  virtual PathStyle StoredNameStyle() const = 0;

  // The full path of the loader's own executable (Windows: GetModuleFileNameA
  // into a buffer for 260 characters in the code page's longest form; POSIX:
  // up to the system's path limit). Never cut: the empty text when the path
  // does not fit whole, since a cut path could name another file.
  virtual PathText OwnFilePath() = 0;

  // The process's whole command line (GetCommandLineA). On POSIX it is
  // composed from argv so that the splitting rules give argv back, as many
  // whole arguments as the longest line Windows would hand over can hold.
  // Lives as long as the platform.
  virtual std::string_view CommandLine() = 0;

  // The arguments the command line holds from separator_end on (just after
  // a "--" the loader's rules found), exactly as the process received them:
  // split by the C runtime's rules (ReadProgramArgument) where the line is
  // the system's; POSIX takes them from argv. False when they do not all
  // fit the list.
  virtual bool ArgumentsAfterSeparator(size_t separator_end, ArgumentList* arguments) {
    arguments->Clear();
    CommandLineText argument;
    for (size_t pos = separator_end; ReadProgramArgument(CommandLine(), &pos, &argument);) {
      if (argument.cut() || !arguments->Add(argument)) return false;
      argument.Clear();
    }
    return true;
  }

  // The temporary folder, ending in its separator (GetTempPathA). False when
  // there is none, or when its path is longer than 260 characters on Windows
  // (however many bytes they take) or the system's path limit on POSIX.
  virtual bool GetTempFolder(PathText* folder) = 0;

  // Who may change what lies in the temporary folder. Windows: private (the
  // folder is the user's own); in a deployment run only when the folder's
  // owner and DACL let nobody but the user, the Administrators and the
  // system change it, else unsafe, and the folder judged is then held like
  // POSIX's (platform_win32.h). POSIX: from the owner and mode
  // of the folder and of every folder on its real path, and unsafe when the
  // path as given passes through a symbolic link that belongs to anyone but
  // the user or root. POSIX resolves the folder once and keeps it open: what
  // MakeTempFileName, MakeFolder and MakeUniqueFolder make in it is made
  // relative to that folder, whatever its path names later.
  virtual FolderSharing TempFolderSharing(SystemText folder) = 0;

  // GetTempFileNameA(folder, prefix, 0): creates a new, empty file with a
  // unique name in folder and gives its full path; the empty text on failure.
  // Never reuses an existing file.
  virtual PathText MakeTempFileName(SystemText folder, SystemText prefix) = 0;

  // CreateDirectoryA: true when a new folder was made (false when anything of
  // that name exists already). On POSIX the folder is readable only by its
  // owner, and stays open: files CreateForWriting makes in it are made
  // relative to it, so that a folder renamed or replaced on its path cannot
  // redirect them.
  virtual bool MakeFolder(SystemText path) = 0;

  // Makes a new folder in folder whose name is prefix followed by random
  // characters nobody can foresee (mkdtemp), readable only by its owner and
  // kept open like one MakeFolder made. Gives its path, or the empty text.
  virtual PathText MakeUniqueFolder(SystemText folder, SystemText prefix) = 0;

  // The existence test: an entry of that name that is not a folder, and whose
  // last-write time in local time lies within 1980-01-01 .. 2107-12-31.
  virtual bool FileExists(SystemText path) = 0;

  // Opens an existing file for reading, sharing reading and writing with
  // others. Empty on failure, also when every slot for open files is taken
  // (kMaxOpenFiles; the loader needs two at once).
  virtual OpenFile OpenForReading(SystemText path) = 0;

  // Creates a new file, or cuts an existing one to 0 bytes, for reading and
  // writing, not shared. Empty on failure. On POSIX it never follows a
  // symbolic link, and cuts nothing but a regular file of this user with no
  // other link to it (a hard link would carry the change elsewhere).
  virtual OpenFile CreateForWriting(SystemText path) = 0;

  // A name as the system itself will read it. Windows converts the code
  // page's bytes to UTF-16 (MultiByteToWideChar with MB_ERR_INVALID_CHARS)
  // and fails when they do not convert cleanly, as a lone lead byte at the
  // end of a name in a double-byte code page; the system would drop it.
  // POSIX takes bytes as they are: each byte one unit. A name of more than
  // 255 units does not convert either (no system takes one that long).
  virtual bool ConvertName(std::string_view name, WideName* converted) = 0;

  // The id of the file path names now (a final symbolic link is not
  // followed); unknown when there is none.
  virtual FileId IdentifyFile(SystemText path) = 0;

  // Lets the owner run the file (POSIX); nothing on Windows. Failures are not
  // reported: starting the program reports them.
  virtual void MarkExecutable(SystemText path) = 0;

  // The longest command line StartProcess can hand over: 32,766 characters
  // on Windows (CreateProcess's 32,767 with the final zero); on POSIX what
  // ARG_MAX leaves beside the environment.
  virtual size_t LongestCommandLine() = 0;

  // The longest path of a program StartProcess can start: 259 characters on
  // Windows (MAX_PATH with the final zero), PATH_MAX's on POSIX.
  virtual size_t LongestProgramPath() = 0;

  // Starts the program like WinExec(command_line, SW_SHOW) and does not wait
  // for it to end. 32 or more: started; 0..31: why it did not (WinExec's
  // codes). Windows: CreateProcessA with the whole line. POSIX: the program's
  // file is looked at relative to its folder when that is held (a final
  // symbolic link not followed) and started by its real path (the held
  // folder's, as the system resolves it) once that path names the same file,
  // with the arguments as given; no shell, no PATH search, no descriptor of
  // the loader's. A script gets that real path as its $0.
  virtual uint32_t StartProcess(const ProcessStart& start) = 0;

  // Whether StartProcess hands a batch file (.bat, .cmd) to cmd.exe, which
  // reads the command line again by rules of its own: Windows yes, POSIX no.
  virtual bool StartsBatchFilesThroughCmd() const = 0;

  // What only a run with switches asks: waiting for the installer, free
  // space, removing what the run made, the /EXTRACT folder, the log, the
  // hash of a kit's files, the environment the installer inherits.

  // Waits for the program StartProcess put into *process, and gives its
  // exit code (Windows: GetExitCodeProcess; POSIX: the exit status, or 128
  // + the signal that ended it). Lets the process go (its id becomes 0)
  // either way. False when there is none, or it cannot wait.
  virtual bool WaitForProcess(WaitableProcess* process, uint32_t* exit_code) = 0;

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
};

}  // namespace ldr
