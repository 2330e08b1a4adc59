// The trailer finder and the security-entry reader over PE images built in
// memory. Every read they ask for is checked to lie inside the file.

#include "format/trailer_location.h"

#include <gtest/gtest.h>

#include <string>

#include "format/records.h"
#include "tests/support/archive_builder.h"
#include "tests/support/pe_builder.h"

namespace ldr {
namespace {

using testing::AppendCertificateTable;
using testing::BuildArchive;
using testing::BuildSelfExtracting;
using testing::FileEntry;
using testing::PeImage;
using testing::PeKind;
using testing::PutU16;
using testing::PutU32;
using testing::SetSecurityEntry;

// Fails the test on any read outside the file, then reads from memory.
class StrictBytes final : public ByteSource {
 public:
  explicit StrictBytes(const std::string& file) : file_(file) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override {
    EXPECT_TRUE(RangeInside(offset, size, file_.size())) << "read of " << size << " at " << offset;
    ++reads;
    return MemoryByteSource(reinterpret_cast<const unsigned char*>(file_.data()), file_.size())
        .ReadAt(offset, buffer, size);
  }
  int reads = 0;

 private:
  const std::string& file_;
};

TrailerLocation Locate(const std::string& file) {
  StrictBytes bytes(file);
  return LocateTrailer(bytes, file.size());
}

PeSecurityEntry Entry(const std::string& file) {
  StrictBytes bytes(file);
  return ReadPeSecurityEntry(bytes, file.size());
}

bool MarkedAt(const std::string& file, int64_t offset) {
  unsigned char record[kTrailerSize];
  file.copy(reinterpret_cast<char*>(record), kTrailerSize, static_cast<size_t>(offset));
  return IsSelfExtracting(DecodeTrailer(record));
}

std::string Kit(PeKind kind, size_t image_size = 1024) {
  return BuildSelfExtracting(PeImage(kind, image_size),
                             BuildArchive({FileEntry("C:\\KIT\\install.exe", "MZ installer")}),
                             BuildArchive({FileEntry("readme.txt", "payload")}));
}

void ExpectPlain(const std::string& file) {
  const TrailerLocation at = Locate(file);
  EXPECT_FALSE(at.before_certificates);
  EXPECT_EQ(at.offset, static_cast<int64_t>(file.size()) - static_cast<int64_t>(kTrailerSize));
}

const PeKind kKinds[] = {PeKind::kPe32, PeKind::kPe32Plus};

TEST(PeSecurityEntry, FieldsOfPe32AndPe32Plus) {
  for (PeKind kind : kKinds) {
    SCOPED_TRACE(kind == PeKind::kPe32 ? "PE32" : "PE32+");
    std::string image = PeImage(kind);
    SetSecurityEntry(image, kind, 0x1234, 0x56);
    const PeSecurityEntry entry = Entry(image);
    ASSERT_TRUE(entry.found);
    EXPECT_EQ(entry.pe32_plus, kind == PeKind::kPe32Plus);
    EXPECT_EQ(entry.checksum_offset, testing::kPeChecksum);
    EXPECT_EQ(entry.entry_offset, testing::PeSecurityEntryOffset(kind));
    EXPECT_EQ(entry.table_offset, 0x1234u);
    EXPECT_EQ(entry.table_size, 0x56u);
    EXPECT_TRUE(entry.NamesTable());
  }
}

TEST(LocateTrailer, UnsignedKitsAndImagesWithoutASecurityEntryKeepTheLast56Bytes) {
  for (PeKind kind : kKinds) {
    const std::string kit = Kit(kind);
    EXPECT_TRUE(Entry(kit).found);
    EXPECT_FALSE(Entry(kit).NamesTable());
    ExpectPlain(kit);
    EXPECT_TRUE(MarkedAt(kit, Locate(kit).offset));
    // A table offset without a size, or a size without an offset, names
    // nothing.
    std::string half = kit;
    SetSecurityEntry(half, kind, static_cast<uint32_t>(kit.size() - 8), 0);
    ExpectPlain(half);
    SetSecurityEntry(half, kind, 0, 8);
    ExpectPlain(half);
  }
}

TEST(LocateTrailer, TableAtTheEndAfterZeroToSevenPaddingBytes) {
  for (PeKind kind : kKinds) {
    for (size_t padding = 0; padding <= 7; ++padding) {
      SCOPED_TRACE(padding);
      const std::string kit = Kit(kind);
      const std::string signed_kit = AppendCertificateTable(kit, kind, padding, 1500);
      const TrailerLocation at = Locate(signed_kit);
      EXPECT_TRUE(at.before_certificates);
      EXPECT_EQ(at.offset, static_cast<int64_t>(kit.size() - kTrailerSize));
      EXPECT_EQ(at.padding, padding);
      EXPECT_EQ(at.certificate_offset, kit.size() + padding);
      EXPECT_EQ(at.certificate_size, 1500u);
      EXPECT_TRUE(MarkedAt(signed_kit, at.offset));
    }
  }
}

TEST(LocateTrailer, SignedImageWithoutAKitGivesTheBytesBeforeTheTable) {
  // A signed bare loader: nothing before the table carries the mark, so
  // the record read there is not self-extracting and setup.1 is looked for.
  const std::string image = PeImage(PeKind::kPe32Plus, 4096);
  const std::string signed_image = AppendCertificateTable(image, PeKind::kPe32Plus, 0);
  const TrailerLocation at = Locate(signed_image);
  EXPECT_TRUE(at.before_certificates);
  EXPECT_EQ(at.offset, static_cast<int64_t>(image.size() - kTrailerSize));
  EXPECT_FALSE(MarkedAt(signed_image, at.offset));
}

TEST(LocateTrailer, PaddingMustBeZeroBytesAndAtMostSeven) {
  const PeKind kind = PeKind::kPe32;
  // A non-zero byte between trailer and table: the trailer is not skipped to.
  std::string kit = Kit(kind) + std::string("\0\x01\0", 3);
  std::string signed_kit = AppendCertificateTable(kit, kind, 0);
  TrailerLocation at = Locate(signed_kit);
  EXPECT_TRUE(at.before_certificates);
  EXPECT_EQ(at.offset, static_cast<int64_t>(kit.size() - kTrailerSize));
  EXPECT_FALSE(MarkedAt(signed_kit, at.offset));
  // Eight zero bytes are more than a signing tool adds.
  kit = Kit(kind);
  signed_kit = AppendCertificateTable(kit, kind, 8);
  at = Locate(signed_kit);
  EXPECT_FALSE(MarkedAt(signed_kit, at.offset));
  EXPECT_EQ(at.offset, static_cast<int64_t>(kit.size() + 8 - kTrailerSize));
}

TEST(LocateTrailer, TableThatDoesNotEndTheFileOrLiesOutsideIt) {
  for (PeKind kind : kKinds) {
    const std::string signed_kit = AppendCertificateTable(Kit(kind), kind, 0, 1000);
    const uint32_t table = static_cast<uint32_t>(signed_kit.size() - 1000);
    // Bytes appended after signing: the table no longer ends the file.
    ExpectPlain(signed_kit + "appended after signing");
    struct Case {
      const char* name;
      uint32_t offset, size;
    };
    const Case cases[] = {
        {"ends before the end", table, 999},
        {"ends past the end", table, 1001},
        {"starts past the end", static_cast<uint32_t>(signed_kit.size() + 8), 8},
        {"offset and size wrap in 32 bits", 0xFFFFFFF0u,
         0x10u + static_cast<uint32_t>(signed_kit.size())},
        {"both at their largest", 0xFFFFFFFFu, 0xFFFFFFFFu},
        {"shorter than a certificate header", static_cast<uint32_t>(signed_kit.size() - 7), 7},
        {"no room for a trailer before it", 40, static_cast<uint32_t>(signed_kit.size() - 40)},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      std::string file = signed_kit;
      SetSecurityEntry(file, kind, c.offset, c.size);
      ExpectPlain(file);
    }
  }
}

TEST(LocateTrailer, DamagedHeadersFallBackToTheLast56Bytes) {
  const PeKind kind = PeKind::kPe32;
  const std::string good = AppendCertificateTable(Kit(kind), kind, 3);
  ASSERT_TRUE(Locate(good).before_certificates);
  struct Case {
    const char* name;
    void (*damage)(std::string&);
  };
  const Case cases[] = {
      {"no MZ", [](std::string& f) { f[1] = 'X'; }},
      {"e_lfanew far past the end", [](std::string& f) { PutU32(f, 0x3C, 0xFFFFFFF0u); }},
      {"e_lfanew just past the end",
       [](std::string& f) { PutU32(f, 0x3C, static_cast<uint32_t>(f.size())); }},
      {"e_lfanew leaving no room for the headers",
       [](std::string& f) { PutU32(f, 0x3C, static_cast<uint32_t>(f.size() - 20)); }},
      {"e_lfanew pointing at the DOS header", [](std::string& f) { PutU32(f, 0x3C, 0); }},
      {"no PE signature", [](std::string& f) { f[testing::kPeHeaderOffset + 2] = 'X'; }},
      {"ROM image magic", [](std::string& f) { PutU16(f, testing::kPeOptionalHeader, 0x107); }},
      {"PE32+ magic on a PE32 header",
       [](std::string& f) { PutU16(f, testing::kPeOptionalHeader, 0x20B); }},
      {"optional header declared too short for entry 4",
       [](std::string& f) { PutU16(f, testing::kPeHeaderOffset + 20, 96 + 4 * 8); }},
      {"only four data directories",
       [](std::string& f) { PutU32(f, testing::kPeOptionalHeader + 92, 4); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = good;
    c.damage(file);
    ExpectPlain(file);
  }
}

TEST(LocateTrailer, FileEndingInsideTheOptionalHeader) {
  for (PeKind kind : kKinds) {
    const std::string image = PeImage(kind);
    const size_t entry_end = testing::PeSecurityEntryOffset(kind) + 8;
    for (size_t size : {testing::kPeOptionalHeader + 1, testing::kPeChecksum, entry_end - 1}) {
      SCOPED_TRACE(size);
      const std::string cut = image.substr(0, size);
      EXPECT_FALSE(Entry(cut).found);
      ExpectPlain(cut);
    }
    EXPECT_TRUE(Entry(image.substr(0, entry_end)).found);
  }
}

TEST(LocateTrailer, NonPeAndShortFiles) {
  ExpectPlain(std::string(5000, 'x'));
  ExpectPlain(
      BuildSelfExtracting(std::string(300, '\x7F'), BuildArchive({FileEntry("a.exe", "a")})));
  for (size_t size : {0, 1, 55}) {
    SCOPED_TRACE(size);
    const std::string file = "MZ" + std::string(size > 2 ? size - 2 : 0, '\0');
    const TrailerLocation at = Locate(file.substr(0, size));
    EXPECT_FALSE(at.before_certificates);
    EXPECT_LT(at.offset, 0);
  }
  // 56 bytes exactly: the whole file is the trailer; too short for a DOS header.
  EXPECT_EQ(Locate(std::string(56, 'M')).offset, 0);
}

}  // namespace
}  // namespace ldr
