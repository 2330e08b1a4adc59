// The contract every Platform keeps, run against the real platform of this
// build and against the in-memory fake, so the fake cannot drift from it.

#include <gtest/gtest.h>

#include <memory>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/system_platform.h"
#include "tests/platform/host_files.h"
#include "tests/support/fake_platform.h"

namespace ldr::testing {
namespace {

char kProgramName[] = "platform_test";
char* kArgv[] = {kProgramName, nullptr};

class RealWorld {
 public:
  RealWorld()
      : platform_(std::make_unique<SystemPlatform>(1, kArgv)), scratch_(MakeScratchFolder()) {}
  explicit RealWorld(std::unique_ptr<Platform> platform)
      : platform_(std::move(platform)), scratch_(MakeScratchFolder()) {}
  ~RealWorld() { RemoveTree(scratch_); }
  Platform& platform() { return *platform_; }
  const std::string& scratch() const { return scratch_; }
  bool SetYear(const std::string& path, int year) { return SetFileYear(path, year); }

 private:
  std::unique_ptr<Platform> platform_;
  std::string scratch_;
};

class FakeWorld {
 public:
  FakeWorld() {
    fake_.AddFolder("C:\\Temp\\scratch");
    fake_.free_space = 1 << 30;
  }
  Platform& platform() { return fake_; }
  const std::string& scratch() const { return scratch_; }
  bool SetYear(const std::string& path, int year) {
    if (!fake_.Exists(path)) return false;
    fake_.nodes[path].time_in_range = year >= 1980 && year <= 2107;
    return true;
  }

 private:
  FakePlatform fake_;
  std::string scratch_ = "C:\\Temp\\scratch\\";
};

template <class World>
class PlatformContract : public ::testing::Test {
 protected:
  Platform& platform() { return world_.platform(); }
  std::string Scratch(const std::string& name) { return world_.scratch() + name; }

  // A file with the given contents, made through the platform itself.
  void Put(const std::string& path, const std::string& contents) {
    auto file = platform().CreateForWriting(path);
    ASSERT_NE(file, nullptr) << path;
    ASSERT_EQ(file->Write(contents.data(), static_cast<uint32_t>(contents.size())),
              static_cast<int32_t>(contents.size()));
  }

  std::string ReadAll(const std::string& path) {
    auto file = platform().OpenForReading(path);
    if (file == nullptr) return "<cannot open>";
    std::string contents;
    char buffer[7];  // odd size: several reads, the last one short
    for (int32_t n; (n = file->Read(buffer, sizeof buffer)) > 0;)
      contents.append(buffer, static_cast<size_t>(n));
    return contents;
  }

  World world_;
};

#ifdef _WIN32
// The platform of a kit with the deployment record: made and removed
// through held folders, the kit's files open sharing reading only.
class GuardedWorld : public RealWorld {
 public:
  GuardedWorld() : RealWorld(std::make_unique<Win32Platform>(true)) {}
};
using Worlds = ::testing::Types<RealWorld, GuardedWorld, FakeWorld>;
#else
using Worlds = ::testing::Types<RealWorld, FakeWorld>;
#endif
class WorldNames {
 public:
  template <class T>
  static std::string GetName(int) {
    if (std::is_same<T, RealWorld>::value) return "System";
    return std::is_same<T, FakeWorld>::value ? "Fake" : "Guarded";
  }
};
TYPED_TEST_SUITE(PlatformContract, Worlds, WorldNames);

TYPED_TEST(PlatformContract, TempFolderEndsInItsSeparator) {
  PathText folder;
  ASSERT_TRUE(this->platform().GetTempFolder(&folder));
  ASSERT_FALSE(folder.empty());
  EXPECT_LE(folder.size(), 260u);
  EXPECT_EQ(folder.back(), this->platform().HostPathStyle().trailing);
}

TYPED_TEST(PlatformContract, TempFileNamesAreNewEmptyAndUnique) {
  std::string folder = this->Scratch("");
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) {
    std::string name = this->platform().MakeTempFileName(folder, "ldx");
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.rfind(folder + "ldx", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".tmp") << name;
    EXPECT_TRUE(this->platform().FileExists(name)) << name;
    EXPECT_EQ(this->ReadAll(name), "") << name;
    for (const std::string& earlier : names) EXPECT_NE(name, earlier);
    names.push_back(name);
  }
}

TYPED_TEST(PlatformContract, TempFileNameInMissingFolderIsEmpty) {
  EXPECT_EQ(this->platform().MakeTempFileName(this->Scratch("missing"), "ldx"), "");
}

TYPED_TEST(PlatformContract, FolderIsMadeOnlyOnce) {
  std::string folder = this->Scratch("work");
  EXPECT_TRUE(this->platform().MakeFolder(folder));
  EXPECT_FALSE(this->platform().MakeFolder(folder));
  this->Put(this->Scratch("taken"), "x");
  EXPECT_FALSE(this->platform().MakeFolder(this->Scratch("taken")));
  // Files can be made inside the new folder.
  std::string sep(1, this->platform().HostPathStyle().trailing);
  this->Put(folder + sep + "inside.bin", "y");
  EXPECT_TRUE(this->platform().FileExists(folder + sep + "inside.bin"));
}

TYPED_TEST(PlatformContract, FileExistsOnlyForFilesWithADosDate) {
  ASSERT_TRUE(this->platform().MakeFolder(this->Scratch("folder")));
  EXPECT_FALSE(this->platform().FileExists(this->Scratch("folder")));
  EXPECT_FALSE(this->platform().FileExists(this->Scratch("missing")));
  this->Put(this->Scratch("today"), "x");
  EXPECT_TRUE(this->platform().FileExists(this->Scratch("today")));

  struct Case {
    int year;
    bool exists;
  };
  for (Case c : {Case{1970, false}, Case{1979, false}, Case{1980, true}, Case{2107, true},
                 Case{2110, false}}) {
    std::string path = this->Scratch("dated" + std::to_string(c.year));
    this->Put(path, "x");
    ASSERT_TRUE(this->world_.SetYear(path, c.year)) << c.year;
    EXPECT_EQ(this->platform().FileExists(path), c.exists) << c.year;
  }
}

TYPED_TEST(PlatformContract, WriteSeekReadRoundTrip) {
  std::string path = this->Scratch("data.bin");
  const std::string contents = std::string("head") + '\0' + "\x01\xFF" + "tail-of-the-file";
  ASSERT_EQ(contents.size(), 23u);
  {
    auto file = this->platform().CreateForWriting(path);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Write(contents.data(), static_cast<uint32_t>(contents.size())), 23);
    EXPECT_EQ(file->Seek(0, File::Origin::Current), 23);
    // The file is open for reading too.
    EXPECT_EQ(file->Seek(0, File::Origin::Begin), 0);
    char head[4];
    EXPECT_EQ(file->Read(head, 4), 4);
    EXPECT_EQ(std::string(head, 4), "head");
  }
  EXPECT_EQ(this->ReadAll(path), contents);

  auto file = this->platform().OpenForReading(path);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Seek(0, File::Origin::End), 23);
  EXPECT_EQ(file->Seek(-5, File::Origin::End), 18);
  // A move before the start fails and leaves the position where it was.
  EXPECT_EQ(file->Seek(-1, File::Origin::Begin), -1);
  EXPECT_EQ(file->Seek(0, File::Origin::Current), 18);
  // A short read at the end, then nothing.
  char buffer[16] = {};
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "-file");
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 0);
  // Past the end is a valid position with nothing to read.
  EXPECT_EQ(file->Seek(100, File::Origin::Begin), 100);
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 0);
}

TYPED_TEST(PlatformContract, CreateForWritingEmptiesAnExistingFile) {
  std::string path = this->Scratch("again.bin");
  this->Put(path, "old contents");
  {
    auto file = this->platform().CreateForWriting(path);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Seek(0, File::Origin::End), 0);
  }
  EXPECT_EQ(this->ReadAll(path), "");
}

TYPED_TEST(PlatformContract, OpeningFailsForMissingFilesAndFolders) {
  EXPECT_EQ(this->platform().OpenForReading(this->Scratch("missing")), nullptr);
  ASSERT_TRUE(this->platform().MakeFolder(this->Scratch("folder")));
  EXPECT_EQ(this->platform().OpenForReading(this->Scratch("folder")), nullptr);
  EXPECT_EQ(this->platform().CreateForWriting(this->Scratch("folder")), nullptr);
  std::string sep(1, this->platform().HostPathStyle().trailing);
  EXPECT_EQ(this->platform().CreateForWriting(this->Scratch("missing") + sep + "x"), nullptr);
}

TYPED_TEST(PlatformContract, ReadersShareTheFile) {
  std::string path = this->Scratch("shared.bin");
  this->Put(path, "abc");
  auto first = this->platform().OpenForReading(path);
  auto second = this->platform().OpenForReading(path);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  char a = 0;
  char b = 0;
  EXPECT_EQ(first->Read(&a, 1), 1);
  EXPECT_EQ(second->Read(&b, 1), 1);
  EXPECT_EQ(a, 'a');
  EXPECT_EQ(b, 'a');  // each handle has its own position
}

TYPED_TEST(PlatformContract, TempFolderSharingOfAFolderOfOurOwn) {
  EXPECT_EQ(this->platform().TempFolderSharing(this->Scratch("")), FolderSharing::kPrivate);
  EXPECT_EQ(this->platform().TempFolderSharing(this->Scratch("missing")), FolderSharing::kMissing);
}

TYPED_TEST(PlatformContract, UniqueFoldersAreNewAndNamedFromThePrefix) {
  std::string folder = this->Scratch("");
  std::string first = this->platform().MakeUniqueFolder(folder, "ldx");
  std::string second = this->platform().MakeUniqueFolder(folder, "ldx");
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind(folder + "ldx", 0), 0u) << first;
  EXPECT_EQ(first.size(), folder.size() + 9) << first;  // "ldx" and six characters
  EXPECT_FALSE(this->platform().MakeFolder(first));     // it exists
  std::string sep(1, this->platform().HostPathStyle().trailing);
  this->Put(first + sep + "inside.bin", "y");
  EXPECT_EQ(this->ReadAll(first + sep + "inside.bin"), "y");
  EXPECT_EQ(this->platform().MakeUniqueFolder(this->Scratch("missing"), "ldx"), "");
}

TYPED_TEST(PlatformContract, FileIdsTellFilesApart) {
  std::string a = this->Scratch("a.bin");
  std::string b = this->Scratch("b.bin");
  FileId written;
  {
    auto file = this->platform().CreateForWriting(a);
    ASSERT_NE(file, nullptr);
    written = file->Id();
  }
  this->Put(b, "other");
  EXPECT_TRUE(written.known);
  EXPECT_EQ(this->platform().IdentifyFile(a), written);
  EXPECT_NE(this->platform().IdentifyFile(b), written);
  EXPECT_FALSE(this->platform().IdentifyFile(this->Scratch("missing")).known);
  // Cut and written again under the same name, it is the same file.
  this->Put(a, "again");
  EXPECT_EQ(this->platform().IdentifyFile(a), written);
}

TYPED_TEST(PlatformContract, AsciiNamesConvertUnchanged) {
  WideName converted;
  ASSERT_TRUE(this->platform().ConvertName("Setup-1.exe", &converted));
  EXPECT_EQ(converted, u"Setup-1.exe");
  EXPECT_GT(this->platform().LongestCommandLine(), 4096u);
  // The longest name part converts; a longer name does not, rather than
  // being cut.
  ASSERT_TRUE(this->platform().ConvertName(std::string(255, 'n'), &converted));
  EXPECT_EQ(converted.size, 255u);
  EXPECT_FALSE(this->platform().ConvertName(std::string(256, 'n'), &converted));
}

// --- what runs with switches use ----------------------------------------------

TYPED_TEST(PlatformContract, FoldersAreInspectedAsExtractWantsThem) {
  Platform& platform = this->platform();
  const std::string folder = this->Scratch("out");
  EXPECT_EQ(platform.InspectFolder(folder), FolderState::kMissing);
  ASSERT_TRUE(platform.MakeFolder(folder));
  EXPECT_EQ(platform.InspectFolder(folder), FolderState::kEmpty);
  const std::string sep(1, platform.HostPathStyle().trailing);
  this->Put(folder + sep + "f", "x");
  EXPECT_EQ(platform.InspectFolder(folder), FolderState::kNotEmpty);
  EXPECT_EQ(platform.InspectFolder(folder + sep + "f"), FolderState::kNotAFolder);
}

TYPED_TEST(PlatformContract, WhatTheRunMadeIsRemovedFileByFileOrWhole) {
  Platform& platform = this->platform();
  const std::string sep(1, platform.HostPathStyle().trailing);
  const std::string folder = this->Scratch("made");
  ASSERT_TRUE(platform.MakeFolder(folder));
  this->Put(folder + sep + "a.bin", "a");
  EXPECT_FALSE(platform.RemoveEmptyFolder(folder)) << "a folder with a file in it stays";
  EXPECT_TRUE(platform.RemoveFile(folder + sep + "a.bin"));
  EXPECT_FALSE(platform.FileExists(folder + sep + "a.bin"));
  EXPECT_FALSE(platform.RemoveFile(folder + sep + "a.bin")) << "gone already";
  EXPECT_TRUE(platform.RemoveEmptyFolder(folder));
  EXPECT_EQ(platform.InspectFolder(folder), FolderState::kMissing);

  // A tree: everything below, then the folder unless it is kept.
  ASSERT_TRUE(platform.MakeFolder(folder));
  ASSERT_TRUE(platform.MakeFolder(folder + sep + "sub"));
  this->Put(folder + sep + "sub" + sep + "b.bin", "b");
  this->Put(folder + sep + "c.bin", "c");
  EXPECT_TRUE(platform.RemoveTree(folder, true));
  EXPECT_EQ(platform.InspectFolder(folder), FolderState::kEmpty);
  this->Put(folder + sep + "d.bin", "d");
  EXPECT_TRUE(platform.RemoveTree(folder, false));
  EXPECT_EQ(platform.InspectFolder(folder), FolderState::kMissing);
}

TYPED_TEST(PlatformContract, TheLogIsAppendedTo) {
  Platform& platform = this->platform();
  const std::string log = this->Scratch("run.log");
  for (const char* line : {"first\n", "second\n"}) {
    OpenFile file = platform.OpenForAppending(log);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->Write(line, static_cast<uint32_t>(std::strlen(line))),
              static_cast<int32_t>(std::strlen(line)));
  }
  EXPECT_EQ(this->ReadAll(log), "first\nsecond\n");
  EXPECT_EQ(platform.OpenForAppending(this->Scratch("missing") + "x" +
                                      std::string(1, platform.HostPathStyle().trailing) + "l"),
            nullptr)
      << "a log in a folder that is not there";
}

TYPED_TEST(PlatformContract, HashesPieceByPieceAndTellsTheTime) {
  Platform& platform = this->platform();
  ASSERT_TRUE(platform.HashStart());
  platform.HashAdd(reinterpret_cast<const unsigned char*>("ab"), 2);
  platform.HashAdd(reinterpret_cast<const unsigned char*>("c"), 1);
  Sha256Digest digest{};
  ASSERT_TRUE(platform.HashEnd(&digest));
  char hex[65] = {};
  for (size_t i = 0; i < digest.size(); ++i)
    std::snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned>(digest[i]));
  EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_FALSE(platform.HashEnd(&digest)) << "a hash ends once";

  const std::string now(platform.LocalTime().view());
  ASSERT_EQ(now.size(), 19u) << now;
  for (size_t i = 0; i < now.size(); ++i) {
    const char expected = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '9';
    if (expected == '9') {
      EXPECT_TRUE(now[i] >= '0' && now[i] <= '9') << now;
    } else {
      EXPECT_EQ(now[i], expected) << now;
    }
  }
}

TYPED_TEST(PlatformContract, VariablesAreSetAndExpandedWhereTheShellLeavesThem) {
  Platform& platform = this->platform();
  platform.SetEnvironment("LDR_CONTRACT_VALUE", "set");
  PathText expanded;
  ASSERT_TRUE(platform.ExpandVariables("%LDR_CONTRACT_VALUE%|%LDR_CONTRACT_NONE%", &expanded));
  // Windows expands what no shell did; POSIX shells expand $NAME before the
  // loader sees it, and the text stays as it is.
  const bool windows = platform.HostPathStyle().trailing == '\\';
  EXPECT_EQ(expanded,
            windows ? "set|%LDR_CONTRACT_NONE%" : "%LDR_CONTRACT_VALUE%|%LDR_CONTRACT_NONE%");
  platform.SetEnvironment("LDR_CONTRACT_VALUE", "");
  ASSERT_TRUE(platform.ExpandVariables("%LDR_CONTRACT_VALUE%", &expanded));
  EXPECT_EQ(expanded, "%LDR_CONTRACT_VALUE%") << "an empty value removes the variable";
}

TYPED_TEST(PlatformContract, FreeSpaceIsKnownForAFolderThatIsThere) {
  uint64_t bytes = 0;
  ASSERT_TRUE(this->platform().FreeSpace(this->Scratch(""), &bytes));
  EXPECT_GT(bytes, 0u);
}

// --- the real platform only: starting programs -------------------------------

class SystemPlatform : public ::testing::Test {
 protected:
  std::string ChildPath() {
    return std::string(
               DirectoryPart(world_.platform().OwnFilePath(), world_.platform().HostPathStyle())) +
           kChildProgramName;
  }

  RealWorld world_;
};

TEST_F(SystemPlatform, OwnFilePathNamesThisProgram) {
  std::string own = world_.platform().OwnFilePath();
  EXPECT_NE(own.find("platform_contract_test"), std::string::npos) << own;
  EXPECT_TRUE(world_.platform().FileExists(own)) << own;
  EXPECT_TRUE(world_.platform().FileExists(ChildPath())) << ChildPath();
}

TEST_F(SystemPlatform, StartingAMissingProgramGivesFileNotFound) {
  EXPECT_EQ(world_.platform().StartProcess(StartOf({world_.scratch() + "no-such-program.exe"})),
            2u);
}

// A start to wait for hands back the program's exit code once, and the
// program inherits the variables the run set.
TEST_F(SystemPlatform, WaitsForTheProgramItWasAskedToAndPassesTheEnvironment) {
  Platform& platform = world_.platform();
  std::string report = world_.scratch() + "env.txt";
  platform.SetEnvironment("LDR_CONTRACT_CHILD", "inherited");
  ProcessStart start = StartOf({ChildPath(), report, "--env", "LDR_CONTRACT_CHILD", "--exit", "7"});
  WaitableProcess child;
  start.waitable = &child;
  ASSERT_GE(platform.StartProcess(start), 32u);
  uint32_t code = 0;
  ASSERT_TRUE(platform.WaitForProcess(&child, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(AwaitReport(report), "inherited\n");
  EXPECT_FALSE(platform.WaitForProcess(&child, &code)) << "one wait a start";
  platform.SetEnvironment("LDR_CONTRACT_CHILD", "");
}

TEST_F(SystemPlatform, StartsAProgramWithItsArgumentsAndDoesNotWait) {
  std::string report = world_.scratch() + "report.txt";
  uint32_t result =
      world_.platform().StartProcess(StartOf({ChildPath(), report, "alpha", "b c", "d"}));
  ASSERT_GE(result, 32u);
  EXPECT_EQ(AwaitReport(report), "alpha\nb c\nd\n");
}

// What a handler of the build without exceptions relies on (base/failure.h):
// the platform closes every file opened since a mark, whatever became of its
// owner, as Win32's does (platform_win32.cpp); an owner that lets go
// afterwards closes nothing twice. Until then the file cannot be removed.
TEST(FakePlatformFiles, ClosesTheFilesOpenedSinceAMark) {
  FakePlatform fake;
  fake.AddFile("C:\\Temp\\a", "a");
  fake.AddFile("C:\\Temp\\b", "b");
  OpenFile before = fake.OpenForReading("C:\\Temp\\a");
  const uint32_t mark = fake.FilesOpened();
  EXPECT_EQ(fake.OpenForReading("C:\\Temp\\missing"), nullptr);  // not counted
  OpenFile written = fake.CreateForWriting("C:\\Temp\\c");
  fake.OpenForReading("C:\\Temp\\b").reset();  // closed by its owner
  OpenFile reading = fake.OpenForReading("C:\\Temp\\b");
  EXPECT_EQ(fake.FilesOpened(), mark + 3);
  EXPECT_FALSE(fake.RemoveFile("C:\\Temp\\c"));

  fake.CloseFilesOpenedSince(mark);
  EXPECT_EQ(fake.open_paths, (std::map<std::string, int>{{"C:\\Temp\\a", 1}}));
  char byte = 0;
  EXPECT_EQ(reading->Read(&byte, 1), -1);  // its handle is gone
  EXPECT_EQ(before->Read(&byte, 1), 1);
  EXPECT_TRUE(fake.RemoveFile("C:\\Temp\\c"));
  written.reset();
  reading.reset();
  EXPECT_EQ(fake.open_files, 1);
}

}  // namespace
}  // namespace ldr::testing
