#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "format/shown_name.h"
#include "kitpack/host/files.h"

namespace kitpack {

namespace {

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

FileInfo StatRegularFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw KitError("cannot read " + path + ": " + ErrnoText());
  if (!S_ISREG(st.st_mode)) throw KitError(path + " is not a regular file");
  if (::access(path.c_str(), R_OK) != 0) throw KitError("cannot read " + path + ": " + ErrnoText());
  FileInfo info;
  info.size = static_cast<uint64_t>(st.st_size);
  info.mtime = static_cast<int64_t>(st.st_mtime);
  info.volume = static_cast<uint64_t>(st.st_dev);
  info.index = static_cast<uint64_t>(st.st_ino);
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

bool IsReadOnlyFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

void MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(path)))
    throw KitError("cannot create folder " + path + ": " + ErrnoText());
}

std::string BaseName(const std::string& path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string FolderPart(const std::string& path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string OwnExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw KitError("cannot find kitpack's own file: " + ErrnoText());
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

ReadableFile::ReadableFile(const std::string& path) : path_(path) {
  handle_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle_ < 0) throw KitError("cannot open " + path + ": " + ErrnoText());
}

ReadableFile::~ReadableFile() { ::close(static_cast<int>(handle_)); }

bool ReadableFile::ReadAt(uint64_t offset, unsigned char* buffer, size_t size) {
  return ldr::payload::ReadFullyAt(handle_, offset, buffer, size);
}

uint64_t ReadableFile::Size() const {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0)
    throw KitError("cannot read " + path_ + ": " + ErrnoText());
  return static_cast<uint64_t>(st.st_size);
}

size_t ReadableFile::ReadSome(uint64_t offset, unsigned char* out, size_t length) const {
  for (;;) {
    ssize_t n = ::pread(static_cast<int>(handle_), out, std::min<size_t>(length, 1 << 30),
                        static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw KitError("cannot read " + path_ + ": " + ErrnoText());
    return static_cast<size_t>(n);
  }
}

std::vector<std::string> ListFilesRecursively(const std::string& root,
                                              std::vector<std::string>* skipped) {
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
      std::string full = JoinPath(dir, name);
      std::string relative = rel.empty() ? name : rel + "/" + name;
      struct stat lst {
      }, st{};
      if (::lstat(full.c_str(), &lst) != 0)
        throw KitError("cannot read " + full + ": " + ErrnoText());
      if (S_ISDIR(lst.st_mode)) {
        walk(full, relative);
      } else if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        out.push_back(relative);
      } else if (S_ISLNK(lst.st_mode) && S_ISDIR(st.st_mode)) {
        if (skipped) skipped->push_back(relative);
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
  handle_ = ::mkstemp(buffer.data());
  if (handle_ < 0) throw KitError("cannot create " + pattern + ": " + ErrnoText());
  temp_path_ = buffer.data();
}

PendingOutput::~PendingOutput() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  if (!committed_) ::unlink(temp_path_.c_str());
}

void PendingOutput::Write(const void* data, size_t size) {
  WriteAt(position_, data, size);
  position_ += size;
}

void PendingOutput::WriteAt(uint64_t offset, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(static_cast<int>(handle_), p, std::min<size_t>(size, 1 << 30),
                         static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw KitError("cannot write " + temp_path_ + ": " + ErrnoText());
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
}

bool PendingOutput::ReadBack(uint64_t offset, unsigned char* buffer, size_t size) const {
  if (offset > position_ || size > position_ - offset) return false;
  return ldr::payload::ReadFullyAt(handle_, offset, buffer, size);
}

void PendingOutput::Close() {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (::fsync(fd) != 0) {
    ::close(fd);
    throw KitError("cannot finish " + temp_path_ + ": " + ErrnoText());
  }
  if (::close(fd) != 0) throw KitError("cannot finish " + temp_path_ + ": " + ErrnoText());
}

void PendingOutput::MoveTo(const std::string& path) {
  RenameFile(temp_path_, path);
  temp_path_ = path;
}

void PendingOutput::Commit(Kind kind) {
  const mode_t mode = kind == Kind::kProgram ? 0755 : 0644;
  if (handle_ >= 0) {
    if (::fchmod(static_cast<int>(handle_), mode) != 0)
      throw KitError("cannot finish " + temp_path_ + ": " + ErrnoText());
    Close();
  } else if (::chmod(temp_path_.c_str(), mode) != 0) {
    throw KitError("cannot finish " + temp_path_ + ": " + ErrnoText());
  }
  RenameFile(temp_path_, final_path_);
  committed_ = true;
}

std::string MakePrivateFolder(const std::string& pattern) {
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data()))
    throw KitError("cannot create folder " + pattern + ": " + ErrnoText());
  return buffer.data();
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

void RemoveEmptyFolder(const std::string& path) { ::rmdir(path.c_str()); }

void RenameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0)
    throw KitError("cannot rename " + from + " to " + to + ": " + ErrnoText());
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace kitpack
