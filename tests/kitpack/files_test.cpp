// kitpack's file layer on the host it runs on: natively and under Wine.

#include "kitpack/host/files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/kitpack/scratch.h"

namespace kitpack {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeScratchFolder("kitpack-files-"); }
  void TearDown() override { testing::RemoveTree(dir_); }
  std::string P(const std::string& rel) const { return JoinPath(dir_, rel); }
  static void Save(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_;
};

// Payload order is part of the kit's bytes: it must not follow the order a
// host lists a folder in. "-" < "." < "/" in bytes, so "a-b" and "a.txt"
// come before the files below "a".
TEST_F(FilesTest, FilesAreListedInByteOrderOfTheirSlashJoinedPaths) {
  for (const char* folder : {"tree/a", "tree/a/z", "tree/B"}) testing::MakeTestFolder(P(folder));
  for (const char* file :
       {"tree/a.txt", "tree/a-b", "tree/a/z/deep", "tree/a/c", "tree/B/x", "tree/b.txt", "tree/_"})
    Save(P(file), file);
  EXPECT_EQ(ListFilesRecursively(P("tree")),
            (std::vector<std::string>{"B/x", "_", "a-b", "a.txt", "a/c", "a/z/deep", "b.txt"}));
}

TEST_F(FilesTest, AFailedOutputLeavesNothingAndACommittedOneReplacesTheOld) {
  Save(P("kit.exe"), "old");
  {
    PendingOutput out(P("kit.exe"));
    out.Write("new bytes", 9);
  }
  EXPECT_EQ(testing::FolderNames(dir_), std::vector<std::string>{"kit.exe"});
  EXPECT_EQ(Load(P("kit.exe")), "old");

  PendingOutput out(P("kit.exe"));
  out.Write("new bytes", 9);
  out.WriteAt(0, "N", 1);
  out.Write("!", 1);
  EXPECT_EQ(out.Position(), 10u);
  out.Commit(PendingOutput::Kind::kProgram);
  EXPECT_EQ(Load(P("kit.exe")), "New bytes!");
  EXPECT_EQ(testing::FolderNames(dir_), std::vector<std::string>{"kit.exe"});
}

TEST_F(FilesTest, ReadsAtOffsetsAndRefusesToReadPastTheEnd) {
  Save(P("f"), "0123456789");
  ReadableFile f(P("f"));
  EXPECT_EQ(f.Size(), 10u);
  std::vector<unsigned char> got = f.Range(3, 4);
  EXPECT_EQ(std::string(got.begin(), got.end()), "3456");
  unsigned char byte;
  EXPECT_EQ(f.ReadSome(10, &byte, 1), 0u);
  EXPECT_THROW(f.Range(8, 3), KitError);
  unsigned char two[2];
  EXPECT_FALSE(f.ReadAt(9, two, 2));
  EXPECT_TRUE(f.ReadAt(8, two, 2));
  EXPECT_THROW(ReadableFile(P("missing")), KitError);
}

TEST_F(FilesTest, FileFactsAndFolders) {
  Save(P("f"), "12345");
  FileInfo info = StatRegularFile(P("f"));
  EXPECT_EQ(info.size, 5u);
  EXPECT_TRUE(SameFile(P("f"), P("f")));
  Save(P("g"), "12345");
  EXPECT_FALSE(SameFile(P("f"), P("g")));
  EXPECT_FALSE(SameFile(P("f"), P("missing")));
  EXPECT_THROW(StatRegularFile(dir_), KitError);
  try {
    StatRegularFile(P("missing"));
    ADD_FAILURE();
  } catch (const KitError& e) {
    EXPECT_NE(std::string(e.what()).find(P("missing")), std::string::npos) << e.what();
  }
  MakeFolder(P("sub"));
  MakeFolder(P("sub"));  // already there: fine
  EXPECT_TRUE(IsDirectory(P("sub")));
  EXPECT_THROW(MakeFolder(P("f")), KitError);
  EXPECT_THROW(MakeFolder(P("no/such/parent")), KitError);
}

TEST_F(FilesTest, NewFilesBelowAFolderMakeTheirSubfoldersAndNeverReplaceAName) {
  {
    NewFileBelow out(dir_, {"a", "b", "c.txt"});
    out.Write(reinterpret_cast<const unsigned char*>("hi"), 2);
    out.Finish();
  }
  EXPECT_EQ(Load(P("a/b/c.txt")), "hi");
  NewFileBelow(dir_, {"a", "d.txt"}).Finish();
  EXPECT_EQ(testing::FolderNames(P("a")), (std::vector<std::string>{"b", "d.txt"}));
  // An existing file is refused, and left as it was; so is a file where a
  // folder should be.
  try {
    NewFileBelow again(dir_, {"a", "b", "c.txt"});
    ADD_FAILURE();
  } catch (const KitError& e) {
    EXPECT_NE(std::string(e.what()).find("exists already"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Load(P("a/b/c.txt")), "hi");
  EXPECT_THROW(NewFileBelow(dir_, {"a", "d.txt", "e.txt"}), KitError);
}

}  // namespace
}  // namespace kitpack
