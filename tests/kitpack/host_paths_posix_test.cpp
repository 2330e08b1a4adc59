// Host path rules of the POSIX kitpack: "/" alone separates.

#include <gtest/gtest.h>

#include "kitpack/host/files.h"
#include "kitpack/kit/kit.h"

namespace kitpack {
namespace {

TEST(HostPaths, SlashAloneSeparatesOnPosix) {
  EXPECT_EQ(BaseName("/opt/kit/setup.exe"), "setup.exe");
  EXPECT_EQ(BaseName("setup.exe"), "setup.exe");
  EXPECT_EQ(BaseName("odd\\name:x"), "odd\\name:x");
  EXPECT_EQ(FolderPart("/opt/kit/setup.1"), "/opt/kit/");
  EXPECT_EQ(FolderPart("setup.1"), "");
  EXPECT_EQ(JoinPath("/opt/kit", "setup.1"), "/opt/kit/setup.1");
  EXPECT_EQ(JoinPath("/opt/kit/", "setup.1"), "/opt/kit/setup.1");
  EXPECT_EQ(JoinPath("", "setup.1"), "setup.1");
}

TEST(HostPaths, InstalledLoaderIsLookedForInShareThenBesideKitpack) {
  EXPECT_EQ(
      InstalledLoaderPlaces("/usr/bin/kitpack", "loader.exe"),
      (std::vector<std::string>{"/usr/bin/../share/loaderkit/loader.exe", "/usr/bin/loader.exe"}));
}

}  // namespace
}  // namespace kitpack
