#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "payload/host.h"

namespace ldr::payload {

namespace {

int OpenFolder(int at, const char* name, int flags) {
  return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | flags);
}

}  // namespace

const char kHostSeparator = '/';

std::string SystemErrorText(unsigned long code) { return std::strerror(static_cast<int>(code)); }

std::string LastSystemErrorText() { return SystemErrorText(static_cast<unsigned long>(errno)); }

std::string JoinHostPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void MakeFolder(const std::string& path) {
  struct stat st {};
  if (::mkdir(path.c_str(), 0755) != 0 &&
      !(errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
    Fail(Fault::kWrite, "cannot create folder " + path + ": " + LastSystemErrorText());
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool OwnArguments(std::vector<std::string>*) { return false; }

bool EnvironmentValue(const char* name, std::string* value) {
  const char* text = std::getenv(name);
  if (!text) return false;
  *value = text;
  return true;
}

KitFile::KitFile(const std::string& path, bool) : path_(path) {
  handle_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (handle_ < 0) Fail(Fault::kOpen, "cannot open " + path + ": " + LastSystemErrorText());
  if (::fstat(static_cast<int>(handle_), &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(static_cast<int>(handle_));
    Fail(Fault::kOpen, "cannot open " + path + ": not a regular file");
  }
  size_ = static_cast<uint64_t>(st.st_size);
}

KitFile::~KitFile() { ::close(static_cast<int>(handle_)); }

bool ReadFullyAt(intptr_t handle, uint64_t offset, unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        ::pread(static_cast<int>(handle), buffer + done, std::min<size_t>(size - done, 1 << 30),
                static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool KitFile::ReadAt(uint64_t offset, unsigned char* buffer, size_t size) {
  return ReadFullyAt(handle_, offset, buffer, size);
}

void NewFileBelow::Open(const std::string& root, const std::vector<std::string>& parts,
                        bool replace) {
  int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) Fail(Fault::kWrite, "cannot open folder " + root + ": " + LastSystemErrorText());
  folder_ = folder;
  shown_ = root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    shown_ = JoinHostPath(shown_, parts[i]);
    if (::mkdirat(folder, parts[i].c_str(), 0755) != 0 && errno != EEXIST)
      Fail(Fault::kWrite, "cannot create folder " + shown_ + ": " + LastSystemErrorText());
    const int next = OpenFolder(folder, parts[i].c_str(), O_NOFOLLOW);
    if (next < 0)
      Fail(Fault::kExists, "cannot enter folder " + shown_ +
                               " (not a folder, or a symlink): " + LastSystemErrorText());
    ::close(folder);
    folder_ = folder = next;
  }
  name_ = parts.back();
  shown_ = JoinHostPath(shown_, name_);
  // O_NONBLOCK: should anything but a new file answer to the name after all,
  // opening it must not wait (a pipe with no reader would).
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (unsigned attempt = 0; handle_ < 0; ++attempt) {
    written_ =
        replace ? "." + name_ + ".new" + std::to_string(::getpid()) + "-" + std::to_string(attempt)
                : name_;
    handle_ = ::openat(folder, written_.c_str(), flags, 0644);
    if (handle_ >= 0) break;
    written_.clear();
    if (errno == EEXIST && replace && attempt < 100) continue;
    if (errno == EEXIST)
      Fail(Fault::kExists,
           "refusing to write " + shown_ + ": something of that name exists already");
    Fail(Fault::kWrite, "cannot create " + shown_ + ": " + LastSystemErrorText());
  }
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    written_.clear();  // not the file made here: leave it
    Fail(Fault::kExists, "refusing to write " + shown_ + ": not a new regular file");
  }
  identity_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

void RemoveMadeFile(const std::string& root, const std::vector<std::string>& parts,
                    const FileIdentity& identity) {
  int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; folder >= 0 && i + 1 < parts.size(); ++i) {
    const int next = OpenFolder(folder, parts[i].c_str(), O_NOFOLLOW);
    ::close(folder);
    folder = next;
  }
  if (folder < 0) return;
  struct stat st {};
  if (::fstatat(folder, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_dev) == identity.device &&
      static_cast<uint64_t>(st.st_ino) == identity.number)
    ::unlinkat(folder, parts.back().c_str(), 0);
  ::close(folder);
}

void NewFileBelow::Release() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  if (!finished_ && !written_.empty()) ::unlinkat(static_cast<int>(folder_), written_.c_str(), 0);
  if (folder_ >= 0) ::close(static_cast<int>(folder_));
  handle_ = folder_ = -1;
}

void NewFileBelow::Write(const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), data, std::min<size_t>(size, 1 << 30));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;  // a regular file never blocks
    if (n <= 0) Fail(Fault::kWrite, "cannot write " + shown_ + ": " + LastSystemErrorText());
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void NewFileBelow::SetTime(int64_t unix_time) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(unix_time), 0}};
  if (::futimens(static_cast<int>(handle_), times) != 0)
    Fail(Fault::kWrite, "cannot set the time of " + shown_ + ": " + LastSystemErrorText());
}

void NewFileBelow::Finish() {
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (::close(fd) != 0)
    Fail(Fault::kWrite, "cannot write " + shown_ + ": " + LastSystemErrorText());
  const int folder = static_cast<int>(folder_);
  if (written_ != name_) {
    struct stat st {};
    if (::fstatat(folder, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode))
      Fail(Fault::kExists, "refusing to replace " + shown_ + ": it is not a regular file");
    if (::renameat(folder, written_.c_str(), folder, name_.c_str()) != 0)
      Fail(Fault::kWrite, "cannot replace " + shown_ + ": " + LastSystemErrorText());
  }
  finished_ = true;
}

}  // namespace ldr::payload
