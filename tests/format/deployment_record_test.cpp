#include "format/deployment_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace ldr {
namespace {

DeploymentRecord Sample() {
  DeploymentRecord r;
  r.flags = kDeploymentSelfExtracting;
  r.kit_length = 0x89ABCDEF;
  r.archive_start = 61440;
  r.archive_end = 350488;
  r.second_archive_start = 350489;
  r.second_archive_end = 2321315;
  r.trailer_offset = 2321316;
  r.setup1_length = 7;
  for (size_t i = 0; i < 32; ++i) r.setup1_sha256[i] = static_cast<unsigned char>(i * 7);
  r.flags |= kDeploymentSetup2Digest;
  r.setup2_length = 0x01020304;
  for (size_t i = 0; i < 32; ++i) r.setup2_sha256[i] = static_cast<unsigned char>(255 - i);
  return r;
}

TEST(DeploymentRecord, RoundTripAndLayout) {
  unsigned char block[kDeploymentRecordSize];
  EncodeDeploymentRecord(Sample(), block);
  EXPECT_EQ(std::memcmp(block, kDeploymentMark, kDeploymentMarkSize), 0);
  // Little-endian fields at their offsets.
  EXPECT_EQ(block[16], 2);  // version
  EXPECT_EQ(block[20], kDeploymentFilled | kDeploymentSelfExtracting | kDeploymentSetup2Digest);
  const unsigned char length[] = {0xEF, 0xCD, 0xAB, 0x89};
  EXPECT_EQ(std::memcmp(block + 24, length, 4), 0);
  EXPECT_EQ(block[52 + 31], static_cast<unsigned char>(31 * 7));
  const unsigned char length2[] = {0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(std::memcmp(block + 84, length2, 4), 0);
  EXPECT_EQ(block[88], 255);
  EXPECT_EQ(block[88 + 31], 255 - 31);
  for (size_t i = 120; i < kDeploymentRecordSize; ++i) EXPECT_EQ(block[i], 0) << i;

  DeploymentRecord back;
  ASSERT_TRUE(DecodeDeploymentRecord(block, &back));
  const DeploymentRecord want = Sample();
  EXPECT_EQ(back.version, kDeploymentVersion);
  EXPECT_EQ(back.flags, want.flags | kDeploymentFilled);
  EXPECT_EQ(back.kit_length, want.kit_length);
  EXPECT_EQ(back.archive_start, want.archive_start);
  EXPECT_EQ(back.archive_end, want.archive_end);
  EXPECT_EQ(back.second_archive_start, want.second_archive_start);
  EXPECT_EQ(back.second_archive_end, want.second_archive_end);
  EXPECT_EQ(back.trailer_offset, want.trailer_offset);
  EXPECT_EQ(back.setup1_length, want.setup1_length);
  EXPECT_EQ(back.setup1_sha256, want.setup1_sha256);
  EXPECT_EQ(back.setup2_length, want.setup2_length);
  EXPECT_EQ(back.setup2_sha256, want.setup2_sha256);
}

// A loader built before setup.2 was recorded: its unfilled block is the
// mark and zeros, 96 bytes, and it is filled in that layout, which has no
// place for setup.2. The loader as built now says its layout unfilled.
TEST(DeploymentRecord, OlderLayoutIsToldByItsVersionAndKeepsItsSize) {
  std::vector<unsigned char> image(300, 0xEE);
  std::memcpy(image.data() + 100, kDeploymentMark, kDeploymentMarkSize);
  std::fill(image.begin() + 116, image.begin() + 196, 0);
  EXPECT_EQ(DeploymentBlockLayout(image.data() + 100, 200), 1u);
  EXPECT_EQ(DeploymentBlockLayout(image.data() + 100, 95), 0u);  // cut short
  DeploymentRecord r;
  EXPECT_FALSE(DecodeDeploymentBlock(image.data() + 100, 200, &r));
  EncodeDeploymentBlock(Sample(), 1, image.data() + 100);
  EXPECT_EQ(image[116], 1);
  EXPECT_EQ(image[120], kDeploymentFilled | kDeploymentSelfExtracting);  // no setup.2 flag
  EXPECT_EQ(image[196], 0xEE);                                           // nothing past 96 bytes
  EXPECT_EQ(DeploymentBlockLayout(image.data() + 100, 200), 1u);
  ASSERT_TRUE(DecodeDeploymentBlock(image.data() + 100, 200, &r));
  EXPECT_EQ(r.version, 1u);
  EXPECT_EQ(r.setup1_sha256, Sample().setup1_sha256);
  EXPECT_EQ(r.setup2_length, 0u);
  EXPECT_FALSE(r.has_setup2_digest());
  // The loader's own decoder takes only its own version.
  unsigned char own[kDeploymentRecordSize] = {};
  std::memcpy(own, image.data() + 100, kDeploymentRecordSizeV1);
  EXPECT_FALSE(DecodeDeploymentRecord(own, &r));

  const unsigned char as_built[kDeploymentRecordSize] = {LDR_DEPLOYMENT_BLOCK_AS_BUILT};
  EXPECT_EQ(DeploymentBlockLayout(as_built, sizeof as_built), 2u);
  EXPECT_EQ(DeploymentBlockLayout(as_built, 100), 0u);  // a version 2 block needs 128 bytes
  EXPECT_FALSE(DecodeDeploymentBlock(as_built, sizeof as_built, &r));
  unsigned char later[kDeploymentRecordSize] = {LDR_DEPLOYMENT_MARK, 3};
  EXPECT_EQ(DeploymentBlockLayout(later, sizeof later), 0u);
}

TEST(DeploymentRecord, UnfilledOrLaterVersionIsNoRecord) {
  unsigned char block[kDeploymentRecordSize] = {LDR_DEPLOYMENT_BLOCK_AS_BUILT};
  DeploymentRecord r;
  EXPECT_FALSE(DecodeDeploymentRecord(block, &r));  // the loader as built
  EncodeDeploymentRecord(Sample(), block);
  block[16] = 3;
  EXPECT_FALSE(DecodeDeploymentRecord(block, &r));
}

TEST(DeploymentRecord, FoundOnlyWhenTheMarkOccursOnce) {
  std::vector<unsigned char> image(1000, 0x90);
  EXPECT_EQ(FindDeploymentBlock(image.data(), image.size()), -1);
  std::memcpy(image.data() + 300, kDeploymentMark, kDeploymentMarkSize);
  EXPECT_EQ(FindDeploymentBlock(image.data(), image.size()), 300);
  // A mark too near the end to hold a whole block does not count.
  std::memcpy(image.data() + 950, kDeploymentMark, kDeploymentMarkSize);
  EXPECT_EQ(FindDeploymentBlock(image.data(), image.size()), 300);
  std::memcpy(image.data() + 600, kDeploymentMark, kDeploymentMarkSize);
  EXPECT_EQ(FindDeploymentBlock(image.data(), image.size()), -2);
}

}  // namespace
}  // namespace ldr
