// The resource writer and the pieces of branding: what the Python tests
// cannot reach from the command line (damaged trees, layouts, the BMP rules).

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/pe/layout.h"
#include "format/pe/version.h"
#include "kitpack/host/files.h"
#include "kitpack/pe/branding.h"
#include "kitpack/pe/pe_resources.h"

namespace kitpack {
namespace {

std::vector<unsigned char> TestPe() { return ReadWholeFile(KITPACK_TEST_PE); }

// A 32x32 4-bit BMP with a 16-entry palette and `gap` bytes between the
// palette and the pixels, which the resource must not keep.
std::vector<unsigned char> FourBitBmp(int32_t height, uint32_t gap) {
  const uint32_t pixels_at = 14 + 40 + 64 + gap;
  std::vector<unsigned char> f(pixels_at + 16 * 32, 0);
  f[0] = 'B';
  f[1] = 'M';
  ldr::PutU32(&f[10], pixels_at);
  ldr::PutU32(&f[14], 40);
  ldr::PutU32(&f[18], 32);
  ldr::PutU32(&f[22], static_cast<uint32_t>(height));
  ldr::PutU16(&f[26], 1);
  ldr::PutU16(&f[28], 4);
  for (uint32_t i = 0; i < 64; ++i) f[54 + i] = static_cast<unsigned char>(i);
  for (uint32_t i = 0; i < 16 * 32; ++i) f[pixels_at + i] = static_cast<unsigned char>(i * 7);
  return f;
}

TEST(Branding, VersionNumbers) {
  EXPECT_EQ(ParseVersionNumbers("2"), (std::vector<uint16_t>{2, 0, 0, 0}));
  EXPECT_EQ(ParseVersionNumbers("1.2.3.65535"), (std::vector<uint16_t>{1, 2, 3, 65535}));
  for (const char* bad : {"", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "1.x", "1 .2", "-1"})
    EXPECT_FALSE(ParseVersionNumbers(bad)) << bad;
}

TEST(Branding, BitmapResourceDropsTheFileHeaderAndAnyGap) {
  for (int32_t height : {32, -32}) {
    const std::vector<unsigned char> file = FourBitBmp(height, 10);
    const std::vector<unsigned char> res = BitmapResource(file, "p.bmp");
    ASSERT_EQ(res.size(), 40u + 64u + 16u * 32u);
    EXPECT_TRUE(std::equal(res.begin() + 40, res.begin() + 104, file.begin() + 54));
    EXPECT_TRUE(std::equal(res.begin() + 104, res.end(), file.begin() + 14 + 40 + 64 + 10));
    EXPECT_EQ(ldr::GetU32(&res[20]), 16u * 32u);  // biSizeImage
  }
  std::vector<unsigned char> cut = FourBitBmp(32, 0);
  cut.resize(cut.size() - 1);
  EXPECT_THROW(BitmapResource(cut, "p.bmp"), KitError);
  std::vector<unsigned char> tall = FourBitBmp(33, 0);
  try {
    BitmapResource(tall, "p.bmp");
    FAIL();
  } catch (const KitError& e) {
    EXPECT_STREQ(e.what(), "p.bmp is 32x33 pixels; the loader's picture must be 32x32");
  }
}

TEST(Branding, VersionResourceKeepsWhatItIsNotTold) {
  ResourceTable table = ReadResources(TestPe(), "t");
  std::vector<Resource*> found = table.Find(ResourceId::Number(kRtVersion), ResourceId::Number(1));
  ASSERT_EQ(found.size(), 1u);
  Branding b;
  b.company = "Gr\xC3\xBC\xC3\x9F Gott \xF0\x9F\x98\x80";  // UTF-8, with a surrogate pair
  b.product_version = "7.1";
  const std::vector<unsigned char> out = VersionResource(found[0]->data, b);
  const auto strings = VersionStrings(out);
  ASSERT_EQ(strings.size(), 3u);
  EXPECT_EQ(strings[0], (std::pair<std::string, std::string>{"FileVersion", "not the fixed one"}));
  EXPECT_EQ(strings[1], (std::pair<std::string, std::string>{"CompanyName", *b.company}));
  EXPECT_EQ(strings[2], (std::pair<std::string, std::string>{"ProductVersion", "7.1"}));
  // The fixed file version stays, the product version changes.
  Resource changed = *found[0];
  changed.data = out;
  table.Remove(changed.type, changed.name);
  table.items().push_back(changed);
  std::vector<unsigned char> image = TestPe();
  WriteResourceTable(image, table, "t");
  EXPECT_EQ(ldr::PeFileVersion(image.data(), image.size()), "2.17.300.65535");

  b.copyright = std::string("\xC3\x28");
  EXPECT_THROW(VersionResource(found[0]->data, b), KitError);
}

TEST(Branding, LayoutSortsNamesBeforeNumbersAndReadsBack) {
  ResourceTable table;
  auto add = [&](ResourceId type, ResourceId name, uint32_t language, size_t size) {
    Resource r;
    r.type = type;
    r.name = name;
    r.language = language;
    r.data.assign(size, static_cast<unsigned char>(size));
    table.items().push_back(r);
  };
  add(ResourceId::Number(kRtBitmap), ResourceId::Text("ZETA"), 1033, 3);
  add(ResourceId::Number(kRtBitmap), ResourceId::Text("ALPHA"), 1033, 5);
  add(ResourceId::Number(kRtBitmap), ResourceId::Number(7), 1033, 1);
  add(ResourceId::Text("CUSTOM"), ResourceId::Number(1), 0, 9);
  add(ResourceId::Number(kRtIcon), ResourceId::Number(2), 1031, 11);
  add(ResourceId::Number(kRtIcon), ResourceId::Number(2), 1033, 13);
  const std::vector<unsigned char> bytes = table.Layout(0x5000);
  // Root: one named type, then types 2 and 3.
  EXPECT_EQ(ldr::GetU16(&bytes[12]), 1u);
  EXPECT_EQ(ldr::GetU16(&bytes[14]), 2u);
  EXPECT_NE(ldr::GetU32(&bytes[16]) & 0x80000000u, 0u);
  EXPECT_EQ(ldr::GetU32(&bytes[24]), kRtBitmap);
  EXPECT_EQ(ldr::GetU32(&bytes[32]), kRtIcon);

  std::vector<unsigned char> image = TestPe();
  WriteResourceTable(image, table, "t");
  ResourceTable back = ReadResources(image, "t");
  ASSERT_EQ(back.items().size(), table.items().size());
  for (const Resource& r : table.items()) {
    bool seen = false;
    for (const Resource& b : back.items())
      seen = seen ||
             (b.type == r.type && b.name == r.name && b.language == r.language && b.data == r.data);
    EXPECT_TRUE(seen) << r.type.Shown() << "/" << r.name.Shown() << "/" << r.language;
  }
  // Written twice, the image stays the same size: the section is replaced.
  const size_t once = image.size();
  WriteResourceTable(image, back, "t");
  EXPECT_EQ(image.size(), once);
  const ldr::PeLayout layout = *ldr::ReadPeLayout(image.data(), image.size());
  EXPECT_EQ(ldr::GetU32(image.data() + layout.checksum_offset),
            ldr::PeChecksum(image.data(), image.size(), layout.checksum_offset));
}

TEST(Branding, DamagedTreesAreRefused) {
  const std::vector<unsigned char> pe = TestPe();
  const ldr::PeLayout layout = *ldr::ReadPeLayout(pe.data(), pe.size());
  const uint32_t rva = layout.Directory(ldr::kPeResourceDirectory)->address;
  const uint64_t root = *layout.FileOffset(rva, 16);
  struct Case {
    const char* what;
    uint64_t at;
    uint32_t value;
  } cases[] = {
      {"type entry points outside", root + 20, 0x80FFFFF0u},
      {"type entry is a loop to the root", root + 20, 0x80000000u},
      {"type entry is a data entry", root + 20, 0x10u},
      {"too many entries", root + 14, 0xFFFFu},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> image = pe;
    ldr::PutU32(&image[c.at], c.value);
    if (std::string(c.what) == "too many entries") ldr::PutU16(&image[c.at], c.value);
    EXPECT_THROW(ReadResources(image, "t"), KitError) << c.what;
  }
  // Not a PE image at all, and one with data after its last section.
  EXPECT_THROW(ReadResources(std::vector<unsigned char>(100, 'M'), "t"), KitError);
  std::vector<unsigned char> longer = pe;
  longer.push_back('x');
  try {
    WriteResourceTable(longer, ReadResources(pe, "t"), "the loader x.exe");
    FAIL();
  } catch (const KitError& e) {
    EXPECT_NE(std::string(e.what()).find("has data after its last section"), std::string::npos);
  }
}

}  // namespace
}  // namespace kitpack
