// Host path rules of kitpack.exe: "\", "/" and a drive's ":" separate.

#include <gtest/gtest.h>

#include "kitpack/host/files.h"
#include "kitpack/kit/kit.h"

namespace kitpack {
namespace {

TEST(HostPaths, BackslashSlashAndDriveSeparateOnWindows) {
  EXPECT_EQ(BaseName("C:\\kits\\setup.exe"), "setup.exe");
  EXPECT_EQ(BaseName("C:/kits/setup.exe"), "setup.exe");
  EXPECT_EQ(BaseName("D:setup.exe"), "setup.exe");
  EXPECT_EQ(BaseName("\\\\server\\share\\setup.exe"), "setup.exe");
  EXPECT_EQ(FolderPart("C:\\kits\\setup.1"), "C:\\kits\\");
  EXPECT_EQ(FolderPart("D:setup.1"), "D:");
  EXPECT_EQ(FolderPart("setup.1"), "");
  EXPECT_EQ(JoinPath("C:\\kits", "setup.1"), "C:\\kits\\setup.1");
  EXPECT_EQ(JoinPath("C:\\kits\\", "setup.1"), "C:\\kits\\setup.1");
  EXPECT_EQ(JoinPath("C:/kits/", "setup.1"), "C:/kits/setup.1");
  EXPECT_EQ(JoinPath("D:", "setup.1"), "D:setup.1");
}

TEST(HostPaths, InstalledLoaderIsLookedForInShareThenBesideKitpack) {
  EXPECT_EQ(InstalledLoaderPlaces("C:\\loaderkit\\bin\\kitpack.exe", "loader.exe"),
            (std::vector<std::string>{"C:\\loaderkit\\bin\\..\\share\\loaderkit\\loader.exe",
                                      "C:\\loaderkit\\bin\\loader.exe"}));
}

}  // namespace
}  // namespace kitpack
