#include "platform/platform_win32.h"

#include <climits>

#include "platform/system_platform.h"

namespace ldr {
namespace {

// Room for the longest path in bytes and its zero: a result that fills the
// buffer may have been cut, and is refused.
constexpr DWORD kPathBuffer = kMaxSystemPath + 1;
// As many characters as a 261-byte buffer held, counted as the system counts them.
constexpr int kMaxPathCharacters = 260;

bool IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

const PathStyle kWin32Paths{"\\:", '\\', &IsLeadByte, false};

}  // namespace

// SetFilePointer without a high part: positions beyond 32 bits fail.
int64_t Win32File::Seek(int64_t distance, Origin origin) {
  if (distance < LONG_MIN || distance > LONG_MAX) return -1;
  DWORD method = origin == Origin::Begin     ? FILE_BEGIN
                 : origin == Origin::Current ? FILE_CURRENT
                                             : FILE_END;
  DWORD result = SetFilePointer(handle_, static_cast<LONG>(distance), nullptr, method);
  if (result == INVALID_SET_FILE_POINTER) return -1;
  return static_cast<int64_t>(result);
}

int32_t Win32File::Read(void* buffer, uint32_t size) {
  DWORD got = 0;
  DWORD wanted = size > INT32_MAX ? INT32_MAX : size;
  if (!ReadFile(handle_, buffer, wanted, &got, nullptr)) return -1;
  return static_cast<int32_t>(got);
}

int32_t Win32File::Write(const void* data, uint32_t size) {
  DWORD put = 0;
  DWORD wanted = size > INT32_MAX ? INT32_MAX : size;
  if (!WriteFile(handle_, data, wanted, &put, nullptr))
    return put > 0 ? static_cast<int32_t>(put) : -1;
  return static_cast<int32_t>(put);
}

FileId Win32File::Id() { return IdOfHandle(handle_); }

FileId Win32File::IdOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return FileId();
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, true};
}

void Win32File::Close() {
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

OpenFile Win32Platform::Hold(HANDLE handle) {
  for (Win32File& file : files_) {
    if (file.handle_ == INVALID_HANDLE_VALUE) {
      file.handle_ = handle;
      file.opened_ = opened_++;
      return OpenFile(&file);
    }
  }
  CloseHandle(handle);
  return OpenFile();
}

void Win32Platform::CloseFilesOpenedSince(uint32_t mark) {
  for (;;) {
    Win32File* last = nullptr;
    for (Win32File& file : files_) {
      if (file.handle_ != INVALID_HANDLE_VALUE && file.opened_ >= mark &&
          (last == nullptr || file.opened_ > last->opened_))
        last = &file;
    }
    if (last == nullptr) return;
    last->Close();
  }
}

PathStyle Win32Platform::HostPathStyle() const { return kWin32Paths; }
PathStyle Win32Platform::StoredNameStyle() const { return kWin32Paths; }

PathText Win32Platform::OwnFilePath() {
  char buffer[kPathBuffer] = {};
  const DWORD n = GetModuleFileNameA(nullptr, buffer, kPathBuffer);
  if (n == 0 || n >= kPathBuffer) return PathText();
  return PathText(std::string_view(buffer, n));
}

std::string_view Win32Platform::CommandLine() {
  const char* line = GetCommandLineA();
  return line != nullptr ? std::string_view(line) : std::string_view();
}

// A folder too long for the buffer is reported as its needed size, with
// nothing written: that counts as no folder. So does one of more than 260
// characters, which no call that makes a file in it would take.
bool Win32Platform::GetTempFolder(PathText* folder) {
  char buffer[kPathBuffer] = {};
  const DWORD n = GetTempPathA(kPathBuffer, buffer);
  if (n == 0 || n >= kPathBuffer) return false;
  const int characters = MultiByteToWideChar(CP_ACP, 0, buffer, static_cast<int>(n), nullptr, 0);
  if (characters <= 0 || characters > kMaxPathCharacters) return false;
  folder->Assign(std::string_view(buffer, n));
  return true;
}

// The user's own folder: Windows keeps its behaviour (a missing folder ends
// in the same message GetTempFileNameA's failure would give).
FolderSharing Win32Platform::TempFolderSharing(SystemText folder) {
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  const FolderSharing plain =
      attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0
          ? FolderSharing::kMissing
          : FolderSharing::kPrivate;
  return guarded_ ? HoldTempFolder(folder, plain) : plain;
}

PathText Win32Platform::MakeTempFileName(SystemText folder, SystemText prefix) {
  char buffer[kPathBuffer] = {};
  if (GetTempFileNameA(folder.c_str(), prefix.c_str(), 0, buffer) == 0) return PathText();
  buffer[kPathBuffer - 1] = '\0';
  // The system converts the name into at most MAX_PATH bytes whatever the
  // buffer: under the UTF-8 code page a long folder's name comes back cut.
  // One that reaches that length is taken as cut, never used.
  const std::string_view name(buffer);
  if (name.size() >= MAX_PATH - 1) return PathText();
  // The call makes the file. Wine gives a name even when it could not make
  // it (a folder the user may not write to); that is the same failure.
  if (GetFileAttributesA(buffer) == INVALID_FILE_ATTRIBUTES) return PathText();
  // Guarded, made in a folder judged private; its id is noted so that it may
  // be removed again.
  if (guarded_ && made_count_ < kMaxMadeFiles) made_[made_count_++] = IdentifyFile(buffer);
  return PathText(name);
}

bool Win32Platform::MakeFolder(SystemText path) {
  if (guarded_) return MakeHeldFolder(path);
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

PathText Win32Platform::MakeUniqueFolder(SystemText folder, SystemText prefix) {
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t state = static_cast<uint64_t>(counter.QuadPart) ^
                   (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    PathText path = WithTrailingSeparator(folder, kWin32Paths);
    path.Append(prefix);
    for (int i = 0; i < 6; ++i) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      path.Append(kDigits[(state >> 33) % 36]);
    }
    if (path.cut()) return PathText();
    if (CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return PathText();
  }
  return PathText();
}

bool Win32Platform::FileExists(SystemText path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  FILETIME local;
  WORD dos_date = 0;
  WORD dos_time = 0;
  if (FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) == 0 ||
      FileTimeToDosDateTime(&local, &dos_date, &dos_time) == 0) {
    return false;
  }
  // Windows refuses years after 2107 (they do not fit the DOS date); Wine
  // lets a few more through with the year wrapped. Hold to Windows.
  SYSTEMTIME local_time;
  return FileTimeToSystemTime(&local, &local_time) != 0 && local_time.wYear >= 1980 &&
         local_time.wYear <= 2107;
}

OpenFile Win32Platform::OpenForReading(SystemText path) {
  const DWORD share = guarded_ ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenFile();
  return Hold(handle);
}

OpenFile Win32Platform::CreateForWriting(SystemText path) {
  if (guarded_) return CreateMade(path);
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenFile();
  return Hold(handle);
}

// MultiByteToWideChar in the active code page, as every A function converts;
// a sequence not valid there (a lead byte with nothing after it, which the
// system would drop) fails the conversion, and so does a name too long for
// the buffer.
bool Win32Platform::ConvertName(std::string_view name, WideName* converted) {
  converted->size = 0;
  if (name.empty()) return true;
  if (name.size() > INT_MAX) return false;
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 code units");
  wchar_t units[kMaxShortText];
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(),
                                    static_cast<int>(name.size()), units, kMaxShortText);
  if (n <= 0) return false;
  for (int i = 0; i < n; ++i) converted->units[i] = static_cast<char16_t>(units[i]);
  converted->size = static_cast<size_t>(n);
  return true;
}

FileId Win32Platform::IdentifyFile(SystemText path) {
  HANDLE handle = CreateFileA(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FileId();
  FileId id = Win32File::IdOfHandle(handle);
  CloseHandle(handle);
  return id;
}

void Win32Platform::MarkExecutable(SystemText) {}

// CreateProcess takes 32,767 characters with the final zero.
size_t Win32Platform::LongestCommandLine() { return kMaxCommandLine; }
size_t Win32Platform::LongestProgramPath() { return MAX_PATH - 1; }

// What WinExec does, without its limits: CreateProcessA with the whole line,
// shown with SW_SHOW, then up to 30 seconds for the program to be ready for
// input; WinExec's codes for failures (the system's error below 32, else
// 11). The program is named outright, not taken from the line's first word:
// found from the line, its path could hold at most 259 characters
// (MAX_PATH), and a temporary folder of 260 leaves it longer.
uint32_t Win32Platform::StartProcess(const ProcessStart& start) {
  // CreateProcess may write into the line it is given.
  CommandLineText line(start.command_line);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process{};
  const char* program = start.program.empty() ? nullptr : start.program.c_str();
  if (!CreateProcessA(program, const_cast<char*>(line.c_str()), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    const DWORD error = GetLastError();
    return error < 32 ? error : 11;
  }
  if (start.waitable != nullptr) {
    CloseHandle(process.hThread);
    start.waitable->id = reinterpret_cast<uintptr_t>(process.hProcess);
    return 33;
  }
  WaitForInputIdle(process.hProcess, 30000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 33;
}

}  // namespace ldr
