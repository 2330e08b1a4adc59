// Building, reading, verifying and extracting kits through the library, in a
// scratch folder per test.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "format/deployment_record.h"
#include "format/pe/authenticode.h"
#include "format/pe/resources.h"
#include "format/trailer_location.h"
#include "kitpack/kit/kit.h"
#include "kitpack/kit/zstream.h"
#include "tests/kitpack/scratch.h"
#include "tests/support/pe_builder.h"
#include "tests/support/pe_resource_image.h"
#include "tests/support/signature_builder.h"

namespace kitpack {
namespace {

std::vector<unsigned char> Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void Save(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void Save(const std::string& path, const std::string& text) {
  Save(path, std::vector<unsigned char>(text.begin(), text.end()));
}

std::vector<unsigned char> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

using testing::FolderNames;
using testing::MakeTestFolder;

class KitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeScratchFolder("kitpack-test-");
    Save(P("loader.exe"), RandomBytes(50000, 1));
    // Taken for a Windows program when the loader is one: PE headers first.
    std::string installer = ldr::testing::PeImage(ldr::testing::PeKind::kPe32Plus, 512);
    const std::vector<unsigned char> rest = RandomBytes(3000 - 512, 2);
    Save(P("setup.exe"), installer.append(rest.begin(), rest.end()));
    MakeTestFolder(P("payload/docs"));
    MakeTestFolder(P("payload/data"));
    Save(P("payload/README.txt"), std::string("read me\n"));
    Save(P("payload/docs/guide.txt"), std::string(100000, 'g'));
    Save(P("payload/data/big.bin"), RandomBytes(kSplitThreshold + 777, 3));
    Save(P("payload/data/empty"), std::string());
  }
  void TearDown() override { testing::RemoveTree(dir_); }

  std::string P(const std::string& rel) const { return dir_ + "/" + rel; }

  BuildOptions Options(const std::string& out = "kit.exe") const {
    BuildOptions o;
    o.loader = P("loader.exe");
    o.first = {{P("setup.exe"), "C:\\KIT\\setup.exe"}};
    o.second = ExpandPayload({P("payload")});
    o.output = P(out);
    o.threads = 3;
    o.fixed_time = 946684800;  // 2000-01-01
    return o;
  }

  // Runs a build that must fail and checks nothing was left behind.
  std::string FailingBuild(const BuildOptions& o) {
    std::vector<std::string> before = FolderNames(dir_);
    try {
      BuildKit(o);
    } catch (const KitError& e) {
      EXPECT_EQ(FolderNames(dir_), before) << "a failed build left files behind";
      return e.what();
    }
    ADD_FAILURE() << "the build did not fail";
    return "";
  }

  std::string dir_;
};

TEST_F(KitTest, RoundTripThroughListVerifyAndExtract) {
  BuildKit(Options());
  KitInfo kit = ReadKit(P("kit.exe"), true);
  EXPECT_EQ(VerifyStreams(kit), 5u);
  // The first archive follows the loader's 50,000 bytes after the 0 to 7
  // zero bytes that make the kit's length a multiple of 8.
  EXPECT_EQ(kit.file_size % 8, 0);
  EXPECT_GE(kit.first.start, 50000);
  EXPECT_LT(kit.first.start, 50008);
  ASSERT_EQ(kit.second.entries.size(), 4u);
  // Sorted by relative path, "\" between parts.
  EXPECT_EQ(kit.second.entries[0].stored_name, "README.txt");
  EXPECT_EQ(kit.second.entries[1].stored_name, "data\\big.bin");
  EXPECT_EQ(kit.second.entries[2].stored_name, "data\\empty");
  EXPECT_EQ(kit.second.entries[3].stored_name, "docs\\guide.txt");
  EXPECT_EQ(kit.trailer.second_archive_start, kit.trailer.archive_end + 1);
  EXPECT_EQ(kit.trailer.second_archive_end, kit.file_size - 57);

  const ldr::ArchiveEntry& r = kit.first.entries[0].record;
  EXPECT_EQ(r.reserved_one, 1);
  EXPECT_EQ(r.reserved_after_time, 0);
  EXPECT_EQ(r.data_start, 5 + 164);
  EXPECT_EQ(r.unpacked_size, 3000);
  EXPECT_DOUBLE_EQ(r.file_time, 36526.0);  // 2000-01-01 in days since 1899-12-30

  ExtractArchive(kit, false, P("out1"));
  ExtractArchive(kit, true, P("out2"));
  EXPECT_EQ(Load(P("out1/setup.exe")), Load(P("setup.exe")));
  for (const char* rel : {"README.txt", "docs/guide.txt", "data/big.bin", "data/empty"})
    EXPECT_EQ(Load(P(std::string("out2/") + rel)), Load(P(std::string("payload/") + rel))) << rel;
  // The loader's own bytes come first, unchanged, then the zero padding.
  std::vector<unsigned char> bytes = Load(P("kit.exe"));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 50000, Load(P("loader.exe")).begin()));
  EXPECT_TRUE(std::all_of(bytes.begin() + 50000, bytes.begin() + kit.first.start,
                          [](unsigned char b) { return b == 0; }));
}

TEST_F(KitTest, ExternalKitWritesSetup1Setup2AndLoaderCopy) {
  MakeTestFolder(P("ext"));
  BuildOptions o = Options("ext");
  o.external = true;
  BuildKit(o);
  EXPECT_EQ(FolderNames(P("ext")), (std::vector<std::string>{"loader.exe", "setup.1", "setup.2"}));
  EXPECT_EQ(Load(P("ext/loader.exe")), Load(P("loader.exe")));
  for (const std::string& path : {P("ext"), P("ext/setup.1")}) {
    KitInfo kit = ReadKit(path, true);
    EXPECT_EQ(kit.first.start, 0);
    EXPECT_EQ(VerifyStreams(kit), 5u);
  }
}

TEST_F(KitTest, SameInputsGiveIdenticalBytesWhateverTheThreadCount) {
  BuildOptions a = Options("a.exe");
  a.threads = 1;
  BuildOptions b = Options("b.exe");
  b.threads = 7;
  BuildKit(a);
  BuildKit(b);
  EXPECT_EQ(Load(P("a.exe")), Load(P("b.exe")));
}

TEST_F(KitTest, RefusesBadInputWithoutLeavingAHalfWrittenKit) {
  struct Case {
    const char* what;
    std::function<void(BuildOptions&)> change;
    const char* message;
  };
  Save(P("kit-loader.exe"), Load(P("loader.exe")));
  // A manifest whose level attribute has no blanks behind it.
  Save(P("tight.exe"), ldr::test::BuildPe({{ldr::kRtManifest, 1, 0x409,
                                            "<requestedExecutionLevel level=\"asInvoker\" "
                                            "uiAccess=\"false\"/>"}})
                           .bytes);
  const std::vector<Case> cases = {
      {"missing file",
       [&](BuildOptions& o) {
         o.first.push_back({P("nope.dll"), "C:\\KIT\\nope.dll"});
       },
       "nope.dll"},
      {"missing loader", [&](BuildOptions& o) { o.loader = P("nope.exe"); }, "nope.exe"},
      {"51 files", [&](BuildOptions& o) { o.first.resize(51, o.first[0]); }, "at most 50"},
      {"long stored name",
       [&](BuildOptions& o) { o.first[0].stored_name = "C:\\" + std::string(101, 'n'); },
       "at most 103 fit"},
      {"installer name that the loader cannot create",
       [&](BuildOptions& o) { o.first[0].stored_name = "C:\\KIT\\"; }, "unusable file name"},
      {"unsafe payload name", [&](BuildOptions& o) { o.second[0].stored_name = "..\\x"; },
       "refused"},
      {"output is an input", [&](BuildOptions& o) { o.output = P("payload/README.txt"); },
       "also an input"},
      {"output is the loader", [&](BuildOptions& o) { o.output = P("loader.exe"); },
       "also the loader"},
      {"offsets past the limit", [&](BuildOptions& o) { o.offset_limit = 60000; }, "signed 32-bit"},
      {"no installer", [&](BuildOptions& o) { o.first.clear(); }, "no installer"},
      {"a file replacing the installer",
       [&](BuildOptions& o) {
         o.first.push_back({P("payload/README.txt"), "D:\\other\\SETUP.EXE"});
       },
       "same file as entry 0"},
      {"an installer name in a legacy code page",
       [&](BuildOptions& o) { o.first[0].stored_name = "C:\\KIT\\caf\xE9.exe"; },
       "\"C:\\KIT\\caf\\xE9.exe\" is not valid UTF-8"},
      {"a payload name in a legacy code page",
       [&](BuildOptions& o) { o.second[1].stored_name = "data\\\xD0.bin"; }, "is not valid UTF-8"},
      {"an execution level for a loader without a manifest",
       [&](BuildOptions& o) { o.execution_level = ldr::ExecutionLevel::kHighestAvailable; },
       "has no application manifest"},
      {"an execution level the manifest has no room for",
       [&](BuildOptions& o) {
         o.loader = P("tight.exe");
         o.execution_level = ldr::ExecutionLevel::kRequireAdministrator;
       },
       "cannot take the execution level requireAdministrator: its level attribute has room"},
      {"two payload files on one path",
       [&](BuildOptions& o) {
         o.second.push_back({P("setup.exe"), "Docs/Guide.txt"});
       },
       "same file as entry 3"},
  };
  for (const Case& c : cases) {
    BuildOptions o = Options();
    c.change(o);
    std::string message = FailingBuild(o);
    EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
  }
  // The inputs are untouched by the refused builds.
  EXPECT_EQ(Load(P("payload/README.txt")).size(), 8u);
  EXPECT_EQ(Load(P("loader.exe")).size(), 50000u);
}

// The level lands in the manifest of the kit's copy of the loader, in both
// kit forms; every other byte of the loader is as built, and the kit reads
// back and verifies.
TEST_F(KitTest, ExecutionLevelIsWrittenIntoTheKitsLoaderOnly) {
  std::ifstream source(LOADERKIT_MANIFEST_SOURCE, std::ios::binary);
  const std::string manifest(std::istreambuf_iterator<char>(source), {});
  ASSERT_FALSE(manifest.empty());
  const ldr::test::PeImageBytes pe = ldr::test::BuildPe(
      {{ldr::kRtVersion, 1, 0x409, std::string(64, 'v')}, {ldr::kRtManifest, 1, 0x409, manifest}});
  Save(P("manifested.exe"), pe.bytes);
  const uint64_t at = pe.data_offsets[1];

  for (bool external : {false, true}) {
    BuildOptions o = Options(external ? "ext" : "kit.exe");
    o.loader = P("manifested.exe");
    o.external = external;
    o.execution_level = ldr::ExecutionLevel::kRequireAdministrator;
    BuildKit(o);
    const std::vector<unsigned char> kit = Load(external ? P("ext/manifested.exe") : P("kit.exe"));
    ASSERT_GE(kit.size(), pe.bytes.size());
    const std::string written(kit.begin() + static_cast<std::ptrdiff_t>(at),
                              kit.begin() + static_cast<std::ptrdiff_t>(at + manifest.size()));
    EXPECT_EQ(ldr::ExecutionLevelOf(written), "requireAdministrator");
    size_t changed = 0;
    for (size_t i = 0; i < pe.bytes.size(); ++i) {
      if (kit[i] == pe.bytes[i]) continue;
      ++changed;
      EXPECT_TRUE(i >= at && i < at + manifest.size()) << "byte " << i << " outside the manifest";
    }
    EXPECT_GT(changed, 0u);
    EXPECT_EQ(VerifyStreams(ReadKit(external ? P("ext") : P("kit.exe"), true)), 5u);
  }

  // Without the option the loader is copied as it is.
  BuildOptions plain = Options("plain.exe");
  plain.loader = P("manifested.exe");
  BuildKit(plain);
  const std::vector<unsigned char> kit = Load(P("plain.exe"));
  EXPECT_TRUE(std::equal(pe.bytes.begin(), pe.bytes.end(), kit.begin()));
}

TEST_F(KitTest, VerifyWarnsAboutNamesInALegacyCodePage) {
  BuildKit(Options());
  EXPECT_TRUE(LegacyNameWarnings(ReadKit(P("kit.exe"), true)).empty());
  // An older packer's kit: one payload name in code page 1252, written over
  // a name of the same length ("README.txt").
  std::vector<unsigned char> bytes = Load(P("kit.exe"));
  const std::string old_name = "README.txt";
  const auto found = std::search(bytes.begin(), bytes.end(), old_name.begin(), old_name.end());
  ASSERT_NE(found, bytes.end());
  const std::string legacy = "R\xC9SUM\xC9.txt";
  ASSERT_EQ(legacy.size(), old_name.size());
  std::copy(legacy.begin(), legacy.end(), found);
  Save(P("old.exe"), bytes);
  const KitInfo kit = ReadKit(P("old.exe"), true);
  EXPECT_EQ(VerifyStreams(kit), 5u);
  const std::vector<std::string> warnings = LegacyNameWarnings(kit);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(
      warnings[0].find("second archive: entry 0: stored name \"R\\xC9SUM\\xC9.txt\" is not UTF-8"),
      std::string::npos)
      << warnings[0];
  EXPECT_NE(warnings[0].find("U+FFFD"), std::string::npos);
}

// A name written to steer a terminal reaches no message as it is: the
// reader's faults, the comparison with a folder and the writer's refusals
// all show it as escapes.
TEST_F(KitTest, MessagesShowAHostileNameAsEscapes) {
  BuildKit(Options());
  std::vector<unsigned char> bytes = Load(P("kit.exe"));
  const KitInfo good = ReadKit(P("kit.exe"), true);
  const int64_t header = good.second.start + good.second.entries[0].header_offset;
  const std::string evil = "\x1b[2K\x9b\xc2\x9b\x07.t";  // in place of README.txt
  const std::string shown = "\\x1B[2K\\x9B\\xC2\\x9B\\x07.t";
  ASSERT_EQ(bytes[header + 20], evil.size());
  std::copy(evil.begin(), evil.end(), &bytes[header + 21]);
  Save(P("evil.exe"), bytes);
  auto expect_shown = [&shown](const std::string& text) {
    EXPECT_NE(text.find(shown), std::string::npos) << text;
    for (unsigned char c : text) EXPECT_FALSE(c < 0x20 || c == 0x7F) << text;
  };
  auto error_of = [](const std::function<void()>& run) {
    try {
      run();
    } catch (const KitError& e) {
      return std::string(e.what());
    }
    ADD_FAILURE() << "no error";
    return std::string();
  };

  expect_shown(error_of([&] { ReadKit(P("evil.exe"), true); }));
  std::string differences;
  for (const std::string& line : ComparePayload(ReadKit(P("evil.exe"), false), P("payload")))
    differences += line + "\n";
  EXPECT_NE(differences.find("only in the kit: " + shown + "\n"), std::string::npos) << differences;

  ldr::PutInt32(&bytes[header + 16], 1 << 30);  // DataEnd far past the archive
  Save(P("evil.exe"), bytes);
  expect_shown(error_of([&] { ReadKit(P("evil.exe"), false); }));

  BuildOptions o = Options("refused.exe");
  o.second[0].stored_name = evil;
  expect_shown(FailingBuild(o));
}

TEST_F(KitTest, RefusesALoaderThatAlreadyCarriesAKit) {
  BuildKit(Options());
  BuildOptions o = Options("again.exe");
  o.loader = P("kit.exe");
  EXPECT_NE(FailingBuild(o).find("already carries a kit"), std::string::npos);
}

// A file over 2 GiB is refused from its size alone; the sparse file costs no
// disk and is never read.
TEST_F(KitTest, RefusesAFileTooLargeForSigned32BitSizes) {
  testing::SetFileLength(P("huge.bin"), uint64_t{3} << 30);
  BuildOptions o = Options();
  o.second.push_back({P("huge.bin"), "huge.bin"});
  EXPECT_NE(FailingBuild(o).find("too large"), std::string::npos);
}

TEST_F(KitTest, VersionTextLongerThanItsFieldIsRefused) {
#ifdef KITPACK_TEST_PE_LONG
  BuildOptions o = Options();
  o.first.push_back({KITPACK_TEST_PE_LONG, "C:\\KIT\\long.exe"});
  EXPECT_NE(FailingBuild(o).find("longer than 22"), std::string::npos);
#else
  GTEST_SKIP() << "no mingw-w64 toolchain to make a test PE";
#endif
}

TEST_F(KitTest, VersionOfAPeInputIsRecorded) {
#ifdef KITPACK_TEST_PE
  BuildOptions o = Options();
  o.first.push_back({KITPACK_TEST_PE, "C:\\KIT\\v.dll"});
  BuildKit(o);
  KitInfo kit = ReadKit(P("kit.exe"), true);
  EXPECT_EQ(kit.first.entries[1].version, "2.17.300.65535");
  EXPECT_EQ(kit.first.entries[0].version, "");
#else
  GTEST_SKIP() << "no mingw-w64 toolchain to make a test PE";
#endif
}

// Each damage is found by verify and named with its entry.
TEST_F(KitTest, VerifyReportsTheFirstFaultWithItsEntry) {
  BuildKit(Options());
  const std::vector<unsigned char> good = Load(P("kit.exe"));
  KitInfo kit = ReadKit(P("kit.exe"), true);
  const int64_t s0 = kit.second.start;
  const EntryInfo& readme = kit.second.entries[0];
  const int64_t readme_header = s0 + readme.header_offset;
  const int64_t readme_data = s0 + readme.record.data_start;

  struct Case {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> damage;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"flipped stream byte", [&](auto& b) { b[readme_data + 4] ^= 0x55; }, "entry 0 (README.txt)"},
      {"wrong Adler-32", [&](auto& b) { b[s0 + readme.record.data_end] ^= 1; },
       "incorrect data check"},
      {"unpacked size too small",
       [&](auto& b) { ldr::PutInt32(&b[readme_header + 128], readme.record.unpacked_size - 1); },
       "more than its unpacked size"},
      {"unpacked size too large",
       [&](auto& b) { ldr::PutInt32(&b[readme_header + 128], readme.record.unpacked_size + 1); },
       "inflates to 8 bytes"},
      {"DataStart off",
       [&](auto& b) { ldr::PutInt32(&b[readme_header + 132], readme.record.data_start + 1); },
       "DataStart"},
      {"NextHeader off",
       [&](auto& b) { ldr::PutInt32(&b[readme_header + 124], readme.record.next_header + 3); },
       "NextHeader"},
      {"trailer second end", [&](auto& b) { ldr::PutInt32(&b[b.size() - 56 + 28], 12); },
       "SecondArchiveEnd"},
      {"trailer mark", [&](auto& b) { b[b.size() - 56 + 1] = 's'; }, "SELFEXTRACTING"},
      {"count above 50", [&](auto& b) { ldr::PutInt32(&b[kit.first.start], 51); }, "at most 50"},
      {"no installer", [&](auto& b) { ldr::PutInt32(&b[kit.first.start], 0); },
       "first archive: no entries; the loader needs the installer as entry 0"},
      {"count beyond the archive", [&](auto& b) { ldr::PutInt32(&b[s0], 1000000); },
       "1000000 entries cannot fit in"},
      {"one entry more than the chain",
       [&](auto& b) { ldr::PutInt32(&b[s0], static_cast<int32_t>(kit.second.entries.size() + 1)); },
       "lies outside the archive"},
      {"archive ends before it starts",
       [&](auto& b) { ldr::PutInt32(&b[b.size() - 56 + 16], kit.first.end + 1); },
       "does not lie before the trailer"},
      {"trailer second start", [&](auto& b) { ldr::PutInt32(&b[b.size() - 56 + 24], s0 + 1); },
       "SecondArchiveStart is " + std::to_string(s0 + 1)},
      {"first archive of 3 bytes",
       [&](auto& b) {
         ldr::PutInt32(&b[b.size() - 56 + 20], kit.first.start + 2);
         ldr::PutInt32(&b[b.size() - 56 + 24], kit.first.start + 3);
       },
       "3 bytes cannot hold the 5-byte header"},
      {"byte after the first chain",
       [&](auto& b) {
         ldr::PutInt32(&b[b.size() - 56 + 20], kit.first.end + 1);
         ldr::PutInt32(&b[b.size() - 56 + 24], kit.first.end + 2);
       },
       "the entry chain ends at offset"},
      {"shorter than a trailer", [&](auto& b) { b.resize(40); },
       "is not a kit: it is shorter than the 56-byte trailer"},
      {"hostile name",
       [&](auto& b) {
         const char evil[] = "..\\x";
         b[readme_header + 20] = 4;
         std::copy(evil, evil + 4, &b[readme_header + 21]);
       },
       "unsafe stored name"},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> bad = good;
    c.damage(bad);
    Save(P("bad.exe"), bad);
    try {
      KitInfo k = ReadKit(P("bad.exe"), true);
      VerifyStreams(k);
      ADD_FAILURE() << c.what << ": not detected";
    } catch (const KitError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
}

// The data range of a stream holding extra bytes, and a stream cut short.
TEST_F(KitTest, VerifyTellsStreamShorterAndLongerThanItsRange) {
  std::vector<unsigned char> data(5000, 'a');
  std::vector<unsigned char> z = CompressZlib(data.data(), data.size(), 9, 1);
  for (int extra : {+2, -2}) {
    // Hand-made archive: one entry whose range is the stream +/- 2 bytes.
    std::vector<unsigned char> archive(5 + 164);
    ldr::PutInt32(archive.data(), 1);
    std::vector<unsigned char> stream = z;
    if (extra > 0)
      stream.insert(stream.end(), 2, 0);
    else
      stream.resize(stream.size() - 2);
    ldr::ArchiveEntry e;
    e.data_start = 169;
    e.data_end = 169 + static_cast<int32_t>(stream.size()) - 1;
    e.next_header = e.data_end + 1;
    e.unpacked_size = 5000;
    ldr::SetShortString(e.stored_name, "C:\\KIT\\a.exe");
    unsigned char rec[ldr::kEntrySize];
    ldr::EncodeEntry(e, rec);
    std::copy(rec, rec + 164, archive.begin() + 5);
    archive.insert(archive.end(), stream.begin(), stream.end());
    MakeTestFolder(P("hand"));
    Save(P("hand/setup.1"), archive);
    Save(P("hand/setup.2"), std::vector<unsigned char>(5, 0));
    KitInfo kit = ReadKit(P("hand"), true);
    try {
      VerifyStreams(kit);
      ADD_FAILURE() << extra;
    } catch (const KitError& err) {
      EXPECT_NE(std::string(err.what())
                    .find(extra > 0 ? "ends 2 bytes before its data range"
                                    : "data range ends before its zlib stream"),
                std::string::npos)
          << err.what();
    }
  }
}

// Extraction writes through no symlink, and refuses unsafe names before
// writing anything. Built natively only: Wine can make no links, and shows a
// Linux link as the file it points to.
#ifdef KITPACK_TEST_POSIX
TEST_F(KitTest, ExtractNeverFollowsSymlinks) {
  BuildKit(Options());
  KitInfo kit = ReadKit(P("kit.exe"), true);
  Save(P("outside.txt"), std::string("keep"));
  MakeTestFolder(P("dest"));
  ASSERT_TRUE(testing::MakeSymlink(P("outside.txt"), P("dest/README.txt")));
  EXPECT_THROW(ExtractArchive(kit, true, P("dest")), KitError);
  EXPECT_EQ(Load(P("outside.txt")), std::vector<unsigned char>({'k', 'e', 'e', 'p'}));

  MakeTestFolder(P("elsewhere"));
  MakeTestFolder(P("dest2"));
  ASSERT_TRUE(testing::MakeSymlink(P("elsewhere"), P("dest2/docs")));
  EXPECT_THROW(ExtractArchive(kit, true, P("dest2")), KitError);
  EXPECT_TRUE(FolderNames(P("elsewhere")).empty());
}
#endif

// --- Kit length, signed loaders, signed kits, the sign command -------------

using ldr::testing::PeKind;

std::vector<unsigned char> Bytes(const std::string& s) {
  return std::vector<unsigned char>(s.begin(), s.end());
}

TEST_F(KitTest, KitLengthIsAMultipleOf8WhateverTheLoaderSize) {
  for (size_t size = 50000; size < 50008; ++size) {
    SCOPED_TRACE(size);
    std::vector<unsigned char> loader = RandomBytes(size, 7);
    Save(P("loader.exe"), loader);
    BuildKit(Options());
    KitInfo kit = ReadKit(P("kit.exe"), true);
    EXPECT_EQ(kit.file_size % 8, 0);
    EXPECT_GE(kit.first.start, static_cast<int64_t>(size));
    EXPECT_LT(kit.first.start, static_cast<int64_t>(size) + 8);
    EXPECT_EQ(kit.trailer_offset, kit.file_size - 56);
    EXPECT_EQ(VerifyStreams(kit), 5u);
    std::vector<unsigned char> bytes = Load(P("kit.exe"));
    EXPECT_TRUE(std::equal(loader.begin(), loader.end(), bytes.begin()));
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(size),
                            bytes.begin() + kit.first.start,
                            [](unsigned char b) { return b == 0; }));
  }
}

TEST_F(KitTest, SignedLoaderGoesIntoTheKitUnsignedWithOneNote) {
  const PeKind kind = PeKind::kPe32Plus;
  const std::string image = ldr::testing::PeImage(kind, 20000);
  const std::string signed_loader = ldr::testing::SignLikeATool(image, kind, 4000);
  Save(P("loader.exe"), signed_loader);
  BuildOptions o = Options();
  std::vector<std::string> notes;
  o.notice = [&](const std::string& text) { notes.push_back(text); };
  BuildKit(o);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("removed the signature"), std::string::npos) << notes[0];
  EXPECT_NE(notes[0].find("4000 bytes"), std::string::npos) << notes[0];

  std::string stripped = image;
  ldr::testing::SetSecurityEntry(stripped, kind, 0, 0);
  ldr::testing::PutU32(stripped, ldr::testing::kPeChecksum, 0);
  KitInfo kit = ReadKit(P("kit.exe"), true);
  EXPECT_FALSE(kit.signature.present);
  std::vector<unsigned char> bytes = Load(P("kit.exe"));
  bytes.resize(stripped.size());
  EXPECT_EQ(bytes, Bytes(stripped));
  EXPECT_LT(kit.first.start - static_cast<int64_t>(stripped.size()), 8);
  EXPECT_EQ(Load(P("loader.exe")), Bytes(signed_loader));  // the loader itself is untouched

  // An external kit keeps the loader as it is: nothing is appended to it.
  MakeTestFolder(P("ext"));
  notes.clear();
  BuildOptions ext = Options("ext");
  ext.external = true;
  ext.notice = o.notice;
  BuildKit(ext);
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(Load(P("ext/loader.exe")), Bytes(signed_loader));

  // A table that does not end the loader is not guessed at.
  Save(P("loader.exe"), signed_loader + "tail");
  EXPECT_NE(FailingBuild(Options()).find("does not end the file"), std::string::npos);
}

TEST_F(KitTest, SignedKitsReadListAndExtract) {
  for (PeKind kind : {PeKind::kPe32, PeKind::kPe32Plus}) {
    for (size_t padding : {0, 3, 7}) {
      SCOPED_TRACE(padding);
      Save(P("loader.exe"), ldr::testing::PeImage(kind, 12345));
      BuildKit(Options());
      const std::vector<unsigned char> unsigned_kit = Load(P("kit.exe"));
      std::string kit_bytes(unsigned_kit.begin(), unsigned_kit.end());
      Save(P("signed.exe"), ldr::testing::AppendCertificateTable(kit_bytes, kind, padding, 2500));
      KitInfo kit = ReadKit(P("signed.exe"), true);
      ASSERT_TRUE(kit.signature.present);
      EXPECT_EQ(kit.signature.table_offset, static_cast<int64_t>(unsigned_kit.size() + padding));
      EXPECT_EQ(kit.signature.table_size, 2500);
      EXPECT_EQ(kit.signature.padding, static_cast<int64_t>(padding));
      EXPECT_EQ(kit.trailer_offset, static_cast<int64_t>(unsigned_kit.size()) - 56);
      EXPECT_EQ(kit.trailer.second_archive_end, kit.trailer_offset - 1);
      EXPECT_EQ(VerifyStreams(kit), 5u);
      // A fresh folder each time: extract refuses names that exist already.
      const std::string out =
          P("x-" + std::to_string(static_cast<int>(kind)) + "-" + std::to_string(padding));
      EXPECT_EQ(ExtractArchive(kit, true, out), 4u);
      EXPECT_EQ(Load(out + "/docs/guide.txt"), Load(P("payload/docs/guide.txt")));

      // A signed kit is no loader either.
      BuildOptions again = Options("again.exe");
      again.loader = P("signed.exe");
      EXPECT_NE(
          FailingBuild(again).find("before its certificate table hold the SELFEXTRACTING mark"),
          std::string::npos);
    }
  }
  // Bytes appended after signing: the table no longer ends the file, and
  // the last 56 bytes are no trailer.
  std::vector<unsigned char> tampered = Load(P("signed.exe"));
  tampered.push_back(0);
  Save(P("tampered.exe"), tampered);
  EXPECT_THROW(ReadKit(P("tampered.exe"), false), KitError);
}

// What verify makes of a kit's signature, with signatures made by hand: one
// holding the kit's own hash matches; a byte of an archive changed, or the
// table moved behind other bytes, and it does not; a table without a
// signature is refused, and one whose entry claims more than kitpack reads
// is refused before it is read.
TEST_F(KitTest, AuthenticodeDigestOfASignedKit) {
  const PeKind kind = PeKind::kPe32Plus;
  Save(P("loader.exe"), ldr::testing::PeImage(kind, 12345));
  BuildKit(Options());
  const std::vector<unsigned char> bytes = Load(P("kit.exe"));
  const std::string unsigned_kit(bytes.begin(), bytes.end());
  ldr::MemoryByteSource source(bytes.data(), bytes.size());
  const ldr::ImageHash hash =
      ldr::AuthenticodeImageHash(source, bytes.size(), ldr::DigestAlgorithm::kSha256);
  ASSERT_EQ(hash.refused, "");
  const std::string table = ldr::testing::CertificateEntry(
      ldr::testing::AuthenticodeSignature(std::string(hash.digest.begin(), hash.digest.end())), 5);
  const std::string signed_kit = ldr::testing::AppendTable(unsigned_kit, kind, table);
  auto check = [&](const std::string& kit, bool checked = true) {
    Save(P("signed.exe"), kit);
    KitInfo info = ReadKit(P("signed.exe"), checked);
    CheckAuthenticode(info);
    EXPECT_TRUE(info.signature.authenticode);
    return info.signature.authenticode.value_or(AuthenticodeCheck{});
  };
  EXPECT_EQ(check(signed_kit).algorithm, "SHA-256");
  EXPECT_TRUE(check(signed_kit).matches);

  KitInfo plain = ReadKit(P("kit.exe"), true);
  std::string changed = signed_kit;
  changed[static_cast<size_t>(plain.second.start + plain.second.end) / 2] ^= 1;
  EXPECT_FALSE(check(changed).matches);
  // The checksum and the security entry are left out: a signing tool
  // rewrites them.
  changed = signed_kit;
  changed[ldr::testing::kPeChecksum] ^= 1;
  EXPECT_TRUE(check(changed).matches);

  // Another trailer behind the kit's, the table behind that: the loader
  // reads the new one (here a copy, so that the kit still reads).
  std::string moved = unsigned_kit + std::string(8, '\0') + unsigned_kit.substr(bytes.size() - 56);
  moved = ldr::testing::AppendTable(moved, kind, table);
  EXPECT_FALSE(check(moved, false).matches);

  CheckAuthenticode(plain);
  EXPECT_FALSE(plain.signature.authenticode);  // nothing to check

  auto refusal = [&](const std::string& kit) {
    Save(P("signed.exe"), kit);
    KitInfo info = ReadKit(P("signed.exe"), true);
    try {
      CheckAuthenticode(info);
    } catch (const KitError& e) {
      return std::string(e.what());
    }
    return std::string("(no error)");
  };
  EXPECT_EQ(refusal(ldr::testing::SignLikeATool(unsigned_kit, kind)),
            "signature: the certificate table holds no Authenticode signature kitpack can read: "
            "900 bytes follow the signature in its entry");
  std::string huge = table;
  ldr::testing::PutU32(huge, 0, (16u << 20) + 1);
  EXPECT_EQ(refusal(ldr::testing::AppendTable(unsigned_kit, kind, huge)),
            "signature: its first entry claims 16777217 bytes; kitpack reads signatures of up to "
            "16 MiB");
  ldr::testing::PutU32(huge, 0, static_cast<uint32_t>(table.size() + 1));
  EXPECT_NE(refusal(ldr::testing::AppendTable(unsigned_kit, kind, huge))
                .find("its first entry claims " + std::to_string(table.size() + 1) +
                      " bytes, the table holds " + std::to_string(table.size())),
            std::string::npos);
}

// A stand-in signing tool (test_signer.cpp, built for this host): pads the
// file to 8 bytes and appends a table, named by the security entry, in place
// or into a second file; or fails, or does nothing.
const std::string kSigner = "'" + std::string(KITPACK_TEST_SIGNER) + "'";

TEST_F(KitTest, SignCommandSignsTheKitBeforeItTakesItsPlace) {
  Save(P("loader.exe"), ldr::testing::PeImage(PeKind::kPe32, 30000));
  for (const std::string& command : {kSigner + " sign {}", kSigner + " sign {} {out}"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> before = FolderNames(dir_);
    BuildOptions o = Options();
    o.sign_command = command;
    BuildKit(o);
    KitInfo kit = ReadKit(P("kit.exe"), true);
    EXPECT_TRUE(kit.signature.present);
    EXPECT_EQ(kit.signature.table_size, 1024);
    EXPECT_EQ(kit.signature.padding, 0);  // the kit needed none
    EXPECT_EQ(VerifyStreams(kit), 5u);
    // Nothing is left beside the kit: no temporary file, no signing folder.
    before.push_back("kit.exe");
    std::sort(before.begin(), before.end());
    before.erase(std::unique(before.begin(), before.end()), before.end());
    EXPECT_EQ(FolderNames(dir_), before);
#ifdef KITPACK_TEST_POSIX
    EXPECT_EQ(testing::FileMode(P("kit.exe")), 0755u);
#endif
  }
}

TEST_F(KitTest, SignCommandThatFailsOrBreaksTheKitFailsTheBuild) {
  Save(P("loader.exe"), ldr::testing::PeImage(PeKind::kPe32Plus, 30000));
  struct Case {
    std::string command, message;
  };
  const std::vector<Case> cases = {
      {kSigner + " fail {}",
       "the sign command " + std::string(KITPACK_TEST_SIGNER) + " exited with code 1"},
      {P("no-such-signer") + " {}", "could not be started"},
      {kSigner + " nothing {}", "was it signed?"},
      {kSigner + " nothing {} {out}", "left no signed copy"},
      {kSigner + " sign {} {} 40100", "its archives changed"},    // one byte of the first archive
      {kSigner + " sign {} {} 200", "its loader image changed"},  // a byte of the PE headers
      {"osslsigncode sign -out {out}", "must name the kit with {}"},
      {"signtool 'sign {}", "unterminated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    BuildOptions o = Options();
    o.sign_command = c.command;
    const std::string message = FailingBuild(o);
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

// A PE image carrying the deployment record's block unfilled, as the
// loader is built: of the current layout, or of the older one (version 1,
// the mark and zeros).
std::string LoaderWithBlock(uint32_t layout) {
  std::string image = ldr::testing::PeImage(PeKind::kPe32Plus, 30000);
  const unsigned char current[ldr::kDeploymentRecordSize] = {LDR_DEPLOYMENT_BLOCK_AS_BUILT};
  unsigned char block[ldr::kDeploymentRecordSize] = {};
  std::memcpy(block, layout == 1 ? ldr::kDeploymentMark : current,
              layout == 1 ? ldr::kDeploymentMarkSize : sizeof current);
  image.replace(10000, sizeof block, reinterpret_cast<const char*>(block), sizeof block);
  return image;
}

// Signed, an external kit's loader copy is trusted to check what lies
// beside it: without a record (or with one that cannot hold setup.2's
// digest) it would start anything, so such a kit is not signed.
TEST_F(KitTest, SigningAnExternalKitNeedsTheRecordWithSetup2) {
  MakeTestFolder(P("ext"));
  struct Case {
    std::string loader;
    bool deployment;
    std::string message;
  } cases[] = {
      {LoaderWithBlock(2), false, "needs the deployment record"},
      {ldr::testing::PeImage(PeKind::kPe32Plus, 30000), true, "has no deployment record block"},
      {LoaderWithBlock(1), true, "is of an older build (record version 1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Save(P("loader.exe"), c.loader);
    BuildOptions o = Options("ext");
    o.external = true;
    o.deployment = c.deployment;
    o.sign_command = kSigner + " sign {}";
    const std::string message = FailingBuild(o);
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_EQ(FolderNames(P("ext")), std::vector<std::string>{});
  }
  // Unsigned, an older loader still takes its record, in its own layout.
  Save(P("loader.exe"), LoaderWithBlock(1));
  BuildOptions o = Options("ext");
  o.external = true;
  BuildKit(o);
  const std::vector<unsigned char> copy = Load(P("ext/loader.exe"));
  EXPECT_EQ(copy[10000 + 16], 1);
  EXPECT_EQ(copy[10000 + 20],
            ldr::kDeploymentFilled | ldr::kDeploymentExternal | ldr::kDeploymentSetup1Digest);
  EXPECT_TRUE(std::all_of(copy.begin() + 10096, copy.begin() + 10128,
                          [](unsigned char b) { return b == 0; }));
}

TEST_F(KitTest, SignCommandOfAnExternalKitSignsTheLoaderCopy) {
  Save(P("loader.exe"), LoaderWithBlock(2));
  MakeTestFolder(P("ext"));
  BuildOptions o = Options("ext");
  o.external = true;
  o.sign_command = kSigner + " sign {}";
  BuildKit(o);
  EXPECT_EQ(FolderNames(P("ext")), (std::vector<std::string>{"loader.exe", "setup.1", "setup.2"}));
  std::vector<unsigned char> copy = Load(P("ext/loader.exe"));
  EXPECT_EQ(copy.size(), 30000u + 1024u);
  ReadKit(P("ext"), true);
}

#ifdef _WIN32
// CreateProcess runs a batch file through cmd.exe, which reads the line
// again: an output named k&wprobe&.exe ran a second command, %PATH% was
// expanded. A batch signing tool is refused before anything runs.
TEST_F(KitTest, SignCommandNeverStartsABatchFile) {
  Save(P("loader.exe"), ldr::testing::PeImage(PeKind::kPe32Plus, 30000));
  const std::string marker = P("batch-ran.txt");
  const std::string batch = "@echo %~nx0 %*>>\"" + marker + "\"\r\n";
  for (const char* name : {"sign.cmd", "SIGN.BAT", "wprobe.cmd"}) {
    std::ofstream(P(name), std::ios::binary) << batch;
  }
  for (const char* output : {"k&wprobe&.exe", "k%PATH%.exe"}) {
    for (const std::string& command :
         {"'" + P("sign.cmd") + "' {}", "'" + P("SIGN.BAT") + "' {}"}) {
      SCOPED_TRACE(command + " " + std::string(output));
      BuildOptions o = Options(output);
      o.sign_command = command;
      const std::string message = FailingBuild(o);
      EXPECT_NE(message.find("is a batch file, and kitpack runs no shell"), std::string::npos)
          << message;
      EXPECT_FALSE(std::ifstream(marker).good()) << "a batch file ran";
    }
  }
}
#endif

TEST(KitTime, DaysSince1899) {
  EXPECT_DOUBLE_EQ(KitTimeFromUnix(0), 25569.0);
  // 1998-08-11 12:00 UTC is 36018.5.
  EXPECT_DOUBLE_EQ(KitTimeFromUnix(902836800), 36018.5);
  EXPECT_EQ(UnixFromKitTime(36018.5), 902836800);
}

}  // namespace
}  // namespace kitpack
