// What only runs with switches ask of the POSIX platform: waiting for the
// installer, free space, removing what the run made, the log.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform_posix.h"
#include "platform/posix_folder_walk.h"

namespace ldr {

bool PosixPlatform::WaitForProcess(WaitableProcess* process, uint32_t* exit_code) {
  const pid_t child = static_cast<pid_t>(process->id);
  process->id = 0;
  if (child <= 0) return false;
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(child, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  if (WIFEXITED(status)) {
    *exit_code = static_cast<uint32_t>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    *exit_code = 128u + static_cast<uint32_t>(WTERMSIG(status));
  } else {
    return false;
  }
  return true;
}

bool PosixPlatform::FreeSpace(SystemText folder, uint64_t* bytes) {
  struct statvfs info;
  if (::statvfs(folder.c_str(), &info) != 0) return false;
  *bytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
  return true;
}

// Removed relative to the held folder the run made them in, like every
// file the run made: never through a link put in a folder's place.
bool PosixPlatform::RemoveFile(SystemText path) {
  const Located at = Locate(path);
  return ::unlinkat(at.folder, at.name, 0) == 0;
}

bool PosixPlatform::RemoveEmptyFolder(SystemText path) {
  const Located at = Locate(path);
  return ::unlinkat(at.folder, at.name, AT_REMOVEDIR) == 0;
}

namespace {

// Empties the folder open as fd (closed here), never following a link;
// deeper than the format's names reach, nothing is removed.
bool RemoveBelow(int fd, int depth) {
  DIR* folder = fd >= 0 && depth < 64 ? ::fdopendir(fd) : nullptr;
  if (folder == nullptr) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  bool all = true;
  while (const dirent* entry = ::readdir(folder)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat info;
    if (::fstatat(::dirfd(folder), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      all = false;
    } else if (S_ISDIR(info.st_mode)) {
      const int inner =
          ::openat(::dirfd(folder), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      all = RemoveBelow(inner, depth + 1) && all;
      all = ::unlinkat(::dirfd(folder), name, AT_REMOVEDIR) == 0 && all;
    } else {
      all = ::unlinkat(::dirfd(folder), name, 0) == 0 && all;
    }
  }
  ::closedir(folder);
  return all;
}

}  // namespace

bool PosixPlatform::RemoveTree(SystemText folder, bool keep_folder) {
  // Only a folder held (or reached from one held): what lies below it is
  // removed relative to it. A folder that is not held is left alone, so
  // that no path looked up again can lead the removal elsewhere.
  PathText inside = WithTrailingSeparator(folder, kPosixPaths);
  inside.Append('.');
  const Located at = Locate(inside);
  if (inside.cut() || at.folder == AT_FDCWD || at.folder < 0) return false;
  const int fd = ::openat(at.folder, ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  bool all = RemoveBelow(fd, 0);
  if (!keep_folder) all = RemoveEmptyFolder(folder) && all;
  return all;
}

FolderState PosixPlatform::InspectFolder(SystemText path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return FolderState::kMissing;
  if (!S_ISDIR(info.st_mode)) return FolderState::kNotAFolder;
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return FolderState::kNotEmpty;  // unreadable: nothing to trust
  FolderState state = FolderState::kEmpty;
  while (const dirent* entry = ::readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      state = FolderState::kNotEmpty;
      break;
    }
  }
  ::closedir(folder);
  return state;
}

// The log's folder is resolved as a temporary folder is: no link of
// another user's on the way, nothing others could rename. The file is
// reached from that folder, never through a link, and an existing one is
// taken only when it is this user's own regular file with no other link: a
// log another user made beforehand (in a shared folder) is not written to.
OpenFile PosixPlatform::OpenForAppending(SystemText path) {
  const std::string_view whole = path.view();
  const size_t slash = whole.rfind('/');
  const PathText folder(slash == std::string_view::npos ? std::string_view(".")
                        : slash == 0                    ? std::string_view("/")
                                                        : whole.substr(0, slash));
  const char* name = slash == std::string_view::npos ? path.c_str() : path.c_str() + slash + 1;
  int held = -1;
  if (folder.cut() || ResolveFolder(folder.view(), &held) == FolderSharing::kUnsafe || held < 0) {
    if (held >= 0) ::close(held);
    return OpenFile();
  }
  const int fd = ::openat(
      held, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  ::close(held);
  if (fd < 0) return OpenFile();
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      info.st_nlink != 1) {
    ::close(fd);
    return OpenFile();
  }
  return Slot(fd);
}

TimeText PosixPlatform::LocalTime() {
  const time_t now = std::time(nullptr);
  struct tm local;
  if (::localtime_r(&now, &local) == nullptr) return FormatTime(0, 0, 0, 0, 0, 0);
  return FormatTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, local.tm_sec);
}

void PosixPlatform::SetEnvironment(SystemText name, SystemText value) {
  if (value.view().empty()) {
    ::unsetenv(name.c_str());
  } else {
    ::setenv(name.c_str(), value.c_str(), 1);
  }
}

}  // namespace ldr
