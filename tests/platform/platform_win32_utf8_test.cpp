// The Win32 platform under the UTF-8 code page (the loader's manifest sets
// it): a character outside ASCII takes two or three bytes, and paths from
// the system come whole or not at all, never cut at a byte count.

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "platform/system_platform.h"

namespace ldr::testing {
namespace {

// Seven Chinese characters, three bytes each in UTF-8.
const std::string kCjk =
    "\xe5\xae\x89\xe8\xa3\x85\xe7\xa8\x8b\xe5\xba\x8f\xe6\x96\x87\xe4\xbb\xb6\xe5\xa4\xb9";

std::string Cjk(size_t characters) {
  std::string out;
  while (out.size() < characters * 3) out += kCjk;
  return out.substr(0, characters * 3);
}

class TmpVariable {
 public:
  TmpVariable() : had_(GetEnvironmentVariableA("TMP", saved_, sizeof saved_)) {}
  ~TmpVariable() {
    SetEnvironmentVariableA("TMP", had_ > 0 && had_ < sizeof saved_ ? saved_ : nullptr);
  }
  TmpVariable(const TmpVariable&) = delete;
  TmpVariable& operator=(const TmpVariable&) = delete;

 private:
  char saved_[MAX_PATH * 4] = {};
  DWORD had_;
};

TEST(Win32PlatformUtf8, RunsUnderTheUtf8CodePage) {
  ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
}

// Up to 260 characters, however many bytes: 100 Chinese characters are 300.
TEST(Win32PlatformUtf8, TemporaryFolderIsCountedInCharacters) {
  auto platform = std::make_unique<SystemPlatform>();
  TmpVariable keep;
  struct Case {
    size_t characters;  // Chinese characters in the folder's name
    bool found;
  };
  for (Case c : {Case{100, true}, Case{250, true}, Case{258, false}}) {
    const std::string folder = "C:\\" + Cjk(c.characters) + "\\";
    SetEnvironmentVariableA("TMP", folder.c_str());
    PathText got("unchanged");
    EXPECT_EQ(platform->GetTempFolder(&got), c.found) << c.characters;
    EXPECT_EQ(got, c.found ? folder : "unchanged") << c.characters;
  }
}

// The system converts the name into at most MAX_PATH bytes: a name that
// would be longer comes back as none, never as a shorter name.
TEST(Win32PlatformUtf8, TemporaryFileNameIsWholeOrNone) {
  auto platform = std::make_unique<SystemPlatform>();
  PathText temp;
  ASSERT_TRUE(platform->GetTempFolder(&temp));
  for (size_t characters : {20, 60, 90}) {
    const std::string folder = std::string(temp) + Cjk(characters);
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    const std::string name = platform->MakeTempFileName(folder + "\\", "ldx");
    if (!name.empty()) {
      EXPECT_EQ(name.substr(0, folder.size() + 4), folder + "\\ldx") << characters;
      EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
      EXPECT_NE(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES) << name;
      DeleteFileA(name.c_str());
    } else {
      EXPECT_GT(folder.size() + 12, static_cast<size_t>(MAX_PATH)) << characters;
    }
    RemoveDirectoryA(folder.c_str());
  }
}

// This program's own path, copied into folders whose names take 330 bytes.
TEST(Win32PlatformUtf8, OwnPathIsWhole) {
  auto platform = std::make_unique<SystemPlatform>();
  const std::string own = platform->OwnFilePath();
  ASSERT_FALSE(own.empty());
  PathText temp;
  ASSERT_TRUE(platform->GetTempFolder(&temp));
  const std::string first = std::string(temp) + Cjk(60);
  const std::string second = first + "\\" + Cjk(50);
  ASSERT_TRUE(CreateDirectoryA(first.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(CreateDirectoryA(second.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  const std::string copy = second + "\\own.exe";
  ASSERT_TRUE(CopyFileA(own.c_str(), copy.c_str(), FALSE));
  const std::string line = "\"" + copy + "\" --print-own-path";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::string writable(line);
  ASSERT_TRUE(CreateProcessA(copy.c_str(), &writable[0], nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &startup, &process));
  CloseHandle(write_end);
  std::string printed;
  char chunk[512];
  DWORD got = 0;
  while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0)
    printed.append(chunk, got);
  WaitForSingleObject(process.hProcess, 60000);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(read_end);
  DeleteFileA(copy.c_str());
  RemoveDirectoryA(second.c_str());
  RemoveDirectoryA(first.c_str());
  EXPECT_GT(copy.size(), 330u);
  EXPECT_EQ(printed, copy);
}

}  // namespace
}  // namespace ldr::testing

// Run as the copy of OwnPathIsWhole: print the own path as the platform gives it.
int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--print-own-path") {
    ldr::SystemPlatform platform;
    const std::string own = platform.OwnFilePath();
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), own.data(), static_cast<DWORD>(own.size()), &put,
              nullptr);
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
