#include "archive/extract.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>

#include "base/errors.h"
#include "tests/support/archive_builder.h"
#include "tests/support/fake_platform.h"
#include "tests/support/loader_run.h"

namespace ldr {
namespace {

using testing::BuildArchive;
using testing::FakePlatform;
using testing::RandomBytes;
using testing::RecordingSink;
using testing::TestEntry;
using testing::ZlibStream;

const char kArchivePath[] = "C:\\Downloads\\setup.1";
const char kFolder[] = "C:\\Temp\\ldx1A2B";

std::string Text(size_t size) {
  std::string out;
  while (out.size() < size) out += "The quick brown fox jumps over the lazy dog. ";
  out.resize(size);
  return out;
}

TestEntry Entry(const std::string& name, const std::string& data) {
  return {name, ZlibStream(data), static_cast<int32_t>(data.size())};
}

// One extraction against the fake: the archive lies at archive_start inside
// the container, the working folder exists.
struct Extraction {
  FakePlatform fake;
  RecordingSink sink;
  std::string error;  // message of the error raised, "" on success
  bool zlib_error = false;

  explicit Extraction(const std::string& archive, const std::string& prefix = "") {
    fake.AddFolder(kFolder);
    fake.AddFile(kArchivePath, prefix + archive);
  }

  Extraction& Extract(int32_t archive_start = 0) {
    auto file = fake.OpenForReading(kArchivePath);
    EntryTable table;
    ReadEntryTable(*file, archive_start, &table);
    fake.reads.clear();
    // As the loader's handler: first what the extraction opened is closed.
    const uint32_t mark = fake.FilesOpened();
    error = testing::FailureOf(
        [&] { ExtractAll(fake, *file, kArchivePath, archive_start, kFolder, table, sink); },
        [&] { fake.CloseFilesOpenedSince(mark); });
    zlib_error = error == kZlibErrorText;
    // Only the archive is still open: every output file was closed.
    EXPECT_EQ(fake.open_files, 1);
    return *this;
  }

  std::string Out(const std::string& name) const {
    return fake.Contents(std::string(kFolder) + "\\" + name);
  }
  std::vector<uint32_t> ReadSizes() const {
    std::vector<uint32_t> sizes;
    for (const auto& r : fake.reads) sizes.push_back(r.requested);
    return sizes;
  }
  std::vector<uint32_t> WriteSizes() const {
    std::vector<uint32_t> sizes;
    for (const auto& w : fake.writes) sizes.push_back(w.requested);
    return sizes;
  }
};

TEST(ExtractAll, ExtractsEveryEntryInOrderIntoTheWorkingFolder) {
  std::string setup = RandomBytes(10000, 1), readme = Text(70000), zeros(300000, '\0');
  Extraction run(BuildArchive({Entry("C:\\Build\\setup.exe", setup), Entry("D:readme.txt", readme),
                               Entry("zeros.bin", zeros)}));
  run.Extract();
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.Out("setup.exe"), setup);
  EXPECT_EQ(run.Out("readme.txt"), readme);
  EXPECT_EQ(run.Out("zeros.bin"), zeros);
  EXPECT_EQ(run.fake.files_created, (std::vector<std::string>{"C:\\Temp\\ldx1A2B\\setup.exe",
                                                              "C:\\Temp\\ldx1A2B\\readme.txt",
                                                              "C:\\Temp\\ldx1A2B\\zeros.bin"}));
  ASSERT_FALSE(run.sink.positions.empty());
  EXPECT_EQ(run.sink.positions.back(), 100);
  EXPECT_TRUE(std::is_sorted(run.sink.positions.begin(), run.sink.positions.end()));
}

TEST(ExtractAll, WorksAtAnArchiveStartInsideALargerFile) {
  std::string data = Text(5000);
  Extraction run(BuildArchive({Entry("a.txt", data)}), std::string(777, 'M'));
  run.Extract(777);
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.Out("a.txt"), data);
}

// Writes and progress positions are fixed by the size: one write and one
// position per 4,096-byte block, the last block possibly partial.
TEST(ExtractAll, WritesWholeBlocksAndReportsEachOne) {
  struct Case {
    size_t size;
    std::vector<uint32_t> writes;
    std::vector<int32_t> positions;
  };
  const Case cases[] = {
      {0, {}, {}},
      {1, {1}, {100}},
      {4096, {4096}, {100}},
      {3 * 4096, {4096, 4096, 4096}, {33, 67, 100}},
      {8 * 4096 + 512,
       {4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096, 512},
       {12, 25, 37, 49, 62, 74, 86, 98, 100}},
  };
  for (const Case& c : cases) {
    std::string data = Text(c.size);
    Extraction run(BuildArchive({Entry("f.bin", data)}));
    run.Extract();
    ASSERT_EQ(run.error, "") << c.size;
    EXPECT_TRUE(run.fake.Exists("C:\\Temp\\ldx1A2B\\f.bin")) << c.size;
    EXPECT_EQ(run.Out("f.bin"), data) << c.size;
    EXPECT_EQ(run.WriteSizes(), c.writes) << c.size;
    EXPECT_EQ(run.sink.positions, c.positions) << c.size;
  }
}

TEST(ExtractAll, LargeFileTakesOneWriteAndOneMessagePerBlock) {
  std::string data = Text(658944);
  Extraction run(BuildArchive({Entry("big.dat", data)}));
  run.Extract();
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.fake.writes.size(), 161u);
  EXPECT_EQ(run.sink.positions.size(), 161u);
  EXPECT_EQ(run.Out("big.dat"), data);
}

TEST(ExtractAll, ReadsInPiecesOfAtMost64KiBNeverPastTheEntry) {
  struct Case {
    size_t stream_size;
    std::vector<uint32_t> reads;
  };
  const Case cases[] = {
      {1000, {1000}},
      {65536, {65536}},
      {65537, {65536, 1}},
      {200000, {65536, 65536, 65536, 3392}},
  };
  for (const Case& c : cases) {
    std::string stream;
    std::string data = testing::DataWithStreamSize(c.stream_size, &stream);
    // The next entry's bytes follow directly; none of them may be read.
    std::string archive = BuildArchive({{"one", stream, static_cast<int32_t>(data.size())}}, 1) +
                          std::string(5000, 'Z');
    Extraction run(archive);
    run.Extract();
    ASSERT_EQ(run.error, "") << c.stream_size;
    EXPECT_EQ(run.Out("one"), data) << c.stream_size;
    EXPECT_EQ(run.ReadSizes(), c.reads) << c.stream_size;
  }
}

TEST(ExtractAll, ShortReadsFromTheFileAreRefilledUntilTheEntryEnds) {
  std::string data = Text(100000);
  Extraction run(BuildArchive({Entry("t.txt", data)}));
  run.fake.read_limit = 7;
  run.Extract();
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.Out("t.txt"), data);
}

TEST(ExtractAll, ALaterEntryOfTheSameNameReplacesTheEarlierFile) {
  std::string first = Text(9000), second = RandomBytes(3000, 2);
  Extraction run(BuildArchive({Entry("C:\\a\\same.txt", first), Entry("D:\\b\\same.txt", second)}));
  run.Extract();
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.Out("same.txt"), second);
  EXPECT_EQ(run.fake.files_created.size(), 2u);
  EXPECT_EQ(run.sink.positions.back(), 100);
}

TEST(ExtractAll, PositionsFollowTheStoredSizesEvenWhenTheyAreWrong) {
  std::string data = Text(3 * 4096);
  // Understated: the bar goes beyond 100 as computed.
  Extraction under(BuildArchive({{"u", ZlibStream(data), 4096}}));
  under.Extract();
  EXPECT_EQ(under.sink.positions, (std::vector<int32_t>{100, 200, 300}));
  // All sizes 0: every position is 0.
  Extraction zero(BuildArchive({{"z1", ZlibStream(data), 0}, {"z2", ZlibStream(data), 0}}));
  zero.Extract();
  EXPECT_EQ(zero.sink.positions, std::vector<int32_t>(6, 0));
}

TEST(ExtractAll, CorruptStreamRaisesZlibErrorAndKeepsWhatWasWritten) {
  std::string data = RandomBytes(50000, 3);
  std::string good = ZlibStream(Text(5000));
  std::string bad = ZlibStream(data, 0);
  bad[30000] ^= 0x55;  // inside a stored block: caught only by the checksum
  Extraction run(BuildArchive({{"good", good, 5000}, {"bad", bad, 50000}}));
  run.Extract();
  EXPECT_TRUE(run.zlib_error);
  EXPECT_EQ(run.error, "error");
  EXPECT_EQ(run.Out("good"), Text(5000));
  // The damage shows only at the checksum: every whole block before it was
  // written and stays, the short last block is not.
  EXPECT_EQ(run.Out("bad").size(), 12u * 4096);
  EXPECT_EQ(run.sink.positions.size(), 12u + 2);
}

// The extraction loop taken literally: one inflate call after another into a
// single 4,096-byte block, each non-empty block written as soon as the loop
// leaves it. For a complete stream the extractor must write exactly the same
// blocks; for a damaged or cut one it asks inflate for several blocks per
// call and may keep more of what inflate produced, but never other bytes.
TEST(ExtractAll, KeepsWhatTheOneBlockLoopKeepsFromDamagedStreams) {
  std::string data = Text(70000) + RandomBytes(70000, 9) + std::string(70000, '\0');
  std::string stream = ZlibStream(data);
  std::vector<std::string> ranges;
  for (size_t at = 0; at < stream.size(); at += stream.size() / 37) {
    std::string damaged = stream;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x24);
    ranges.push_back(damaged);
    ranges.push_back(stream.substr(0, at));
  }
  ranges.push_back(stream);
  size_t failures = 0;
  for (const std::string& range : ranges) {
    testing::LiteralResult expected = testing::LiteralExtract(range);
    failures += expected.zlib_error;
    Extraction run(BuildArchive({{"f", range, static_cast<int32_t>(data.size())}}));
    run.Extract();
    EXPECT_EQ(run.zlib_error, expected.zlib_error);
    EXPECT_EQ(run.sink.positions.size(), run.fake.writes.size());
    std::string out = run.Out("f");
    if (expected.ended) {
      EXPECT_EQ(run.WriteSizes(), expected.writes);
      EXPECT_EQ(out, expected.output);
    } else {
      EXPECT_EQ(out.substr(0, expected.output.size()), expected.output);
      EXPECT_LE(out.size(), data.size());
      if (run.zlib_error) {
        EXPECT_EQ(out.size() % 4096, 0u);
      }
    }
  }
  // Both kinds of ending were exercised.
  EXPECT_GT(failures, 10u);
  EXPECT_LT(failures, ranges.size() - 10);
}

TEST(ExtractAll, BadHeaderAndPresetDictionaryRaiseZlibError) {
  const std::string streams[] = {
      std::string("\x78\xDA garbage that is no stream"),
      testing::ZlibStreamWithDictionary(Text(2000), "quick brown fox"),
  };
  for (const std::string& stream : streams) {
    Extraction run(BuildArchive({{"x", stream, 2000}}));
    run.Extract();
    EXPECT_TRUE(run.zlib_error);
    EXPECT_EQ(run.error, "error");
    EXPECT_EQ(run.Out("x"), "");
  }
}

// The zlib wrapper around the deflate data is read by the extractor itself:
// at every place it can be cut or damaged the outcome is inflate's own, as
// the one-block loop shows.
TEST(ExtractAll, TheWrapperEndsAndFailsAsInflateDoes) {
  const std::string data = Text(9000);
  const std::string stream = ZlibStream(data);
  const std::string dictionary = testing::ZlibStreamWithDictionary(Text(2000), "quick brown fox");
  std::string wrong_check = stream;
  wrong_check.back() = static_cast<char>(wrong_check.back() ^ 1);
  struct Case {
    const char* name;
    std::string range;
    bool zlib_error;
  };
  const Case cases[] = {
      {"one header byte", stream.substr(0, 1), false},
      {"the header alone", stream.substr(0, 2), false},
      {"header check", std::string("\x78\x9D") + stream.substr(2), true},
      {"method", std::string("\x79\x9C") + stream.substr(2), true},
      {"window of 64 KiB", std::string("\x88\x98") + stream.substr(2), true},
      {"dictionary id cut", dictionary.substr(0, 4), false},
      {"dictionary id whole", dictionary.substr(0, 6), true},
      {"checksum cut", stream.substr(0, stream.size() - 2), false},
      {"checksum missing", stream.substr(0, stream.size() - 4), false},
      {"checksum wrong", wrong_check, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::LiteralResult expected = testing::LiteralExtract(c.range);
    ASSERT_EQ(expected.zlib_error, c.zlib_error);
    Extraction run(BuildArchive({{"f", c.range, static_cast<int32_t>(data.size())}}));
    run.Extract();
    EXPECT_EQ(run.zlib_error, c.zlib_error);
    const std::string out = run.Out("f");
    if (c.zlib_error) {
      // Whole blocks only: the short last one is lost with the failure.
      EXPECT_EQ(out, data.substr(0, out.size()));
      EXPECT_EQ(out.size() % 4096, 0u);
    } else {
      EXPECT_EQ(run.error, "");
      EXPECT_EQ(out, expected.output);
    }
  }
}

// A distance reaching back before the start of the stream is damage, also
// when the input at hand would let inflate take its fast loop; nothing of
// memory the stream never wrote reaches the file.
TEST(ExtractAll, DistanceBeforeTheStreamStartIsDamage) {
  // A fixed-Huffman block: literals, then a match 4 bytes back after 2.
  const std::string too_far = std::string("\x78\x9c\xab\xa8", 4) + std::string(300, '\x42');
  const testing::LiteralResult expected = testing::LiteralExtract(too_far);
  ASSERT_TRUE(expected.zlib_error);
  Extraction run(BuildArchive({{"f", too_far, 1000}}));
  run.Extract();
  EXPECT_TRUE(run.zlib_error);
  EXPECT_EQ(run.Out("f"), "");
}

TEST(ExtractAll, StreamCutShortEndsTheEntryWithoutError) {
  std::string data = RandomBytes(40000, 4);
  std::string stream = ZlibStream(data, 0);
  // DataEnd too small: the range holds only half of the stream.
  std::string archive = BuildArchive(
      {{"half", stream.substr(0, stream.size() / 2), 40000}, {"next", ZlibStream("abc"), 3}});
  Extraction run(archive);
  run.Extract();
  ASSERT_EQ(run.error, "");
  std::string out = run.Out("half");
  EXPECT_EQ(out, data.substr(0, out.size()));
  EXPECT_GT(out.size(), 10000u);
  EXPECT_EQ(run.Out("next"), "abc");
}

TEST(ExtractAll, ArchiveFileEndingEarlyEndsTheEntryWithoutError) {
  std::string data = Text(30000);
  std::string archive = BuildArchive({Entry("cut", data)});
  Extraction run(archive.substr(0, archive.size() - 20));
  run.Extract();
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.Out("cut"), data.substr(0, run.Out("cut").size()));
}

TEST(ExtractAll, BytesAfterTheStreamEndAreIgnored) {
  std::string data = Text(10000);
  std::string stream = ZlibStream(data) + std::string(100000, 'T');
  Extraction run(BuildArchive({{"t", stream, 10000}, Entry("u", "second")}));
  run.Extract();
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.Out("t"), data);
  EXPECT_EQ(run.Out("u"), "second");
  EXPECT_EQ(run.sink.positions.back(), 100);
}

TEST(ExtractAll, CreateFailureNamesTheOutputPath) {
  Extraction run(BuildArchive({Entry("a.txt", "a"), Entry("b.txt", "b")}));
  run.fake.create_fails.push_back("C:\\Temp\\ldx1A2B\\b.txt");
  run.Extract();
  EXPECT_EQ(run.error, "LOADER: Could not create the following file, C:\\Temp\\ldx1A2B\\b.txt");
  EXPECT_EQ(run.Out("a.txt"), "a");
}

TEST(ExtractAll, ShortOrFailedWriteGivesTheDiskFullMessageAndKeepsThePartialFile) {
  const std::string message =
      "LOADER: Could not write to the file C:\\Temp\\ldx1A2B\\big.bin. This probably means that "
      "your disk is full";
  std::string data = Text(20000);
  {
    Extraction run(BuildArchive({Entry("big.bin", data)}));
    run.fake.disk_space = 5000;
    run.Extract();
    EXPECT_EQ(run.error, message);
    EXPECT_EQ(run.Out("big.bin"), data.substr(0, 5000));
    EXPECT_EQ(run.WriteSizes(), (std::vector<uint32_t>{4096, 4096}));
    EXPECT_EQ(run.sink.positions, (std::vector<int32_t>{20}));  // the short block is not reported
  }
  {
    Extraction run(BuildArchive({Entry("big.bin", data)}));
    run.fake.write_fails = true;
    run.Extract();
    EXPECT_EQ(run.error, message);
    EXPECT_TRUE(run.sink.positions.empty());
  }
}

TEST(ExtractAll, FailedArchiveReadIsReportedAndNeverInflated) {
  std::string data = RandomBytes(200000, 5);
  Extraction run(BuildArchive({{"r.txt", ZlibStream(data, 0), 200000}}));
  run.fake.fail_read_call = 4;  // count, flag, record, first data read, then this
  run.Extract();
  EXPECT_EQ(run.error, "LOADER: Could not read the archive file C:\\Downloads\\setup.1");
  // The whole blocks inflated from the first read stay.
  std::string out = run.Out("r.txt");
  EXPECT_EQ(out, data.substr(0, out.size()));
  EXPECT_EQ(out.size(), 15u * 4096);
}

TEST(ExtractAll, UnsafeNamesAreRefusedAndNothingIsCreated) {
  struct Case {
    const char* stored_name;
    const char* output_path;
  };
  const Case cases[] = {
      {"C:\\dir\\", "C:\\Temp\\ldx1A2B\\"},
      {"C:\\dir\\..", "C:\\Temp\\ldx1A2B\\.."},
      {".", "C:\\Temp\\ldx1A2B\\."},
      {"../../evil.exe", "C:\\Temp\\ldx1A2B\\../../evil.exe"},
      {"C:\\x\\a/b", "C:\\Temp\\ldx1A2B\\a/b"},
      {"...", "C:\\Temp\\ldx1A2B\\..."},
      {"C:\\CON", "C:\\Temp\\ldx1A2B\\CON"},
      {"nul.txt", "C:\\Temp\\ldx1A2B\\nul.txt"},
      {"Com1.exe", "C:\\Temp\\ldx1A2B\\Com1.exe"},
  };
  for (const Case& c : cases) {
    Extraction run(BuildArchive({Entry(c.stored_name, "payload")}));
    size_t nodes_before = run.fake.nodes.size();
    run.Extract();
    EXPECT_EQ(run.error,
              std::string("LOADER: Could not create the following file, ") + c.output_path)
        << c.stored_name;
    EXPECT_TRUE(run.fake.files_created.empty()) << c.stored_name;
    EXPECT_EQ(run.fake.nodes.size(), nodes_before) << c.stored_name;
  }
}

TEST(ExtractAll, PosixHostRefusesSlashesButAllowsDeviceLikeNames) {
  FakePlatform fake;
  fake.host_style = kPosixPaths;
  fake.AddFolder("/tmp");
  fake.AddFolder("/tmp/ldx1");
  const std::pair<const char*, bool> cases[] = {
      {"C:\\dir\\CON", true}, {"readme.txt", true}, {"../x", false}, {"..", false}, {"a\\", false},
  };
  for (const auto& [name, allowed] : cases) {
    fake.files_created.clear();
    fake.AddFile(kArchivePath, BuildArchive({Entry(name, "data")}));
    auto file = fake.OpenForReading(kArchivePath);
    EntryTable table;
    ReadEntryTable(*file, 0, &table);
    RecordingSink sink;
    const bool created = testing::FailureOf([&] {
                           ExtractAll(fake, *file, kArchivePath, 0, "/tmp/ldx1/", table, sink);
                         }).empty();
    EXPECT_EQ(created, allowed) << name;
    for (const std::string& path : fake.files_created)
      EXPECT_EQ(path.rfind("/tmp/ldx1/", 0), 0u) << path;
  }
  EXPECT_EQ(fake.Contents("/tmp/ldx1/CON"), "data");
}

TEST(ExtractAll, LongStoredNameIsTakenFromInsideItsField) {
  ArchiveEntry e = testing::MakeEntry("", 4);
  std::string stream = ZlibStream("data");
  e.stored_name.fill('n');
  e.stored_name[0] = 255;
  e.data_start = 5 + 164;
  e.data_end = e.data_start + static_cast<int32_t>(stream.size()) - 1;
  Extraction run(testing::HeaderBytes(1) + testing::RecordBytes(e) + stream);
  run.Extract();
  ASSERT_EQ(run.error, "");
  EXPECT_EQ(run.Out(std::string(103, 'n')), "data");
}

// Code page 932 as the system converts it: a lead byte needs a trail byte,
// and the pair is one character above 255.
bool ConvertCp932(const std::string& name, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(name[i]);
    if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
      if (i + 1 == name.size()) return false;  // a lone lead byte at the end
      out->push_back(static_cast<char16_t>(0x3000 + static_cast<unsigned char>(name[++i])));
    } else {
      out->push_back(b);
    }
  }
  return true;
}

// "NUL" and a lone lead byte passes the rule on its bytes, but the system
// drops the byte and opens the device.
TEST(ExtractAll, NamesAreCheckedAsTheSystemConvertsThem) {
  const std::pair<const char*, bool> cases[] = {
      {"C:\\x\\NUL\x81", false}, {"COM1\x81", false},   {"lpt2.txt\x9f", false},
      {"\x82\xa0.exe", true},    {"NUL\x82\xa0", true}, {"readme.txt", true},
  };
  for (const auto& [name, allowed] : cases) {
    Extraction run(BuildArchive({Entry(name, "data")}));
    run.fake.convert_name = ConvertCp932;
    run.Extract();
    EXPECT_EQ(run.error.empty(), allowed) << name;
    EXPECT_EQ(run.fake.files_created.size(), allowed ? 1u : 0u) << name;
  }
}

}  // namespace
}  // namespace ldr
