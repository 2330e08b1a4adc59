// What only deployment runs ask of the Win32 platform: waiting for the
// installer, free space, removing what the run made, the log.

#include "platform/platform_win32.h"

namespace ldr {

uint32_t Win32DeploymentPlatform::StartProcess(const ProcessStart& start) {
  return Start(start, start.wait ? &waited_process_ : nullptr);
}

// The loader's windows answer their messages while it waits: an installer
// that sends one to every top-level window (WM_SETTINGCHANGE after it
// changed the environment, a DDE conversation) waits for them, and would
// wait for the loader as long as the loader waits for it.
bool Win32DeploymentPlatform::WaitForProcess(uint32_t* exit_code) {
  if (waited_process_ == nullptr) return false;
  DWORD waited;
  while ((waited = MsgWaitForMultipleObjects(1, &waited_process_, FALSE, INFINITE, QS_ALLINPUT)) ==
         WAIT_OBJECT_0 + 1) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  DWORD code = 0;
  const bool ended = waited == WAIT_OBJECT_0 && GetExitCodeProcess(waited_process_, &code) != 0;
  CloseHandle(waited_process_);
  waited_process_ = nullptr;
  *exit_code = code;
  return ended;
}

OpenFile Win32DeploymentPlatform::OpenForReading(SystemText path) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenFile();
  return Hold(handle);
}

bool Win32DeploymentPlatform::FreeSpace(SystemText folder, uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

bool Win32DeploymentPlatform::RemoveFile(SystemText path) { return DeleteFileA(path.c_str()) != 0; }

bool Win32DeploymentPlatform::RemoveEmptyFolder(SystemText path) {
  return RemoveDirectoryA(path.c_str()) != 0;
}

// A reparse point (a junction, a symbolic link) is removed as itself: a
// folder's is removed with RemoveDirectory, which never goes through it.
bool Win32DeploymentPlatform::RemoveTree(SystemText folder, bool keep_folder) {
  PathText pattern = WithTrailingSeparator(folder, HostPathStyle());
  pattern.Append('*');
  WIN32_FIND_DATAA found;
  HANDLE search = pattern.cut() ? INVALID_HANDLE_VALUE : FindFirstFileA(pattern.c_str(), &found);
  bool all = true;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string_view name(found.cFileName);
      if (name == "." || name == "..") continue;
      PathText path = WithTrailingSeparator(folder, HostPathStyle());
      path.Append(name);
      const DWORD attributes = found.dwFileAttributes;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        all = !path.cut() && DeleteFileA(path.c_str()) && all;
      } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        all = !path.cut() && RemoveDirectoryA(path.c_str()) && all;
      } else {
        all = !path.cut() && RemoveTree(path, false) && all;
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  if (!keep_folder) all = RemoveDirectoryA(folder.c_str()) && all;
  return all;
}

FolderState Win32DeploymentPlatform::InspectFolder(SystemText path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FolderState::kMissing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FolderState::kNotAFolder;
  PathText pattern = WithTrailingSeparator(path, HostPathStyle());
  pattern.Append('*');
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return FolderState::kEmpty;
  FolderState state = FolderState::kEmpty;
  do {
    const std::string_view name(found.cFileName);
    if (name != "." && name != "..") state = FolderState::kNotEmpty;
  } while (state == FolderState::kEmpty && FindNextFileA(search, &found));
  FindClose(search);
  return state;
}

OpenFile Win32DeploymentPlatform::OpenForAppending(SystemText path) {
  HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenFile();
  return Hold(handle);
}

TimeText Win32DeploymentPlatform::LocalTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return FormatTime(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

// CryptoAPI's SHA-256 (advapi32, a DLL the system always loads from its own
// folder), so that loader.exe carries no hash code of its own.
bool Win32DeploymentPlatform::HashStart() {
  Sha256Digest ignored;
  if (provider_ != 0) HashEnd(&ignored);
  hash_failed_ = false;
  if (!CryptAcquireContextA(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    provider_ = 0;
    return false;
  }
  if (CryptCreateHash(provider_, CALG_SHA_256, 0, 0, &hash_)) return true;
  CryptReleaseContext(provider_, 0);
  provider_ = 0;
  return false;
}

void Win32DeploymentPlatform::HashAdd(const unsigned char* bytes, size_t size) {
  while (provider_ != 0 && !hash_failed_ && size > 0) {
    const DWORD n = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    hash_failed_ = !CryptHashData(hash_, bytes, n, 0);
    bytes += n;
    size -= n;
  }
}

bool Win32DeploymentPlatform::HashEnd(Sha256Digest* digest) {
  if (provider_ == 0) return false;
  DWORD length = static_cast<DWORD>(digest->size());
  const bool hashed = !hash_failed_ &&
                      CryptGetHashParam(hash_, HP_HASHVAL, digest->data(), &length, 0) &&
                      length == digest->size();
  CryptDestroyHash(hash_);
  CryptReleaseContext(provider_, 0);
  provider_ = 0;
  hash_ = 0;
  return hashed;
}

void Win32DeploymentPlatform::SetEnvironment(SystemText name, SystemText value) {
  SetEnvironmentVariableA(name.c_str(), value.view().empty() ? nullptr : value.c_str());
}

}  // namespace ldr
