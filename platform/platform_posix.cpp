// The POSIX platform. Host paths split at "/"; names stored in archives keep
// the Windows rules. Where Windows has a behaviour the loader relies on (the
// 261-byte path buffers, GetTempFileNameA's exclusive creation, WinExec's
// result codes) it is mirrored here.
//
// Unlike a Windows user's temporary folder, /tmp is shared with every other
// user. What the loader makes there is made so that others can neither
// foresee its name nor change it afterwards: folders readable by their owner
// only and kept open, files created relative to those open folders with
// O_EXCL and O_NOFOLLOW, nothing cut that is not this user's own regular file
// with a single link.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include "platform/system_platform.h"

extern char** environ;

namespace ldr {
namespace {

// The longest path the system takes (PATH_MAX counts the final zero byte).
// Windows has its 260 characters; POSIX paths may be much longer.
constexpr size_t kMaxSystemPath = PATH_MAX - 1;

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  int64_t Seek(int64_t distance, Origin origin) override {
    int whence = origin == Origin::Begin     ? SEEK_SET
                 : origin == Origin::Current ? SEEK_CUR
                                             : SEEK_END;
    off_t result = ::lseek(fd_, static_cast<off_t>(distance), whence);
    return result < 0 ? -1 : static_cast<int64_t>(result);
  }

  int32_t Read(void* buffer, uint32_t size) override {
    size_t wanted = size > INT32_MAX ? INT32_MAX : size;
    for (;;) {
      ssize_t n = ::read(fd_, buffer, wanted);
      if (n >= 0) return static_cast<int32_t>(n);
      if (errno != EINTR) return -1;
    }
  }

  // Stores everything unless the system refuses part of it (a full disk):
  // then the count so far, or -1 when nothing at all was stored.
  int32_t Write(const void* data, uint32_t size) override {
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

  FileId Id() override {
    struct stat info;
    if (::fstat(fd_, &info) != 0) return FileId();
    return FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
  }

 private:
  int fd_;
};

// Whether others could rename or replace what lies in a folder: it belongs
// to another user (an owner may rename anything inside, sticky or not), or
// others may write it and the sticky bit does not stop them.
bool OthersControl(const struct stat& info) {
  if (info.st_uid != ::geteuid() && info.st_uid != 0) return true;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0;
}

// Quotes an argument that holds a blank so that the loader's splitting rules
// read it back whole. A double quote cannot be represented and is dropped.
std::string ComposeCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    std::string argument;
    bool has_blank = false;
    for (const char* p = argv[i]; *p != '\0'; ++p) {
      if (*p == '"') continue;
      if (static_cast<unsigned char>(*p) <= 32) has_blank = true;
      argument += *p;
    }
    if (i > 0) line += ' ';
    if (argument.empty() || has_blank) {
      line += '"' + argument + '"';
    } else {
      line += argument;
    }
  }
  return line;
}

class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv) : command_line_(ComposeCommandLine(argc, argv)) {}
  ~PosixPlatform() override {
    for (const auto& held : folders_) ::close(held.second);
  }
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  PathStyle HostPathStyle() const override { return kPosixPaths; }
  PathStyle StoredNameStyle() const override { return kWindowsPaths; }

  std::string OwnFilePath() override {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    // A path that filled the buffer may have been cut: none is better than
    // a cut one, which would name another file.
    if (n <= 0 || static_cast<size_t>(n) > kMaxSystemPath) return std::string();
    return std::string(buffer, static_cast<size_t>(n));
  }

  std::string CommandLine() override { return command_line_; }

  // Like GetTempPathA, the folder is not checked for existence: a missing one
  // fails when the temporary file is made there.
  bool GetTempFolder(std::string* folder) override {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string path = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
    path = WithTrailingSeparator(path, kPosixPaths);
    if (path.size() > kMaxSystemPath) return false;
    *folder = path;
    return true;
  }

  std::string MakeTempFileName(const std::string& folder, const std::string& prefix) override {
    std::string base = WithTrailingSeparator(folder, kPosixPaths) + prefix.substr(0, 3);
    // Four hexadecimal digits like GetTempFileNameA; the start varies so that
    // concurrent loaders rarely collide, and a collision just moves on.
    unsigned start = static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(std::time(nullptr));
    for (unsigned i = 0; i < 0x10000u; ++i) {
      unsigned number = ((start + i) & 0xFFFFu);
      if (number == 0) continue;
      char digits[8];
      std::snprintf(digits, sizeof digits, "%X", number);
      std::string path = base + digits + ".tmp";
      if (path.size() > kMaxSystemPath) return std::string();
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) {
        ::close(fd);
        return path;
      }
      if (errno != EEXIST && errno != EINTR) return std::string();
    }
    return std::string();
  }

  // The folder and every folder on its real path, from the root down.
  FolderSharing TempFolderSharing(const std::string& folder) override {
    char* resolved = ::realpath(folder.c_str(), nullptr);
    if (resolved == nullptr) return FolderSharing::kMissing;
    const std::string real = resolved;
    std::free(resolved);
    struct stat info;
    if (::lstat("/", &info) != 0 || OthersControl(info)) return FolderSharing::kUnsafe;
    for (size_t end = 0; end != std::string::npos;) {
      end = real.find('/', end + 1);
      const std::string part = end == std::string::npos ? real : real.substr(0, end);
      if (::lstat(part.empty() ? "/" : part.c_str(), &info) != 0) return FolderSharing::kMissing;
      if (OthersControl(info)) return FolderSharing::kUnsafe;
    }
    if (!S_ISDIR(info.st_mode)) return FolderSharing::kMissing;
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? FolderSharing::kShared
                                                     : FolderSharing::kPrivate;
  }

  bool MakeFolder(const std::string& path) override {
    if (::mkdir(path.c_str(), 0700) != 0) return false;
    return Hold(path);
  }

  std::string MakeUniqueFolder(const std::string& folder, const std::string& prefix) override {
    std::string pattern = WithTrailingSeparator(folder, kPosixPaths) + prefix + "XXXXXX";
    if (pattern.size() > kMaxSystemPath) return std::string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) return std::string();
    std::string path = buffer.data();
    return Hold(path) ? path : std::string();
  }

  // Anything but a folder (a FIFO or a socket too, as FindFirstFileA would
  // list it) whose last-write time, in local time, has a DOS date (1980 to
  // 2107). OpenForReading refuses what is not a regular file.
  bool FileExists(const std::string& path) override {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
    time_t written = info.st_mtime;
    struct tm local;
    if (::localtime_r(&written, &local) == nullptr) return false;
    int year = local.tm_year + 1900;
    return year >= 1980 && year <= 2107;
  }

  std::unique_ptr<File> OpenForReading(const std::string& path) override {
    // O_NONBLOCK: opening a FIFO with no writer must not wait for one. A
    // socket cannot be opened at all. Only a regular file is kept.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  // A new file is made exclusively. An existing one is cut only when it is
  // a regular file of this user with no other link: in a folder others may
  // have planted names in, neither their files nor (through a hard link) a
  // file of this user elsewhere is changed.
  std::unique_ptr<File> CreateForWriting(const std::string& path) override {
    int folder = AT_FDCWD;
    std::string name = path;
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
      auto held = folders_.find(slash == 0 ? "/" : path.substr(0, slash));
      if (held != folders_.end()) {
        folder = held->second;
        name = path.substr(slash + 1);
      }
    }
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::openat(folder, name.c_str(), flags | O_CREAT | O_EXCL, 0600);
    const bool existed = fd < 0 && errno == EEXIST;
    if (existed) fd = ::openat(folder, name.c_str(), flags);
    if (fd < 0) return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        info.st_nlink != 1 || (existed && ::ftruncate(fd, 0) != 0)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  bool ConvertName(const std::string& name, std::u16string* converted) override {
    converted->assign(name.begin(), name.end());
    for (char16_t& unit : *converted) unit = static_cast<unsigned char>(unit);
    return true;
  }

  FileId IdentifyFile(const std::string& path) override {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return FileId();
    return FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
  }

  // Through a descriptor: chmod would follow a symbolic link.
  void MarkExecutable(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
      ::fchmod(fd, (info.st_mode & 07777) | S_IXUSR);
    ::close(fd);
  }

  // ARG_MAX bounds the arguments and the environment together; what the
  // environment takes, and a margin, is not left for the line.
  size_t LongestCommandLine() override {
    long arg_max = ::sysconf(_SC_ARG_MAX);
    size_t room = arg_max > 0 ? static_cast<size_t>(arg_max) : 131072;
    size_t used = 2048;
    for (char** e = environ; *e != nullptr; ++e) used += std::strlen(*e) + 1 + sizeof(char*);
    return room > used ? room - used : 0;
  }

  size_t LongestProgramPath() override { return PATH_MAX - 1; }

  // WinExec without a shell: the program's path is taken as it is (PATH is
  // not searched) and the arguments are handed over as they are.
  uint32_t StartProcess(const ProcessStart& start) override {
    if (start.program.empty()) return 2;
    std::vector<std::string> words = start.arguments;
    if (words.empty()) words.push_back(start.program);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t child;
    int error =
        ::posix_spawn(&child, start.program.c_str(), nullptr, nullptr, argv.data(), environ);
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

 private:
  // Opens a folder just made and keeps it open, if it is a real folder of
  // this user.
  bool Hold(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
      ::close(fd);
      return false;
    }
    auto held = folders_.find(path);
    if (held != folders_.end()) ::close(held->second);
    folders_[path] = fd;
    return true;
  }

  std::string command_line_;
  std::map<std::string, int> folders_;  // folders made, by path, kept open
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace ldr
