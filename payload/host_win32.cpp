#include <windows.h>

#include <algorithm>
#include <string>

#include "payload/host.h"

// ANSI calls throughout: a program whose manifest sets the UTF-8 code page
// hands the library UTF-8 paths, and the names it makes are UTF-8 too.

namespace ldr::payload {

namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A folder that is not a link or junction to another.
bool IsRealFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

const char kHostSeparator = '\\';

std::string SystemErrorText(unsigned long code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n && text ? std::string(text, n) : "error " + std::to_string(code);
  LocalFree(text);
  while (!out.empty() &&
         (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  return out;
}

std::string LastSystemErrorText() { return SystemErrorText(GetLastError()); }

std::string JoinHostPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return last == '\\' || last == '/' || last == ':' ? folder + name : folder + "\\" + name;
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void MakeFolder(const std::string& path) {
  if (!CreateDirectoryA(path.c_str(), nullptr) &&
      !(GetLastError() == ERROR_ALREADY_EXISTS && IsFolder(path)))
    Fail(Fault::kWrite, "cannot create folder " + path + ": " + LastSystemErrorText());
}

KitFile::KitFile(const std::string& path) : path_(path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // A folder does not open as a file: say what it is, not "access denied".
    Fail(Fault::kOpen,
         "cannot open " + path + ": " +
             (IsFolder(path) ? std::string("not a regular file") : LastSystemErrorText()));
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  LARGE_INTEGER size;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
    CloseHandle(h);
    Fail(Fault::kOpen, "cannot open " + path + ": not a regular file");
  }
  size_ = static_cast<uint64_t>(size.QuadPart);
}

KitFile::~KitFile() { CloseHandle(AsHandle(handle_)); }

bool ReadFullyAt(intptr_t handle, uint64_t offset, unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD n = 0;
    if (!ReadFile(AsHandle(handle), buffer + done,
                  static_cast<DWORD>(std::min<size_t>(size - done, 1 << 30)), &n, &at) ||
        n == 0)
      return false;
    done += n;
  }
  return true;
}

bool KitFile::ReadAt(uint64_t offset, unsigned char* buffer, size_t size) {
  return ReadFullyAt(handle_, offset, buffer, size);
}

// Windows offers a program like this no "open below this folder handle
// without following links", so each folder is checked by name for a link (a
// reparse point) before it is entered. The file itself is made with
// CREATE_NEW, so nothing that exists, a link included, is ever opened.
void NewFileBelow::Open(const std::string& root, const std::vector<std::string>& parts,
                        bool replace) {
  if (!IsFolder(root)) Fail(Fault::kWrite, "cannot open folder " + root + ": not a folder");
  shown_ = root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    shown_ = JoinHostPath(shown_, parts[i]);
    if (!CreateDirectoryA(shown_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      Fail(Fault::kWrite, "cannot create folder " + shown_ + ": " + LastSystemErrorText());
    if (!IsRealFolder(shown_))
      Fail(Fault::kExists, "cannot enter folder " + shown_ + " (not a folder, or a symlink)");
  }
  folder_path_ = shown_;
  name_ = parts.back();
  shown_ = JoinHostPath(shown_, name_);
  for (unsigned attempt = 0;; ++attempt) {
    written_ = replace ? name_ + ".new" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(attempt)
                       : name_;
    HANDLE h =
        CreateFileA(JoinHostPath(folder_path_, written_).c_str(), GENERIC_WRITE, 0, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(h);
      break;
    }
    const DWORD error = GetLastError();
    written_.clear();
    const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    if (taken && replace && attempt < 100) continue;
    if (taken)
      Fail(Fault::kExists,
           "refusing to write " + shown_ + ": something of that name exists already");
    SetLastError(error);
    Fail(Fault::kWrite, "cannot create " + shown_ + ": " + LastSystemErrorText());
  }
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = AsHandle(handle_);
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || info.nNumberOfLinks != 1) {
    written_.clear();  // not the file made here: leave it
    Fail(Fault::kExists, "refusing to write " + shown_ + ": not a new regular file");
  }
}

void NewFileBelow::Release() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
  handle_ = -1;
  if (!finished_ && !written_.empty()) DeleteFileA(JoinHostPath(folder_path_, written_).c_str());
}

void NewFileBelow::Write(const unsigned char* data, size_t size) {
  while (size > 0) {
    DWORD n = 0;
    if (!WriteFile(AsHandle(handle_), data, static_cast<DWORD>(std::min<size_t>(size, 1 << 30)), &n,
                   nullptr) ||
        n == 0)
      Fail(Fault::kWrite, "cannot write " + shown_ + ": " + LastSystemErrorText());
    data += n;
    size -= n;
  }
}

void NewFileBelow::Finish() {
  HANDLE h = AsHandle(handle_);
  handle_ = -1;
  if (!CloseHandle(h)) Fail(Fault::kWrite, "cannot write " + shown_ + ": " + LastSystemErrorText());
  if (written_ != name_) {
    const DWORD attributes = GetFileAttributesA(shown_.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
      Fail(Fault::kExists, "refusing to replace " + shown_ + ": it is not a regular file");
    if (!MoveFileExA(JoinHostPath(folder_path_, written_).c_str(), shown_.c_str(),
                     MOVEFILE_REPLACE_EXISTING))
      Fail(Fault::kWrite, "cannot replace " + shown_ + ": " + LastSystemErrorText());
  }
  finished_ = true;
}

}  // namespace ldr::payload
