#include "kitpack/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

namespace kitpack {

std::string ErrnoText() { return std::strerror(errno); }

FileInfo StatRegularFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw KitError("cannot read " + path + ": " + ErrnoText());
  if (!S_ISREG(st.st_mode)) throw KitError(path + " is not a regular file");
  if (::access(path.c_str(), R_OK) != 0) throw KitError("cannot read " + path + ": " + ErrnoText());
  FileInfo info;
  info.size = static_cast<uint64_t>(st.st_size);
  info.mtime = static_cast<int64_t>(st.st_mtime);
  info.device = st.st_dev;
  info.inode = st.st_ino;
  return info;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

namespace {
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};
}  // namespace

std::vector<unsigned char> ReadRange(int fd, uint64_t offset, size_t length,
                                     const std::string& path) {
  std::vector<unsigned char> data(length);
  ReadRangeInto(fd, offset, data.data(), length, path);
  return data;
}

void ReadRangeInto(int fd, uint64_t offset, unsigned char* data, size_t length,
                   const std::string& path) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, data + done, std::min<size_t>(length - done, 1 << 30),
                        static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw KitError("cannot read " + path + ": " + ErrnoText());
    if (n == 0) throw KitError(path + " ended early (it changed while being read?)");
    done += static_cast<size_t>(n);
  }
}

std::vector<unsigned char> ReadWholeFile(const std::string& path) {
  FileInfo info = StatRegularFile(path);
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) throw KitError("cannot open " + path + ": " + ErrnoText());
  return ReadRange(f.fd, 0, static_cast<size_t>(info.size), path);
}

ReadableFile::ReadableFile(const std::string& path)
    : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  if (fd_ < 0) throw KitError("cannot open " + path + ": " + ErrnoText());
}

ReadableFile::~ReadableFile() { ::close(fd_); }

bool ReadableFile::ReadAt(uint64_t offset, unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd_, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::vector<unsigned char> ReadableFile::Range(uint64_t offset, size_t length) const {
  return ReadRange(fd_, offset, length, path_);
}

uint64_t ReadableFile::Size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw KitError("cannot read " + path_ + ": " + ErrnoText());
  return static_cast<uint64_t>(st.st_size);
}

std::vector<std::string> ListFilesRecursively(const std::string& root) {
  std::vector<std::string> out;
  std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& dir,
                                                                         const std::string& rel) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) throw KitError("cannot read folder " + dir + ": " + ErrnoText());
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    for (const std::string& name : names) {
      std::string full = dir + "/" + name;
      std::string relative = rel.empty() ? name : rel + "/" + name;
      struct stat lst {
      }, st{};
      if (::lstat(full.c_str(), &lst) != 0)
        throw KitError("cannot read " + full + ": " + ErrnoText());
      if (S_ISDIR(lst.st_mode)) {
        walk(full, relative);
      } else if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        out.push_back(relative);
      } else {
        throw KitError(full + " is neither a regular file nor a folder");
      }
    }
  };
  walk(root, "");
  std::sort(out.begin(), out.end());
  return out;
}

PendingOutput::PendingOutput(const std::string& final_path) : final_path_(final_path) {
  std::string pattern = final_path + ".tmp-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  fd_ = ::mkstemp(buffer.data());
  if (fd_ < 0) throw KitError("cannot create " + pattern + ": " + ErrnoText());
  temp_path_ = buffer.data();
}

PendingOutput::~PendingOutput() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_path_.c_str());
}

void PendingOutput::Write(const void* data, size_t size) {
  WriteAt(position_, data, size);
  position_ += size;
}

void PendingOutput::WriteAt(uint64_t offset, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(fd_, p, std::min<size_t>(size, 1 << 30), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw KitError("cannot write " + temp_path_ + ": " + ErrnoText());
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
}

void PendingOutput::InsertZeros(uint64_t offset, uint64_t count) {
  if (count == 0) return;
  // From the end backwards, so that nothing is overwritten before it moved.
  std::vector<unsigned char> buffer;
  uint64_t end = position_;
  while (end > offset) {
    const uint64_t begin = end - std::min<uint64_t>(end - offset, uint64_t{1} << 20);
    buffer = ReadRange(fd_, begin, static_cast<size_t>(end - begin), temp_path_);
    WriteAt(begin + count, buffer.data(), buffer.size());
    end = begin;
  }
  buffer.assign(static_cast<size_t>(count), 0);
  WriteAt(offset, buffer.data(), buffer.size());
  position_ += count;
}

void PendingOutput::Close() {
  if (fd_ < 0) return;
  int fd = fd_;
  fd_ = -1;
  if (::fsync(fd) != 0) {
    ::close(fd);
    throw KitError("cannot finish " + temp_path_ + ": " + ErrnoText());
  }
  if (::close(fd) != 0) throw KitError("cannot finish " + temp_path_ + ": " + ErrnoText());
}

void PendingOutput::MoveTo(const std::string& path) {
  if (::rename(temp_path_.c_str(), path.c_str()) != 0)
    throw KitError("cannot rename " + temp_path_ + " to " + path + ": " + ErrnoText());
  temp_path_ = path;
}

void PendingOutput::Commit(mode_t mode) {
  if (fd_ >= 0) {
    if (::fchmod(fd_, mode) != 0)
      throw KitError("cannot finish " + temp_path_ + ": " + ErrnoText());
    Close();
  } else if (::chmod(temp_path_.c_str(), mode) != 0) {
    throw KitError("cannot finish " + temp_path_ + ": " + ErrnoText());
  }
  if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0)
    throw KitError("cannot rename " + temp_path_ + " to " + final_path_ + ": " + ErrnoText());
  committed_ = true;
}

std::string MakePrivateFolder(const std::string& pattern) {
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data()))
    throw KitError("cannot create folder " + pattern + ": " + ErrnoText());
  return buffer.data();
}

NewFileBelow::NewFileBelow(const std::string& root, const std::vector<std::string>& parts) {
  Fd dir{::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0) throw KitError("cannot open folder " + root + ": " + ErrnoText());
  shown_ = root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    shown_ += "/" + parts[i];
    if (::mkdirat(dir.fd, parts[i].c_str(), 0755) != 0 && errno != EEXIST)
      throw KitError("cannot create folder " + shown_ + ": " + ErrnoText());
    int next = ::openat(dir.fd, parts[i].c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (next < 0)
      throw KitError("cannot enter folder " + shown_ +
                     " (not a folder, or a symlink): " + ErrnoText());
    ::close(dir.fd);
    dir.fd = next;
  }
  shown_ += "/" + parts.back();
  // O_NONBLOCK: should anything but a new file answer to the name after all,
  // opening it must not wait (a pipe with no reader would).
  fd_ = ::openat(dir.fd, parts.back().c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    if (errno == EEXIST)
      throw KitError("refusing to write " + shown_ + ": something of that name exists already");
    throw KitError("cannot create " + shown_ + ": " + ErrnoText());
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
    throw KitError("refusing to write " + shown_ + ": not a new regular file");
}

NewFileBelow::~NewFileBelow() {
  if (fd_ >= 0) ::close(fd_);
}

void NewFileBelow::Write(const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, std::min<size_t>(size, 1 << 30));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) continue;  // a regular file never blocks; be safe anyway
    if (n <= 0) throw KitError("cannot write " + shown_ + ": " + ErrnoText());
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void NewFileBelow::Finish() {
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw KitError("cannot write " + shown_ + ": " + ErrnoText());
}

}  // namespace kitpack
