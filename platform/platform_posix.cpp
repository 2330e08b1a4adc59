// Unlike a Windows user's temporary folder, /tmp is shared with every other
// user. What the loader makes there is made so that others can neither
// foresee its name nor change it afterwards: the temporary folder resolved
// once and kept open, folders readable by their owner only and kept open,
// files and folders created relative to those open folders with O_EXCL and
// O_NOFOLLOW, nothing cut that is not this user's own regular file with a
// single link, the installer started from a descriptor of the file checked.

#include "platform/platform_posix.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/posix_folder_walk.h"
#include "platform/posix_start.h"
#include "platform/system_platform.h"

extern char** environ;

namespace ldr {
namespace {

// Quotes an argument that holds a blank so that the loader's splitting rules
// read it back whole. A double quote cannot be represented and is dropped.
// Whole arguments only: one that would not fit ends the line, with those
// after it.
void ComposeCommandLine(int argc, char** argv, CommandLineText* line) {
  for (int i = 0; i < argc; ++i) {
    CommandLineText argument;
    bool has_blank = false;
    for (const char* p = argv[i]; *p != '\0'; ++p) {
      if (*p == '"') continue;
      if (static_cast<unsigned char>(*p) <= 32) has_blank = true;
      argument.Append(*p);
    }
    const bool quoted = argument.empty() || has_blank;
    const size_t needed = (i > 0 ? 1 : 0) + argument.size() + (quoted ? 2 : 0);
    if (argument.cut() || needed > line->capacity() - line->size()) return;
    if (i > 0) line->Append(' ');
    if (quoted) line->Append('"');
    line->Append(argument);
    if (quoted) line->Append('"');
  }
}

FileId IdOf(const struct stat& info) {
  return FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
}

// The text a held folder is known by: its path without final separators
// (the root keeps its own), however a path into it spells its folder.
std::string_view FolderKey(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// Letters and digits nobody can foresee, from the system's random source,
// each as likely as the others.
bool AppendRandomLetters(PathText* text, int count) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr unsigned kBelow = 62 * 4;  // bytes from here up would favour some
  while (count > 0) {
    unsigned char bytes[16];
    const ssize_t n = ::getrandom(bytes, sizeof bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    for (ssize_t i = 0; i < n && count > 0; ++i) {
      if (bytes[i] >= kBelow) continue;
      text->Append(kLetters[bytes[i] % 62]);
      --count;
    }
  }
  return true;
}

// WinExec's result for why a program did not start (errno), or 33.
uint32_t WinExecResult(int error) {
  switch (error) {
    case 0:
      return 33;
    case ENOENT:
    case ENOTDIR:
      return 2;
    case ENOEXEC:
      return 11;
    case EACCES:
    case EPERM:
      return 5;
    case ENOMEM:
      return 8;
    default:
      return 31;
  }
}

}  // namespace

int64_t PosixFile::Seek(int64_t distance, Origin origin) {
  int whence = origin == Origin::Begin ? SEEK_SET : origin == Origin::Current ? SEEK_CUR : SEEK_END;
  off_t result = ::lseek(fd_, static_cast<off_t>(distance), whence);
  return result < 0 ? -1 : static_cast<int64_t>(result);
}

int32_t PosixFile::Read(void* buffer, uint32_t size) {
  size_t wanted = size > INT32_MAX ? INT32_MAX : size;
  for (;;) {
    ssize_t n = ::read(fd_, buffer, wanted);
    if (n >= 0) return static_cast<int32_t>(n);
    if (errno != EINTR) return -1;
  }
}

// Stores everything unless the system refuses part of it (a full disk):
// then the count so far, or -1 when nothing at all was stored.
int32_t PosixFile::Write(const void* data, uint32_t size) {
  size_t wanted = size > INT32_MAX ? INT32_MAX : size;
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < wanted) {
    ssize_t n = ::write(fd_, bytes + done, wanted - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done > 0 ? static_cast<int32_t>(done) : -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<int32_t>(done);
}

FileId PosixFile::Id() {
  struct stat info;
  if (::fstat(fd_, &info) != 0) return FileId();
  return FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
}

void PosixFile::Close() {
  ::close(fd_);
  fd_ = -1;
}

PosixPlatform::PosixPlatform(int argc, char** argv) : argc_(argc), argv_(argv) {
  ComposeCommandLine(argc, argv, &command_line_);
}

// The line drops double quotes; the arguments after "--" are taken from
// argv as they came: those after the first that reads as "--" on the line.
bool PosixPlatform::ArgumentsAfterSeparator(size_t, ArgumentList* arguments) {
  arguments->Clear();
  int i = 1;
  for (; i < argc_; ++i) {
    CommandLineText shown;
    ComposeCommandLine(1, argv_ + i, &shown);
    if (shown.view() == "--") break;
  }
  for (++i; i < argc_; ++i) {
    if (!arguments->Add(argv_[i])) return false;
  }
  return true;
}

PosixPlatform::~PosixPlatform() {
  for (HeldFolder& held : folders_) {
    if (held.fd >= 0) ::close(held.fd);
  }
}

PathStyle PosixPlatform::HostPathStyle() const { return kPosixPaths; }
PathStyle PosixPlatform::StoredNameStyle() const { return kWindowsPaths; }

PathText PosixPlatform::OwnFilePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  // A path that filled the buffer may have been cut: none is better than a
  // cut one, which would name another file.
  if (n <= 0 || static_cast<size_t>(n) > kMaxSystemPath) return PathText();
  return PathText(std::string_view(buffer, static_cast<size_t>(n)));
}

std::string_view PosixPlatform::CommandLine() { return command_line_; }

// Like GetTempPathA, the folder is not checked for existence: a missing one
// fails when the temporary file is made there.
bool PosixPlatform::GetTempFolder(PathText* folder) {
  const char* tmpdir = std::getenv("TMPDIR");
  const PathText path =
      WithTrailingSeparator((tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp", kPosixPaths);
  if (path.cut() || path.size() > kMaxSystemPath) return false;
  *folder = path;
  return true;
}

// Resolved once: the folder judged is the folder held, and what is made in
// it is made relative to it, whatever its path names later.
FolderSharing PosixPlatform::TempFolderSharing(SystemText folder) {
  int held = -1;
  const FolderSharing sharing = ResolveFolder(folder.view(), &held);
  if (held >= 0) Keep(folder.view(), held, true, sharing == FolderSharing::kPrivate);
  return sharing;
}

PathText PosixPlatform::MakeTempFileName(SystemText folder, SystemText prefix) {
  PathText base = WithTrailingSeparator(folder, kPosixPaths);
  base.Append(prefix.view().substr(0, 3));
  // Four hexadecimal digits like GetTempFileNameA; the start varies so that
  // concurrent loaders rarely collide, and a collision just moves on.
  unsigned start = static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(std::time(nullptr));
  for (unsigned i = 0; i < 0x10000u; ++i) {
    unsigned number = ((start + i) & 0xFFFFu);
    if (number == 0) continue;
    PathText path = base;
    bool leading = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (number >> shift) & 0xFu;
      if (digit == 0 && leading && shift > 0) continue;
      leading = false;
      path.Append("0123456789ABCDEF"[digit]);
    }
    path.Append(".tmp");
    if (path.cut() || path.size() > kMaxSystemPath) return PathText();
    const Located at = Locate(path);
    int fd =
        ::openat(at.folder, at.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST && errno != EINTR) return PathText();
  }
  return PathText();
}

bool PosixPlatform::MakeFolder(SystemText path) {
  // A folder that could not be held is not made at all.
  if (FolderKey(path).size() > kMaxPath) return false;
  const Located at = Locate(path);
  if (::mkdirat(at.folder, at.name, 0700) != 0) return false;
  return Hold(at, path);
}

// What mkdtemp does, made relative to the held folder.
PathText PosixPlatform::MakeUniqueFolder(SystemText folder, SystemText prefix) {
  PathText base = WithTrailingSeparator(folder, kPosixPaths);
  base.Append(prefix);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    PathText path = base;
    if (!AppendRandomLetters(&path, 6) || path.cut() || path.size() > kMaxSystemPath)
      return PathText();
    const Located at = Locate(path);
    if (::mkdirat(at.folder, at.name, 0700) == 0) return Hold(at, path) ? path : PathText();
    if (errno != EEXIST) return PathText();
  }
  return PathText();
}

// Anything but a folder (a FIFO or a socket too, as FindFirstFileA would
// list it) whose last-write time, in local time, has a DOS date (1980 to
// 2107). OpenForReading refuses what is not a regular file.
bool PosixPlatform::FileExists(SystemText path) {
  const Located at = Locate(path);
  struct stat info;
  if (::fstatat(at.folder, at.name, &info, 0) != 0 || S_ISDIR(info.st_mode)) return false;
  time_t written = info.st_mtime;
  struct tm local;
  if (::localtime_r(&written, &local) == nullptr) return false;
  int year = local.tm_year + 1900;
  return year >= 1980 && year <= 2107;
}

OpenFile PosixPlatform::OpenForReading(SystemText path) {
  // O_NONBLOCK: opening a FIFO with no writer must not wait for one. A
  // socket cannot be opened at all. Only a regular file is kept.
  const Located at = Locate(path);
  int fd = ::openat(at.folder, at.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenFile();
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return OpenFile();
  }
  return Slot(fd);
}

// A new file is made exclusively. An existing one is cut only when it is a
// regular file of this user with no other link: in a folder others may have
// planted names in, neither their files nor (through a hard link) a file of
// this user elsewhere is changed.
OpenFile PosixPlatform::CreateForWriting(SystemText path) {
  const Located at = Locate(path);
  const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = ::openat(at.folder, at.name, flags | O_CREAT | O_EXCL, 0600);
  const bool existed = fd < 0 && errno == EEXIST;
  if (existed) fd = ::openat(at.folder, at.name, flags);
  if (fd < 0) return OpenFile();
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      info.st_nlink != 1 || (existed && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return OpenFile();
  }
  return Slot(fd);
}

bool PosixPlatform::ConvertName(std::string_view name, WideName* converted) {
  converted->size = 0;
  if (name.size() > kMaxShortText) return false;
  for (char c : name) converted->units[converted->size++] = static_cast<unsigned char>(c);
  return true;
}

FileId PosixPlatform::IdentifyFile(SystemText path) {
  const Located at = Locate(path);
  struct stat info;
  if (::fstatat(at.folder, at.name, &info, AT_SYMLINK_NOFOLLOW) != 0) return FileId();
  return IdOf(info);
}

// Through a descriptor: chmod would follow a symbolic link.
void PosixPlatform::MarkExecutable(SystemText path) {
  const Located at = Locate(path);
  int fd = ::openat(at.folder, at.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
    ::fchmod(fd, (info.st_mode & 07777) | S_IXUSR);
  ::close(fd);
}

// ARG_MAX bounds the arguments and the environment together; what the
// environment takes, and a margin, is not left for the line.
size_t PosixPlatform::LongestCommandLine() {
  long arg_max = ::sysconf(_SC_ARG_MAX);
  size_t room = arg_max > 0 ? static_cast<size_t>(arg_max) : 131072;
  size_t used = 2048;
  for (char** e = environ; *e != nullptr; ++e) used += std::strlen(*e) + 1 + sizeof(char*);
  return room > used ? room - used : 0;
}

size_t PosixPlatform::LongestProgramPath() { return PATH_MAX - 1; }

// WinExec without a shell: the program's path is taken as it is (PATH is
// not searched) and the arguments are handed over as they are. The file is
// looked at relative to its held folder: it must be the file written. It is
// started by its real path, the held folder's as the system resolves it
// now, once that path names the same file: every folder on the real path
// was checked when the temporary folder was taken (nobody else can rename
// or replace anything on it), so it still names that file when the system
// starts it, whatever links on the path as given change meanwhile. A script
// gets that path as its own name, and no descriptor of the loader's.
uint32_t PosixPlatform::StartProcess(const ProcessStart& start) {
  if (start.program.empty()) return 2;
  // exec takes the arguments as char*; it does not change them. Every
  // argument takes at least its zero byte in the list.
  static char* argv[kMaxCommandLine + 2];
  int count = 0;
  const char* argument = nullptr;
  for (size_t pos = 0; start.arguments.Next(&pos, &argument);)
    argv[count++] = const_cast<char*>(argument);
  if (count == 0) argv[count++] = const_cast<char*>(start.program.c_str());
  argv[count] = nullptr;
  const Located at = Locate(start.program);
  const PathText real = RealPath(at);
  struct stat info;
  struct stat named;
  int error = 0;
  if (real.empty() || real.cut()) {
    error = ENAMETOOLONG;
  } else if (::fstatat(at.folder, at.name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
             ::lstat(real.c_str(), &named) != 0) {
    error = errno;
  } else if (start.program_id.known && IdOf(info) != start.program_id) {
    error = ENOENT;  // the file written under that name is not there any more
  } else if (IdOf(named) != IdOf(info)) {
    error = ENOENT;  // the path leads elsewhere than the held folder by now
  } else if (!S_ISREG(info.st_mode)) {
    error = EACCES;  // as exec has it for anything else; a link is not followed
  } else {
    int child = 0;
    error = StartProgram(real.c_str(), argv, start.waitable != nullptr ? &child : nullptr);
    if (error == 0 && start.waitable != nullptr) start.waitable->id = static_cast<uint64_t>(child);
  }
  return WinExecResult(error);
}

PathText PosixPlatform::RealPath(Located at) const {
  if (at.folder == AT_FDCWD) return PathText(std::string_view(at.name));
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", at.folder);
  char folder[PATH_MAX];
  const ssize_t n = ::readlink(link, folder, sizeof folder);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof folder || folder[0] != '/') return PathText();
  PathText path(std::string_view(folder, static_cast<size_t>(n)));
  if (path.view() != "/") path.Append('/');
  path.Append(at.name);
  return path;
}

// A path below a held folder is reached from the nearest one on its way.
// Below a folder nobody else can change (one the run made, a private
// temporary folder) each further folder is opened relative to the last
// without following a link, and must be a folder of this user or root; each
// is held in turn. A path below no such folder is looked up as given.
PosixPlatform::Located PosixPlatform::Locate(SystemText path) {
  const std::string_view whole = path.view();
  const size_t slash = whole.rfind('/');
  if (slash == std::string_view::npos || slash + 1 >= whole.size())
    return Located{AT_FDCWD, path.c_str()};
  const char* name = path.c_str() + slash + 1;
  const std::string_view parent = FolderKey(whole.substr(0, slash + 1));
  const HeldFolder* nearest = nullptr;
  for (const HeldFolder& held : folders_) {
    const std::string_view key = held.path.view();
    const bool below = parent.size() > key.size() && parent.substr(0, key.size()) == key &&
                       (parent[key.size()] == '/' || key == "/");
    if (held.fd >= 0 && (parent == key || (below && held.walkable)) &&
        (nearest == nullptr || key.size() > nearest->path.size()))
      nearest = &held;
  }
  if (nearest == nullptr) return Located{AT_FDCWD, path.c_str()};
  int folder = nearest->fd;
  PathText reached(nearest->path);
  for (size_t at = reached.size(); at < parent.size();) {
    while (at < parent.size() && parent[at] == '/') ++at;
    const size_t end = std::min(parent.find('/', at), parent.size());
    const PathText part(parent.substr(at, end - at));
    if (part.view() == "." || part.view() == "..") return Located{-1, name};
    const int next = ::openat(folder, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (next < 0) return Located{-1, name};
    if (::fstat(next, &info) != 0 || !S_ISDIR(info.st_mode) ||
        (info.st_uid != ::geteuid() && info.st_uid != 0)) {
      ::close(next);
      return Located{-1, name};
    }
    if (reached.view() != "/") reached.Append('/');
    reached.Append(part);
    if (!Keep(reached, next, false, true)) return Located{-1, name};
    folder = next;
    at = end;
  }
  return Located{folder, name};
}

bool PosixPlatform::Hold(Located at, std::string_view path) {
  int fd = ::openat(at.folder, at.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    return false;
  }
  return Keep(path, fd);
}

bool PosixPlatform::Keep(std::string_view path, int fd, bool pinned, bool walkable) {
  const PathText name(FolderKey(path));
  if (name.cut()) {
    ::close(fd);
    return false;
  }
  // The same folder held again takes its old slot; otherwise the next slot
  // round the ring that is not pinned, letting go of the folder held longest.
  HeldFolder* slot = nullptr;
  for (HeldFolder& held : folders_) {
    if (held.fd >= 0 && held.path == name) slot = &held;
  }
  for (int tries = 0; slot == nullptr && tries < kMaxHeldFolders; ++tries) {
    HeldFolder& next = folders_[next_folder_];
    next_folder_ = (next_folder_ + 1) % kMaxHeldFolders;
    if (!next.pinned) slot = &next;
  }
  if (slot == nullptr) {
    ::close(fd);
    return false;
  }
  if (slot->fd >= 0 && slot->fd != fd) ::close(slot->fd);
  slot->path = name;
  slot->fd = fd;
  slot->pinned = slot->pinned || pinned;
  slot->walkable = walkable;
  return true;
}

OpenFile PosixPlatform::Slot(int fd) {
  for (PosixFile& file : files_) {
    if (file.fd_ < 0) {
      file.fd_ = fd;
      return OpenFile(&file);
    }
  }
  ::close(fd);
  return OpenFile();
}

}  // namespace ldr
