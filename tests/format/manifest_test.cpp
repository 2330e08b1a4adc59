#include "format/pe/manifest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace ldr {
namespace {

std::string LoaderManifest() {
  std::ifstream in(LOADERKIT_MANIFEST_SOURCE, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ExecutionLevel, NamesRoundTrip) {
  for (ExecutionLevel level : kExecutionLevels) {
    EXPECT_EQ(ParseExecutionLevel(ExecutionLevelName(level)), level);
  }
  EXPECT_FALSE(ParseExecutionLevel("asinvoker"));
  EXPECT_FALSE(ParseExecutionLevel("requireAdministrator "));
  EXPECT_FALSE(ParseExecutionLevel(""));
}

// The loader's own manifest takes every level; only the attribute and the
// blanks behind it change, and the level reads back.
TEST(SetExecutionLevel, TheLoaderManifestTakesEveryLevel) {
  const std::string built = LoaderManifest();
  ASSERT_FALSE(built.empty()) << LOADERKIT_MANIFEST_SOURCE;
  EXPECT_EQ(ExecutionLevelOf(built), "asInvoker");
  const size_t start = built.find("level=\"asInvoker\"");
  const size_t end = built.find("uiAccess=\"false\"");
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  for (ExecutionLevel level : kExecutionLevels) {
    std::string manifest = built;
    EXPECT_EQ(SetExecutionLevel(manifest.data(), manifest.size(), level), "");
    EXPECT_EQ(ExecutionLevelOf(manifest), std::string(ExecutionLevelName(level)));
    ASSERT_EQ(manifest.size(), built.size());
    EXPECT_EQ(manifest.substr(0, start), built.substr(0, start));
    EXPECT_EQ(manifest.substr(end), built.substr(end));
    // A blank still separates the level from uiAccess.
    EXPECT_EQ(manifest[end - 1], ' ');
  }
}

TEST(SetExecutionLevel, WhereTheAttributeStandsAndHowItIsQuoted) {
  struct Case {
    std::string manifest;
    ExecutionLevel level;
    std::string expected;  // "" when refused
  };
  const Case cases[] = {
      // Last attribute, room up to the end of the element.
      {"<requestedExecutionLevel uiAccess='false' level='asInvoker'            />",
       ExecutionLevel::kRequireAdministrator,
       "<requestedExecutionLevel uiAccess='false' level=\"requireAdministrator\" />"},
      // Exactly the room, closing right behind: no blank needed.
      {"<requestedExecutionLevel level=\"asInvoker\"/>", ExecutionLevel::kAsInvoker,
       "<requestedExecutionLevel level=\"asInvoker\"/>"},
      // Another attribute right behind needs a blank: one byte short.
      {"<requestedExecutionLevel level=\"highestAvailable\"    uiAccess=\"false\"/>",
       ExecutionLevel::kRequireAdministrator, ""},
      {"<requestedExecutionLevel level=\"highestAvailable\"     uiAccess=\"false\"/>",
       ExecutionLevel::kRequireAdministrator,
       "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"},
      // A shorter level leaves blanks behind.
      {"<requestedExecutionLevel\n  level=\"requireAdministrator\" uiAccess=\"false\"/>",
       ExecutionLevel::kAsInvoker,
       "<requestedExecutionLevel\n  level=\"asInvoker\"            uiAccess=\"false\"/>"},
      // An attribute whose name ends in "level" is not the one.
      {"<requestedExecutionLevel xlevel=\"a\" level = \"asInvoker\"    >",
       ExecutionLevel::kHighestAvailable, ""},
  };
  for (const Case& c : cases) {
    std::string manifest = c.manifest;
    const std::string refused = SetExecutionLevel(manifest.data(), manifest.size(), c.level);
    if (c.expected.empty()) {
      EXPECT_NE(refused, "") << c.manifest;
      EXPECT_EQ(manifest, c.manifest) << "left as it was";
    } else {
      EXPECT_EQ(refused, "") << c.manifest;
      EXPECT_EQ(manifest, c.expected);
    }
  }
}

TEST(SetExecutionLevel, RefusedManifestsSayWhy) {
  const struct {
    std::string manifest;
    const char* reason;
  } cases[] = {
      {"<assembly/>", "no <requestedExecutionLevel> element"},
      {"<requestedExecutionLevel level=\"asInvoker\"/><requestedExecutionLevel "
       "level=\"asInvoker\"/>",
       "more than one"},
      {"<requestedExecutionLevel uiAccess=\"false\"/>", "no level attribute"},
      {"<requestedExecutionLevel level=\"asInvoker", "no level attribute"},
      {"<requestedExecutionLevel/>", "no attributes"},
      {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
       "room for 18 bytes, 29"},
  };
  for (const auto& c : cases) {
    std::string manifest = c.manifest;
    const std::string refused =
        SetExecutionLevel(manifest.data(), manifest.size(), ExecutionLevel::kRequireAdministrator);
    EXPECT_NE(refused.find(c.reason), std::string::npos) << c.manifest << ": " << refused;
    EXPECT_EQ(manifest, c.manifest);
  }
  EXPECT_FALSE(ExecutionLevelOf("<assembly/>"));
}

}  // namespace
}  // namespace ldr
