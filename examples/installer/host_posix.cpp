#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "examples/installer/host.h"

namespace installer {

const char kSeparator = '/';

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st {};
  return errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string OwnExecutablePath() {
  char buffer[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string TempFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string folder = tmpdir && *tmpdir ? tmpdir : "/tmp";
  char real[PATH_MAX + 1];
  if (::realpath(folder.c_str(), real)) folder = real;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string RemoveWorkingFolder(const std::string& folder, const std::string& temp_file) {
  // The loader makes the folder flat: files only. Nothing is followed; a
  // folder found inside stays, and so does the folder itself then.
  std::string problems;
  int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0) return "cannot open " + folder + ": " + std::strerror(errno);
  if (DIR* dir = ::fdopendir(dir_fd)) {
    while (dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      if (::unlinkat(dir_fd, e->d_name, 0) != 0) {
        problems += std::string(problems.empty() ? "" : "; ") + "cannot remove " + e->d_name +
                    ": " + std::strerror(errno);
      }
    }
    ::closedir(dir);
  } else {
    ::close(dir_fd);
  }
  if (::rmdir(folder.c_str()) != 0 && problems.empty()) {
    problems = "cannot remove " + folder + ": " + std::strerror(errno);
  }
  struct stat st {};
  if (!temp_file.empty() && ::lstat(temp_file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      ::unlink(temp_file.c_str()) != 0) {
    problems += std::string(problems.empty() ? "" : "; ") + "cannot remove " + temp_file;
  }
  return problems;
}

void ShowMessage(const std::string& title, const std::string& text, bool) {
  std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

}  // namespace installer
