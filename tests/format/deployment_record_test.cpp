#include "format/deployment_record.h"

#include <gtest/gtest.h>

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
  return r;
}

TEST(DeploymentRecord, RoundTripAndLayout) {
  unsigned char block[kDeploymentRecordSize];
  EncodeDeploymentRecord(Sample(), block);
  EXPECT_EQ(std::memcmp(block, kDeploymentMark, kDeploymentMarkSize), 0);
  // Little-endian fields at their offsets.
  EXPECT_EQ(block[16], 1);  // version
  EXPECT_EQ(block[20], kDeploymentFilled | kDeploymentSelfExtracting);
  const unsigned char length[] = {0xEF, 0xCD, 0xAB, 0x89};
  EXPECT_EQ(std::memcmp(block + 24, length, 4), 0);
  EXPECT_EQ(block[52 + 31], static_cast<unsigned char>(31 * 7));
  for (size_t i = 84; i < kDeploymentRecordSize; ++i) EXPECT_EQ(block[i], 0) << i;

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
}

TEST(DeploymentRecord, UnfilledOrLaterVersionIsNoRecord) {
  unsigned char block[kDeploymentRecordSize] = {LDR_DEPLOYMENT_MARK};
  DeploymentRecord r;
  EXPECT_FALSE(DecodeDeploymentRecord(block, &r));  // the loader as built
  EncodeDeploymentRecord(Sample(), block);
  block[16] = 2;
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
