// The version resource: written, read back, and found in an image through
// its headers and resource directories without reading the rest.

#include "format/pe/version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/pe/resources.h"
#include "tests/support/pe_resource_image.h"

namespace ldr {
namespace {

std::vector<unsigned char> VersionBytes(const std::vector<uint16_t>& file_version) {
  VersionNode root = NewVersionInfo();
  SetFixedVersion(root, kFixedFileVersionAt, file_version);
  SetFixedVersion(root, kFixedProductVersionAt, {9, 9, 9, 9});
  root.Child(AsciiToUtf16("StringFileInfo"))->children[0].children.push_back(VersionNode{});
  VersionNode& text = root.Child(AsciiToUtf16("StringFileInfo"))->children[0].children.back();
  text.key = AsciiToUtf16("ProductName");
  text.type = 1;
  text.SetText(AsciiToUtf16("Demo"));
  return *EmitVersionInfo(root);
}

TEST(VersionInfo, WrittenAndReadBack) {
  const std::vector<unsigned char> bytes = VersionBytes({1, 2, 3, 65535});
  EXPECT_EQ(FixedFileVersion(bytes.data(), bytes.size()), "1.2.3.65535");
  VersionNode root;
  ASSERT_TRUE(ParseVersionInfo(bytes, root));
  EXPECT_EQ(root.Child(AsciiToUtf16("StringFileInfo"))->children[0].children[0].Text(),
            AsciiToUtf16("Demo"));
  EXPECT_EQ(*EmitVersionInfo(root), bytes);
  // Too long for the 16-bit lengths: refused, not wrapped.
  root.children[0].children[0].children[0].SetText(std::u16string(40000, u'x'));
  EXPECT_FALSE(EmitVersionInfo(root));
}

TEST(VersionInfo, DamagedResourcesGiveNothing) {
  const std::vector<unsigned char> bytes = VersionBytes({4, 3, 2, 1});
  for (size_t size = 0; size < bytes.size(); ++size) {
    const std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + size);
    VersionNode root;
    EXPECT_FALSE(ParseVersionInfo(cut, root)) << size;
    const std::string version = FixedFileVersion(cut.data(), cut.size());
    EXPECT_TRUE(version.empty() || version == "4.3.2.1") << size;
  }
  std::vector<unsigned char> bad = bytes;
  bad[40] ^= 1;  // the fixed information's signature
  EXPECT_EQ(FixedFileVersion(bad.data(), bad.size()), "");
  bad = bytes;
  bad[8] = 'X';  // the key
  EXPECT_EQ(FixedFileVersion(bad.data(), bad.size()), "");
}

// Counts the bytes a reader asks for.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(const std::vector<unsigned char>& data) : data_(data) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override {
    bytes += size;
    return MemoryByteSource(data_.data(), data_.size()).ReadAt(offset, buffer, size);
  }
  uint64_t bytes = 0;

 private:
  const std::vector<unsigned char>& data_;
};

TEST(PeFileVersion, ReadsTheHeadersAndTheTreeNotTheWholeFile) {
  const std::vector<unsigned char> version = VersionBytes({2, 17, 300, 1});
  const test::PeImageBytes image =
      test::BuildPe({{kRtManifest, 1, 0x409, std::string(1 << 20, 'm')},
                     {kRtVersion, 7, 0x409, std::string(version.begin(), version.end())}});
  CountingSource file(image.bytes);
  EXPECT_EQ(PeFileVersion(file, image.bytes.size()), "2.17.300.1");
  EXPECT_LT(file.bytes, 4096u);
  // The whole table without the data reads the tree only as well.
  file.bytes = 0;
  ResourceTable table;
  EXPECT_EQ(ResourceTable::Read(file, image.bytes.size(), "x", table, false), "");
  EXPECT_EQ(table.items().size(), 2u);
  EXPECT_LT(file.bytes, 4096u);

  EXPECT_EQ(PeFileVersion(image.bytes.data(), 1000), "");
  const test::PeImageBytes none = test::BuildPe({{kRtManifest, 1, 0x409, "<a/>"}});
  EXPECT_EQ(PeFileVersion(none.bytes.data(), none.bytes.size()), "");
}

}  // namespace
}  // namespace ldr
