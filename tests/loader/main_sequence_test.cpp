#include "loader/main_sequence.h"
#include "loader/run.h"

#include <gtest/gtest.h>

#include <optional>

#include <cstring>
#include <string>
#include <vector>

#include "base/errors.h"
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

const std::string kImage(2048, 'M');
const std::vector<testing::TestEntry> kFiles = {
    FileEntry("C:\\KIT\\install.exe", std::string(5000, 'i')),
    FileEntry("C:\\KIT\\data.bin", std::string(9000, 'd')),
};

class MainSequenceTest : public ::testing::Test {
 protected:
  // Puts a self-extracting loader at path, or the loader and a setup.1 beside it.
  void Place(const std::string& loader_path, bool self_extracting,
             const std::vector<testing::TestEntry>& files = kFiles) {
    platform.own_file_path = loader_path;
    const std::string archive = BuildArchive(files);
    if (self_extracting) {
      platform.AddFile(loader_path, BuildSelfExtracting(kImage, archive));
    } else {
      platform.AddFile(loader_path, kImage);
      platform.AddFile(WithTrailingSeparator(DirectoryPart(loader_path)) + "setup.1", archive);
    }
  }

  ArchiveTrailer Trailer() {
    std::string own = platform.Contents(platform.own_file_path);
    unsigned char bytes[kTrailerSize] = {};
    if (own.size() >= kTrailerSize)
      std::memcpy(bytes, own.data() + own.size() - kTrailerSize, kTrailerSize);
    return DecodeTrailer(bytes);
  }

  // Runs the kit; gives the error text its box showed, or "" when it
  // succeeded.
  std::string Run() {
    window.boxes.clear();
    if (testing::RunToEnd([&] { return RunKit(platform, window, nullptr); }).exit_code == 0)
      return std::string();
    return window.boxes.empty() ? "(no box)" : window.boxes.back().text;
  }
  // Opens the container the trailer names; gives the error text, or "".
  std::string Open(const ArchiveTrailer& trailer) {
    return testing::FailureOf(
        [&] {
          Container container;
          OpenContainer(platform, trailer, "C:\\Downloads", &container);
        },
        [&] { platform.CloseFilesOpenedSince(0); });
  }

  // Platforms cannot be copied or assigned: a case that needs a fresh one
  // makes it in place.
  void ResetPlatform() { fresh_.emplace(); }

  std::optional<FakePlatform> fresh_{std::in_place};
  FakePlatform& platform = *fresh_;
  FakeWindow window;
};

TEST_F(MainSequenceTest, SelfExtractingRunUnpacksAndHandsOver) {
  Place("C:\\Downloads\\setup.exe", true);
  ASSERT_EQ(Run(), "");
  EXPECT_TRUE(platform.Exists("C:\\Temp\\ldx1A2B.tmp"));  // stays behind
  EXPECT_EQ(platform.folders_made, (std::vector<std::string>{"C:\\Temp\\ldx1A2B"}));
  EXPECT_EQ(platform.Contents("C:\\Temp\\ldx1A2B\\install.exe"), std::string(5000, 'i'));
  EXPECT_EQ(platform.Contents("C:\\Temp\\ldx1A2B\\data.bin"), std::string(9000, 'd'));
  EXPECT_EQ(platform.processes_started,
            (std::vector<std::string>{
                "C:\\Temp\\ldx1A2B\\install.exe *SELFEXTRACT setup.exe C:\\Downloads"}));
  EXPECT_EQ(platform.files_marked_executable,
            (std::vector<std::string>{"C:\\Temp\\ldx1A2B\\install.exe"}));
  // The archive is still open while the installer starts, and closed after.
  EXPECT_EQ(platform.open_files_at_start, (std::vector<int>{1}));
  EXPECT_EQ(platform.open_files, 0);
  EXPECT_EQ(window.positions.back(), 100);
}

TEST_F(MainSequenceTest, CommandLineForms) {
  struct Case {
    std::string loader;
    bool self_extracting;
    std::string command_line;
    std::string expected;
  };
  const std::string ins = "C:\\Temp\\ldx1A2B\\install.exe";
  const std::vector<Case> cases = {
      {"C:\\Downloads\\setup.exe", false, "setup.exe", ins + " C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", false, "setup.exe *TODISK",
       ins + " *TODISK setup.exe C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", false, "setup.exe *todisk",
       ins + " *TODISK setup.exe C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", false, "setup.exe \"*ToDisk\"",
       ins + " *TODISK setup.exe C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", false, "setup.exe TODISK", ins + " C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", false, "setup.exe /TODISK", ins + " C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", false, "setup.exe *TODISKS", ins + " C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", false, "setup.exe x *TODISK", ins + " C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", false, "setup.exe **TODISK", ins + " C:\\Downloads"},
      // The switch wins over the self-extracting form.
      {"C:\\Downloads\\setup.exe", true, "setup.exe *TODISK",
       ins + " *TODISK setup.exe C:\\Downloads"},
      {"C:\\Downloads\\setup.exe", true, "setup.exe",
       ins + " *SELFEXTRACT setup.exe C:\\Downloads"},
      // A loader in a drive's root.
      {"C:\\setup.exe", false, "setup.exe", ins + " C:"},
      {"C:\\setup.exe", true, "setup.exe", ins + " *SELFEXTRACT setup.exe C:"},
      // A folder part ending in two backslashes loses both.
      {"C:\\Downloads\\\\setup.exe", true, "setup.exe",
       ins + " *SELFEXTRACT setup.exe C:\\Downloads"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.loader + " | " + c.command_line);
    ResetPlatform();
    Place(c.loader, c.self_extracting);
    platform.command_line = c.command_line;
    ASSERT_EQ(Run(), "");
    ASSERT_EQ(platform.processes_started.size(), 1u);
    EXPECT_EQ(platform.processes_started[0], c.expected);
  }
}

TEST_F(MainSequenceTest, InstallerPathWithABlankIsQuoted) {
  platform.AddFolder("C:\\Documents and Settings");
  platform.AddFolder("C:\\Documents and Settings\\Temp");
  platform.temp_folder = "C:\\Documents and Settings\\Temp\\";
  platform.AddFolder("C:\\My Kit");
  Place("C:\\My Kit\\setup.exe", true);
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(platform.processes_started[0],
            "\"C:\\Documents and Settings\\Temp\\ldx1A2B\\install.exe\" *SELFEXTRACT setup.exe "
            "\"C:\\My Kit\"");
}

// The loader's name and folder take the installer path's rule: in quotes
// when they hold a blank or a character cmd.exe acts on, else unchanged.
TEST_F(MainSequenceTest, LoaderNameAndFolderAreQuotedWhenTheyMustBe) {
  struct Case {
    std::string folder;
    std::string name;
    std::string expected_tail;
  };
  const std::vector<Case> cases = {
      {"C:\\Downloads", "setup (1).exe", "\"setup (1).exe\" C:\\Downloads"},
      {"C:\\Users\\John Smith\\Downloads", "setup.exe",
       "setup.exe \"C:\\Users\\John Smith\\Downloads\""},
      {"C:\\Tools&Extras", "a&b.exe", "\"a&b.exe\" \"C:\\Tools&Extras\""},
      {"C:\\x", "a^b,c;d=e.exe", "\"a^b,c;d=e.exe\" C:\\x"},
      {"C:\\100%", "setup!.exe", "setup!.exe C:\\100%"},  // nothing to quote
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + " | " + c.name);
    ResetPlatform();
    platform.AddFolder(c.folder);
    Place(c.folder + "\\" + c.name, true);
    ASSERT_EQ(Run(), "");
    EXPECT_EQ(platform.processes_started[0],
              "C:\\Temp\\ldx1A2B\\install.exe *SELFEXTRACT " + c.expected_tail);
    // The arguments themselves carry no quotes.
    EXPECT_EQ(platform.starts[0].arguments,
              (std::vector<std::string>{"C:\\Temp\\ldx1A2B\\install.exe", "*SELFEXTRACT", c.name,
                                        c.folder}));
  }
}

// cmd.exe expands % and ! inside quotes too, and a " ends the quotes: a batch
// installer is never handed one of them.
TEST_F(MainSequenceTest, BatchInstallerIsNotHandedWhatQuotesCannotProtect) {
  struct Case {
    std::string installer;
    std::string folder;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"install.bat", "C:\\100%", true},
      {"INSTALL.CMD", "C:\\Hey!", true},
      {"install.bat.", "C:\\a%b", true},  // Windows drops the final dot
      {"install.bat", "C:\\Tools & Extras", false},
      {"install.exe", "C:\\100%", false},
      {"install.bat.exe", "C:\\100%", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.installer + " | " + c.folder);
    ResetPlatform();
    platform.AddFolder(c.folder);
    Place(c.folder + "\\setup.exe", false, {FileEntry("C:\\KIT\\" + c.installer, "@echo off")});
    const std::string error = Run();
    if (c.refused) {
      EXPECT_EQ(error,
                "LOADER: Could not run the installation executable file C:\\Temp\\ldx1A2B\\" +
                    c.installer +
                    ". It is a batch file, and a batch file cannot be handed a %, ! or \" "
                    "safely, as in: " +
                    c.folder);
      EXPECT_TRUE(platform.processes_started.empty());
    } else {
      EXPECT_EQ(error, "");
    }
  }
}

// Never a cut line: the whole line is handed over, however long, and only a
// line longer than the system can start is refused, with the reason.
TEST_F(MainSequenceTest, LongCommandLineIsHandedOverWhole) {
  const std::string folder = "C:\\" + std::string(240, 'f');
  platform.AddFolder(folder);
  Place(folder + "\\setup.exe", true);
  ASSERT_EQ(Run(), "");
  const std::string full = "C:\\Temp\\ldx1A2B\\install.exe *SELFEXTRACT setup.exe " + folder;
  ASSERT_GT(full.size(), 255u);
  EXPECT_EQ(platform.processes_started[0], full);
  EXPECT_EQ(platform.starts[0].arguments.back(), folder);

  ResetPlatform();
  platform.AddFolder(folder);
  Place(folder + "\\setup.exe", true);
  platform.longest_command_line = full.size() - 1;
  EXPECT_EQ(Run(),
            "LOADER: Could not run the installation executable file. Its command line would be " +
                std::to_string(full.size()) +
                " characters long, and this computer starts programs with at most " +
                std::to_string(full.size() - 1));
  EXPECT_TRUE(platform.processes_started.empty());

  // Windows starts no program from a path of more than 259 characters.
  ResetPlatform();
  const std::string temp = "C:\\" + std::string(240, 't');
  platform.AddFolder(temp);
  platform.temp_folder = temp + "\\";
  Place("C:\\Downloads\\setup.exe", true);
  const std::string installer = temp + "\\ldx1A2B\\install.exe";
  EXPECT_EQ(Run(), "LOADER: Could not run the installation executable file " + installer +
                       ". Its path is " + std::to_string(installer.size()) +
                       " characters long, and this computer starts programs from paths of at "
                       "most 259");
  EXPECT_TRUE(platform.processes_started.empty());
}

// The installer is started only while its path still names the file the
// loader wrote, whatever was put there between the writing and the start.
TEST_F(MainSequenceTest, InstallerReplacedBeforeTheStartIsNotRun) {
  Place("C:\\Downloads\\setup.exe", true);
  const std::string installer = "C:\\Temp\\ldx1A2B\\install.exe";
  platform.before_identify = [this, installer]() {
    platform.nodes.erase(installer);
    platform.AddFile(installer, "someone else's program");
  };
  EXPECT_EQ(
      Run(),
      "LOADER: The installation executable file was replaced before it could be run: " + installer);
  EXPECT_TRUE(platform.processes_started.empty());

  // Two entries of the installer's name: the later one is the file written.
  ResetPlatform();
  Place("C:\\Downloads\\setup.exe", false,
        {FileEntry("C:\\KIT\\install.exe", "first"), FileEntry("D:\\install.exe", "second")});
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(platform.Contents(installer), "second");
  // The start itself is told which file that is, to start no other.
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].program_id, platform.IdOf(installer));
}

// Where others share the temporary folder, the working folder gets a name
// nobody can foresee and is never the shared folder itself; a temporary
// folder others could rename things in is refused.
TEST_F(MainSequenceTest, SharedTemporaryFolderGetsAnUnforeseeableWorkingFolder) {
  Place("C:\\Downloads\\setup.exe", true);
  platform.sharing = FolderSharing::kShared;
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(platform.folders_made, (std::vector<std::string>{"C:\\Temp\\ldxQ7xZ00"}));
  EXPECT_FALSE(platform.Exists("C:\\Temp\\ldx1A2B.tmp"));
  EXPECT_EQ(platform.processes_started[0],
            "C:\\Temp\\ldxQ7xZ00\\install.exe *SELFEXTRACT setup.exe C:\\Downloads");

  ResetPlatform();
  Place("C:\\Downloads\\setup.exe", true);
  platform.sharing = FolderSharing::kShared;
  platform.unique_folder_fails = true;
  EXPECT_EQ(Run(),
            "LOADER: Could not create a private directory in the temporary directory C:\\Temp\\");
  EXPECT_FALSE(platform.Exists("C:\\Temp\\install.exe"));

  ResetPlatform();
  Place("C:\\Downloads\\setup.exe", true);
  platform.sharing = FolderSharing::kUnsafe;
  EXPECT_EQ(Run(),
            "LOADER: Other users can change the temporary directory C:\\Temp\\. Set TMPDIR to a "
            "directory that only you can write to");
  EXPECT_TRUE(platform.folders_made.empty());
  EXPECT_EQ(platform.open_files, 0);
}

TEST_F(MainSequenceTest, MissingContainers) {
  platform.AddFile("C:\\Downloads\\setup.exe", kImage);
  const std::string missing =
      "LOADER: Setup.1 must be in the same directory as the the loader program. Directory is "
      "C:\\Downloads";
  EXPECT_EQ(Run(), missing);

  platform.AddFolder("C:\\Downloads\\setup.1");  // a folder does not count
  EXPECT_EQ(Run(), missing);

  platform.AddFile("C:\\Downloads\\setup.1", BuildArchive(kFiles));
  platform.nodes["C:\\Downloads\\setup.1"].time_in_range = false;  // dated before 1980
  EXPECT_EQ(Run(), missing);

  platform.nodes["C:\\Downloads\\setup.1"] = {false, BuildArchive(kFiles), true, true};
  EXPECT_EQ(Run(), "The file C:\\Downloads\\setup.1 could not be opened for reading");

  ResetPlatform();
  platform.own_file_path = "C:\\setup.exe";
  platform.AddFile("C:\\setup.exe", kImage);
  EXPECT_EQ(
      Run(),
      "LOADER: Setup.1 must be in the same directory as the the loader program. Directory is C:");
}

TEST_F(MainSequenceTest, SelfExtractingLoaderThatVanished) {
  Place("C:\\Downloads\\setup.exe", true);
  ArchiveTrailer trailer = Trailer();
  platform.nodes.erase("C:\\Downloads\\setup.exe");
  EXPECT_EQ(Open(trailer), "LOADER: Could not open the file, C:\\Downloads\\setup.exe");
}

TEST_F(MainSequenceTest, WorkingFolderFallsBackToTheTempFolder) {
  Place("C:\\Downloads\\setup.exe", true);
  platform.make_folder_fails = true;  // e.g. a folder of that name exists
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(platform.Contents("C:\\Temp\\install.exe"), std::string(5000, 'i'));
  EXPECT_EQ(platform.processes_started[0],
            "C:\\Temp\\install.exe *SELFEXTRACT setup.exe C:\\Downloads");
}

TEST_F(MainSequenceTest, NoTemporaryFolder) {
  const std::string message = "LOADER: Could not find the temporary directory on this computer";
  Place("C:\\Downloads\\setup.exe", true);
  platform.temp_folder_missing = true;
  EXPECT_EQ(Run(), message);
  platform.temp_folder_missing = false;
  platform.temp_name_fails = true;  // the candidate is empty
  EXPECT_EQ(Run(), message);
  platform.temp_name_fails = false;
  platform.temp_folder = "C:\\" + std::string(300, 't') + "\\";  // too long for 260 characters
  EXPECT_EQ(Run(), message);
  EXPECT_EQ(platform.open_files, 0);
}

TEST_F(MainSequenceTest, EmptyArchiveNamesSetup1WhicheverContainer) {
  const std::string message =
      "There are no files in the archive in SETUP.1. There should at least be your installation "
      "project executable";
  Place("C:\\Downloads\\setup.exe", true, {});
  EXPECT_EQ(Run(), message);
  ResetPlatform();
  Place("C:\\Downloads\\setup.exe", false, {});
  EXPECT_EQ(Run(), message);
}

TEST_F(MainSequenceTest, FullPathInStoredNameGivesOnlyItsNamePart) {
  Place("C:\\Downloads\\setup.exe", false, {FileEntry("D:\\Build\\Release\\Out\\inst.exe", "x")});
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(platform.processes_started[0], "C:\\Temp\\ldx1A2B\\inst.exe C:\\Downloads");
}

TEST_F(MainSequenceTest, InstallerThatCannotStart) {
  Place("C:\\Downloads\\setup.exe", true);
  platform.start_result = 2;
  EXPECT_EQ(Run(),
            "LOADER: Could not run the installation executable file. The WinExec return was 2");
  EXPECT_EQ(platform.open_files, 0);
  // What was extracted stays.
  EXPECT_TRUE(platform.Exists("C:\\Temp\\ldx1A2B\\install.exe"));
}

// POSIX: the installer gets its arguments as they are, never re-split from
// the text, whatever a path holds.
TEST_F(MainSequenceTest, PosixArgumentsAreHandedOverAsTheyAre) {
  ResetPlatform();
  platform.host_style = kPosixPaths;
  platform.AddFolder("/tmp/x/a\"b\"");
  platform.AddFolder("/home/u/my kit");
  platform.temp_folder = "/tmp/x/a\"b\"/";
  Place("/home/u/my kit/setup (1)", true);
  ASSERT_EQ(Run(), "");
  const std::string installer = "/tmp/x/a\"b\"/ldx1A2B/install.exe";
  EXPECT_EQ(platform.starts[0].program, installer);
  EXPECT_EQ(platform.starts[0].arguments,
            (std::vector<std::string>{installer, "*SELFEXTRACT", "setup (1)", "/home/u/my kit"}));
  // No batch-file rule where there is no cmd.exe.
  ResetPlatform();
  platform.host_style = kPosixPaths;
  platform.AddFolder("/tmp");
  platform.AddFolder("/home/100%");
  platform.temp_folder = "/tmp/";
  Place("/home/100%/setup", true, {FileEntry("install.bat", "x")});
  EXPECT_EQ(Run(), "");
}

TEST_F(MainSequenceTest, PosixHostPaths) {
  ResetPlatform();
  platform.host_style = kPosixPaths;
  platform.AddFolder("/tmp");
  platform.AddFolder("/home/u");
  platform.temp_folder = "/tmp/";
  Place("/home/u/setup", true);
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(platform.processes_started[0], "/tmp/ldx1A2B/install.exe *SELFEXTRACT setup /home/u");

  ResetPlatform();
  platform.host_style = kPosixPaths;
  platform.AddFolder("/tmp");
  platform.AddFolder("/");
  platform.temp_folder = "/tmp/";
  Place("/setup", false);
  platform.AddFile("/setup.1", BuildArchive(kFiles));
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(platform.processes_started[0], "/tmp/ldx1A2B/install.exe /");
}

}  // namespace
}  // namespace ldr
