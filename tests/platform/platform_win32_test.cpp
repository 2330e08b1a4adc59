// What the Win32 platform hands over unchanged from the system.

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/system_platform.h"

namespace ldr::testing {
namespace {

TEST(Win32Platform, GivesTheSystemsOwnTexts) {
  auto platform = MakeSystemPlatform(0, nullptr);
  EXPECT_EQ(platform->CommandLine(), std::string(GetCommandLineA()));
  char temp[MAX_PATH + 1] = {};
  DWORD n = GetTempPathA(sizeof temp, temp);
  std::string folder;
  ASSERT_TRUE(platform->GetTempFolder(&folder));
  EXPECT_EQ(folder, std::string(temp, n));
  std::string own = platform->OwnFilePath();
  ASSERT_GT(own.size(), 4u);
  EXPECT_EQ(own.substr(own.size() - 4), ".exe");
  EXPECT_EQ(own.find('/'), std::string::npos) << own;
}

TEST(Win32Platform, PathsSplitAtBackslashAndColonWithTheLeadByteTest) {
  auto platform = MakeSystemPlatform(0, nullptr);
  for (PathStyle style : {platform->HostPathStyle(), platform->StoredNameStyle()}) {
    EXPECT_EQ(std::string(style.separators), "\\:");
    EXPECT_EQ(style.trailing, '\\');
    ASSERT_NE(style.is_lead_byte, nullptr);
    EXPECT_FALSE(style.is_lead_byte('\\'));
  }
  EXPECT_EQ(DirectoryPart("C:\\Downloads\\setup.exe", platform->HostPathStyle()), "C:\\Downloads\\");
}

}  // namespace
}  // namespace ldr::testing
