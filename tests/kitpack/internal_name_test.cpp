#include "kitpack/pe/internal_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kitpack/pe/branding.h"

namespace kitpack {
namespace {

std::string InternalNameIn(const std::vector<unsigned char>& resource) {
  for (const auto& [key, value] : VersionStrings(resource))
    if (key == "InternalName") return value;
  return "(none)";
}

// The loader's own version resource names it "loader"; a branded kit takes
// its author's name there too.
TEST(InternalName, FollowsTheOriginalFileNameThenTheProductName) {
  Branding loader_own;
  loader_own.original_filename = "loader.exe";
  loader_own.product_name = "Loader Kit";
  const std::vector<unsigned char> built = VersionResource({}, loader_own);
  ASSERT_EQ(InternalNameIn(built), "loader");

  Branding b;
  b.original_filename = "example-setup.exe";
  b.product_name = "Example";
  EXPECT_EQ(InternalNameIn(VersionResource(built, b)), "example-setup");
  b.original_filename.reset();
  EXPECT_EQ(InternalNameIn(VersionResource(built, b)), "Example");
  b.original_filename = "SETUP";
  EXPECT_EQ(InternalNameIn(VersionResource(built, b)), "SETUP");
  // A copyright alone leaves the name alone.
  Branding other;
  other.copyright = "(c) 2024";
  EXPECT_EQ(InternalNameIn(VersionResource(built, other)), "loader");
}

}  // namespace
}  // namespace kitpack
