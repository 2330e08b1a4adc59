#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "base/text.h"
#include "base/text_rules.h"

#include "payload/host.h"
#include "payload/host_win32_nt.h"

// Wide calls inside, UTF-8 at the edge: an installer need not set the UTF-8
// code page in its manifest for the library's names to be right
// (WideText). The system's texts come back in the program's code page.

namespace ldr::payload {

namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(WideText(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool OwnArguments(std::vector<std::string>* args) {
  const std::string line = Utf8Text(GetCommandLineW());
  auto argument = std::make_unique<Text<3 * kMaxCommandLine>>();
  args->clear();
  for (size_t pos = 0; ReadProgramArgument(line, &pos, argument.get()); argument->Clear())
    args->emplace_back(argument->view());
  return true;
}

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
  const DWORD attributes = GetFileAttributesW(WideText(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void MakeFolder(const std::string& path) {
  if (!CreateDirectoryW(WideText(path).c_str(), nullptr) &&
      !(GetLastError() == ERROR_ALREADY_EXISTS && IsFolder(path)))
    Fail(Fault::kWrite, "cannot create folder " + path + ": " + LastSystemErrorText());
}

bool EnvironmentValue(const char* name, std::string* value) {
  const DWORD n = GetEnvironmentVariableA(name, nullptr, 0);
  if (n == 0) return false;
  std::string text(n, '\0');
  const DWORD got = GetEnvironmentVariableA(name, text.data(), n);
  if (got == 0 || got >= n) return false;
  text.resize(got);
  *value = text;
  return true;
}

KitFile::KitFile(const std::string& path, bool deny_writes) : path_(path) {
  const DWORD share = deny_writes ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE h = CreateFileW(WideText(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
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

namespace {

[[noreturn]] void FailWith(Fault fault, const std::string& text, DWORD error) {
  Fail(fault, text + ": " + SystemErrorText(error));
}

// The folder that holds the last part, every folder on the way held open
// in turn and made when `make` says so; INVALID_HANDLE_VALUE when one is
// missing and not to be made. Raises for a link or a name that is no folder.
HANDLE WalkToFolder(const std::string& root, const std::vector<std::string>& parts, bool make,
                    std::string* shown) {
  DWORD error = 0;
  HANDLE folder = OpenFolderPath(root, &error);
  if (folder == INVALID_HANDLE_VALUE) {
    if (!make) return folder;
    FailWith(Fault::kWrite, "cannot open folder " + root, error);
  }
  *shown = root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    *shown = JoinHostPath(*shown, parts[i]);
    HANDLE next = OpenOrMakeFolderBelow(folder, WideText(parts[i]), make, &error);
    CloseHandle(folder);
    folder = next;
    if (folder != INVALID_HANDLE_VALUE) continue;
    if (!make) return folder;
    if (error == ERROR_CANT_ACCESS_FILE || error == ERROR_DIRECTORY)
      Fail(Fault::kExists, "cannot enter folder " + *shown + " (not a folder, or a symlink)");
    FailWith(Fault::kWrite, "cannot create folder " + *shown, error);
  }
  return folder;
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

// Every folder is opened relative to the one before it, held open, and
// never through a link or junction; the file is made new in the last one.
// Nothing is ever reached by its path a second time.
void NewFileBelow::Open(const std::string& root, const std::vector<std::string>& parts,
                        bool replace) {
  if (!IsFolder(root)) Fail(Fault::kWrite, "cannot open folder " + root + ": not a folder");
  HANDLE folder = WalkToFolder(root, parts, true, &shown_);
  folder_ = reinterpret_cast<intptr_t>(folder);
  name_ = parts.back();
  shown_ = JoinHostPath(shown_, name_);
  for (unsigned attempt = 0;; ++attempt) {
    written_ = replace ? name_ + ".new" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(attempt)
                       : name_;
    DWORD error = 0;
    HANDLE h = CreateNewFileBelow(folder, WideText(written_), &error);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(h);
      break;
    }
    written_.clear();
    const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    if (taken && replace && attempt < 100) continue;
    if (taken)
      Fail(Fault::kExists,
           "refusing to write " + shown_ + ": something of that name exists already");
    FailWith(Fault::kWrite, "cannot create " + shown_, error);
  }
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h = AsHandle(handle_);
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
      info.nNumberOfLinks != 1) {
    written_.clear();  // not the file made here: leave it
    Fail(Fault::kExists, "refusing to write " + shown_ + ": not a new regular file");
  }
  identity_ = IdentityOf(info);
}

void NewFileBelow::Release() {
  if (handle_ != -1) {
    if (!finished_ && !written_.empty()) DeleteThroughHandle(AsHandle(handle_));
    CloseHandle(AsHandle(handle_));
  }
  if (folder_ != -1) CloseHandle(AsHandle(folder_));
  handle_ = folder_ = -1;
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

void NewFileBelow::SetTime(int64_t unix_time) {
  // 100-nanosecond steps since 1601.
  const uint64_t ticks = static_cast<uint64_t>(unix_time + 11644473600LL) * 10000000ULL;
  FILETIME written;
  written.dwLowDateTime = static_cast<DWORD>(ticks);
  written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  if (!SetFileTime(AsHandle(handle_), nullptr, nullptr, &written))
    Fail(Fault::kWrite, "cannot set the time of " + shown_ + ": " + LastSystemErrorText());
}

void NewFileBelow::Finish() {
  HANDLE folder = AsHandle(folder_);
  if (written_ != name_) {
    DWORD error = 0;
    HANDLE old = OpenEntryBelow(folder, WideText(name_), &error);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool other =
        old != INVALID_HANDLE_VALUE &&
        GetFileInformationByHandleEx(old, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
    if (other) Fail(Fault::kExists, "refusing to replace " + shown_ + ": it is not a regular file");
    if (!RenameBelow(AsHandle(handle_), folder, WideText(name_)))
      Fail(Fault::kWrite, "cannot replace " + shown_ + ": " + LastSystemErrorText());
  }
  finished_ = true;
  HANDLE h = AsHandle(handle_);
  handle_ = -1;
  if (!CloseHandle(h)) Fail(Fault::kWrite, "cannot write " + shown_ + ": " + LastSystemErrorText());
}

void RemoveMadeFile(const std::string& root, const std::vector<std::string>& parts,
                    const FileIdentity& identity) {
  std::string shown;
  HANDLE folder = INVALID_HANDLE_VALUE;
  try {
    folder = WalkToFolder(root, parts, false, &shown);
  } catch (const Failure&) {
    return;
  }
  if (folder == INVALID_HANDLE_VALUE) return;
  DWORD error = 0;
  HANDLE h = OpenEntryBelow(folder, WideText(parts.back()), &error);
  CloseHandle(folder);
  if (h == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info) &&
      !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    const FileIdentity found = IdentityOf(info);
    if (found.device == identity.device && found.number == identity.number) DeleteThroughHandle(h);
  }
  CloseHandle(h);
}

}  // namespace ldr::payload
