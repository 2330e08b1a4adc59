#include "loader/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ldr {
namespace {

struct Case {
  const char* line;
  bool ok;
  std::string summary;  // what was read, in a short form
};

std::string Summary(const Switches& s) {
  std::string out;
  if (s.to_disk) out += "todisk ";
  if (s.silent) out += "S ";
  if (s.wait) out += "WAIT ";
  if (s.no_wait) out += "NOWAIT ";
  if (s.keep) out += "KEEP ";
  if (s.ignored) out += "ignored ";
  if (s.help) out += "? ";
  if (!s.log.empty()) out += "LOG=" + std::string(s.log) + " ";
  if (!s.extract.empty()) out += "EXTRACT=" + std::string(s.extract) + " ";
  if (!s.temp.empty()) out += "TEMP=" + std::string(s.temp) + " ";
  if (s.installer_arguments != 0) out += "-- ";
  if (!s.refused.empty()) out += "refused:" + std::string(s.refused);
  return out;
}

TEST(Switches, TableOfCommandLines) {
  const std::vector<Case> cases = {
      {"setup.exe", true, ""},
      {"setup.exe /S", true, "S "},
      {"setup.exe -s /wait /Keep", true, "S WAIT KEEP "},
      {"setup.exe *todisk /S", true, "todisk S "},
      {"setup.exe /S *TODISK", false, "S refused:*TODISK"},  // only first
      {"setup.exe /LOG=C:\\a.log", true, "LOG=C:\\a.log "},
      {"setup.exe \"/LOG=C:\\my logs\\a.log\"", true, "LOG=C:\\my logs\\a.log "},
      {"setup.exe /extract=out /temp=D:\\t", true, "EXTRACT=out TEMP=D:\\t "},
      {"setup.exe /LOG=", false, "refused:/LOG="},
      {"setup.exe /LOG", false, "refused:/LOG"},
      {"setup.exe /S=1", false, "refused:/S=1"},
      // What administrators type for other installers.
      {"setup.exe /VERYSILENT /SUPPRESSMSGBOXES /NORESTART", true, "S ignored "},
      {"setup.exe /quiet /norestart", true, "S ignored "},
      {"setup.exe /qn", true, "S "},
      {"setup.exe -q /silent", true, "S "},
      {"setup.exe /help", true, "? "},
      {"setup.exe -h", true, "? "},
      {"setup.exe /qb", false, "refused:/qb"},
      {"setup.exe /S /NOWAIT", true, "S NOWAIT "},
      {"setup.exe /WAIT /NOWAIT", false, "WAIT NOWAIT refused:/NOWAIT"},
      {"setup.exe --help", false, "refused:--help"},
      {"setup.exe /", false, "refused:/"},
      {"setup.exe other", false, "refused:other"},
      {"setup.exe /? /S", true, "S ? "},
      {"setup.exe -?", true, "? "},
      {"setup.exe /WAIT -- /S \"a b\" x&y", true, "WAIT -- "},
      {"setup.exe --", true, "-- "},
  };
  for (const Case& c : cases) {
    Switches s;
    EXPECT_EQ(ParseSwitches(c.line, &s), c.ok) << c.line;
    EXPECT_EQ(Summary(s), c.summary) << c.line;
  }
}

// A silent run waits, as every installer's silent mode does, unless told
// not to.
TEST(Switches, SilentRunsWaitUnlessToldNotTo) {
  const struct {
    const char* line;
    bool waits;
  } cases[] = {
      {"setup.exe", false},      {"setup.exe /S", true},       {"setup.exe /S /NOWAIT", false},
      {"setup.exe /WAIT", true}, {"setup.exe /NOWAIT", false}, {"setup.exe /quiet", true}};
  for (const auto& c : cases) {
    Switches s;
    ASSERT_TRUE(ParseSwitches(c.line, &s)) << c.line;
    EXPECT_EQ(s.waits(), c.waits) << c.line;
  }
}

TEST(Switches, AnyOnlyForSwitchesProper) {
  Switches none;
  ASSERT_TRUE(ParseSwitches("setup.exe *TODISK", &none));
  EXPECT_FALSE(none.any());  // *TODISK keeps the plain behaviour
  Switches separator;
  ASSERT_TRUE(ParseSwitches("setup.exe --", &separator));
  EXPECT_TRUE(separator.any());
}

TEST(Switches, InstallerArgumentsStartAfterTheSeparator) {
  const std::string line = "setup.exe /WAIT -- /S \"a b\"";
  Switches s;
  ASSERT_TRUE(ParseSwitches(line, &s));
  EXPECT_EQ(line.substr(s.installer_arguments), " /S \"a b\"");
}

TEST(Switches, AValueLongerThanAPathIsRefusedNotCut) {
  Switches s;
  const std::string line = "setup.exe /LOG=" + std::string(kMaxPath + 10, 'x');
  EXPECT_FALSE(ParseSwitches(line, &s));
  EXPECT_EQ(s.refused.size(), kMaxShortText);
}

}  // namespace
}  // namespace ldr
