#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "kitpack/host/files.h"
#include "kitpack/kit_error.h"
#include "scratch.h"

namespace kitpack {
namespace {

TEST(MakeFolders, MakesTheMissingFoldersAbove) {
  const std::string root = testing::MakeScratchFolder("make-folders");
  const std::string deep = JoinPath(JoinPath(JoinPath(root, "x4"), "sub"), "deeper");
  MakeFolders(deep);
  EXPECT_TRUE(IsDirectory(deep));
  MakeFolders(deep);                                      // there already
  MakeFolders(JoinPath(JoinPath(root, "y"), "z") + "/");  // a trailing separator
  EXPECT_TRUE(IsDirectory(JoinPath(JoinPath(root, "y"), "z")));

  // A file where a folder must go: its path and the system's reason.
  const std::string file = JoinPath(root, "file");
  std::ofstream(file) << "x";
  try {
    MakeFolders(JoinPath(file, "sub"));
    ADD_FAILURE() << "made";
  } catch (const KitError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot create folder " + file), std::string::npos)
        << e.what();
  }
  testing::RemoveTree(root);
}

}  // namespace
}  // namespace kitpack
