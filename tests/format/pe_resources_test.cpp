#include "format/pe/resources.h"

#include <gtest/gtest.h>

#include "tests/support/pe_resource_image.h"

namespace ldr {
namespace {

using test::BuildPe;
using test::PeLayout;
using test::PeResource;

std::optional<FileRange> Find(const std::vector<unsigned char>& image, uint32_t type, uint32_t id) {
  return FindPeResource(image.data(), image.size(), type, id);
}

void Put(std::vector<unsigned char>& b, uint64_t at, uint32_t v, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) b.at(at + i) = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t Get32(const std::vector<unsigned char>& b, uint64_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}

const std::vector<PeResource> kResources = {
    {kRtVersion, 1, 0x409, std::string(92, 'v')},
    {kRtManifest, 1, 0x409, "<assembly/>"},
    {kRtManifest, 2, 0x409, "<isolation/>"},
};

TEST(FindPeResource, FindsEachResourceByTypeAndIdInBothHeaderForms) {
  for (bool plus : {true, false}) {
    for (bool decoys : {false, true}) {
      PeLayout layout;
      layout.pe32_plus = plus;
      layout.named_decoys = decoys;
      const test::PeImageBytes image = BuildPe(kResources, layout);
      for (size_t i = 0; i < kResources.size(); ++i) {
        const std::optional<FileRange> found =
            Find(image.bytes, kResources[i].type, kResources[i].id);
        ASSERT_TRUE(found) << "resource " << i << (plus ? " PE32+" : " PE32")
                           << (decoys ? " decoys" : "");
        EXPECT_EQ(found->offset, image.data_offsets[i]);
        EXPECT_EQ(found->size, kResources[i].data.size());
      }
      EXPECT_FALSE(Find(image.bytes, kRtManifest, 3));
      EXPECT_FALSE(Find(image.bytes, 3, 1));  // RT_ICON: none
    }
  }
}

TEST(FindPeResource, NotAPeImage) {
  for (const std::vector<unsigned char>& bytes :
       {std::vector<unsigned char>{}, std::vector<unsigned char>{'M', 'Z'},
        std::vector<unsigned char>(4096, 0), std::vector<unsigned char>{0x7F, 'E', 'L', 'F'}}) {
    EXPECT_FALSE(Find(bytes, kRtManifest, 1));
  }
}

// Every prefix of a good image: nothing is read past the end, and a resource
// is found only when all of its data is there.
TEST(FindPeResource, EveryTruncationIsSafe) {
  const test::PeImageBytes image = BuildPe(kResources);
  const uint64_t end = image.data_offsets[1] + kResources[1].data.size();
  for (size_t size = 0; size < image.bytes.size(); ++size) {
    const std::optional<FileRange> found = FindPeResource(image.bytes.data(), size, kRtManifest, 1);
    if (found) {
      EXPECT_LE(found->offset + found->size, size);
    }
  }
  EXPECT_TRUE(FindPeResource(image.bytes.data(), image.bytes.size(), kRtManifest, 1));
  EXPECT_LE(end, image.bytes.size());
}

TEST(FindPeResource, DamagedTablesFindNothing) {
  const PeLayout layout;
  const test::PeImageBytes good = BuildPe(kResources, layout);
  struct Case {
    const char* what;
    uint64_t at;
    uint32_t value;
    int bytes;
  };
  const uint64_t section = test::SectionHeaderAt(layout);
  const uint64_t directory = test::ResourceDirectoryEntryAt(layout);
  const uint64_t pe = test::kPeHeaderAt;
  const Case cases[] = {
      {"PE signature", pe, 0x00004551, 4},
      {"optional header magic", pe + 24, 0x010C, 2},
      {"fewer than three data directories", pe + 24 + 108, 2, 4},
      {"optional header too short for the resource entry", pe + 20, 112, 2},
      {"no resource table", directory, 0, 4},
      {"resource table outside every section", directory, 0x9000, 4},
      {"section raw data beyond the file", section + 20, 0x7FFFFF00, 4},
      {"section raw size smaller than its data", section + 16, 0x40, 4},
      {"e_lfanew beyond the file", 0x3C, 0xFFFFFFF0, 4},
      {"more sections than Windows allows", pe + 6, 97, 2},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> bad = good.bytes;
    Put(bad, c.at, c.value, c.bytes);
    EXPECT_FALSE(Find(bad, kRtManifest, 1)) << c.what;
  }
}

TEST(FindPeResource, DataEntryPointingOutsideItsSectionFindsNothing) {
  const test::PeImageBytes good = BuildPe(kResources);
  const uint64_t data = good.data_offsets[1];
  // The data entry of resource 1 lies 16 bytes per resource before the data
  // of resource 0 (see pe_resource_image.cpp).
  const uint64_t entry = good.data_offsets[0] - 16 * kResources.size() + 16;
  const uint32_t rva =
      static_cast<uint32_t>(PeLayout{}.section_rva + (data - PeLayout{}.raw_offset));
  for (uint32_t size : {0x7FFFFFFFu, 0xFFFFFFFFu, 0x10000u}) {
    std::vector<unsigned char> bad = good.bytes;
    ASSERT_EQ(Get32(bad, entry), rva);
    Put(bad, entry + 4, size);
    EXPECT_FALSE(Find(bad, kRtManifest, 1)) << size;
  }
  std::vector<unsigned char> bad = good.bytes;
  Put(bad, entry, 0x100);  // before the section
  EXPECT_FALSE(Find(bad, kRtManifest, 1));
}

}  // namespace
}  // namespace ldr
