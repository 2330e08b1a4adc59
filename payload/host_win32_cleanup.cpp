#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "payload/host.h"
#include "payload/host_win32_nt.h"
#include "payload/locate.h"

// The loader's working folder, removed through handles held below the
// temporary folder (host_win32_nt.h): no name is followed as a link or
// junction, none is reached by its path twice.

namespace ldr::payload {

namespace {

struct Held {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Held() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

[[noreturn]] void Refuse(const std::string& what, DWORD error) {
  Fail(Fault::kWrite,
       "cannot remove the loader's working folder " + what + ": " + SystemErrorText(error));
}

std::wstring OwnProgram() {
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n < path.size() ? n : 0);
  return path;
}

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
  std::wstring folder = n > 0 && n <= MAX_PATH + 1 ? std::wstring(buffer, n) : std::wstring();
  while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return folder;
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

// The path the system holds for an open file or folder.
std::wstring FinalPath(HANDLE h) {
  std::wstring path(32768, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(h, path.data(), static_cast<DWORD>(path.size()),
                                            FILE_NAME_NORMALIZED);
  path.resize(n < path.size() ? n : 0);
  return path;
}

// One name in the folder as its listing shows it.
struct Listed {
  std::wstring name;
  bool link = false;
  uint64_t number = 0;
};

// The handle is the entry listed itself: a link opened as itself, or the
// very file the listing names. Where the system follows a link even when
// asked to open it as itself (Wine), the handle is its target, whose file
// number is not the entry's; deleting through it would delete the target.
// Nor can the listing always tell (Wine lists a link to a file as the
// file): the path the system gives the handle must be the entry's own.
bool HoldsListed(HANDLE h, const Listed& entry, const std::wstring& folder_path) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) ||
      !GetFileInformationByHandle(h, &info))
    return false;
  const bool link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const uint64_t number = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  const std::wstring expected = folder_path + L"\\" + entry.name;
  const std::wstring held = FinalPath(h);
  return link == entry.link && number == entry.number && !folder_path.empty() &&
         CompareStringOrdinal(held.c_str(), static_cast<int>(held.size()), expected.c_str(),
                              static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

// The current user, or the group it makes its objects' owner (an elevated
// administrator's files belong to Administrators), owns the folder.
bool OwnedByUs(HANDLE folder) {
  DWORD size = 0;
  GetKernelObjectSecurity(folder, OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<unsigned char> descriptor(size ? size : 1);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetKernelObjectSecurity(folder, OWNER_SECURITY_INFORMATION, descriptor.data(), size,
                               &size) ||
      !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || !owner)
    return false;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  bool ours = false;
  for (TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
    DWORD n = 0;
    GetTokenInformation(token, kind, nullptr, 0, &n);
    std::vector<unsigned char> info(n ? n : 1);
    if (!GetTokenInformation(token, kind, info.data(), n, &n)) continue;
    PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid
                                 : reinterpret_cast<TOKEN_OWNER*>(info.data())->Owner;
    ours = ours || EqualSid(sid, owner);
  }
  CloseHandle(token);
  return ours;
}

// The names in the folder held open, listed through its handle.
std::vector<Listed> Names(HANDLE folder) {
  std::vector<Listed> names;
  std::vector<unsigned char> buffer(64 * 1024);
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(folder, kind, buffer.data(),
                                      static_cast<DWORD>(buffer.size()))) {
    kind = FileIdBothDirectoryInfo;
    for (size_t at = 0;;) {
      const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
      const std::wstring name(e->FileName, e->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..")
        names.push_back({name, (e->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                         static_cast<uint64_t>(e->FileId.QuadPart)});
      if (e->NextEntryOffset == 0) break;
      at += e->NextEntryOffset;
    }
  }
  return names;
}

// Deletes `marker` in `temp` once this process has ended, by cmd.exe from
// the system folder (no AutoRun commands, no window): it tries once a
// second, for at most ten minutes. `del` removes a link as itself.
void DeleteAfterExit(const std::wstring& temp, const std::wstring& marker) {
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  const std::wstring folder(system, n);
  const std::wstring cmd = folder + L"\\cmd.exe";
  const std::wstring target = L"\"" + temp + L"\\" + marker + L"\"";
  std::wstring line = L"\"" + cmd + L"\" /d /q /c \"for /l %i in (1,1,600) do @(\"" + folder +
                      L"\\ping.exe\" -n 2 127.0.0.1 >nul & del /f /q " + target +
                      L" 2>nul & if not exist " + target + L" exit)\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(cmd.c_str(), line.data(), nullptr, nullptr, FALSE,
                     CREATE_NO_WINDOW | BELOW_NORMAL_PRIORITY_CLASS, nullptr, folder.c_str(),
                     &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace

std::string RemoveOwnWorkingFolder() {
  const std::wstring program = OwnProgram();
  const size_t at = program.find_last_of(L'\\');
  if (at == std::wstring::npos) return "";
  const std::wstring folder = program.substr(0, at);
  const size_t cut = folder.find_last_of(L'\\');
  const std::wstring temp = TempFolder();
  if (cut == std::wstring::npos || temp.empty()) return "";
  const std::wstring name = folder.substr(cut + 1);
  if (!IsWorkingFolderName(Utf8Text(name)) ||
      CompareStringOrdinal(folder.c_str(), static_cast<int>(cut), temp.c_str(),
                           static_cast<int>(temp.size()), TRUE) != CSTR_EQUAL)
    return "";
  const std::string shown = Utf8Text(folder);
  // A folder that is a process's current folder cannot be removed.
  SetCurrentDirectoryW(temp.c_str());
  DWORD error = 0;
  Held parent, held, image;
  parent.h = OpenFolderPath(Utf8Text(temp), &error);
  if (parent.h == INVALID_HANDLE_VALUE) Refuse(shown, error);
  held.h = OpenFolderToRemoveBelow(parent.h, name, &error);
  if (held.h == INVALID_HANDLE_VALUE) Refuse(shown, error);
  if (!OwnedByUs(held.h)) Fail(Fault::kWrite, "cannot remove " + shown + ": it is not yours");
  Held self;
  self.h = CreateFileW(program.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  std::string problems;
  const std::wstring held_path = FinalPath(held.h);
  for (const Listed& entry : Names(held.h)) {
    Held h;
    h.h = OpenEntryBelow(held.h, entry.name, &error);
    if (h.h == INVALID_HANDLE_VALUE) {
      problems += "; cannot remove " + Utf8Text(entry.name) + ": " + SystemErrorText(error);
    } else if (!HoldsListed(h.h, entry, held_path)) {
      problems += "; cannot remove " + Utf8Text(entry.name) + ": a link this system follows";
    } else if (self.h != INVALID_HANDLE_VALUE && SameFile(h.h, self.h)) {
      std::swap(image.h, h.h);
    } else if (!DeleteThroughHandle(h.h)) {
      problems += "; cannot remove " + Utf8Text(entry.name) + ": " + LastSystemErrorText();
    }
  }
  if (!problems.empty()) Fail(Fault::kWrite, problems.substr(2));
  // This program's file goes over the loader's empty ".tmp" file (its name
  // reserved by the loader): the folder is empty then.
  const std::wstring marker = name + L".tmp";
  if (image.h != INVALID_HANDLE_VALUE) {
    Held old;
    old.h = OpenEntryBelow(parent.h, marker, &error);
    BY_HANDLE_FILE_INFORMATION info;
    if (old.h != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(old.h, &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
         info.nFileSizeLow != 0 || info.nFileSizeHigh != 0))
      Fail(Fault::kWrite, "cannot remove " + shown + ": " + Utf8Text(marker) +
                              " beside it is not the loader's empty file");
    CloseHandle(old.h);
    old.h = INVALID_HANDLE_VALUE;
    if (!RenameBelow(image.h, parent.h, marker)) Refuse(shown, GetLastError());
  }
  if (!DeleteThroughHandle(held.h)) Refuse(shown, GetLastError());
  CloseHandle(held.h);  // the folder goes as its last handle closes
  held.h = INVALID_HANDLE_VALUE;
  if (image.h != INVALID_HANDLE_VALUE) DeleteAfterExit(temp, marker);
  return shown;
}

}  // namespace ldr::payload
