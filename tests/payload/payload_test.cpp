// The payload library through its C interface, against kits written here:
// the three hand-off forms, signed kits, and hostile kits (names that
// escape, records that lie, streams that are damaged or cut short). After
// every refusal the scratch folder holds exactly what it held before.

#include <loaderkit/payload.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "base/block_hash.h"
#include "base/sha256.h"
#include "format/hand_off.h"
#include "format/records.h"
#include "tests/kitpack/scratch.h"
#include "tests/support/archive_builder.h"
#include "tests/support/pe_builder.h"

namespace {

using kitpack::testing::FolderNames;
using ldr::testing::BuildArchive;
using ldr::testing::BuildSelfExtracting;
using ldr::testing::FileEntry;
using ldr::testing::TestEntry;

#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

const std::string kGuide = std::string(200000, 'g') + "end of the guide";

std::vector<TestEntry> Files() {
  return {FileEntry("README.txt", "read me\n"), FileEntry("docs\\guide.txt", kGuide),
          FileEntry("docs\\deep\\empty.dat", ""), FileEntry("data/sample.csv", "id,name\n")};
}

std::string FirstArchive() { return BuildArchive({FileEntry("C:\\KIT\\setup.exe", "MZ")}); }

std::string Kit(const std::string& second) {
  return BuildSelfExtracting(ldr::testing::PeImage(ldr::testing::PeKind::kPe32Plus), FirstArchive(),
                             second);
}

class Payload : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = kitpack::testing::MakeScratchFolder("payload-test-"); }
  void TearDown() override {
    loaderkit_payload_close(kit_);
    kitpack::testing::RemoveTree(dir_);
  }

  std::string At(const std::string& name) const { return dir_ + kSep + name; }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(At(name), std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(At(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int Open(std::vector<const char*> args) {
    loaderkit_payload_close(kit_);
    kit_ = nullptr;
    return loaderkit_payload_open_command_line(static_cast<int>(args.size()), args.data(), &kit_);
  }
  int OpenFile(const std::string& name) {
    loaderkit_payload_close(kit_);
    kit_ = nullptr;
    return loaderkit_payload_open_file(At(name).c_str(), &kit_);
  }
  int UnpackAll(uint32_t flags = 0) {
    return loaderkit_payload_unpack(kit_, At("dest").c_str(), nullptr, 0, flags, nullptr, nullptr);
  }
  std::string Error() const { return loaderkit_payload_error(kit_); }
  void ExpectInstalled() const {
    EXPECT_EQ(Read("dest" + std::string(1, kSep) + "README.txt"), "read me\n");
    EXPECT_EQ(Read(std::string("dest") + kSep + "docs" + kSep + "guide.txt"), kGuide);
    EXPECT_EQ(FolderNames(At(std::string("dest") + kSep + "docs" + kSep + "deep")),
              std::vector<std::string>{"empty.dat"});
    EXPECT_EQ(Read(std::string("dest") + kSep + "data" + kSep + "sample.csv"), "id,name\n");
  }

  std::string dir_;
  loaderkit_payload* kit_ = nullptr;
};

TEST_F(Payload, ListsAndUnpacksASelfExtractingKit) {
  Write("setup.exe", Kit(BuildArchive(Files())));
  ASSERT_EQ(OpenFile("setup.exe"), LOADERKIT_OK) << Error();
  ASSERT_EQ(loaderkit_payload_count(kit_), 4);
  loaderkit_entry e{};
  ASSERT_EQ(loaderkit_payload_entry(kit_, 1, &e), LOADERKIT_OK);
  EXPECT_STREQ(e.name, "docs\\guide.txt");
  EXPECT_EQ(e.path, std::string("docs") + kSep + "guide.txt");
  EXPECT_EQ(e.size, static_cast<int64_t>(kGuide.size()));
  EXPECT_GT(e.packed_size, 0);
  EXPECT_LT(e.packed_size, e.size);
  EXPECT_EQ(e.time, 902836800);  // 1998-08-11 12:00 UTC
  EXPECT_EQ(loaderkit_payload_entry(kit_, 4, &e), LOADERKIT_E_USAGE);
  EXPECT_EQ(loaderkit_payload_find(kit_, "DOCS/Guide.txt"), 1);
  EXPECT_EQ(loaderkit_payload_find(kit_, "docs"), -1);

  struct Seen {
    std::vector<int64_t> done;
    int64_t total = 0;
  } seen;
  auto progress = [](void* context, int32_t, int64_t done, int64_t total) {
    auto* s = static_cast<Seen*>(context);
    s->done.push_back(done);
    s->total = total;
    return 0;
  };
  ASSERT_EQ(loaderkit_payload_unpack(kit_, At("dest").c_str(), nullptr, 0, 0, progress, &seen),
            LOADERKIT_OK)
      << Error();
  ExpectInstalled();
  EXPECT_EQ(seen.total, static_cast<int64_t>(8 + kGuide.size() + 8));
  EXPECT_EQ(seen.done.back(), seen.total);
  EXPECT_GT(seen.done.size(), 4u);  // the guide comes in several blocks
  for (size_t i = 1; i < seen.done.size(); ++i) EXPECT_LE(seen.done[i - 1], seen.done[i]);
}

TEST_F(Payload, OpensEveryFormOfTheHandOffLine) {
  const std::string second = BuildArchive(Files());
  kitpack::testing::MakeTestFolder(At("my kits"));
  Write("my kits" + std::string(1, kSep) + "setup (1).exe", Kit(second));
  kitpack::testing::MakeTestFolder(At("ext"));
  Write(std::string("ext") + kSep + "loader.exe",
        ldr::testing::PeImage(ldr::testing::PeKind::kPe32));
  Write(std::string("ext") + kSep + "setup.2", second);
  const std::string kits = At("my kits"), ext = At("ext");

  ASSERT_EQ(Open({"*SELFEXTRACT", "setup (1).exe", kits.c_str()}), LOADERKIT_OK) << Error();
  EXPECT_EQ(loaderkit_payload_file(kit_), kits + kSep + "setup (1).exe");
  EXPECT_EQ(loaderkit_payload_loader_folder(kit_), kits);
  EXPECT_EQ(loaderkit_payload_count(kit_), 4);
  // As a loader that quoted nothing hands them over: split at every blank.
  const std::string head = dir_ + kSep + "my";
  ASSERT_EQ(Open({"*TODISK", "setup", "(1).exe", head.c_str(), "kits"}), LOADERKIT_OK) << Error();
  EXPECT_EQ(loaderkit_payload_loader_folder(kit_), kits);
  // An external kit: the loader's copy carries no trailer, setup.2 is read.
  ASSERT_EQ(Open({"*TODISK", "loader.exe", ext.c_str()}), LOADERKIT_OK) << Error();
  EXPECT_EQ(loaderkit_payload_file(kit_), ext + kSep + "setup.2");
  ASSERT_EQ(Open({ext.c_str()}), LOADERKIT_OK) << Error();
  ASSERT_EQ(UnpackAll(), LOADERKIT_OK) << Error();
  ExpectInstalled();

  EXPECT_EQ(Open({kits.c_str()}), LOADERKIT_E_OPEN);
  EXPECT_NE(Error().find("setup.2"), std::string::npos) << Error();
  EXPECT_EQ(Open({}), LOADERKIT_E_USAGE);
  EXPECT_NE(Error().find("usage"), std::string::npos) << Error();
  EXPECT_EQ(Open({"*SELFEXTRACT", "setup.exe"}), LOADERKIT_E_USAGE);
  EXPECT_EQ(loaderkit_payload_count(kit_), 0);
  EXPECT_EQ(UnpackAll(), LOADERKIT_E_USAGE);
}

// A loader that is gone and no setup.2 either: the message names both.
TEST_F(Payload, HandOffNamingNeitherAKitNorSetup2SaysWhyForBoth) {
  kitpack::testing::MakeTestFolder(At("gone"));
  const std::string gone = At("gone");
  EXPECT_EQ(Open({"*SELFEXTRACT", "setup.exe", gone.c_str()}), LOADERKIT_E_OPEN);
  const std::string error = Error();
  const size_t setup2 = error.find(gone + kSep + "setup.2");
  const size_t loader = error.find("; and cannot open " + gone + kSep + "setup.exe");
  EXPECT_NE(setup2, std::string::npos) << error;
  EXPECT_NE(loader, std::string::npos) << error;
  EXPECT_LT(setup2, loader) << error;
  EXPECT_EQ(loaderkit_payload_count(kit_), 0);
}

TEST_F(Payload, ReadsASignedKit) {
  Write("signed.exe",
        ldr::testing::SignLikeATool(Kit(BuildArchive(Files())), ldr::testing::PeKind::kPe32Plus));
  ASSERT_EQ(OpenFile("signed.exe"), LOADERKIT_OK) << Error();
  ASSERT_EQ(UnpackAll(), LOADERKIT_OK) << Error();
  ExpectInstalled();
}

TEST_F(Payload, RefusesNamesThatLeaveTheFolderBeforeWritingAnything) {
  for (const char* bad :
       {"..\\evil.txt", "docs\\..\\..\\evil.txt", "\\evil.txt", "/evil.txt", "C:\\evil.txt",
        "C:evil.txt", "x/../../evil.txt", "NUL", "docs\\con.txt", "a\\COM1\\b.txt", "docs\\",
        "a\\\\b", "file.txt:stream", "trailing.", "what?.txt", ""}) {
    SCOPED_TRACE(bad);
    Write("setup.2", BuildArchive({FileEntry("ok.txt", "fine"), FileEntry(bad, "pwned")}));
    const std::vector<std::string> before = FolderNames(dir_);
    EXPECT_EQ(OpenFile("setup.2"), LOADERKIT_E_UNSAFE_NAME);
    EXPECT_NE(Error().find("refusing entry 1"), std::string::npos) << Error();
    EXPECT_EQ(loaderkit_payload_count(kit_), 0);
    EXPECT_EQ(UnpackAll(), LOADERKIT_E_USAGE);
    EXPECT_EQ(FolderNames(dir_), before);
  }
}

// Records that lie and streams that are damaged: each refused with a text
// naming the fault, at open or while unpacking, with no file left behind.
TEST_F(Payload, RefusesDamagedAndTruncatedKits) {
  const std::string good = BuildArchive({FileEntry("a.txt", ldr::testing::RandomBytes(5000, 1))});
  const std::string two = BuildArchive({FileEntry("a", ldr::testing::RandomBytes(400, 3)),
                                        FileEntry("b", ldr::testing::RandomBytes(5000, 4))});
  TestEntry big = FileEntry("big.txt", "small");
  big.unpacked_size = 0x7FFFFFFF;
  TestEntry small = FileEntry("small.txt", std::string(3000, 's'));
  small.unpacked_size = 10;
  TestEntry negative = FileEntry("neg.txt", "x");
  negative.unpacked_size = -1;
  TestEntry long_range = FileEntry("long.txt", "abc");
  long_range.stream += "JUNK";
  std::string corrupt = good;
  corrupt[corrupt.size() - 2] ^= 0x55;  // the checksum
  std::string far = good;
  ldr::PutInt32(reinterpret_cast<unsigned char*>(&far[5 + 16]), 0x7FFFFFF0);  // DataEnd
  struct Case {
    const char* label;
    std::string bytes;
    bool at_open;
    int status;
    const char* text;
  } cases[] = {
      {"huge claimed size", BuildArchive({big}), false, LOADERKIT_E_DAMAGED, "not 2147483647"},
      {"stream longer than its size", BuildArchive({small}), false, LOADERKIT_E_DAMAGED,
       "more than its size of 10"},
      {"negative size", BuildArchive({negative}), true, LOADERKIT_E_DAMAGED, "negative"},
      {"bytes after the stream", BuildArchive({long_range}), false, LOADERKIT_E_DAMAGED,
       "ends 4 bytes before its data"},
      {"bad checksum", corrupt, false, LOADERKIT_E_DAMAGED, "corrupt"},
      {"cut in the stream", good.substr(0, good.size() - 100), true, LOADERKIT_E_DAMAGED,
       "does not lie inside"},
      {"cut before its headers", good.substr(0, 100), true, LOADERKIT_E_DAMAGED, "cannot hold"},
      {"cut in the second header", two.substr(0, two.size() - 5100), true, LOADERKIT_E_DAMAGED,
       "entry 1: its header at offset"},
      {"data range far away", far, true, LOADERKIT_E_DAMAGED, "does not lie inside"},
      {"count beyond the file", ldr::testing::HeaderBytes(1000000), true, LOADERKIT_E_DAMAGED,
       "claims 1000000 entries"},
      {"negative count", ldr::testing::HeaderBytes(-2), true, LOADERKIT_E_DAMAGED,
       "claims -2 entries"},
      {"shorter than a header", "\x01\x00", true, LOADERKIT_E_DAMAGED, "5-byte header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Write("setup.2", c.bytes);
    int status = OpenFile("setup.2");
    if (!c.at_open) {
      ASSERT_EQ(status, LOADERKIT_OK) << Error();
      status = UnpackAll();
    }
    EXPECT_EQ(status, c.status);
    EXPECT_NE(Error().find(c.text), std::string::npos) << Error();
    EXPECT_EQ(FolderNames(At("dest")), std::vector<std::string>{});
  }
}

TEST_F(Payload, RefusesAKitCutShortOrNotAKitAtAll) {
  const std::string kit = Kit(BuildArchive(Files()));
  Write("cut.exe", kit.substr(0, kit.size() - 30));
  EXPECT_EQ(OpenFile("cut.exe"), LOADERKIT_E_NOT_A_KIT);
  EXPECT_NE(Error().find("self-extracting"), std::string::npos) << Error();
  std::string bad_trailer = kit;
  ldr::PutInt32(reinterpret_cast<unsigned char*>(&bad_trailer[bad_trailer.size() - 56 + 28]),
                static_cast<int32_t>(kit.size()));  // SecondArchiveEnd past the trailer
  Write("bad.exe", bad_trailer);
  EXPECT_EQ(OpenFile("bad.exe"), LOADERKIT_E_DAMAGED);
  EXPECT_NE(Error().find("does not lie before the trailer"), std::string::npos) << Error();
  EXPECT_EQ(OpenFile("missing.exe"), LOADERKIT_E_OPEN);
  EXPECT_NE(Error().find("missing.exe"), std::string::npos) << Error();
  kitpack::testing::MakeTestFolder(At("folder.exe"));
  EXPECT_EQ(OpenFile("folder.exe"), LOADERKIT_E_OPEN);
  EXPECT_NE(Error().find("folder.exe: not a regular file"), std::string::npos) << Error();
}

TEST_F(Payload, DestinationBelowAFileCannotBeMade) {
  Write("setup.2", BuildArchive(Files()));
  Write("plain", "a file, not a folder");
  ASSERT_EQ(OpenFile("setup.2"), LOADERKIT_OK) << Error();
  const std::string below = At("plain") + kSep + "dest";
  EXPECT_EQ(loaderkit_payload_unpack(kit_, below.c_str(), nullptr, 0, 0, nullptr, nullptr),
            LOADERKIT_E_WRITE);
  EXPECT_NE(Error().find("cannot create folder " + below), std::string::npos) << Error();
  EXPECT_EQ(Read("plain"), "a file, not a folder");
}

TEST_F(Payload, NeverWritesOverAnExistingNameUnlessToldToReplaceAFile) {
  Write("setup.2", BuildArchive(Files()));
  ASSERT_EQ(OpenFile("setup.2"), LOADERKIT_OK) << Error();
  ASSERT_EQ(UnpackAll(), LOADERKIT_OK) << Error();
  Write(std::string("dest") + kSep + "README.txt", "mine");
  EXPECT_EQ(UnpackAll(), LOADERKIT_E_EXISTS);
  EXPECT_NE(Error().find("exists already"), std::string::npos) << Error();
  EXPECT_EQ(Read(std::string("dest") + kSep + "README.txt"), "mine");
  ASSERT_EQ(UnpackAll(LOADERKIT_REPLACE), LOADERKIT_OK) << Error();
  ExpectInstalled();
  EXPECT_EQ(FolderNames(At("dest")), (std::vector<std::string>{"README.txt", "data", "docs"}));
}

TEST_F(Payload, UnpacksSomeEntriesAndStopsWhenCancelled) {
  Write("setup.2", BuildArchive(Files()));
  ASSERT_EQ(OpenFile("setup.2"), LOADERKIT_OK) << Error();
  const int32_t some[] = {3, 0};
  ASSERT_EQ(loaderkit_payload_unpack(kit_, At("dest").c_str(), some, 2, 0, nullptr, nullptr),
            LOADERKIT_OK)
      << Error();
  EXPECT_EQ(FolderNames(At("dest")), (std::vector<std::string>{"README.txt", "data"}));
  const int32_t wrong[] = {1, 4};
  EXPECT_EQ(loaderkit_payload_unpack(kit_, At("other").c_str(), wrong, 2, 0, nullptr, nullptr),
            LOADERKIT_E_USAGE);
  EXPECT_NE(Error().find("no entry 4"), std::string::npos) << Error();
  EXPECT_EQ(FolderNames(At("other")), std::vector<std::string>{});

  // Stopped in the middle of the guide: the files before it stay, the
  // guide's part goes.
  auto stop_in_guide = [](void*, int32_t entry, int64_t, int64_t) { return entry == 1 ? 1 : 0; };
  EXPECT_EQ(
      loaderkit_payload_unpack(kit_, At("stopped").c_str(), nullptr, 0, 0, stop_in_guide, nullptr),
      LOADERKIT_E_CANCELLED);
  EXPECT_EQ(FolderNames(At("stopped")), (std::vector<std::string>{"README.txt", "docs"}));
  EXPECT_EQ(FolderNames(At(std::string("stopped") + kSep + "docs")), std::vector<std::string>{});
}

TEST_F(Payload, NullArgumentsAreUsageErrors) {
  EXPECT_EQ(loaderkit_payload_open_file(nullptr, &kit_), LOADERKIT_E_USAGE);
  EXPECT_NE(Error(), "");
  EXPECT_EQ(loaderkit_payload_open_file("x", nullptr), LOADERKIT_E_USAGE);
  EXPECT_EQ(loaderkit_payload_unpack(nullptr, "x", nullptr, 0, 0, nullptr, nullptr),
            LOADERKIT_E_USAGE);
  EXPECT_EQ(loaderkit_payload_count(nullptr), 0);
  loaderkit_payload_close(nullptr);
}

// What a C caller prints for a status: every status its own text, anything
// else named as unknown rather than mistaken for one of them.
TEST(PayloadStatus, EveryStatusHasATextOfItsOwn) {
  std::set<std::string> texts;
  for (int status = LOADERKIT_OK; status <= LOADERKIT_E_MEMORY; ++status) {
    const std::string text = loaderkit_status_text(status);
    EXPECT_NE(text, "") << status;
    EXPECT_NE(text, "unknown status") << status;
    EXPECT_TRUE(texts.insert(text).second) << status << " repeats " << text;
  }
  EXPECT_STREQ(loaderkit_status_text(LOADERKIT_OK), "success");
  EXPECT_STREQ(loaderkit_status_text(LOADERKIT_E_CANCELLED), "cancelled");
  EXPECT_STREQ(loaderkit_status_text(LOADERKIT_E_MEMORY), loaderkit_payload_error(nullptr));
  for (int status : {-1, LOADERKIT_E_MEMORY + 1, 1000})
    EXPECT_STREQ(loaderkit_status_text(status), "unknown status") << status;
}

// A loader whose record holds setup.2's digest hands it on; the library
// then checks the bytes it reads of setup.2, whole, against it, and keeps
// nothing it unpacked from a file that differs.
class HandedDigest : public Payload {
 protected:
  void SetUp() override {
    Payload::SetUp();
    kitpack::testing::MakeTestFolder(At("ext"));
    Write(std::string("ext") + kSep + "loader.exe",
          ldr::testing::PeImage(ldr::testing::PeKind::kPe32));
    setup2_ = BuildArchive(Files());
    Write(Setup2(), setup2_);
    ldr::Sha256 hash;
    hash.Update(setup2_.data(), setup2_.size());
    const std::array<unsigned char, 32> digest = hash.Finish();
    SetVariable(ldr::DigestHex(digest.data(), digest.size()));
  }
  void TearDown() override {
    loaderkit_payload_close(kit_);
    kit_ = nullptr;
    SetVariable("");
    Payload::TearDown();
  }
  static void SetVariable(const std::string& value) {
#ifdef _WIN32
    _putenv_s(ldr::kSetup2DigestVariable, value.c_str());
#else
    if (value.empty())
      unsetenv(ldr::kSetup2DigestVariable);
    else
      setenv(ldr::kSetup2DigestVariable, value.c_str(), 1);
#endif
  }
  static std::string Setup2() { return std::string("ext") + kSep + "setup.2"; }

  std::string setup2_;
};

TEST_F(HandedDigest, UnpacksTheSetup2ItsLoaderChecked) {
  const std::string ext = At("ext");
  ASSERT_EQ(Open({ext.c_str()}), LOADERKIT_OK) << Error();
  ASSERT_EQ(UnpackAll(), LOADERKIT_OK) << Error();
  ExpectInstalled();
  // Some entries, asked for out of order and twice: read in one pass.
  ASSERT_EQ(Open({"*TODISK", "loader.exe", ext.c_str()}), LOADERKIT_OK) << Error();
  const int32_t some[] = {3, 0, 3};
  ASSERT_EQ(loaderkit_payload_unpack(kit_, At("some").c_str(), some, 3, 0, nullptr, nullptr),
            LOADERKIT_OK)
      << Error();
  EXPECT_EQ(FolderNames(At("some")), (std::vector<std::string>{"README.txt", "data"}));
}

TEST_F(HandedDigest, RefusesAnotherKitsSetup2) {
  const std::string ext = At("ext");
  Write(Setup2(), BuildArchive({FileEntry("other.txt", "another product")}));
  EXPECT_EQ(Open({ext.c_str()}), LOADERKIT_E_DAMAGED);
  EXPECT_NE(Error().find("is not the setup.2 its loader checked"), std::string::npos) << Error();
  EXPECT_EQ(loaderkit_payload_count(kit_), 0);
  // One byte more at its end is another file too.
  Write(Setup2(), setup2_ + "x");
  EXPECT_EQ(Open({ext.c_str()}), LOADERKIT_E_DAMAGED);
  // Not a digest at all.
  Write(Setup2(), setup2_);
  SetVariable("not a digest");
  EXPECT_EQ(Open({ext.c_str()}), LOADERKIT_E_DAMAGED);
  EXPECT_NE(Error().find("does not hold a SHA-256"), std::string::npos) << Error();
}

TEST_F(HandedDigest, SetupChangedAfterOpeningIsNotUnpacked) {
  const std::string ext = At("ext");
  ASSERT_EQ(Open({ext.c_str()}), LOADERKIT_OK) << Error();
  {
    std::ofstream more(At(Setup2()), std::ios::binary | std::ios::app);
#ifdef _WIN32
    // Held against writes while it is open.
    EXPECT_FALSE(more.is_open());
    return;
#else
    more << "x";
#endif
  }
  // Every entry unpacks, then the file is seen to differ: nothing stays.
  EXPECT_EQ(UnpackAll(), LOADERKIT_E_DAMAGED);
  EXPECT_NE(Error().find("is not the setup.2 its loader checked"), std::string::npos) << Error();
  EXPECT_EQ(FolderNames(At("dest")), (std::vector<std::string>{"data", "docs"}));
  EXPECT_EQ(FolderNames(At(std::string("dest") + kSep + "docs")), std::vector<std::string>{"deep"});
  EXPECT_EQ(FolderNames(At(std::string("dest") + kSep + "data")), std::vector<std::string>{});
  EXPECT_EQ(FolderNames(At(std::string("dest") + kSep + "docs" + kSep + "deep")),
            std::vector<std::string>{});
}

// Stopped before the file was seen whole, a payload held to a digest keeps
// nothing of what this unpack wrote.
TEST_F(HandedDigest, AnUnpackStoppedKeepsNothing) {
  const std::string ext = At("ext");
  ASSERT_EQ(Open({ext.c_str()}), LOADERKIT_OK) << Error();
  auto stop_at_last = [](void*, int32_t entry, int64_t done, int64_t total) {
    return entry == 3 && done == total ? 1 : 0;
  };
  EXPECT_EQ(
      loaderkit_payload_unpack(kit_, At("dest").c_str(), nullptr, 0, 0, stop_at_last, nullptr),
      LOADERKIT_E_CANCELLED);
  EXPECT_EQ(FolderNames(At("dest")), (std::vector<std::string>{"data", "docs"}));
  EXPECT_EQ(FolderNames(At(std::string("dest") + kSep + "data")), std::vector<std::string>{});
  EXPECT_EQ(FolderNames(At(std::string("dest") + kSep + "docs" + kSep + "deep")),
            std::vector<std::string>{});
}

// Stored names reach an installer's log through the error texts: no raw
// line break or escape sequence gets there.
TEST_F(Payload, ErrorTextsShowStoredNamesEscaped) {
  Write("setup.2", BuildArchive({FileEntry("ok\x1b[2K\r\nunpack_kit: done\x07.txt", "x")}));
  EXPECT_NE(OpenFile("setup.2"), LOADERKIT_OK);
  const std::string error = Error();
  EXPECT_EQ(error.find_first_of("\x1b\r\n\x07"), std::string::npos) << error;
  EXPECT_NE(error.find("ok\\x1B[2K\\x0D\\x0Aunpack_kit: done\\x07.txt"), std::string::npos)
      << error;
}

#ifndef _WIN32
// Links in the destination are never followed: not a folder, not a file,
// not with LOADERKIT_REPLACE.
TEST_F(Payload, LinksInTheDestinationAreNotWrittenThrough) {
  Write("setup.2", BuildArchive(Files()));
  ASSERT_EQ(OpenFile("setup.2"), LOADERKIT_OK) << Error();
  kitpack::testing::MakeTestFolder(At("outside"));
  kitpack::testing::MakeTestFolder(At("dest"));
  ASSERT_TRUE(kitpack::testing::MakeSymlink(At("outside"), At("dest/docs")));
  EXPECT_EQ(UnpackAll(LOADERKIT_REPLACE), LOADERKIT_E_EXISTS);
  EXPECT_NE(Error().find("symlink"), std::string::npos) << Error();
  EXPECT_EQ(FolderNames(At("outside")), std::vector<std::string>{});

  kitpack::testing::MakeTestFolder(At("dest2"));
  Write("outside/target", "keep");
  ASSERT_TRUE(kitpack::testing::MakeSymlink(At("outside/target"), At("dest2/README.txt")));
  for (uint32_t flags : {0u, static_cast<uint32_t>(LOADERKIT_REPLACE)}) {
    EXPECT_EQ(
        loaderkit_payload_unpack(kit_, At("dest2").c_str(), nullptr, 0, flags, nullptr, nullptr),
        LOADERKIT_E_EXISTS);
    EXPECT_EQ(Read("outside/target"), "keep");
    EXPECT_EQ(FolderNames(At("dest2")), std::vector<std::string>{"README.txt"});
  }
}
#endif

}  // namespace

namespace {

// Today's loader quotes each hand-off argument: what follows them is the
// installer's, however many and whatever they look like.
TEST_F(Payload, ArgumentsAfterTheHandOffAreTheInstallers) {
  const std::string second = BuildArchive(Files());
  kitpack::testing::MakeTestFolder(At("my kits"));
  Write("my kits" + std::string(1, kSep) + "setup (1).exe", Kit(second));
  kitpack::testing::MakeTestFolder(At("ext"));
  Write(std::string("ext") + kSep + "setup.2", second);
  const std::string kits = At("my kits"), ext = At("ext");
  auto extras = [this] {
    std::vector<std::string> out;
    for (int32_t i = 0; i < loaderkit_payload_extra_count(kit_); ++i)
      out.emplace_back(loaderkit_payload_extra_argument(kit_, i));
    EXPECT_EQ(loaderkit_payload_extra_argument(kit_, loaderkit_payload_extra_count(kit_)), nullptr);
    return out;
  };

  ASSERT_EQ(Open({"*SELFEXTRACT", "setup (1).exe", kits.c_str(), "/quiet", "--fast"}), LOADERKIT_OK)
      << Error();
  EXPECT_EQ(loaderkit_payload_file(kit_), kits + kSep + "setup (1).exe");
  EXPECT_EQ(extras(), (std::vector<std::string>{"/quiet", "--fast"}));
  ASSERT_EQ(Open({ext.c_str(), "/quiet", "a b"}), LOADERKIT_OK) << Error();
  EXPECT_EQ(loaderkit_payload_file(kit_), ext + kSep + "setup.2");
  EXPECT_EQ(extras(), (std::vector<std::string>{"/quiet", "a b"}));
  ASSERT_EQ(Open({"*SELFEXTRACT", "setup (1).exe", kits.c_str()}), LOADERKIT_OK) << Error();
  EXPECT_EQ(extras(), std::vector<std::string>{});

  // From main's own arguments, the installer's options before the hand-off.
  const std::vector<const char*> argv = {"setup",         "--dest",     "x",  "*TODISK",
                                         "setup (1).exe", kits.c_str(), "--", "-v"};
  loaderkit_payload_close(kit_);
  kit_ = nullptr;
  ASSERT_EQ(loaderkit_payload_open_main(static_cast<int>(argv.size()), argv.data(), 3, &kit_),
            LOADERKIT_OK)
      << Error();
  EXPECT_EQ(loaderkit_payload_loader_folder(kit_), kits);
  EXPECT_EQ(extras(), (std::vector<std::string>{"--", "-v"}));
  loaderkit_payload_close(kit_);
  kit_ = nullptr;
  EXPECT_EQ(loaderkit_payload_open_main(static_cast<int>(argv.size()), argv.data(), 9, &kit_),
            LOADERKIT_E_USAGE);
}

TEST_F(Payload, SaysWhatIsWrongWithAnIndexOrAFileThatIsNoKit) {
  Write("setup.2", BuildArchive(Files()));
  ASSERT_EQ(OpenFile("setup.2"), LOADERKIT_OK) << Error();
  loaderkit_entry e{};
  EXPECT_EQ(loaderkit_payload_entry(kit_, 99, &e), LOADERKIT_E_USAGE);
  EXPECT_EQ(Error(), "there is no entry 99 (the payload has 4)");
  EXPECT_EQ(loaderkit_payload_entry(kit_, 0, &e), LOADERKIT_OK);
  EXPECT_EQ(Error(), "");

  const struct {
    const char* name;
    std::string bytes;
  } others[] = {{"program", std::string("\x7f"
                                        "ELF\x02\x01\x01",
                                        7) +
                                std::string(500, '\0')},
                {"notes.txt", "just some text, long enough for a header\n"},
                {"tiny.txt", "hi\n"}};
  for (const auto& other : others) {
    SCOPED_TRACE(other.name);
    Write(other.name, other.bytes);
    EXPECT_EQ(OpenFile(other.name), LOADERKIT_E_NOT_A_KIT);
    EXPECT_EQ(Error(), At(other.name) +
                           " is not a kit: it carries no kit trailer, and it begins as a program "
                           "or a text does, not as a payload file");
  }
}

// Every missing level of the folder is made; each file gets its entry's
// time; the progress callback's last call for an entry repeats the numbers
// of the one before (and is the only call for an empty entry).
TEST_F(Payload, MakesEveryFolderLevelRestoresTimesAndReportsEachEntryOnceMore) {
  Write("setup.2", BuildArchive(Files()));
  ASSERT_EQ(OpenFile("setup.2"), LOADERKIT_OK) << Error();
  struct Call {
    int32_t entry;
    int64_t done;
  };
  std::vector<Call> calls;
  auto progress = [](void* context, int32_t entry, int64_t done, int64_t) {
    static_cast<std::vector<Call>*>(context)->push_back({entry, done});
    return 0;
  };
  const std::string deep = std::string("a") + kSep + "b" + kSep + "c";
  ASSERT_EQ(loaderkit_payload_unpack(kit_, At(deep).c_str(), nullptr, 0, 0, progress, &calls),
            LOADERKIT_OK)
      << Error();
  for (const char* name : {"README.txt", "data/sample.csv"}) {
    struct stat st {};
    std::string path = At(deep) + kSep + name;
    for (char& c : path) c = c == '/' ? kSep : c;
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(static_cast<int64_t>(st.st_mtime), 902836800) << path;
  }
  std::vector<int32_t> order;
  for (size_t i = 0; i < calls.size(); ++i) {
    const bool last = i + 1 == calls.size() || calls[i + 1].entry != calls[i].entry;
    if (last) order.push_back(calls[i].entry);
    if (last && i > 0 && calls[i - 1].entry == calls[i].entry) {
      EXPECT_EQ(calls[i].done, calls[i - 1].done);
    }
  }
  EXPECT_EQ(order, (std::vector<int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const Call& c) { return c.entry == 2; }),
            1);
}

}  // namespace
