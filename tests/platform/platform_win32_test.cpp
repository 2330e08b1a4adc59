// What the Win32 platform hands over unchanged from the system.

#include <gtest/gtest.h>

#include <windows.h>
#include <memory>

#include <cstdlib>

#include "platform/system_platform.h"

namespace ldr::testing {
namespace {

TEST(Win32Platform, GivesTheSystemsOwnTexts) {
  auto platform = std::make_unique<SystemPlatform>();
  EXPECT_EQ(platform->CommandLine(), std::string(GetCommandLineA()));
  char temp[MAX_PATH + 1] = {};
  DWORD n = GetTempPathA(sizeof temp, temp);
  PathText folder;
  ASSERT_TRUE(platform->GetTempFolder(&folder));
  EXPECT_EQ(folder, std::string(temp, n));
  std::string own = platform->OwnFilePath();
  ASSERT_GT(own.size(), 4u);
  EXPECT_EQ(own.substr(own.size() - 4), ".exe");
  EXPECT_EQ(own.find('/'), std::string::npos) << own;
}

TEST(Win32Platform, PathsSplitAtBackslashAndColonWithTheLeadByteTest) {
  auto platform = std::make_unique<SystemPlatform>();
  for (PathStyle style : {platform->HostPathStyle(), platform->StoredNameStyle()}) {
    EXPECT_EQ(std::string(style.separators), "\\:");
    EXPECT_EQ(style.trailing, '\\');
    ASSERT_NE(style.is_lead_byte, nullptr);
    EXPECT_FALSE(style.is_lead_byte('\\'));
  }
  EXPECT_EQ(DirectoryPart("C:\\Downloads\\setup.exe", platform->HostPathStyle()),
            "C:\\Downloads\\");
}

// GetTempPathA reports the size it would need when the folder does not fit
// the 261-byte buffer: that is no folder, not a cut one.
TEST(Win32Platform, TempFolderLongerThan260CharactersIsNone) {
  auto platform = std::make_unique<SystemPlatform>();
  char saved[MAX_PATH * 4] = {};
  DWORD had = GetEnvironmentVariableA("TMP", saved, sizeof saved);
  struct Case {
    size_t length;  // of the folder with its final backslash
    bool found;
  };
  // (Wine gives up at 260 already, where Windows still fits it: not tested.)
  for (Case c : {Case{200, true}, Case{261, false}, Case{400, false}}) {
    std::string folder = "C:\\" + std::string(c.length - 4, 'x') + "\\";
    ASSERT_EQ(folder.size(), c.length);
    SetEnvironmentVariableA("TMP", folder.c_str());
    PathText got("unchanged");
    EXPECT_EQ(platform->GetTempFolder(&got), c.found) << c.length;
    EXPECT_EQ(got, c.found ? folder : "unchanged") << c.length;
  }
  SetEnvironmentVariableA("TMP", had > 0 && had < sizeof saved ? saved : nullptr);
}

// Names are converted as the A functions convert them, in the active code
// page; a byte sequence that is not valid there fails, rather than being
// dropped or replaced. Run once more in a Japanese locale (code page 932).
TEST(Win32Platform, ConvertNameFollowsTheActiveCodePage) {
  auto platform = std::make_unique<SystemPlatform>();
  char expected[16] = {};
  if (GetEnvironmentVariableA("LOADERKIT_EXPECT_ACP", expected, sizeof expected) > 0) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
  }
  WideName converted;
  ASSERT_TRUE(platform->ConvertName("setup.exe", &converted));
  EXPECT_EQ(converted, u"setup.exe");
  if (GetACP() == 932) {
    // A lone lead byte at the end: the system would drop it and open NUL.
    EXPECT_FALSE(platform->ConvertName("NUL\x81", &converted));
    EXPECT_FALSE(platform->ConvertName("COM1\x81", &converted));
    ASSERT_TRUE(platform->ConvertName("\x82\xa0.txt", &converted));
    EXPECT_EQ(converted, u"\u3042.txt");
    // A "\\" that is the second byte of a character is no separator.
    ASSERT_TRUE(platform->ConvertName("\x95\\", &converted));
    EXPECT_EQ(converted, u"\u8868");
  } else if (GetACP() == CP_UTF8) {
    EXPECT_FALSE(platform->ConvertName("NUL\x81", &converted));
    ASSERT_TRUE(platform->ConvertName("\xe3\x81\x82.txt", &converted));
    EXPECT_EQ(converted, u"\u3042.txt");
  }
}

// A file made for writing is not shared: nobody opens it meanwhile.
TEST(Win32Platform, FileBeingWrittenIsNotShared) {
  auto platform = std::make_unique<SystemPlatform>();
  PathText folder;
  ASSERT_TRUE(platform->GetTempFolder(&folder));
  std::string path = platform->MakeTempFileName(folder, "ldx");
  ASSERT_FALSE(path.empty());
  {
    auto writing = platform->CreateForWriting(path);
    ASSERT_NE(writing, nullptr);
    EXPECT_EQ(platform->OpenForReading(path), nullptr);
  }
  EXPECT_NE(platform->OpenForReading(path), nullptr);
  DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace ldr::testing
