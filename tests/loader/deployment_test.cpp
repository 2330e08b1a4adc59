// Runs of a kit whose loader carries the deployment record, on the fake
// platform: what each switch does, and what a failing run leaves behind.
#include "loader/run.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/block_hash.h"
#include "base/messages.h"
#include "base/sha256.h"
#include "format/hand_off.h"
#include "loader/startup.h"
#include "loader/switches.h"
#include "tests/support/archive_builder.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_window.h"
#include "tests/support/loader_run.h"

namespace ldr {
namespace {

using testing::BuildArchive;
using testing::BuildSelfExtracting;
using testing::FakePlatform;
using testing::FakeWindow;
using testing::FileEntry;

const std::string kLoaderPath = "C:\\Downloads\\setup.exe";
const std::string kImage(4096, 'M');

class DeploymentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string kit = BuildSelfExtracting(
        kImage, BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ installer"),
                              FileEntry("C:\\KIT\\data.bin", std::string(5000, 'd'))}));
    platform.AddFile(kLoaderPath, kit);
    record.flags = kDeploymentSelfExtracting;
    record.kit_length = static_cast<uint32_t>(kit.size());
    record.trailer_offset = static_cast<int32_t>(kit.size() - kTrailerSize);
    platform.free_space = 1 << 30;
  }

  int Run(const std::string& line) {
    platform.command_line = line;
    return Start(window, &record);
  }
  // The loader's start, to the run's end (tests/support/loader_run.h).
  int Start(FakeWindow& shown, const DeploymentRecord* kits_record) {
    return testing::RunToEnd([&] { return RunKit(platform, shown, kits_record); }).exit_code;
  }

  FakePlatform platform;
  FakeWindow window;
  DeploymentRecord record;
};

TEST_F(DeploymentTest, WithoutSwitchesTheRunIsThePlainOne) {
  // Inherited from another kit's run that waits: not this run's.
  platform.environment[kLoaderWaitsVariable] = "1";
  EXPECT_EQ(Run("setup.exe"), 0);
  EXPECT_EQ(platform.environment.count(kLoaderWaitsVariable), 0u);
  EXPECT_EQ(window.calls, (std::vector<std::string>{"bitmap", "class", "window", "show"}));
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_FALSE(platform.starts[0].wait);
  EXPECT_EQ(platform.waits, 0);
  EXPECT_TRUE(platform.removed.empty());
}

TEST_F(DeploymentTest, AKitWithoutTheRecordIgnoresTheSwitches) {
  platform.command_line = "setup.exe /S /WAIT /EXTRACT=C:\\Out";
  EXPECT_EQ(Start(window, nullptr), 0);
  EXPECT_EQ(window.calls, (std::vector<std::string>{"bitmap", "class", "window", "show"}));
  EXPECT_EQ(platform.waits, 0);
  EXPECT_FALSE(platform.Exists("C:\\Out"));
}

TEST_F(DeploymentTest, WaitHandsBackTheInstallersCodeAndRemovesWhatItMade) {
  platform.installer_exit_code = 3010;
  // What the installer leaves in the working folder goes with it.
  platform.before_identify = [this] {
    platform.AddFolder("C:\\Temp\\ldx1A2B\\logs");
    platform.AddFile("C:\\Temp\\ldx1A2B\\logs\\install.log", "left");
  };
  EXPECT_EQ(Run("setup.exe /WAIT -- /quiet \"a b\""), 3010);
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_TRUE(platform.starts[0].wait);
  EXPECT_EQ(platform.starts[0].command_line,
            "C:\\Temp\\ldx1A2B\\install.exe *SELFEXTRACT setup.exe C:\\Downloads /quiet \"a b\"");
  EXPECT_EQ(platform.environment[kLoaderWaitsVariable], "1");
  // The window goes once the installer runs: its own is the one to follow.
  EXPECT_EQ(window.calls, (std::vector<std::string>{"bitmap", "class", "window", "show", "hide"}));
  EXPECT_EQ(platform.removed, (std::vector<std::string>{
                                  "C:\\Temp\\ldx1A2B\\install.exe", "C:\\Temp\\ldx1A2B\\data.bin",
                                  "C:\\Temp\\ldx1A2B\\logs\\install.log", "C:\\Temp\\ldx1A2B\\logs",
                                  "C:\\Temp\\ldx1A2B", "C:\\Temp\\ldx1A2B.tmp"}));
}

TEST_F(DeploymentTest, KeepLeavesTheFiles) {
  EXPECT_EQ(Run("setup.exe /WAIT /KEEP"), 0);
  EXPECT_TRUE(platform.removed.empty());
  EXPECT_TRUE(platform.Exists("C:\\Temp\\ldx1A2B\\install.exe"));
}

TEST_F(DeploymentTest, SilentShowsNothingAndLogsTheFailure) {
  platform.free_space = 100;
  EXPECT_EQ(Run("setup.exe /S /LOG=C:\\Temp\\run.log"),
            kExitNoSpace);  // Windows paths: Windows codes
  EXPECT_TRUE(window.calls.empty());
  EXPECT_TRUE(window.boxes.empty());
  EXPECT_TRUE(platform.starts.empty());
  // What the run made before it knew is gone again.
  EXPECT_FALSE(platform.Exists("C:\\Temp\\ldx1A2B"));
  EXPECT_FALSE(platform.Exists("C:\\Temp\\ldx1A2B.tmp"));
  const std::string log = platform.Contents("C:\\Temp\\run.log");
  EXPECT_NE(log.find("2024-05-01 13:45:07  loader C:\\Downloads\\setup.exe"), std::string::npos);
  EXPECT_NE(log.find("failed with exit code 2403 (the loader's own failure): LOADER: There is "
                     "not enough free space to unpack the installation program in C:\\Temp\\: "
                     "it needs 1 MB and 0 MB are free"),
            std::string::npos)
      << log;
}

// Stored names, the command line and a refused switch come from outside: a
// line break or an escape in them must not forge a line of the log.
TEST_F(DeploymentTest, TheLogShowsControlBytesAsEscapes) {
  const std::string kit = BuildSelfExtracting(
      kImage, BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ installer"),
                            FileEntry("C:\\KIT\\x\rdone, exit code 0\n\x1b[2K.bin", "d")}));
  platform.AddFile(kLoaderPath, kit);
  record.kit_length = static_cast<uint32_t>(kit.size());
  record.trailer_offset = static_cast<int32_t>(kit.size() - kTrailerSize);
  EXPECT_EQ(Run("setup.exe /S /LOG=C:\\Temp\\run.log"), kExitUnpacking);
  EXPECT_EQ(Run("setup.exe /S /LOG=C:\\Temp\\run.log \"/X\ndone, exit code 0\""), kExitCommandLine);
  const std::string log = platform.Contents("C:\\Temp\\run.log");
  EXPECT_EQ(log.find('\r'), std::string::npos) << log;
  EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
  EXPECT_NE(log.find("x\\x0Ddone, exit code 0\\x0A\\x1B[2K.bin"), std::string::npos) << log;
  EXPECT_NE(log.find("/X\\x0Adone"), std::string::npos) << log;
  for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
    EXPECT_EQ(log.compare(start, 21, "2024-05-01 13:45:07  "), 0) << log.substr(start, end - start);
}

TEST_F(DeploymentTest, AFailureHalfWayRemovesWhatTheRunMadeThenReports) {
  platform.create_fails = {"C:\\Temp\\ldx1A2B\\data.bin"};
  EXPECT_EQ(Run("setup.exe /WAIT"), kExitUnpacking);
  EXPECT_EQ(platform.removed,
            (std::vector<std::string>{"C:\\Temp\\ldx1A2B\\install.exe", "C:\\Temp\\ldx1A2B",
                                      "C:\\Temp\\ldx1A2B.tmp"}));
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: Could not create the following file, C:\\Temp\\ldx1A2B\\data.bin");
}

// The exit code says what failed, not which step was running: a window
// that cannot paint just after the kit was read is no damaged kit, and an
// installer missing after a whole extraction is a start that failed.
TEST_F(DeploymentTest, TheExitCodeIsTheFailuresKindWhateverTheStep) {
  window.paint_failure = "LOADER* Could not draw bitmap";
  EXPECT_EQ(Run("setup.exe /WAIT"), kExitOther);
  window.paint_failure.clear();
  platform.start_result = 2;
  EXPECT_EQ(Run("setup.exe /WAIT"), kExitStart);
  platform.start_result = 33;
  platform.wait_fails = true;
  EXPECT_EQ(Run("setup.exe /WAIT"), kExitWait);
  EXPECT_EQ(Run("setup.exe"), 0) << "without switches no wait, and no code but 0 or 1";
  platform.start_result = 2;
  EXPECT_EQ(Run("setup.exe"), 1);
}

// loader.exe unwinds nothing: its handler closes the files the run holds,
// the one half written among them, before it removes what the run made.
// The fake, like Windows, removes no file that is open: a handler that
// removed first would leave data.bin behind.
TEST_F(DeploymentTest, AFileHalfWrittenIsClosedBeforeItIsRemoved) {
  platform.disk_space = 12 + 1000;  // install.exe whole, data.bin cut short
  // The box comes last: by then nothing is open and nothing is left.
  window.at_box = [this] {
    EXPECT_TRUE(platform.open_paths.empty());
    EXPECT_EQ(platform.removed.size(), 4u);
  };
  EXPECT_EQ(Run("setup.exe /WAIT"), kExitUnpacking);
  EXPECT_EQ(platform.removed, (std::vector<std::string>{
                                  "C:\\Temp\\ldx1A2B\\install.exe", "C:\\Temp\\ldx1A2B\\data.bin",
                                  "C:\\Temp\\ldx1A2B", "C:\\Temp\\ldx1A2B.tmp"}));
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: Could not write to the file C:\\Temp\\ldx1A2B\\data.bin. This probably means "
            "that your disk is full");
}

TEST_F(DeploymentTest, AFileThatWasThereIsNotRemoved) {
  // The working folder cannot be made: the files go into the temporary
  // folder itself, where data.bin was already.
  platform.make_folder_fails = true;
  platform.AddFile("C:\\Temp\\data.bin", "someone's");
  platform.create_fails = {"C:\\Temp\\install.exe"};
  EXPECT_EQ(Run("setup.exe"), 1);  // no switches: exit 1
  EXPECT_EQ(platform.removed, (std::vector<std::string>{"C:\\Temp\\ldx1A2B.tmp"}));
  EXPECT_TRUE(platform.Exists("C:\\Temp\\data.bin"));
}

TEST_F(DeploymentTest, AKitCutShortSaysSo) {
  const std::string whole = platform.Contents(kLoaderPath);
  platform.AddFile(kLoaderPath, whole.substr(0, whole.size() - 1));
  EXPECT_EQ(Run("setup.exe /WAIT"), kExitKitDamaged);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: The installation kit C:\\Downloads\\setup.exe is "
            "incomplete or damaged: it should be " +
                std::to_string(whole.size()) + " bytes long and is " +
                std::to_string(whole.size() - 1) + " bytes. Download it again");
  EXPECT_TRUE(platform.starts.empty());
}

TEST_F(DeploymentTest, AnUnknownSwitchStartsNothing) {
  EXPECT_EQ(Run("setup.exe /PASSIVE"), kExitCommandLine);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: The command line holds /PASSIVE, which is not one of this program's "
            "switches. Nothing was started. Run it with /? to see the switches");
  EXPECT_TRUE(platform.starts.empty());
  EXPECT_TRUE(platform.folders_made.empty());
}

TEST_F(DeploymentTest, HelpIsANoticeOrNothing) {
  EXPECT_EQ(Run("setup.exe /?"), 0);
  EXPECT_EQ(window.notices.size(), 1u);
  FakeWindow quiet;
  platform.command_line = "setup.exe /? /S";
  EXPECT_EQ(Start(quiet, &record), 0);
  EXPECT_TRUE(quiet.calls.empty());
}

TEST_F(DeploymentTest, ALogThatCannotBeWrittenStopsTheRunFirst) {
  platform.append_fails = true;
  EXPECT_EQ(Run("setup.exe /LOG=C:\\Temp\\run.log"), kExitLog);
  EXPECT_TRUE(platform.starts.empty());
  EXPECT_TRUE(window.calls == std::vector<std::string>{"error"});
}

// /EXTRACT: both archives below the folder named, the payload in its
// "payload" folder, nothing started.
class ExtractTest : public DeploymentTest {
 protected:
  // The kit again, with a second archive.
  void UsePayload(const std::vector<testing::TestEntry>& payload) {
    const std::string kit =
        BuildSelfExtracting(kImage,
                            BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ installer"),
                                          FileEntry("C:\\KIT\\data.bin", std::string(5000, 'd'))}),
                            BuildArchive(payload));
    platform.AddFile(kLoaderPath, kit);
    record.kit_length = static_cast<uint32_t>(kit.size());
    record.trailer_offset = static_cast<int32_t>(kit.size() - kTrailerSize);
  }
  // The message of the last run that failed.
  std::string Box() const { return window.boxes.empty() ? "" : window.boxes.back().text; }
};

TEST_F(ExtractTest, UnpacksBothArchivesIntoAnEmptyFolderAndStartsNothing) {
  UsePayload({FileEntry("readme.txt", "read me"), FileEntry("docs\\deep\\guide.txt", "guide")});
  platform.AddFolder("C:\\Out");
  platform.free_space = -1;  // unknown: logged, not a failure
  EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out\\ /LOG=C:\\Temp\\run.log"), 0) << Box();
  EXPECT_EQ(platform.Contents("C:\\Out\\install.exe"), "MZ installer");
  EXPECT_EQ(platform.Contents("C:\\Out\\data.bin"), std::string(5000, 'd'));
  EXPECT_EQ(platform.Contents("C:\\Out\\payload\\readme.txt"), "read me");
  EXPECT_EQ(platform.Contents("C:\\Out\\payload\\docs\\deep\\guide.txt"), "guide");
  EXPECT_TRUE(platform.starts.empty());
  const std::string log = platform.Contents("C:\\Temp\\run.log");
  EXPECT_NE(log.find("free space in C:\\Out unknown; 5024 bytes needed"), std::string::npos) << log;
  EXPECT_NE(log.find("unpacked into C:\\Out; nothing was started (/EXTRACT)"), std::string::npos)
      << log;
}

TEST_F(ExtractTest, AFolderThatCannotBeUsedIsRefusedBeforeAnythingIsWritten) {
  UsePayload({FileEntry("readme.txt", "read me")});
  platform.AddFile("C:\\Out", "a file");
  EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out"), kExitExtractFolder);
  EXPECT_EQ(Box(), "LOADER: Could not create the folder C:\\Out");
  EXPECT_EQ(platform.Contents("C:\\Out"), "a file");
  EXPECT_TRUE(platform.files_created.empty());
}

TEST_F(ExtractTest, PayloadNamesAreCheckedBeforeTheyAreWritten) {
  struct Case {
    std::vector<testing::TestEntry> payload;
    std::string box;
    std::string not_made;
  };
  const Case cases[] = {
      {{FileEntry("ok.txt", "ok"), FileEntry("..\\evil.txt", "pwned")},
       "LOADER: The installation kit holds a file name that cannot be unpacked safely: "
       "..\\evil.txt",
       "C:\\Out\\evil.txt"},
      // A file and a folder of one name: the folder cannot be made.
      {{FileEntry("docs", "a file"), FileEntry("docs\\guide.txt", "guide")},
       "LOADER: Could not create the following file, C:\\Out\\payload\\docs",
       "C:\\Out\\payload\\docs\\guide.txt"},
      // What the payload library refuses, /EXTRACT refuses too: no drive,
      // no leading separator, no stream.
      {{FileEntry("C:\\x", "x")},
       "LOADER: The installation kit holds a file name that cannot be unpacked safely: C:\\x",
       "C:\\Out\\payload\\x"},
      {{FileEntry("\\x", "x")},
       "LOADER: The installation kit holds a file name that cannot be unpacked safely: \\x",
       "C:\\Out\\payload\\x"},
      {{FileEntry("x:stream", "x")},
       "LOADER: The installation kit holds a file name that cannot be unpacked safely: x:stream",
       "C:\\Out\\payload\\x"},
  };
  // A failed run leaves the folder as it found it: empty when it was there,
  // gone when the run made it.
  for (const bool there : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.box);
      platform.nodes.clear();
      platform.AddFolder("C:\\Temp");
      if (there) platform.AddFolder("C:\\Out");
      UsePayload(c.payload);
      EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out"), kExitUnpacking);
      EXPECT_EQ(Box(), c.box);
      EXPECT_FALSE(platform.Exists(c.not_made));
      EXPECT_FALSE(platform.Exists("C:\\Out\\install.exe"));
      EXPECT_EQ(platform.Exists("C:\\Out"), there);
      if (there) {
        EXPECT_EQ(platform.InspectFolder("C:\\Out"), FolderState::kEmpty);
      }
      EXPECT_TRUE(platform.starts.empty());
    }
  }
}

// DIR's missing folders are made, and removed again with it when the run
// fails.
TEST_F(ExtractTest, MissingFoldersOnTheWayAreMadeAndGoneAfterAFailure) {
  platform.AddFolder("C:\\Out");
  UsePayload({FileEntry("readme.txt", "read me")});
  EXPECT_EQ(Run("setup.exe /S /EXTRACT=C:\\Out\\new\\sub"), 0) << Box();
  EXPECT_EQ(platform.Contents("C:\\Out\\new\\sub\\payload\\readme.txt"), "read me");
  UsePayload({FileEntry("readme.txt", "read me"), FileEntry("..\\evil.txt", "x")});
  EXPECT_EQ(Run("setup.exe /S /EXTRACT=C:\\Out\\other\\sub"), kExitUnpacking);
  EXPECT_FALSE(platform.Exists("C:\\Out\\other"));
  EXPECT_TRUE(platform.Exists("C:\\Out\\new\\sub\\install.exe"));
}

// As above, for what /EXTRACT unpacked: the file half written goes too.
TEST_F(ExtractTest, AFileHalfWrittenIsClosedBeforeTheFolderIsEmptied) {
  UsePayload({FileEntry("readme.txt", "read me")});
  platform.AddFolder("C:\\Out");
  platform.disk_space = 12 + 1000;
  EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out"), kExitUnpacking);
  EXPECT_EQ(platform.InspectFolder("C:\\Out"), FolderState::kEmpty);
  EXPECT_EQ(platform.removed,
            (std::vector<std::string>{"C:\\Out\\install.exe", "C:\\Out\\data.bin"}));
  EXPECT_EQ(Box(),
            "LOADER: Could not write to the file C:\\Out\\data.bin. This probably means that your "
            "disk is full");
}

TEST_F(ExtractTest, AFolderOthersCanChangeIsRefused) {
  UsePayload({FileEntry("readme.txt", "read me")});
  platform.AddFolder("C:\\Out");
  platform.sharing = FolderSharing::kShared;
  EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out"), kExitExtractFolder);
  EXPECT_EQ(Box(),
            "LOADER: Other users can change the folder C:\\Out to unpack the installation kit "
            "into. Choose a folder that only you can write to");
  EXPECT_TRUE(platform.files_created.empty());
}

// An external kit: setup.1 beside the loader must be the one built, and
// /EXTRACT needs setup.2 as well.
TEST_F(ExtractTest, ExternalKitNeedsItsSetup1AsBuiltAndItsSetup2) {
  const std::string setup1 = BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ installer")});
  platform.AddFile(kLoaderPath, kImage);
  platform.AddFile("C:\\Downloads\\setup.1", setup1 + "x");
  platform.AddFolder("C:\\Out");
  record.flags = kDeploymentExternal;
  record.kit_length = static_cast<uint32_t>(kImage.size());
  record.trailer_offset = 0;
  record.setup1_length = static_cast<uint32_t>(setup1.size());
  EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out"), kExitKitDamaged);
  EXPECT_EQ(Box(),
            "LOADER: The file C:\\Downloads\\setup.1 is incomplete or damaged: it should be " +
                std::to_string(setup1.size()) + " bytes long and is " +
                std::to_string(setup1.size() + 1) + " bytes. Download the installation kit again");

  platform.AddFile("C:\\Downloads\\setup.1", setup1);
  EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out"), kExitKitDamaged);  // the kit is incomplete
  EXPECT_EQ(Box(), "LOADER: Could not open the file, C:\\Downloads\\setup.2");
  EXPECT_FALSE(platform.Exists("C:\\Out\\install.exe"));

  // With setup.2's digest in the record, the payload unpacked must be the
  // one built: a changed byte of setup.2 leaves nothing behind.
  const std::string setup2 = BuildArchive({FileEntry("docs\\readme.txt", "read me")});
  Sha256 hash;
  hash.Update(setup2.data(), setup2.size());
  record.flags |= kDeploymentSetup2Digest;
  record.setup2_length = static_cast<uint32_t>(setup2.size());
  record.setup2_sha256 = hash.Finish();
  std::string changed = setup2;
  changed[changed.size() - 3] ^= 1;
  platform.AddFile("C:\\Downloads\\setup.2", changed);
  EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out"), kExitKitDamaged);
  EXPECT_EQ(Box(),
            "LOADER: The file C:\\Downloads\\setup.2 is not the one this installation kit "
            "was built with. Download the installation kit again");
  EXPECT_EQ(platform.InspectFolder("C:\\Out"), FolderState::kEmpty);
  platform.AddFile("C:\\Downloads\\setup.2", setup2);
  EXPECT_EQ(Run("setup.exe /EXTRACT=C:\\Out"), 0) << Box();
  EXPECT_EQ(platform.Contents("C:\\Out\\payload\\docs\\readme.txt"), "read me");
}

// setup.1 is checked as it is unpacked: another process that writes it
// between the reading of the entry table and the unpacking cannot get its
// own bytes started, and what was unpacked is removed again.
class Setup1Test : public DeploymentTest {
 protected:
  void SetUp() override {
    DeploymentTest::SetUp();
    setup1 = BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ installer"),
                           FileEntry("C:\\KIT\\data.bin", std::string(70000, 'd'))});
    platform.AddFile(kLoaderPath, kImage);
    platform.AddFile(kSetup1, setup1);
    record.flags = kDeploymentExternal | kDeploymentSetup1Digest;
    record.kit_length = static_cast<uint32_t>(kImage.size());
    record.trailer_offset = 0;
    record.setup1_length = static_cast<uint32_t>(setup1.size());
    Sha256 hash;
    hash.Update(setup1.data(), setup1.size());
    record.setup1_sha256 = hash.Finish();
  }

  const std::string kSetup1 = "C:\\Downloads\\setup.1";
  std::string setup1;
};

TEST_F(Setup1Test, AGenuineSetup1InstallsWhateverPiecesItIsReadIn) {
  for (int32_t limit : {-1, 7, 4096}) {
    SCOPED_TRACE(limit);
    platform.read_limit = limit;
    platform.starts.clear();
    EXPECT_EQ(Run("setup.exe /WAIT"), 0);
    EXPECT_EQ(platform.starts.size(), 1u);
  }
}

// setup.2 is the loader's to check too when the record holds its digest:
// the installer is started only beside the setup.2 built, and told its
// digest; a run of any other kit removes an inherited one.
TEST_F(Setup1Test, Setup2IsCheckedAndItsDigestHandedOn) {
  const std::string setup2 = BuildArchive({FileEntry("readme.txt", "read me")});
  platform.AddFile("C:\\Downloads\\setup.2", setup2);
  record.flags |= kDeploymentSetup2Digest;
  record.setup2_length = static_cast<uint32_t>(setup2.size());
  Sha256 hash;
  hash.Update(setup2.data(), setup2.size());
  record.setup2_sha256 = hash.Finish();
  EXPECT_EQ(Run("setup.exe /S"), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.environment[kSetup2DigestVariable],
            DigestHex(record.setup2_sha256.data(), 32));

  std::string theirs = setup2;
  theirs[theirs.size() - 2] ^= 1;
  platform.AddFile("C:\\Downloads\\setup.2", theirs);
  platform.starts.clear();
  EXPECT_EQ(Run("setup.exe /S"), kExitKitDamaged);
  EXPECT_TRUE(platform.starts.empty());
  EXPECT_FALSE(platform.Exists("C:\\Temp\\ldx1A2B\\install.exe"));

  record.flags &= ~kDeploymentSetup2Digest;
  EXPECT_EQ(Run("setup.exe /S"), 0);
  EXPECT_EQ(platform.environment.count(kSetup2DigestVariable), 0u);
}

TEST_F(Setup1Test, ASetup1ChangedWhileItIsReadStartsNothing) {
  std::string theirs = BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ theirs!!!"),
                                     FileEntry("C:\\KIT\\data.bin", std::string(70000, 'd'))});
  ASSERT_EQ(theirs.size(), setup1.size());
  // The n-th read of setup.1 finds it changed: the entry table is read by
  // the first three, the installer's stream by the fourth, the data's by the
  // fifth.
  for (int change_at : {3, 4}) {
    SCOPED_TRACE(change_at);
    platform.AddFile(kSetup1, setup1);
    platform.removed.clear();
    platform.files_created.clear();
    int reads = 0;
    platform.before_read = [&](const std::string& path) {
      if (path == kSetup1 && reads++ == change_at) platform.AddFile(kSetup1, theirs);
    };
    EXPECT_EQ(Run("setup.exe /S /WAIT"), kExitKitDamaged);
    EXPECT_TRUE(platform.starts.empty());
    // What was unpacked, the temporary file and the folder.
    EXPECT_EQ(platform.removed.size(), platform.files_created.size() + 2);
    for (const std::string& made : platform.files_created)
      EXPECT_FALSE(platform.Exists(made)) << made;
  }
}

// With /TEMP the files go only into a folder the run made there, never
// into the administrator's folder itself.
TEST_F(DeploymentTest, ATempFolderGivenIsNeverUnpackedIntoDirectly) {
  platform.AddFolder("D:\\Work");
  platform.make_folder_fails = true;
  EXPECT_EQ(Run("setup.exe /S /WAIT /TEMP=D:\\Work"), kExitTempFolder);
  EXPECT_TRUE(platform.files_created.empty());
  EXPECT_TRUE(platform.starts.empty());
  EXPECT_EQ(platform.removed, (std::vector<std::string>{"D:\\Work\\ldx1A2B.tmp"}));
  platform.make_folder_fails = false;
  platform.sharing = FolderSharing::kUnsafe;
  EXPECT_EQ(Run("setup.exe /S /WAIT /TEMP=D:\\Work"), kExitTempFolder);
  EXPECT_TRUE(platform.files_created.empty());
}

// Whatever follows "--" reaches the installer as the loader received it:
// its own start-up code splits the line back into the same arguments. More
// than the longest command line can hold is refused before anything is
// unpacked.
TEST_F(DeploymentTest, ArgumentsAfterTheSeparatorArriveWholeOrNotAtAll) {
  EXPECT_EQ(Run(R"(setup.exe /S -- "" "he said \"hi\"" \" next "C:\My App\\" a\\b)"), 0);
  ASSERT_EQ(platform.starts.size(), 1u);
  const std::vector<std::string> expected = {"",     "he said \"hi\"", "\"",
                                             "next", "C:\\My App\\",   "a\\\\b"};
  const std::vector<std::string>& got = platform.starts[0].arguments;
  ASSERT_EQ(got.size(), 4 + expected.size());
  EXPECT_EQ(std::vector<std::string>(got.begin() + 4, got.end()), expected);
  std::vector<std::string> split;
  const std::string line = platform.starts[0].command_line;
  size_t pos = 0;
  for (CommandLineText argument; ReadProgramArgument(line, &pos, &argument); argument.Clear())
    split.emplace_back(argument.view());
  EXPECT_EQ(split, got) << line;

  platform.starts.clear();
  platform.folders_made.clear();
  std::string many = "setup.exe /S --";
  for (int i = 0; i < 3000; ++i) many += " PROPERTY" + std::to_string(i) + "=1";
  EXPECT_EQ(Run(many), kExitCommandLine);
  EXPECT_EQ(window.boxes.size(), 0u);  // silent
  EXPECT_TRUE(platform.starts.empty());
  EXPECT_TRUE(platform.folders_made.empty());
}

// A fresh machine, as deployment tools meet it: the log's folder is not
// there yet, and the tool passes %ProgramData% without a shell to expand it.
TEST_F(DeploymentTest, TheLogsFoldersAreMadeAndVariablesExpanded) {
  platform.AddFolder("C:\\ProgramData");
  platform.environment["ProgramData"] = "C:\\ProgramData";
  EXPECT_EQ(Run("setup.exe /S /LOG=%ProgramData%\\Product\\Logs\\setup.log"), 0);
  EXPECT_NE(
      platform.Contents("C:\\ProgramData\\Product\\Logs\\setup.log").find("done, exit code 0"),
      std::string::npos);
}

// Windows exit codes are unsigned 32-bit, NTSTATUS values among them: the
// log shows them so, with the hexadecimal form a help desk looks up.
TEST_F(DeploymentTest, LargeExitCodesAreLoggedUnsignedAndInHex) {
  for (const uint32_t code : {3000000000u, 0xC0000135u, 1603u}) {
    platform.installer_exit_code = code;
    platform.nodes.erase("C:\\Temp\\run.log");
    EXPECT_EQ(static_cast<uint32_t>(Run("setup.exe /S /LOG=C:\\Temp\\run.log")), code);
    const std::string log = platform.Contents("C:\\Temp\\run.log");
    const std::string shown = code == 3000000000u   ? "3000000000 (0xB2D05E00)"
                              : code == 0xC0000135u ? "3221225781 (0xC0000135)"
                                                    : "1603";
    EXPECT_NE(log.find("the installer ended with exit code " + shown + "\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("done, exit code " + shown + " (the installer's)"), std::string::npos)
        << log;
  }
}

TEST_F(DeploymentTest, NoTemporaryFolderEndsTheRun) {
  platform.temp_folder_missing = true;
  EXPECT_EQ(Run("setup.exe /WAIT"), kExitTempFolder);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: Could not find the temporary directory on this computer");
  EXPECT_TRUE(platform.starts.empty());
}

}  // namespace
}  // namespace ldr

namespace ldr {
namespace {

TEST(DeploymentHelp, ListsTheExitCodesThisHostEndsWith) {
#ifdef _WIN32
  const PathStyle host = kWindowsPaths;
#else
  const PathStyle host = kPosixPaths;
#endif
  const std::string help = msg::kHelp;
  // Each kind of failure with the code its run ends with, as the help
  // text lists them.
  const std::pair<FailureKind, const char*> kMeanings[] = {
      {FailureKind::kCommandLine, "command line"},
      {FailureKind::kLog, "log"},
      {FailureKind::kKitDamaged, "kit incomplete or damaged"},
      {FailureKind::kNoSpace, "not enough free space"},
      {FailureKind::kUnpacking, "unpacking"},
      {FailureKind::kStart, "starting the installation program"},
      {FailureKind::kExtractFolder, "/EXTRACT folder"},
      {FailureKind::kTempFolder, "temporary folder"},
      {FailureKind::kWait, "waiting"},
      {FailureKind::kOther, "other"}};
  std::set<int> codes;
  for (const auto& [kind, meaning] : kMeanings) {
    const int code = FailureExitCode(kind, true, host);
    codes.insert(code);
    const std::string listed = std::to_string(code) + " " + meaning;
    EXPECT_NE(help.find(listed), std::string::npos) << listed;
    EXPECT_EQ(FailureExitCode(kind, false, host), 1) << "a run without switches ends with 1";
  }
  EXPECT_EQ(codes.size(), 10u) << "one code a kind";
}

// Every spelling the loader takes is in its help, and is taken.
TEST(DeploymentHelp, ListsEverySwitchItTakes) {
  const std::string help = msg::kHelp;
  for (const char* spelling :
       {"/S", "/QUIET", "/Q", "/QN", "/SILENT", "/VERYSILENT", "/WAIT", "/NOWAIT", "/KEEP",
        "/NORESTART", "/SUPPRESSMSGBOXES", "/HELP", "/H", "/?"}) {
    EXPECT_NE(help.find(spelling), std::string::npos) << spelling;
    Switches switches;
    EXPECT_TRUE(ParseSwitches(std::string("setup.exe ") + spelling, &switches)) << spelling;
  }
}

}  // namespace
}  // namespace ldr
