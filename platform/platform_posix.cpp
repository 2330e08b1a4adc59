// The POSIX platform. Host paths split at "/"; names stored in archives keep
// the Windows rules. Where Windows has a behaviour the loader relies on (the
// 261-byte path buffers, GetTempFileNameA's exclusive creation, WinExec's
// result codes) it is mirrored here.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/system_platform.h"

extern char** environ;

namespace ldr {
namespace {

// Paths from the system arrive in 261-byte buffers on Windows.
constexpr size_t kMaxSystemPath = 260;

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

 private:
  int fd_;
};

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

  PathStyle HostPathStyle() const override { return kPosixPaths; }
  PathStyle StoredNameStyle() const override { return kWindowsPaths; }

  std::string OwnFilePath() override {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0) return std::string();
    size_t length =
        static_cast<size_t>(n) > kMaxSystemPath ? kMaxSystemPath : static_cast<size_t>(n);
    return std::string(buffer, length);
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
    std::string base =
        std::string(WithTrailingSeparator(folder, kPosixPaths)) + prefix.substr(0, 3);
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

  bool MakeFolder(const std::string& path) override { return ::mkdir(path.c_str(), 0700) == 0; }

  // A regular file whose last-write time, in local time, has a DOS date
  // (1980 to 2107).
  bool FileExists(const std::string& path) override {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    time_t written = info.st_mtime;
    struct tm local;
    if (::localtime_r(&written, &local) == nullptr) return false;
    int year = local.tm_year + 1900;
    return year >= 1980 && year <= 2107;
  }

  std::unique_ptr<File> OpenForReading(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // CreateFileA does not open folders; neither does this.
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  // Never follows a symbolic link, and takes over no existing entry that is
  // not a regular file of this user: with the temporary folder as fallback
  // working folder, others may plant names there.
  std::unique_ptr<File> CreateForWriting(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  void MarkExecutable(const std::string& path) override {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) ::chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR);
  }

  // WinExec without a shell: the line is split by the loader's own rules and
  // its first word is the program's path (PATH is not searched).
  uint32_t StartProcess(const std::string& command_line) override {
    std::vector<std::string> words;
    size_t pos = 0;
    for (CommandLineText word; ReadArgument(command_line, &pos, &word) || words.empty();
         word.Clear()) {
      words.push_back(word);
    }
    if (words[0].empty()) return 2;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t child;
    int error = ::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ);
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
  std::string command_line_;
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace ldr
