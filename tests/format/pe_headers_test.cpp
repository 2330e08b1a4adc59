// The PE headers and section table, over images built in memory: what the
// loader's security entry and kitpack's section table need of them, and where
// each of the two stops reading.

#include "format/pe/headers.h"

#include <gtest/gtest.h>

#include <string>

#include "format/pe/layout.h"
#include "tests/support/pe_builder.h"

namespace ldr {
namespace {

using testing::PeImage;
using testing::PeKind;
using testing::PutU16;
using testing::PutU32;

std::optional<PeHeaders> Headers(const std::string& file) {
  MemoryByteSource bytes(reinterpret_cast<const unsigned char*>(file.data()), file.size());
  PeHeaders headers;
  if (!ReadPeHeaders(bytes, file.size(), headers)) return std::nullopt;
  return headers;
}

std::optional<PeLayout> Layout(const std::string& file) {
  return ReadPeLayout(reinterpret_cast<const unsigned char*>(file.data()), file.size());
}

TEST(PeHeaders, FieldsAndOffsetsOfBothForms) {
  for (PeKind kind : {PeKind::kPe32, PeKind::kPe32Plus}) {
    const bool plus = kind == PeKind::kPe32Plus;
    std::string image = PeImage(kind);
    PutU32(image, testing::kPeOptionalHeader + 60, 0x400);             // SizeOfHeaders
    PutU32(image, testing::PeSecurityEntryOffset(kind) - 16, 0x3000);  // resource entry
    const std::optional<PeHeaders> h = Headers(image);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->pe32_plus, plus);
    EXPECT_EQ(h->machine, plus ? 0x8664 : 0x14C);
    EXPECT_EQ(h->size_of_headers, 0x400u);
    EXPECT_EQ(h->checksum_offset, testing::kPeChecksum);
    EXPECT_EQ(h->DirectoryOffset(kPeSecurityDirectory), testing::PeSecurityEntryOffset(kind));
    EXPECT_EQ(h->directory_count, 16u);
    EXPECT_EQ(h->directories_read, 16u);
    EXPECT_EQ(h->Directory(kPeResourceDirectory)->address, 0x3000u);
    EXPECT_EQ(h->section_table_offset, testing::kPeOptionalHeader + (plus ? 240u : 224u));
  }
}

// The loader's reader takes the directories a cut file still holds; the
// section table reader wants the whole optional header and the table.
TEST(PeHeaders, DirectoriesAsFarAsTheFileHoldsThem) {
  const PeKind kind = PeKind::kPe32Plus;
  const std::string image = PeImage(kind);
  const size_t directories = testing::kPeOptionalHeader + 112;
  for (size_t held : {0, 3, 5, 16}) {
    SCOPED_TRACE(held);
    const std::string cut = image.substr(0, directories + held * 8 + 4);
    const std::optional<PeHeaders> h = Headers(cut);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->directories_read, held);
    EXPECT_EQ(h->Directory(kPeSecurityDirectory).has_value(), held > 4);
    EXPECT_EQ(Layout(cut).has_value(), held == 16);
  }
  EXPECT_FALSE(Headers(image.substr(0, directories - 1)));
  // The declared count and the header's size limit the directories too.
  std::string fewer = image;
  PutU32(fewer, directories - 4, 3);
  EXPECT_EQ(Headers(fewer)->directories_read, 3u);
  std::string shorter = image;
  PutU16(shorter, testing::kPeHeaderOffset + 20, 112 + 2 * 8 + 7);
  EXPECT_EQ(Headers(shorter)->directory_count, 2u);
}

TEST(PeLayout, SectionTableMustLieInTheFileAndBeOfWindowsSize) {
  const PeKind kind = PeKind::kPe32;
  std::string image = PeImage(kind, 2048);
  const size_t table = testing::kPeOptionalHeader + 224;
  PutU16(image, testing::kPeHeaderOffset + 6, 2);
  PutU32(image, table + 8, 0x200);    // VirtualSize
  PutU32(image, table + 12, 0x1000);  // VirtualAddress
  PutU32(image, table + 16, 0x200);   // SizeOfRawData
  PutU32(image, table + 20, 0x400);   // PointerToRawData
  PutU32(image, table + 40 + 16, 0x100);
  PutU32(image, table + 40 + 20, 0x700);
  const std::optional<PeLayout> l = Layout(image);
  ASSERT_TRUE(l);
  ASSERT_EQ(l->sections.size(), 2u);
  EXPECT_EQ(l->sections[1].header_offset, table + 40);
  EXPECT_EQ(l->FileOffset(0x1010, 0x1F0), 0x410u);
  EXPECT_FALSE(l->FileOffset(0x1010, 0x1F1));  // past the section's file data
  EXPECT_FALSE(l->FileOffset(0x2000, 1));
  EXPECT_EQ(l->ImageEnd(), 0x800u);
  EXPECT_FALSE(Layout(image.substr(0, table + 79)));
  PutU16(image, testing::kPeHeaderOffset + 6, 97);
  EXPECT_FALSE(Layout(image + std::string(97 * 40, '\0')));
}

TEST(PeSignatureOffset, NeedsOnlyMzAndThePointedSignature) {
  std::string image = PeImage(PeKind::kPe32);
  PutU16(image, testing::kPeOptionalHeader, 0x107);  // a magic no reader takes
  MemoryByteSource bytes(reinterpret_cast<const unsigned char*>(image.data()), image.size());
  EXPECT_EQ(PeSignatureOffset(bytes, image.size()), testing::kPeHeaderOffset);
  EXPECT_FALSE(Headers(image));
  EXPECT_FALSE(PeSignatureOffset(bytes, testing::kPeHeaderOffset + 3));
  EXPECT_FALSE(PeSignatureOffset(bytes, 63));
}

}  // namespace
}  // namespace ldr
