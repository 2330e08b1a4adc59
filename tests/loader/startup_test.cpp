#include "loader/startup.h"

#include "loader/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/archive_builder.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_window.h"
#include "tests/support/loader_run.h"
#include "tests/support/pe_builder.h"

namespace ldr {
namespace {

using testing::BuildArchive;
using testing::BuildSelfExtracting;
using testing::FakePlatform;
using testing::FakeWindow;
using testing::FileEntry;

const std::string kLoaderPath = "C:\\Downloads\\setup.exe";
const std::string kImage(4096, 'M');

// The loader's start, to the run's end (tests/support/loader_run.h).
int ExitCodeOf(FakePlatform& platform, FakeWindow& window) {
  return testing::RunToEnd([&] { return RunKit(platform, window, nullptr); }).exit_code;
}

class StartUpTest : public ::testing::Test {
 protected:
  void SetUp() override { platform.AddFile(kLoaderPath, kImage); }

  void UseKit() {
    platform.AddFile(
        kLoaderPath,
        BuildSelfExtracting(kImage, BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ")})));
  }

  FakePlatform platform;
  FakeWindow window;
};

TEST_F(StartUpTest, SuccessfulRunFollowsTheOrderAndEndsWithZero) {
  UseKit();
  EXPECT_EQ(ExitCodeOf(platform, window), 0);
  EXPECT_EQ(window.calls, (std::vector<std::string>{"bitmap", "class", "window", "show"}));
  EXPECT_TRUE(window.boxes.empty());
  ASSERT_EQ(platform.processes_started.size(), 1u);
  EXPECT_EQ(platform.open_files, 0);
}

struct EarlyFailure {
  const char* name;
  void (*arrange)(FakeWindow&);
  std::vector<std::string> calls;
  std::string message;
};

TEST_F(StartUpTest, FailuresBeforeTheWindowExistsHaveNoOwnerAndShowNothing) {
  const std::vector<EarlyFailure> cases = {
      {"bitmap",
       [](FakeWindow& w) { w.bitmap_fails = true; },
       {"bitmap", "error"},
       "LOADER: Could not create a bitmap by the LoadBitmap API function"},
      {"class",
       [](FakeWindow& w) { w.class_fails = true; },
       {"bitmap", "class", "error"},
       "Could not register the main window"},
      {"window",
       [](FakeWindow& w) { w.window_fails = true; },
       {"bitmap", "class", "window", "error"},
       "Could not create the main window"},
      {"bar",
       [](FakeWindow& w) { w.bar_fails = true; },
       {"bitmap", "class", "window", "error"},
       "LOADER: Could not create the progress bar"},
      // With several faults the first in the fixed order is reported.
      {"bitmap and class",
       [](FakeWindow& w) { w.bitmap_fails = w.class_fails = true; },
       {"bitmap", "error"},
       "LOADER: Could not create a bitmap by the LoadBitmap API function"},
  };
  for (const EarlyFailure& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWindow w;
    c.arrange(w);
    EXPECT_EQ(ExitCodeOf(platform, w), 1);
    EXPECT_EQ(w.calls, c.calls);
    ASSERT_EQ(w.boxes.size(), 1u);
    EXPECT_EQ(w.boxes[0].text, c.message);
    EXPECT_FALSE(w.boxes[0].owned);
    EXPECT_FALSE(w.shown);
  }
  EXPECT_TRUE(platform.reads.empty());  // the trailer was never read
}

TEST_F(StartUpTest, MissingOwnFileIsReportedOverTheHiddenWindow) {
  platform.nodes[kLoaderPath].time_in_range = false;  // dated before 1980
  EXPECT_EQ(ExitCodeOf(platform, window), 1);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text, "LOADER: Could not find the executable, " + kLoaderPath);
  EXPECT_TRUE(window.boxes[0].owned);
  EXPECT_FALSE(window.boxes[0].shown);
}

// A platform that could not give its own path whole gives none: no file is
// looked for under a shorter name, which could be another file.
TEST_F(StartUpTest, OwnPathNotReadWholeIsReportedAndNothingOpened) {
  platform.own_file_path.clear();
  EXPECT_EQ(ExitCodeOf(platform, window), 1);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: Could not read the full path of the loader program. Move it to a folder with "
            "a shorter path and run it again");
  EXPECT_TRUE(platform.reads.empty());
}

TEST_F(StartUpTest, OwnFileThatDoesNotOpen) {
  platform.nodes[kLoaderPath].open_fails = true;
  EXPECT_EQ(ExitCodeOf(platform, window), 1);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text, "The file " + kLoaderPath + " could not be opened for reading");
  EXPECT_FALSE(window.shown);
}

TEST_F(StartUpTest, MainSequenceFailureIsShownOverTheVisibleWindow) {
  EXPECT_EQ(ExitCodeOf(platform, window), 1);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: Setup.1 must be in the same directory as the the loader program. "
            "Directory is C:\\Downloads");
  EXPECT_TRUE(window.boxes[0].owned);
  EXPECT_TRUE(window.boxes[0].shown);
}

// Without exceptions nothing unwinds: the handler closes the files (the
// kit, the file half written) before the box, which waits for the user.
TEST_F(StartUpTest, FilesOpenAtTheFailureAreClosedBeforeTheBox) {
  UseKit();
  platform.disk_space = 1;
  window.at_box = [this] { EXPECT_TRUE(platform.open_paths.empty()); };
  EXPECT_EQ(ExitCodeOf(platform, window), 1);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: Could not write to the file C:\\Temp\\ldx1A2B\\install.exe. This probably "
            "means that your disk is full");
}

TEST_F(StartUpTest, PaintFailureAndExhaustedMemoryReachTheHandler) {
  window.paint_failure = "LOADER* Could not draw bitmap";
  EXPECT_EQ(ExitCodeOf(platform, window), 1);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text, "LOADER* Could not draw bitmap");

#if __cpp_exceptions
  // Without exceptions nothing the loader calls fails by throwing.
  FakeWindow hungry;
  hungry.show_runs_out_of_memory = true;
  EXPECT_EQ(ExitCodeOf(platform, hungry), 1);
  ASSERT_EQ(hungry.boxes.size(), 1u);
  EXPECT_NE(hungry.boxes[0].text.find("memory"), std::string::npos);
#endif
  EXPECT_EQ(platform.open_files, 0);
}

// A loader file ending in 56 bytes that start with magic and hold extra at
// offset 15.
std::string WithTrailer(const std::string& magic, char byte15) {
  std::string trailer(kTrailerSize, '\0');
  trailer.replace(0, magic.size(), magic);
  trailer[15] = byte15;
  trailer[16] = 0x10;  // ArchiveStart 16
  return kImage + trailer;
}

TEST_F(StartUpTest, TrailerMarkTest) {
  struct Case {
    std::string magic;
    char byte15;
    bool self_extracting;
  };
  const std::vector<Case> cases = {
      {"\x0eSELFEXTRACTING", 0, true},
      {"\x0eSELFEXTRACTING", 'X', true},  // byte 15 takes no part
      {"\x0e"
       "selfextracting",
       0, false},
      {"\x0dSELFEXTRACTING", 0, false},
      {"\x0fSELFEXTRACTING", 'S', false},
      {std::string(1, '\0'), 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.magic);
    platform.AddFile(kLoaderPath, WithTrailer(c.magic, c.byte15));
    ArchiveTrailer trailer = ReadTrailer(platform);
    EXPECT_EQ(IsSelfExtracting(trailer), c.self_extracting);
    EXPECT_EQ(trailer.archive_start, 16);
  }
}

TEST_F(StartUpTest, ShortFilesAndShortReadsGiveAZeroRecord) {
  platform.AddFile(kLoaderPath, std::string(40, 'x'));
  ArchiveTrailer trailer = ReadTrailer(platform);
  EXPECT_FALSE(IsSelfExtracting(trailer));
  EXPECT_EQ(trailer.magic[0], 0);
  EXPECT_EQ(platform.reads.back().result, 0);  // the seek failed; nothing was left to read

  platform.AddFile(kLoaderPath, WithTrailer("\x0eSELFEXTRACTING", 0));
  platform.read_limit = 20;  // a part of the record is never kept
  trailer = ReadTrailer(platform);
  EXPECT_FALSE(IsSelfExtracting(trailer));
  EXPECT_EQ(trailer.archive_start, 0);

  platform.read_limit = -1;
  platform.fail_read_call = platform.read_calls;
  trailer = ReadTrailer(platform);
  EXPECT_FALSE(IsSelfExtracting(trailer));
  EXPECT_EQ(platform.open_files, 0);
}

// --- Signed kits: the trailer lies before the certificate table ------------

std::string PeKit(testing::PeKind kind) {
  return BuildSelfExtracting(testing::PeImage(kind, 4096),
                             BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ installer")}),
                             BuildArchive({FileEntry("docs\\guide.txt", "second archive")}));
}

TEST_F(StartUpTest, SignedKitsRunLikeUnsignedOnes) {
  for (testing::PeKind kind : {testing::PeKind::kPe32, testing::PeKind::kPe32Plus}) {
    for (size_t padding = 0; padding <= 7; ++padding) {
      SCOPED_TRACE(padding);
      const std::string kit = PeKit(kind);
      FakePlatform signed_platform;
      signed_platform.AddFile(kLoaderPath,
                              testing::AppendCertificateTable(kit, kind, padding, 2000));
      FakePlatform unsigned_platform;
      unsigned_platform.AddFile(kLoaderPath, kit);
      const ArchiveTrailer read = ReadTrailer(signed_platform);
      const ArchiveTrailer expected = ReadTrailer(unsigned_platform);
      EXPECT_TRUE(IsSelfExtracting(read));
      EXPECT_EQ(read.magic, expected.magic);
      EXPECT_EQ(read.archive_start, expected.archive_start);
      EXPECT_EQ(read.second_archive_end, expected.second_archive_end);
      EXPECT_EQ(read.reserved, expected.reserved);
      EXPECT_EQ(signed_platform.open_files, 0);

      FakeWindow w;
      EXPECT_EQ(ExitCodeOf(signed_platform, w), 0);
      EXPECT_TRUE(w.boxes.empty());
      ASSERT_EQ(signed_platform.processes_started.size(), 1u);
      EXPECT_EQ(signed_platform.Contents("C:\\Temp\\ldx1A2B\\install.exe"), "MZ installer");
    }
  }
}

TEST_F(StartUpTest, UnsignedKitsReadTheirTrailerFirstAsBefore) {
  platform.AddFile(kLoaderPath, PeKit(testing::PeKind::kPe32Plus));
  const ArchiveTrailer trailer = ReadTrailer(platform);
  EXPECT_TRUE(IsSelfExtracting(trailer));
  ASSERT_FALSE(platform.reads.empty());
  EXPECT_EQ(platform.reads[0].requested, kTrailerSize);  // the last 56 bytes, before anything else
  EXPECT_EQ(platform.reads[0].result, static_cast<int32_t>(kTrailerSize));
  EXPECT_EQ(platform.open_files, 0);
}

TEST_F(StartUpTest, SignedLoaderWithoutAKitLooksForSetup1) {
  const testing::PeKind kind = testing::PeKind::kPe32Plus;
  platform.AddFile(kLoaderPath, testing::SignLikeATool(testing::PeImage(kind, 4096), kind));
  EXPECT_FALSE(IsSelfExtracting(ReadTrailer(platform)));
  EXPECT_EQ(ExitCodeOf(platform, window), 1);
  ASSERT_EQ(window.boxes.size(), 1u);
  EXPECT_EQ(window.boxes[0].text,
            "LOADER: Setup.1 must be in the same directory as the the loader program. "
            "Directory is C:\\Downloads");
}

TEST_F(StartUpTest, FailedReadBeforeTheCertificateTableGivesAZeroRecord) {
  const testing::PeKind kind = testing::PeKind::kPe32;
  platform.AddFile(kLoaderPath, testing::SignLikeATool(PeKit(kind), kind));
  ASSERT_TRUE(IsSelfExtracting(ReadTrailer(platform)));
  // The reads of one trailer read: the last 56 bytes, the headers, the bytes
  // before the table, the trailer. The last one fails.
  const int reads_per_trailer = platform.read_calls;
  platform.fail_read_call = platform.read_calls + reads_per_trailer - 1;
  const ArchiveTrailer trailer = ReadTrailer(platform);
  EXPECT_FALSE(IsSelfExtracting(trailer));
  EXPECT_EQ(trailer.archive_start, 0);
  EXPECT_EQ(platform.open_files, 0);
}

}  // namespace
}  // namespace ldr
