// What only runs with switches ask of the Win32 platform: waiting for the
// installer, free space, removing what the run made, the log; and, in a
// guarded run, making and removing through held folders (platform_win32.h).
// A junction needs no privilege on Windows: in a run elevated by its kit's
// manifest, a user's rename must not become deletion or writing anywhere.

#include <aclapi.h>
#include <winternl.h>

#include <cstring>

#include "platform/platform_win32.h"

namespace ldr {
namespace {

// GetCurrentProcess()'s constant, without importing it.
const HANDLE kThisProcess = reinterpret_cast<HANDLE>(-1);
// A held folder's: to list it, look up names in it and read its security,
// not to delete it (a search of it asks for no delete sharing).
constexpr ACCESS_MASK kHeldAccess = GENERIC_READ | FILE_TRAVERSE;
// What lets others change what lies in a folder, or the folder itself.
constexpr ACCESS_MASK kChanging = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                  WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

std::string_view FolderKey(std::string_view path) {
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.remove_suffix(1);
  return path;
}

// The handle's file as itself: no reparse point, and its facts in *info.
bool IsPlain(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(handle, info) &&
         (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// A folder opened by its path as itself, to hold or to open in. Wine hands
// a symbolic link's target to the handle and shows the link only in the
// attributes of its path: both are asked.
HANDLE OpenFolder(SystemText path, ACCESS_MASK access) {
  HANDLE handle =
      CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (handle != INVALID_HANDLE_VALUE &&
      (!IsPlain(handle, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
       (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// This user, the Administrators or the system.
bool IsTrusted(PSID sid) {
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
    return true;
  HANDLE token;
  if (!OpenProcessToken(kThisProcess, TOKEN_QUERY, &token)) return false;
  union {
    TOKEN_USER user;
    unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD size = 0;
  const bool mine = GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size) &&
                    EqualSid(sid, buffer.user.User.Sid);
  CloseHandle(token);
  return mine;
}

// Owned by someone trusted and, with `folder`, changeable by nobody else:
// every ACE that grants a change, other than one only inherited further,
// names someone trusted.
bool IsTrustedOnly(HANDLE handle, bool folder) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  bool trusted = IsTrusted(owner) && (!folder || dacl != nullptr);
  // The ACEs follow the list's header, each giving its own size.
  const unsigned char* at = reinterpret_cast<const unsigned char*>(dacl) + sizeof(ACL);
  for (WORD i = 0; folder && trusted && i < dacl->AceCount; ++i) {
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(at);
    at += ace->Header.AceSize;
    if (ace->Header.AceType == ACCESS_DENIED_ACE_TYPE ||
        (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0)
      continue;
    // Any other kind of ACE that grants is taken to grant everything.
    trusted = ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
              ((ace->Mask & kChanging) == 0 || IsTrusted(const_cast<DWORD*>(&ace->SidStart)));
  }
  LocalFree(descriptor);
  return trusted;
}

}  // namespace

Win32Platform::~Win32Platform() {
  for (HeldFolder& held : folders_) {
    if (held.handle != nullptr) CloseHandle(held.handle);
  }
}

Win32Platform::HeldFolder* Win32Platform::Held(std::string_view path) {
  const std::string_view key = FolderKey(path);
  for (HeldFolder& held : folders_) {
    if (held.handle != nullptr && held.path == key) return &held;
  }
  return nullptr;
}

// The next slot round the ring, letting go of the folder held longest.
void Win32Platform::HoldFolder(std::string_view path, HANDLE handle) {
  HeldFolder* slot = &folders_[next_folder_];
  next_folder_ = (next_folder_ + 1) % kMaxHeldFolders;
  if (slot->handle != nullptr) CloseHandle(slot->handle);
  slot->path = FolderKey(path);
  slot->handle = handle;
}

bool Win32Platform::Made(HANDLE handle, bool note) {
  const FileId id = Win32File::IdOfHandle(handle);
  if (note) {
    if (made_count_ == kMaxMadeFiles) return false;
    made_[made_count_++] = id;
    return true;
  }
  for (int i = 0; i < made_count_; ++i) {
    if (made_[i] == id) return true;
  }
  return false;
}

HANDLE Win32Platform::OpenAt(SystemText path, ACCESS_MASK access, ULONG share, ULONG disposition,
                             ULONG options, bool* created) {
  const std::string_view whole = path.view();
  const size_t cut = whole.find_last_of("\\/") + 1;
  wchar_t units[kMaxShortText];
  const int count = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.c_str() + cut,
                                        static_cast<int>(whole.size() - cut), units, kMaxShortText);
  HeldFolder* held = Held(whole.substr(0, cut));
  HANDLE root = held != nullptr
                    ? held->handle
                    : OpenFolder(PathText(whole.substr(0, cut)), FILE_TRAVERSE | SYNCHRONIZE);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (cut > 0 && count > 0 && root != INVALID_HANDLE_VALUE) {
    UNICODE_STRING name{static_cast<USHORT>(count * 2), static_cast<USHORT>(count * 2), units};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = root;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io;
    const NTSTATUS status = NtCreateFile(
        &handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status != 0) handle = INVALID_HANDLE_VALUE;
    if (created != nullptr) *created = io.Information == FILE_CREATED;
  }
  if (held == nullptr && root != INVALID_HANDLE_VALUE) CloseHandle(root);
  return handle;
}

// Judged and held at once: what is made in it later is made relative to
// the folder judged.
FolderSharing Win32Platform::HoldTempFolder(SystemText folder, FolderSharing plain) {
  if (plain == FolderSharing::kMissing) return plain;
  HANDLE handle = OpenFolder(folder, kHeldAccess);
  if (handle == INVALID_HANDLE_VALUE) return FolderSharing::kUnsafe;
  if (!IsTrustedOnly(handle, true)) {
    CloseHandle(handle);
    return FolderSharing::kUnsafe;
  }
  HoldFolder(folder.view(), handle);
  return FolderSharing::kPrivate;
}

// Held without DELETE access: others (a search of the folder included) may
// open it without delete sharing, and none may rename or delete it.
bool Win32Platform::MakeHeldFolder(SystemText path) {
  HANDLE handle = OpenAt(path, kHeldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                         FILE_DIRECTORY_FILE);
  if (handle == INVALID_HANDLE_VALUE) return false;
  Made(handle, true);
  HoldFolder(path.view(), handle);
  return true;
}

// Made new. A file of that name the run made itself (a name two entries
// share) is cut and written again; anything else there is left alone.
OpenFile Win32Platform::CreateMade(SystemText path) {
  // Opening what is there changes nothing: it is judged before it is cut.
  bool created = false;
  HANDLE handle = OpenAt(path, GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN_IF,
                         FILE_NON_DIRECTORY_FILE, &created);
  const bool existed = !created;
  if (handle == INVALID_HANDLE_VALUE) return OpenFile();
  BY_HANDLE_FILE_INFORMATION info;
  if (!IsPlain(handle, &info) || info.nNumberOfLinks != 1 ||
      !(existed ? Made(handle) && SetEndOfFile(handle) : Made(handle, true))) {
    CloseHandle(handle);
    return OpenFile();
  }
  return Hold(handle);
}

// The loader's windows answer their messages while it waits: an installer
// that sends one to every top-level window (WM_SETTINGCHANGE after it
// changed the environment, a DDE conversation) waits for them, and would
// wait for the loader as long as the loader waits for it.
bool Win32Platform::WaitForProcess(WaitableProcess* process, uint32_t* exit_code) {
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process->id));
  process->id = 0;
  if (handle == nullptr) return false;
  DWORD waited;
  while ((waited = MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT)) ==
         WAIT_OBJECT_0 + 1) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  DWORD code = 0;
  const bool ended = waited == WAIT_OBJECT_0 && GetExitCodeProcess(handle, &code) != 0;
  CloseHandle(handle);
  *exit_code = code;
  return ended;
}

bool Win32Platform::FreeSpace(SystemText folder, uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

// Guarded: only what the run made (its id noted), opened as itself relative
// to the folder holding it. A held folder is let go first: its handle does
// not share deletion, not even with this one.
bool Win32Platform::Remove(SystemText path, ULONG options, bool made_only) {
  if (HeldFolder* held = Held(path)) {
    CloseHandle(held->handle);
    held->handle = nullptr;
  }
  HANDLE handle =
      OpenAt(path, DELETE | FILE_READ_ATTRIBUTES,
             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, options);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  IO_STATUS_BLOCK io;
  const bool deleted = (!made_only || Made(handle)) &&
                       NtSetInformationFile(handle, &io, &disposition, sizeof disposition,
                                            FileDispositionInformation) == 0;
  CloseHandle(handle);
  return deleted;
}

bool Win32Platform::RemoveFile(SystemText path) {
  if (!guarded_) return DeleteFileA(path.c_str()) != 0;
  return Remove(path, FILE_NON_DIRECTORY_FILE);
}

bool Win32Platform::RemoveEmptyFolder(SystemText path) {
  if (!guarded_) return RemoveDirectoryA(path.c_str()) != 0;
  return Remove(path, FILE_DIRECTORY_FILE);
}

// A reparse point (a junction, a symbolic link) is removed as itself, never
// what it leads to. Guarded, each entry is opened as itself relative to its
// folder and deleted through its handle; the folders on the way are the
// run's own, held, so no path leads elsewhere.
bool Win32Platform::RemoveTree(SystemText folder, bool keep_folder) {
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
      const bool folder_itself = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                 (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
      if (path.cut()) {
        all = false;
      } else if (folder_itself) {
        all = RemoveTree(path, false) && all;
      } else if (guarded_) {
        all = Remove(path, 0, false) && all;
      } else {
        all = ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryA(path.c_str())
                                                            : DeleteFileA(path.c_str())) &&
              all;
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  if (!keep_folder)
    all = (guarded_ ? Remove(folder, FILE_DIRECTORY_FILE, false)
                    : RemoveDirectoryA(folder.c_str()) != 0) &&
          all;
  return all;
}

FolderState Win32Platform::InspectFolder(SystemText path) {
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

// Guarded: each folder on the path is opened as itself and held, from its
// drive on, so that none is a reparse point or can become one before the
// log itself is opened, as itself.
OpenFile Win32Platform::OpenForAppending(SystemText path) {
  if (!guarded_) {
    HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return OpenFile();
    return Hold(handle);
  }
  constexpr int kMaxDepth = 64;
  HANDLE folders[kMaxDepth];
  int depth = 0;
  char text[kMaxPath + 1];
  const size_t length = path.view().size();
  if (length > kMaxPath) return OpenFile();
  memcpy(text, path.c_str(), length + 1);
  bool plain = true;
  for (size_t i = 1; plain && text[i] != '\0'; ++i) {
    // A folder ends here: not the drive ("C:"), nor a separator's repeat.
    const char at = text[i];
    const char before = text[i - 1];
    if ((at != '\\' && at != '/') || before == ':' || before == '\\' || before == '/') continue;
    text[i] = '\0';
    HANDLE handle = OpenFolder(text, FILE_READ_ATTRIBUTES);
    // One that cannot be opened (a server's name) must at least not be a
    // reparse point; the log's open fails where nothing is there.
    if (handle != INVALID_HANDLE_VALUE) {
      folders[depth++] = handle;
    } else {
      const DWORD attributes = GetFileAttributesA(text);
      plain =
          attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    }
    text[i] = at;
    plain = plain && depth < kMaxDepth;
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info;
  if (plain) {
    handle = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
                         FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  while (depth > 0) CloseHandle(folders[--depth]);
  if (handle == INVALID_HANDLE_VALUE) return OpenFile();
  // A device or a pipe has no file information; a folder is not opened.
  if (!IsPlain(handle, &info) || info.nNumberOfLinks != 1 || !IsTrustedOnly(handle, false)) {
    CloseHandle(handle);
    return OpenFile();
  }
  return Hold(handle);
}

TimeText Win32Platform::LocalTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return FormatTime(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

// CryptoAPI's SHA-256 (advapi32, a DLL the system always loads from its own
// folder), so that loader.exe carries no hash code of its own.
bool Win32Platform::HashStart() {
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

void Win32Platform::HashAdd(const unsigned char* bytes, size_t size) {
  while (provider_ != 0 && !hash_failed_ && size > 0) {
    const DWORD n = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    hash_failed_ = !CryptHashData(hash_, bytes, n, 0);
    bytes += n;
    size -= n;
  }
}

bool Win32Platform::HashEnd(Sha256Digest* digest) {
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

bool Win32Platform::ExpandVariables(SystemText text, PathText* expanded) {
  char buffer[kMaxPath + 1];
  const DWORD n = ExpandEnvironmentStringsA(text.c_str(), buffer, sizeof buffer);
  if (n == 0 || n > sizeof buffer) return false;
  expanded->Assign(std::string_view(buffer, n - 1));  // n counts the final zero
  return !expanded->cut();
}

void Win32Platform::SetEnvironment(SystemText name, SystemText value) {
  SetEnvironmentVariableA(name.c_str(), value.view().empty() ? nullptr : value.c_str());
}

}  // namespace ldr
