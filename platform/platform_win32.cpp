// The Win32 platform: the ANSI kernel functions, called as the loader has
// always called them, with their 261-byte buffers.

#include <windows.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/system_platform.h"

namespace ldr {
namespace {

constexpr DWORD kPathBuffer = 261;

bool IsLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

const PathStyle kWin32Paths{"\\:", '\\', &IsLeadByte, false};

class Win32File : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  // SetFilePointer without a high part: positions beyond 32 bits fail.
  int64_t Seek(int64_t distance, Origin origin) override {
    if (distance < LONG_MIN || distance > LONG_MAX) return -1;
    DWORD method = origin == Origin::Begin     ? FILE_BEGIN
                   : origin == Origin::Current ? FILE_CURRENT
                                               : FILE_END;
    DWORD result = SetFilePointer(handle_, static_cast<LONG>(distance), nullptr, method);
    if (result == INVALID_SET_FILE_POINTER) return -1;
    return static_cast<int64_t>(result);
  }

  int32_t Read(void* buffer, uint32_t size) override {
    DWORD got = 0;
    DWORD wanted = size > INT32_MAX ? INT32_MAX : size;
    if (!ReadFile(handle_, buffer, wanted, &got, nullptr)) return -1;
    return static_cast<int32_t>(got);
  }

  int32_t Write(const void* data, uint32_t size) override {
    DWORD put = 0;
    DWORD wanted = size > INT32_MAX ? INT32_MAX : size;
    if (!WriteFile(handle_, data, wanted, &put, nullptr))
      return put > 0 ? static_cast<int32_t>(put) : -1;
    return static_cast<int32_t>(put);
  }

  FileId Id() override { return IdOfHandle(handle_); }

  static FileId IdOfHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return FileId();
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, true};
  }

 private:
  HANDLE handle_;
};

class Win32Platform : public Platform {
 public:
  PathStyle HostPathStyle() const override { return kWin32Paths; }
  PathStyle StoredNameStyle() const override { return kWin32Paths; }

  std::string OwnFilePath() override {
    char buffer[kPathBuffer] = {};
    DWORD n = GetModuleFileNameA(nullptr, buffer, kPathBuffer);
    if (n > kPathBuffer - 1) n = kPathBuffer - 1;
    return std::string(buffer, n);
  }

  std::string CommandLine() override {
    const char* line = GetCommandLineA();
    return line != nullptr ? std::string(line) : std::string();
  }

  // A folder too long for the buffer is reported as its needed size, with
  // nothing written: that counts as no folder.
  bool GetTempFolder(std::string* folder) override {
    char buffer[kPathBuffer] = {};
    DWORD n = GetTempPathA(kPathBuffer, buffer);
    if (n == 0 || n > kPathBuffer - 1) return false;
    *folder = std::string(buffer, n);
    return true;
  }

  // The user's own folder: Windows keeps its behaviour (a missing folder
  // ends in the same message GetTempFileNameA's failure would give).
  FolderSharing TempFolderSharing(const std::string& folder) override {
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      return FolderSharing::kMissing;
    return FolderSharing::kPrivate;
  }

  std::string MakeTempFileName(const std::string& folder, const std::string& prefix) override {
    char buffer[kPathBuffer] = {};
    if (GetTempFileNameA(folder.c_str(), prefix.c_str(), 0, buffer) == 0) return std::string();
    buffer[kPathBuffer - 1] = '\0';
    // The call makes the file. Wine gives a name even when it could not make
    // it (a folder the user may not write to); that is the same failure.
    if (GetFileAttributesA(buffer) == INVALID_FILE_ATTRIBUTES) return std::string();
    return std::string(buffer);
  }

  bool MakeFolder(const std::string& path) override {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
  }

  std::string MakeUniqueFolder(const std::string& folder, const std::string& prefix) override {
    static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t state = static_cast<uint64_t>(counter.QuadPart) ^
                     (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount();
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string path = folder;
      if (!path.empty() && path.back() != '\\') path += '\\';
      path += prefix;
      for (int i = 0; i < 6; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        path += kDigits[(state >> 33) % 36];
      }
      if (CreateDirectoryA(path.c_str(), nullptr)) return path;
      if (GetLastError() != ERROR_ALREADY_EXISTS) return std::string();
    }
    return std::string();
  }

  bool FileExists(const std::string& path) override {
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

  std::unique_ptr<File> OpenForReading(const std::string& path) override {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32File>(handle);
  }

  std::unique_ptr<File> CreateForWriting(const std::string& path) override {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32File>(handle);
  }

  // MultiByteToWideChar in the active code page, as every A function
  // converts; a sequence not valid there (a lead byte with nothing after
  // it, which the system would drop) fails the conversion.
  bool ConvertName(const std::string& name, std::u16string* converted) override {
    converted->clear();
    if (name.empty()) return true;
    const int size = static_cast<int>(name.size());
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(), size, nullptr, 0);
    if (n <= 0) return false;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(), size, &wide[0], n) != n)
      return false;
    converted->assign(wide.begin(), wide.end());
    return true;
  }

  FileId IdentifyFile(const std::string& path) override {
    HANDLE handle = CreateFileA(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FileId();
    FileId id = Win32File::IdOfHandle(handle);
    CloseHandle(handle);
    return id;
  }

  void MarkExecutable(const std::string&) override {}

  // CreateProcess takes 32,767 characters with the final zero.
  size_t LongestCommandLine() override { return 32766; }
  size_t LongestProgramPath() override { return MAX_PATH - 1; }

  // What WinExec does, without its limits: CreateProcessA with the whole
  // line, shown with SW_SHOW, then up to 30 seconds for the program to be
  // ready for input; WinExec's codes for failures (the system's error below
  // 32, else 11). The program is named outright, not taken from the line's
  // first word: found from the line, its path could hold at most 259
  // characters (MAX_PATH), and a temporary folder of 260 leaves it longer.
  uint32_t StartProcess(const ProcessStart& start) override {
    std::vector<char> line(start.command_line.begin(), start.command_line.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process{};
    const char* program = start.program.empty() ? nullptr : start.program.c_str();
    if (!CreateProcessA(program, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      const DWORD error = GetLastError();
      return error < 32 ? error : 11;
    }
    WaitForInputIdle(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 33;
  }
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform(int, char**) {
  return std::make_unique<Win32Platform>();
}

}  // namespace ldr
