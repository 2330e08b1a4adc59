#include "payload/host_win32_nt.h"

#include <winternl.h>

#include <cstdint>
#include <vector>

#include "format/utf8.h"

namespace ldr::payload {

namespace {

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using StatusToErrorFn = ULONG(NTAPI*)(NTSTATUS);

template <typename Fn>
Fn NtdllFunction(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE |
                                FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// NtCreateFile below `root`; the handle, or INVALID_HANDLE_VALUE and the
// Win32 error.
HANDLE CreateBelow(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, DWORD* error) {
  static const NtCreateFileFn create = NtdllFunction<NtCreateFileFn>("NtCreateFile");
  static const StatusToErrorFn to_error = NtdllFunction<StatusToErrorFn>("RtlNtStatusToDosError");
  if (!create || !to_error || name.size() > 32000) {
    *error = ERROR_NOT_SUPPORTED;
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE h = nullptr;
  const NTSTATUS status =
      create(&h, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
             options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    *error = to_error(status);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

bool IsLink(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return !GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) ||
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The entry `name` of `parent`, as the folder's listing shows it now, is
// the folder `child` holds, and no link. Where a system follows a link even
// when asked to open it as itself (Wine does), the folder opened may be the
// link's target, and no check of the name before or after the open can
// tell; the file number of what is held against that of the entry can.
bool EntryIsHeldFolder(HANDLE parent, const std::wstring& name, HANDLE child) {
  using QueryFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                   ULONG, BOOLEAN, PUNICODE_STRING, BOOLEAN);
  static const QueryFn query = NtdllFunction<QueryFn>("NtQueryDirectoryFile");
  constexpr ULONG kFileIdBothDirectoryInformation = 37;
  BY_HANDLE_FILE_INFORMATION held;
  if (!query || !GetFileInformationByHandle(child, &held)) return false;
  std::vector<unsigned char> buffer(sizeof(FILE_ID_BOTH_DIR_INFO) + 520 * sizeof(wchar_t));
  UNICODE_STRING mask;
  mask.Buffer = const_cast<PWSTR>(name.c_str());
  mask.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  mask.MaximumLength = mask.Length;
  IO_STATUS_BLOCK io{};
  if (query(parent, nullptr, nullptr, nullptr, &io, buffer.data(),
            static_cast<ULONG>(buffer.size()), kFileIdBothDirectoryInformation, TRUE, &mask,
            TRUE) < 0)
    return false;
  const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data());
  const uint64_t number = (static_cast<uint64_t>(held.nFileIndexHigh) << 32) | held.nFileIndexLow;
  return !(entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         static_cast<uint64_t>(entry->FileId.QuadPart) == number;
}

}  // namespace

std::wstring WideText(const std::string& text) {
  if (text.empty()) return L"";
  const UINT page = IsValidUtf8(text) ? CP_UTF8 : CP_ACP;
  const int n =
      MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Utf8Text(const std::wstring& text) {
  if (text.empty()) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

HANDLE OpenFolderPath(const std::string& path, DWORD* error) {
  HANDLE h = CreateFileW(WideText(path).c_str(), kFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) *error = GetLastError();
  return h;
}

namespace {

HANDLE FolderBelow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, bool make,
                   DWORD* error) {
  HANDLE h = CreateBelow(parent, name, access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         make ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE, error);
  if (h == INVALID_HANDLE_VALUE) return h;
  if (IsLink(h) || !EntryIsHeldFolder(parent, name, h)) {
    CloseHandle(h);
    *error = ERROR_CANT_ACCESS_FILE;
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

}  // namespace

HANDLE OpenOrMakeFolderBelow(HANDLE parent, const std::wstring& name, bool make, DWORD* error) {
  return FolderBelow(parent, name, kFolderAccess, make, error);
}

HANDLE OpenFolderToRemoveBelow(HANDLE parent, const std::wstring& name, DWORD* error) {
  return FolderBelow(parent, name, kFolderAccess | DELETE | READ_CONTROL, false, error);
}

HANDLE CreateNewFileBelow(HANDLE folder, const std::wstring& name, DWORD* error) {
  return CreateBelow(folder, name, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0,
                     FILE_CREATE, FILE_NON_DIRECTORY_FILE, error);
}

HANDLE OpenEntryBelow(HANDLE folder, const std::wstring& name, DWORD* error) {
  return CreateBelow(folder, name, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, error);
}

bool RenameBelow(HANDLE file, HANDLE folder, const std::wstring& name) {
  // NtSetInformationFile itself: SetFileInformationByHandle takes the name
  // for a path of its own on some systems (Wine), not one below `folder`.
  struct RenameInformation {
    BOOLEAN replace_if_exists;
    HANDLE root_directory;
    ULONG file_name_length;
    WCHAR file_name[1];
  };
  using SetInformationFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
  static const SetInformationFn set = NtdllFunction<SetInformationFn>("NtSetInformationFile");
  constexpr ULONG kFileRenameInformation = 10;
  const size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(RenameInformation) + bytes);
  auto* info = reinterpret_cast<RenameInformation*>(buffer.data());
  info->replace_if_exists = TRUE;
  info->root_directory = folder;
  info->file_name_length = static_cast<ULONG>(bytes);
  memcpy(info->file_name, name.c_str(), bytes);
  IO_STATUS_BLOCK io{};
  if (!set) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  const NTSTATUS status =
      set(file, &io, info, static_cast<ULONG>(buffer.size()), kFileRenameInformation);
  if (status >= 0) return true;
  static const StatusToErrorFn to_error = NtdllFunction<StatusToErrorFn>("RtlNtStatusToDosError");
  SetLastError(to_error ? to_error(status) : ERROR_GEN_FAILURE);
  return false;
}

bool DeleteThroughHandle(HANDLE file) {
  FILE_DISPOSITION_INFO dispose{};
  dispose.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
}

}  // namespace ldr::payload
