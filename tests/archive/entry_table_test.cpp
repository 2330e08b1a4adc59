#include "archive/entry_table.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "tests/support/archive_builder.h"
#include "tests/support/fake_platform.h"

namespace ldr {
namespace {

using testing::BuildArchive;
using testing::FakePlatform;
using testing::HeaderBytes;
using testing::MakeEntry;
using testing::RecordBytes;

const char kArchivePath[] = "C:\\Downloads\\setup.1";
const char kCountMessage[] =
    "LOADER: Could not read the number of files in the archive from SETUP.1";
const char kLimitMessage[] =
    "LOADER: Sorry... You can only have 49 files in the PresetupFiles property of the TInstall. "
    "If you want to have more you can modify the MaxFiles constant in the CorvaneLoadProgram "
    "project in the Corvane directory";
const char kFlagMessage[] =
    "LOADER: Could not read the multi-partition flag in the archive file from SETUP.1";
const char kHeaderMessage[] = "LOADER: Cannot read a file header in the archive file from SETUP.1";

std::string Records(int n) {
  std::vector<testing::TestEntry> entries;
  for (int i = 0; i < n; ++i) entries.push_back({"C:\\f" + std::to_string(i), "", 0});
  return BuildArchive(entries).substr(kHeaderSize);
}

// Reads the table of bytes, giving the message raised or "" on success.
std::string ReadTable(FakePlatform& fake, const std::string& bytes, int32_t start,
                      EntryTable* table) {
  fake.AddFile(kArchivePath, bytes);
  auto file = fake.OpenForReading(kArchivePath);
  try {
    ReadEntryTable(*file, start, table);
  } catch (const LoaderError& e) {
    return e.what();
  }
  return "";
}

struct FailureCase {
  const char* what;
  std::string bytes;
  int32_t start;
  const char* message;
};

TEST(ReadEntryTable, EveryShortOrOversizedArchiveGivesItsMessage) {
  const FailureCase cases[] = {
      {"empty file", "", 0, kCountMessage},
      {"three bytes", std::string("\x01\x00\x00", 3), 0, kCountMessage},
      {"start at the end", HeaderBytes(1), 5, kCountMessage},
      {"start beyond the end", HeaderBytes(1), 1000, kCountMessage},
      {"negative start", HeaderBytes(1), -5, kCountMessage},
      // The limit is tested before the flag byte, which is missing here.
      {"51 without flag", HeaderBytes(51).substr(0, 4), 0, kLimitMessage},
      {"largest count", HeaderBytes(INT32_MAX) + Records(1), 0, kLimitMessage},
      {"50 without flag", HeaderBytes(50).substr(0, 4), 0, kFlagMessage},
      {"-1 without flag", HeaderBytes(-1).substr(0, 4), 0, kFlagMessage},
      {"3 entries, 2 headers", HeaderBytes(3) + Records(2), 0, kHeaderMessage},
      {"record cut short", HeaderBytes(1) + Records(1).substr(0, 163), 0, kHeaderMessage},
      {"no records", HeaderBytes(1), 0, kHeaderMessage},
  };
  for (const FailureCase& c : cases) {
    FakePlatform fake;
    EntryTable table;
    EXPECT_EQ(ReadTable(fake, c.bytes, c.start, &table), c.message) << c.what;
  }
}

TEST(ReadEntryTable, FailedReadOfTheCountGivesTheCountMessage) {
  FakePlatform fake;
  fake.fail_read_call = 0;
  EntryTable table;
  EXPECT_EQ(ReadTable(fake, HeaderBytes(1) + Records(1), 0, &table), kCountMessage);
}

TEST(ReadEntryTable, FailedReadOfARecordGivesTheHeaderMessage) {
  FakePlatform fake;
  fake.fail_read_call = 2;  // count, flag, then the first record
  EntryTable table;
  EXPECT_EQ(ReadTable(fake, HeaderBytes(1) + Records(1), 0, &table), kHeaderMessage);
}

TEST(ReadEntryTable, ZeroOrNegativeCountGivesAnEmptyTable) {
  for (int32_t count : {0, -1, INT32_MIN}) {
    FakePlatform fake;
    EntryTable table;
    table.count = 7;
    EXPECT_EQ(ReadTable(fake, HeaderBytes(count) + Records(2), 0, &table), "") << count;
    EXPECT_EQ(table.count, 0) << count;
    // Count and flag only: no record is read.
    ASSERT_EQ(fake.reads.size(), 2u) << count;
    EXPECT_EQ(fake.reads[0].requested, 4u);
    EXPECT_EQ(fake.reads[1].requested, 1u);
  }
}

TEST(ReadEntryTable, FiftyEntriesAreAccepted) {
  FakePlatform fake;
  EntryTable table;
  ASSERT_EQ(ReadTable(fake, HeaderBytes(50) + Records(50), 0, &table), "");
  ASSERT_EQ(table.count, 50);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(StoredNameText(table.entries[static_cast<size_t>(i)]), "C:\\f" + std::to_string(i));
  }
}

TEST(ReadEntryTable, FollowsNextHeaderBackwardsAndIgnoresTheLastOne) {
  // Physical order A, B, C; chain A -> C -> B. B's NextHeader is garbage.
  ArchiveEntry a = MakeEntry("A", 1), b = MakeEntry("B", 2), c = MakeEntry("C", 3);
  a.next_header = 5 + 2 * 164;
  c.next_header = 5 + 164;
  b.next_header = -123456;
  std::string bytes = HeaderBytes(3) + RecordBytes(a) + RecordBytes(b) + RecordBytes(c);
  FakePlatform fake;
  EntryTable table;
  ASSERT_EQ(ReadTable(fake, bytes, 0, &table), "");
  ASSERT_EQ(table.count, 3);
  EXPECT_EQ(StoredNameText(table.entries[0]), "A");
  EXPECT_EQ(StoredNameText(table.entries[1]), "C");
  EXPECT_EQ(StoredNameText(table.entries[2]), "B");
  EXPECT_EQ(table.entries[2].unpacked_size, 2);
}

TEST(ReadEntryTable, OffsetsAreRelativeToTheArchiveStart) {
  // An executable image in front; a header that points into it would be read
  // from the wrong place if offsets were taken as absolute.
  std::string image(1000, 'M');
  ArchiveEntry a = MakeEntry("first", 10), b = MakeEntry("second", 20);
  a.next_header = 5 + 164;
  std::string bytes = image + HeaderBytes(2) + RecordBytes(a) + RecordBytes(b);
  FakePlatform fake;
  EntryTable table;
  ASSERT_EQ(ReadTable(fake, bytes, 1000, &table), "");
  ASSERT_EQ(table.count, 2);
  EXPECT_EQ(StoredNameText(table.entries[1]), "second");
  EXPECT_EQ(table.entries[1].unpacked_size, 20);
}

TEST(ReadEntryTable, StoredNameLengthBeyondItsFieldIsCutAtTheField) {
  ArchiveEntry a = MakeEntry("", 0);
  a.stored_name.fill('x');
  a.stored_name[0] = 200;
  FakePlatform fake;
  EntryTable table;
  ASSERT_EQ(ReadTable(fake, HeaderBytes(1) + RecordBytes(a) + std::string(300, 'y'), 0, &table),
            "");
  EXPECT_EQ(StoredNameText(table.entries[0]), std::string(103, 'x'));
}

}  // namespace
}  // namespace ldr
