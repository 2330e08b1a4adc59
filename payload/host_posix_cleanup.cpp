#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "payload/host.h"
#include "payload/locate.h"

// The loader's working folder, removed below the temporary folder held
// open: nothing is reached by a path twice, no link is followed.

namespace ldr::payload {

namespace {

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string TempFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string folder = tmpdir && *tmpdir ? tmpdir : "/tmp";
  char real[PATH_MAX + 1];
  return ::realpath(folder.c_str(), real) ? std::string(real) : folder;
}

[[noreturn]] void Refuse(const std::string& what) {
  Fail(Fault::kWrite, "cannot remove the loader's working folder " + what);
}

// Every entry of the folder held open, each as itself; what could not go.
std::string RemoveEntries(int folder, const std::string& shown) {
  const int listing = ::dup(folder);
  DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
  if (!dir) {
    if (listing >= 0) ::close(listing);
    return "cannot list " + shown + ": " + LastSystemErrorText();
  }
  std::string problems;
  while (const dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (::unlinkat(folder, e->d_name, 0) != 0)
      problems += (problems.empty() ? "" : "; ") + std::string("cannot remove ") + e->d_name +
                  ": " + LastSystemErrorText();
  }
  ::closedir(dir);
  return problems;
}

}  // namespace

std::string RemoveOwnWorkingFolder() {
  char own[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", own, PATH_MAX);
  if (n <= 0) return "";
  const std::string program(own, static_cast<size_t>(n));
  std::string folder = program.substr(0, program.find_last_of('/'));
  const size_t cut = folder.find_last_of('/');
  if (cut == std::string::npos) return "";
  const std::string name = folder.substr(cut + 1);
  if (!IsWorkingFolderName(name) || folder.substr(0, cut) != TempFolder()) return "";

  Descriptor temp, held;
  temp.fd = ::open(folder.substr(0, cut).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (temp.fd < 0) Refuse(folder + ": " + LastSystemErrorText());
  held.fd = ::openat(temp.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (held.fd < 0 || ::fstat(held.fd, &st) != 0)
    Refuse(folder + ": not a folder (" + LastSystemErrorText() + ")");
  if (st.st_uid != ::geteuid()) Refuse(folder + ": another user owns it");
  std::string problems = RemoveEntries(held.fd, folder);
  // The name still the folder held, then removed; a link put in its place
  // meanwhile is no folder, and rmdir never follows one.
  struct stat now {};
  if (problems.empty() && (::fstatat(temp.fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                           now.st_ino != st.st_ino || now.st_dev != st.st_dev ||
                           ::unlinkat(temp.fd, name.c_str(), AT_REMOVEDIR) != 0))
    problems = "cannot remove " + folder + ": it was replaced, or " + LastSystemErrorText();
  // The empty file goes in any case: it only reserved the folder's name.
  const std::string marker = name + ".tmp";
  if (::fstatat(temp.fd, marker.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(now.st_mode) &&
      now.st_uid == ::geteuid() && now.st_size == 0)
    ::unlinkat(temp.fd, marker.c_str(), 0);
  if (!problems.empty()) Fail(Fault::kWrite, problems);
  return folder;
}

}  // namespace ldr::payload
