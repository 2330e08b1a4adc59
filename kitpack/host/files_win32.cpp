#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "format/shown_name.h"
#include "kitpack/host/files.h"
#include "kitpack/host/interrupt.h"

// ANSI calls throughout: the program's manifest sets the UTF-8 code page, so
// paths arrive and leave as UTF-8, as on POSIX.

namespace kitpack {

namespace {

constexpr char kSeparators[] = "\\/:";

// The system's text for the last error, without its line break.
std::string LastErrorText() { return ldr::payload::LastSystemErrorText(); }

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

struct Handle {
  HANDLE h;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// Opens a file or folder for its attributes only, following links.
HANDLE OpenForAttributes(const std::string& path) {
  return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// 100-nanosecond ticks since 1601-01-01 UTC to whole seconds since 1970,
// rounded down like a POSIX modification time.
int64_t UnixSeconds(const FILETIME& t) {
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  constexpr int64_t kTicksPerSecond = 10000000;
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  int64_t seconds = ticks / kTicksPerSecond;
  if (ticks % kTicksPerSecond < 0) --seconds;
  return seconds - kSecondsFrom1601To1970;
}

bool IsSeparator(char c) { return std::strchr(kSeparators, c) != nullptr && c != '\0'; }

size_t LastSeparator(const std::string& path) { return path.find_last_of(kSeparators); }

}  // namespace

FileInfo StatRegularFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    throw KitError("cannot read " + path + ": " + LastErrorText());
  // A link is followed by the open below; a folder (or a link to one) is not
  // a file.
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) throw KitError(path + " is not a regular file");
  Handle file{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE)
    throw KitError("cannot read " + path + ": " + LastErrorText());
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.h, &info))
    throw KitError("cannot read " + path + ": " + LastErrorText());
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY || GetFileType(file.h) != FILE_TYPE_DISK)
    throw KitError(path + " is not a regular file");
  FileInfo out;
  out.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.mtime = UnixSeconds(info.ftLastWriteTime);
  out.volume = info.dwVolumeSerialNumber;
  out.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return out;
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool SameFile(const std::string& a, const std::string& b) {
  Handle ha{OpenForAttributes(a)};
  Handle hb{OpenForAttributes(b)};
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (ha.h == INVALID_HANDLE_VALUE || hb.h == INVALID_HANDLE_VALUE ||
      !GetFileInformationByHandle(ha.h, &ia) || !GetFileInformationByHandle(hb.h, &ib))
    return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool IsReadOnlyFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & FILE_ATTRIBUTE_READONLY);
}

void MakeFolder(const std::string& path) {
  if (!CreateDirectoryA(path.c_str(), nullptr) &&
      !(GetLastError() == ERROR_ALREADY_EXISTS && IsDirectory(path)))
    throw KitError("cannot create folder " + path + ": " + LastErrorText());
}

std::string BaseName(const std::string& path) {
  size_t cut = LastSeparator(path);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string FolderPart(const std::string& path) {
  size_t cut = LastSeparator(path);
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return IsSeparator(folder.back()) ? folder + name : folder + "\\" + name;
}

std::string OwnExecutablePath() {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) throw KitError("cannot find kitpack's own file: " + LastErrorText());
    if (n < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

bool StderrIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

ReadableFile::ReadableFile(const std::string& path) : path_(path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw KitError("cannot open " + path + ": " + LastErrorText());
  handle_ = reinterpret_cast<intptr_t>(h);
}

ReadableFile::~ReadableFile() { CloseHandle(AsHandle(handle_)); }

bool ReadableFile::ReadAt(uint64_t offset, unsigned char* buffer, size_t size) {
  size_t done = 0;
  try {
    while (done < size) {
      size_t n = ReadSome(offset + done, buffer + done, size - done);
      if (n == 0) return false;
      done += n;
    }
  } catch (const KitError&) {
    return false;
  }
  return true;
}

uint64_t ReadableFile::Size() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(handle_), &size))
    throw KitError("cannot read " + path_ + ": " + LastErrorText());
  return static_cast<uint64_t>(size.QuadPart);
}

size_t ReadableFile::ReadSome(uint64_t offset, unsigned char* out, size_t length) const {
  // Every read names its offset, so threads sharing the handle do not
  // disturb one another.
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  if (!ReadFile(AsHandle(handle_), out, static_cast<DWORD>(std::min<size_t>(length, 1 << 30)), &n,
                &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    throw KitError("cannot read " + path_ + ": " + LastErrorText());
  }
  return n;
}

std::vector<std::string> ListFilesRecursively(const std::string& root,
                                              std::vector<std::string>* skipped) {
  std::vector<std::string> out;
  std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& dir,
                                                                         const std::string& rel) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(JoinPath(dir, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
      throw KitError("cannot read folder " + dir + ": " + LastErrorText());
    struct Entry {
      std::string name;
      DWORD attributes;
    };
    std::vector<Entry> entries;
    do {
      std::string name = found.cFileName;
      if (name != "." && name != "..") entries.push_back({name, found.dwFileAttributes});
    } while (FindNextFileA(search, &found));
    FindClose(search);
    for (const Entry& e : entries) {
      std::string full = JoinPath(dir, e.name);
      std::string relative = rel.empty() ? e.name : rel + "/" + e.name;
      const bool link = e.attributes & FILE_ATTRIBUTE_REPARSE_POINT;
      if (e.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (link) {
          // A symlinked folder or a junction: not entered.
          if (skipped) skipped->push_back(relative);
          continue;
        }
        walk(full, relative);
      } else if (!link || Handle{OpenForAttributes(full)}.h != INVALID_HANDLE_VALUE) {
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
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  uint64_t seed = (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount64() ^
                  reinterpret_cast<uintptr_t>(this);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix;
    uint64_t v = seed + static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 6; ++i, v /= 36) suffix += kDigits[v % 36];
    temp_path_ = final_path + ".tmp-" + suffix;
    HANDLE h = CreateFileA(temp_path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(h);
      return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw KitError("cannot create " + temp_path_ + ": " + LastErrorText());
}

PendingOutput::~PendingOutput() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
  if (!committed_) DeleteFileA(temp_path_.c_str());
}

void PendingOutput::Write(const void* data, size_t size) {
  WriteAt(position_, data, size);
  position_ += size;
}

void PendingOutput::WriteAt(uint64_t offset, const void* data, size_t size) {
  // Ctrl-C is taken here: the file cannot be removed while this handle is
  // open, so the build unwinds and removes what it wrote (interrupt.h).
  if (InterruptRequested()) throw KitError(kInterruptedText);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    if (!WriteFile(AsHandle(handle_), p, static_cast<DWORD>(std::min<size_t>(size, 1 << 30)), &n,
                   &at) ||
        n == 0)
      throw KitError("cannot write " + temp_path_ + ": " + LastErrorText());
    p += n;
    offset += n;
    size -= n;
  }
}

bool PendingOutput::ReadBack(uint64_t offset, unsigned char* buffer, size_t size) const {
  if (offset > position_ || size > position_ - offset) return false;
  return ldr::payload::ReadFullyAt(handle_, offset, buffer, size);
}

void PendingOutput::Close() {
  if (handle_ == -1) return;
  HANDLE h = AsHandle(handle_);
  handle_ = -1;
  if (!FlushFileBuffers(h)) {
    CloseHandle(h);
    throw KitError("cannot finish " + temp_path_ + ": " + LastErrorText());
  }
  if (!CloseHandle(h)) throw KitError("cannot finish " + temp_path_ + ": " + LastErrorText());
}

void PendingOutput::MoveTo(const std::string& path) {
  RenameFile(temp_path_, path);
  temp_path_ = path;
}

void PendingOutput::Commit(Kind) {
  // Windows has no executable mark: every file may be run.
  Close();
  RenameFile(temp_path_, final_path_);
  committed_ = true;
}

std::string MakePrivateFolder(const std::string& pattern) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  const std::string stem =
      pattern.size() >= 6 && pattern.compare(pattern.size() - 6, 6, "XXXXXX") == 0
          ? pattern.substr(0, pattern.size() - 6)
          : pattern;
  uint64_t seed = (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount64();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem;
    uint64_t v = seed + static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 6; ++i, v /= 36) name += kDigits[v % 36];
    if (CreateDirectoryA(name.c_str(), nullptr)) return name;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw KitError("cannot create folder " + pattern + ": " + LastErrorText());
}

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }

void RemoveEmptyFolder(const std::string& path) { RemoveDirectoryA(path.c_str()); }

void RenameFile(const std::string& from, const std::string& to) {
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    throw KitError("cannot rename " + from + " to " + to + ": " + LastErrorText());
}

bool IsRegularFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace kitpack
