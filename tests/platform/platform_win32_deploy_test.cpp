// The Win32 platform of a run of a kit with the deployment record: what the
// run makes is made and removed through folders it holds, never through a
// link someone put in its way. Links to other folders, which Wine cannot
// make from Windows, are made from Linux by tests/e2e/test_deploy_run.py.

#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/platform_win32.h"
#include "tests/platform/host_files.h"

namespace ldr::testing {
namespace {

class GuardedRun : public ::testing::Test {
 protected:
  void TearDown() override {
    platform_.reset();  // lets go of the folders it holds
    RemoveTree(scratch_);
  }

  std::string Path(const std::string& name) const { return scratch_ + name; }

  static void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return file ? text.str() : "<missing>";
  }
  static bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  static void Write(OpenFile file, const std::string& text) {
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Write(text.data(), static_cast<uint32_t>(text.size())),
              static_cast<int32_t>(text.size()));
  }

  std::string scratch_ = MakeScratchFolder();
  std::unique_ptr<Win32Platform> platform_ = std::make_unique<Win32Platform>(true);
};

TEST_F(GuardedRun, HeldFoldersStayPutAndOnlyWhatTheRunMadeIsRemoved) {
  Win32Platform& platform = *platform_;
  ASSERT_EQ(platform.TempFolderSharing(scratch_), FolderSharing::kPrivate);
  const std::string theirs = Path("theirs");
  ASSERT_TRUE(CreateDirectoryA(theirs.c_str(), nullptr));
  const std::string work = Path("ldx1");
  ASSERT_TRUE(platform.MakeFolder(work));
  // Neither the folder judged nor the one made can be renamed away (and a
  // link put in its place) while the run holds them.
  EXPECT_FALSE(MoveFileA(work.c_str(), Path("moved").c_str()));
  Write(platform.CreateForWriting(work + "\\setup.exe"), "mine");
  Put(work + "\\data.bin", "theirs");
  EXPECT_FALSE(platform.RemoveFile(work + "\\data.bin"));
  EXPECT_EQ(Read(work + "\\data.bin"), "theirs");
  EXPECT_TRUE(platform.RemoveFile(work + "\\setup.exe"));
  EXPECT_FALSE(Exists(work + "\\setup.exe"));
  ASSERT_TRUE(DeleteFileA((work + "\\data.bin").c_str()));
  EXPECT_TRUE(platform.RemoveEmptyFolder(work));
  EXPECT_FALSE(Exists(work));
  // A folder the run did not make stays.
  EXPECT_FALSE(platform.RemoveEmptyFolder(theirs));
  EXPECT_TRUE(Exists(theirs));
}

TEST_F(GuardedRun, FilesAreMadeNewNeverThroughWhatIsPlantedUnderTheirName) {
  Win32Platform& platform = *platform_;
  const std::string victim = Path("victim.txt");
  Put(victim, "victim");
  const std::string out = Path("out");
  ASSERT_TRUE(platform.MakeFolder(out));
  // Held or not (a folder that was there already): the same.
  const std::string there = Path("there");
  ASSERT_TRUE(CreateDirectoryA(there.c_str(), nullptr));
  for (const std::string& folder : {out, there}) {
    SCOPED_TRACE(folder);
    ASSERT_TRUE(CreateHardLinkA((folder + "\\guide.txt").c_str(), victim.c_str(), nullptr));
    EXPECT_EQ(platform.CreateForWriting(folder + "\\guide.txt"), nullptr);
    Put(folder + "\\readme.txt", "theirs");
    EXPECT_EQ(platform.CreateForWriting(folder + "\\readme.txt"), nullptr);
    EXPECT_EQ(Read(folder + "\\readme.txt"), "theirs");
    // A name two entries share: the run's own file is written again.
    Write(platform.CreateForWriting(folder + "\\setup.exe"), "first");
    Write(platform.CreateForWriting(folder + "\\setup.exe"), "again");
    EXPECT_EQ(Read(folder + "\\setup.exe"), "again");
  }
  EXPECT_EQ(Read(victim), "victim");
  // A folder of that name there already is not made.
  EXPECT_FALSE(platform.MakeFolder(there));
}

// Wine derives a folder's DACL from its Unix mode; on Windows it is stored.
TEST_F(GuardedRun, TempFolderOthersMayChangeIsUnsafe) {
  Win32Platform& platform = *platform_;
  const std::string shared = Path("shared");
  PSECURITY_DESCRIPTOR everyone = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
  ASSERT_TRUE(CreateDirectoryA(shared.c_str(), nullptr));
  ASSERT_TRUE(SetFileSecurityA(shared.c_str(), DACL_SECURITY_INFORMATION, everyone));
  LocalFree(everyone);
  EXPECT_EQ(platform.TempFolderSharing(shared + "\\"), FolderSharing::kUnsafe);
  EXPECT_EQ(platform.TempFolderSharing(Path("missing\\")), FolderSharing::kMissing);
  char temp[MAX_PATH + 1] = {};
  ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
  EXPECT_EQ(platform.TempFolderSharing(temp), FolderSharing::kPrivate);
  // Without the record: as the loader always judged it.
  EXPECT_EQ(Win32Platform(false).TempFolderSharing(shared + "\\"), FolderSharing::kPrivate);
}

TEST_F(GuardedRun, LogIsAppendedOnlyToAFileOfItsOwn) {
  Win32Platform& platform = *platform_;
  const std::string victim = Path("victim.log");
  Put(victim, "victim");
  const std::string linked = Path("linked.log");
  ASSERT_TRUE(CreateHardLinkA(linked.c_str(), victim.c_str(), nullptr));
  EXPECT_EQ(platform.OpenForAppending(linked), nullptr);
  EXPECT_EQ(Read(victim), "victim");
  const std::string log = Path("run.log");
  Write(platform.OpenForAppending(log), "one\n");
  Write(platform.OpenForAppending(log), "two\n");
  EXPECT_EQ(Read(log), "one\ntwo\n");
  EXPECT_EQ(platform.OpenForAppending(Path("")), nullptr);  // the folder itself
}

// Without the record the folders are not held: the plain run's behaviour.
TEST_F(GuardedRun, WithoutTheRecordNothingIsHeld) {
  Win32Platform plain(false);
  const std::string work = Path("ldx2");
  ASSERT_TRUE(plain.MakeFolder(work));
  EXPECT_TRUE(MoveFileA(work.c_str(), Path("moved").c_str()));
}

}  // namespace
}  // namespace ldr::testing
