// Each part is opened O_PATH|O_NOFOLLOW: a folder that may only be searched
// (mode 0711) is walked as the system walks it, and a link is seen as a link,
// its owner and its target read from the same object.

#include "platform/posix_folder_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace ldr {
namespace {

// As many links as the system's own lookups follow before ELOOP.
constexpr int kMaxLinks = 40;
// Every folder below the root adds at least two characters to a real path.
constexpr int kMaxDepth = PATH_MAX / 2;
constexpr int kPartFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;

// Whether others could rename or replace what lies in a folder: it belongs
// to another user (an owner may rename anything inside, sticky or not), or
// others may write it and the sticky bit does not stop them.
bool OthersControl(const struct stat& info) {
  if (info.st_uid != ::geteuid() && info.st_uid != 0) return true;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0;
}

class FolderWalk {
 public:
  FolderWalk() = default;
  ~FolderWalk() { Replace(-1); }
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  FolderSharing Run(std::string_view path, int* held);

 private:
  enum class Step { kOn, kMissing, kUnsafe };

  bool Start(std::string_view path);
  bool AtRoot();
  bool NextPart(std::string_view* part);
  Step Take(std::string_view part);
  Step Follow(int link, const struct stat& info);
  void Replace(int fd) {
    if (folder_ >= 0) ::close(folder_);
    folder_ = fd;
  }

  // The parts still to walk: rest_[next_, end_). A link's target takes the
  // place of the link's own part.
  char rest_[PATH_MAX];
  size_t next_ = 0;
  size_t end_ = 0;
  int folder_ = -1;  // the folder reached so far
  int depth_ = 0;    // how far below the root it lies
  int links_ = 0;
  // Per folder of the real path so far, root first: whether others control it.
  bool controlled_[kMaxDepth + 1] = {};
};

FolderSharing FolderWalk::Run(std::string_view path, int* held) {
  *held = -1;
  if (!Start(path) || !AtRoot()) return FolderSharing::kMissing;
  std::string_view part;
  while (NextPart(&part)) {
    const Step step = Take(part);
    if (step == Step::kMissing) return FolderSharing::kMissing;
    if (step == Step::kUnsafe) return FolderSharing::kUnsafe;
  }
  for (int level = 0; level <= depth_; ++level) {
    if (controlled_[level]) return FolderSharing::kUnsafe;
  }
  struct stat info;
  if (::fstat(folder_, &info) != 0 || !S_ISDIR(info.st_mode)) return FolderSharing::kMissing;
  *held = folder_;
  folder_ = -1;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? FolderSharing::kShared
                                                   : FolderSharing::kPrivate;
}

// A relative path continues the current folder's real path.
bool FolderWalk::Start(std::string_view path) {
  size_t used = 0;
  if (path.empty() || path[0] != '/') {
    if (::getcwd(rest_, sizeof rest_) == nullptr) return false;
    used = std::strlen(rest_);
    rest_[used++] = '/';
  }
  if (path.size() >= sizeof rest_ - used) return false;
  path.copy(rest_ + used, path.size());
  end_ = used + path.size();
  rest_[end_] = '\0';
  next_ = 0;
  return true;
}

bool FolderWalk::AtRoot() {
  Replace(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat info;
  if (folder_ < 0 || ::fstat(folder_, &info) != 0) return false;
  depth_ = 0;
  controlled_[0] = OthersControl(info);
  return true;
}

bool FolderWalk::NextPart(std::string_view* part) {
  while (next_ < end_ && rest_[next_] == '/') ++next_;
  if (next_ == end_) return false;
  const size_t begin = next_;
  while (next_ < end_ && rest_[next_] != '/') ++next_;
  *part = std::string_view(rest_ + begin, next_ - begin);
  return true;
}

FolderWalk::Step FolderWalk::Take(std::string_view part) {
  if (part == "." || (part == ".." && depth_ == 0)) return Step::kOn;
  if (part == "..") {
    const int parent = ::openat(folder_, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return Step::kMissing;
    Replace(parent);
    --depth_;
    return Step::kOn;
  }
  char name[NAME_MAX + 1];
  if (part.size() > NAME_MAX) return Step::kMissing;
  part.copy(name, part.size());
  name[part.size()] = '\0';
  const int fd = ::openat(folder_, name, kPartFlags);
  struct stat info;
  if (fd < 0) return Step::kMissing;
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    return Step::kMissing;
  }
  if (S_ISLNK(info.st_mode)) {
    const Step step = Follow(fd, info);
    ::close(fd);
    return step;
  }
  if (!S_ISDIR(info.st_mode) || depth_ == kMaxDepth) {
    ::close(fd);
    return Step::kMissing;
  }
  Replace(fd);
  controlled_[++depth_] = OthersControl(info);
  return Step::kOn;
}

// The target replaces the link's part in what is left to walk; an absolute
// one starts again at the root, a relative one in the link's folder.
FolderWalk::Step FolderWalk::Follow(int link, const struct stat& info) {
  if (info.st_uid != ::geteuid() && info.st_uid != 0) return Step::kUnsafe;
  if (++links_ > kMaxLinks) return Step::kMissing;
  char target[PATH_MAX];
  const ssize_t n = ::readlinkat(link, "", target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return Step::kMissing;
  const size_t length = static_cast<size_t>(n);
  const size_t tail = end_ - next_;  // empty, or starting with its "/"
  if (length + tail >= sizeof rest_) return Step::kMissing;
  std::memmove(rest_ + length, rest_ + next_, tail);
  std::memcpy(rest_, target, length);
  end_ = length + tail;
  rest_[end_] = '\0';
  next_ = 0;
  if (target[0] == '/' && !AtRoot()) return Step::kMissing;
  return Step::kOn;
}

}  // namespace

FolderSharing ResolveFolder(std::string_view path, int* held) {
  FolderWalk walk;
  return walk.Run(path, held);
}

}  // namespace ldr
