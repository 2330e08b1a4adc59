// The pure parts of kitpack's signing support: removing a loader's
// signature in memory, splitting the sign command, filling its
// placeholders, and what the signature covers.

#include "kitpack/pe/signing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kitpack/host/command_line.h"
#include "kitpack/host/files.h"
#include "tests/support/pe_builder.h"

namespace kitpack {
namespace {

using ldr::testing::PeKind;

std::vector<unsigned char> Bytes(const std::string& s) {
  return std::vector<unsigned char>(s.begin(), s.end());
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const KitError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(StripSignature, CutsTheTableAndClearsTheEntryAndTheChecksum) {
  for (PeKind kind : {PeKind::kPe32, PeKind::kPe32Plus}) {
    for (size_t padding : {0, 5}) {
      SCOPED_TRACE(padding);
      const std::string image = ldr::testing::PeImage(kind, 6000);
      std::vector<unsigned char> loader =
          Bytes(ldr::testing::AppendCertificateTable(image, kind, padding, 3000));
      EXPECT_EQ(StripSignature(loader, "loader.exe"), 3000u);
      std::string expected = image + std::string(padding, '\0');
      ldr::testing::SetSecurityEntry(expected, kind, 0, 0);
      ldr::testing::PutU32(expected, ldr::testing::kPeChecksum, 0);
      EXPECT_EQ(loader, Bytes(expected));
      // Nothing is left to remove.
      EXPECT_EQ(StripSignature(loader, "loader.exe"), 0u);
      EXPECT_EQ(loader, Bytes(expected));
    }
  }
}

TEST(StripSignature, LeavesUnsignedAndNonPeFilesAlone) {
  for (const std::string& file :
       {ldr::testing::PeImage(PeKind::kPe32), std::string(3000, 'x'), std::string()}) {
    std::vector<unsigned char> loader = Bytes(file);
    EXPECT_EQ(StripSignature(loader, "loader.exe"), 0u);
    EXPECT_EQ(loader, Bytes(file));
  }
}

TEST(StripSignature, RefusesATableItCannotCutOffCleanly) {
  const PeKind kind = PeKind::kPe32Plus;
  const std::string signed_image =
      ldr::testing::AppendCertificateTable(ldr::testing::PeImage(kind, 6000), kind, 0);
  std::vector<unsigned char> appended = Bytes(signed_image + "more");
  EXPECT_NE(ErrorOf([&] { StripSignature(appended, "l.exe"); }).find("does not end the file"),
            std::string::npos);
  EXPECT_EQ(appended, Bytes(signed_image + "more"));

  // SizeOfHeaders reaching into the table.
  std::string overlapping = signed_image;
  ldr::testing::PutU32(overlapping, ldr::testing::kPeOptionalHeader + 60, 6500);
  std::vector<unsigned char> loader = Bytes(overlapping);
  EXPECT_NE(ErrorOf([&] { StripSignature(loader, "l.exe"); }).find("overlaps the image"),
            std::string::npos);

  // A section whose raw data lies where the table is said to begin.
  std::string with_section = signed_image;
  ldr::testing::PutU16(with_section, ldr::testing::kPeHeaderOffset + 6, 1);  // NumberOfSections
  const size_t section = ldr::testing::kPeOptionalHeader + 112 + 16 * 8;
  ldr::testing::PutU32(with_section, section + 16, 2000);  // SizeOfRawData
  ldr::testing::PutU32(with_section, section + 20, 5000);  // PointerToRawData: ends at 7000
  loader = Bytes(with_section);
  EXPECT_NE(ErrorOf([&] { StripSignature(loader, "l.exe"); }).find("up to byte 6999"),
            std::string::npos);
  // The same section ending before the table is fine.
  ldr::testing::PutU32(with_section, section + 16, 1000);
  loader = Bytes(with_section);
  EXPECT_EQ(StripSignature(loader, "l.exe"), 1000u);
}

TEST(SplitCommand, WordsQuotesAndBackslashes) {
  struct Case {
    std::string command;
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"osslsigncode sign -in {} -out {out}",
       {"osslsigncode", "sign", "-in", "{}", "-out", "{out}"}},
      {"  a\t b\n\nc  ", {"a", "b", "c"}},
      {"sign -n 'My Product' {}", {"sign", "-n", "My Product", "{}"}},
      {"sign -n \"My \\\"Best\\\" Product\" {}", {"sign", "-n", "My \"Best\" Product", "{}"}},
      {"x 'a\\b\"c' \"d\\e\"", {"x", "a\\b\"c", "d\\e"}},
      {"wine signtool.exe sign /f C:\\keys\\a.pfx {}",
       {"wine", "signtool.exe", "sign", "/f", "C:\\keys\\a.pfx", "{}"}},
      {"a\\ b c\\\\d \\'e", {"a b", "c\\d", "'e"}},
      {"pre'fix'\"ed\" \"\" ''", {"prefixed", "", ""}},
      {"tool -in={}.exe", {"tool", "-in={}.exe"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommand(c.command), c.words) << c.command;
  for (const std::string bad : {"", "   ", "sign 'open", "sign \"open", "sign \"open\\\""}) {
    EXPECT_NE(ErrorOf([&] { SplitCommand(bad); }), "(no error)") << bad;
  }
}

// What the C runtime splits back into the same argument.
TEST(QuoteArgument, OnlyWhatMustBeQuotedIs) {
  struct Case {
    const char* argument;
    const char* quoted;
  };
  for (Case c : {Case{"plain", "plain"}, Case{"", "\"\""}, Case{"a b", "\"a b\""},
                 Case{"C:\\dir\\", "C:\\dir\\"}, Case{"C:\\my dir\\", "\"C:\\my dir\\\\\""},
                 Case{"say \"hi\"", "\"say \\\"hi\\\"\""}, Case{"a\\\"b", "\"a\\\\\\\"b\""},
                 Case{"tab\there", "\"tab\there\""}}) {
    EXPECT_EQ(kitpack::QuoteArgument(c.argument), c.quoted) << c.argument;
  }
}

TEST(FillPlaceholders, KitAndSignedCopy) {
  const std::vector<std::string> words = {"tool", "-in={}", "{}", "{out}", "{}{out}", "{x}"};
  EXPECT_EQ(FillPlaceholders(words, "/k/kit.exe", "/k/signed-kit.exe"),
            (std::vector<std::string>{"tool", "-in=/k/kit.exe", "/k/kit.exe", "/k/signed-kit.exe",
                                      "/k/kit.exe/k/signed-kit.exe", "{x}"}));
  EXPECT_TRUE(NamesOutput(words));
  EXPECT_FALSE(NamesOutput({"signtool", "sign", "{}"}));
  // A kit path that itself holds a placeholder is not expanded again.
  EXPECT_EQ(FillPlaceholders({"{}", "{out}"}, "/a/{out}", "/b/{}"),
            (std::vector<std::string>{"/a/{out}", "/b/{}"}));
  EXPECT_NE(ErrorOf([] {
              FillPlaceholders({"osslsigncode", "sign", "-out", "{out}"}, "k", "o");
            }).find("{}"),
            std::string::npos);
}

TEST(UncoveredRange, ArchivesMustAvoidTheFieldsTheSignatureLeavesOut) {
  ldr::PeSecurityEntry pe;
  pe.found = true;
  pe.checksum_offset = 0xD8;
  pe.entry_offset = 0x128;
  pe.table_offset = 10000;
  pe.table_size = 2000;
  EXPECT_EQ(UncoveredRange(pe, {{"a", 0x130, 5000}, {"b", 5001, 9943}, {"t", 9944, 9999}}), "");
  EXPECT_EQ(UncoveredRange(pe, {{"a", 0x130, 5000}, {"t", 9950, 10005}}),
            "t (bytes 9950..10005) does not lie before the certificate table at byte 10000");
  EXPECT_NE(UncoveredRange(pe, {{"a", 0xDB, 5000}}).find("overlaps the PE checksum"),
            std::string::npos);
  EXPECT_NE(UncoveredRange(pe, {{"a", 0x100, 0x128}}).find("overlaps the security entry"),
            std::string::npos);
  EXPECT_EQ(UncoveredRange(pe, {{"a", 0xDC, 0x127}}), "");
}

}  // namespace
}  // namespace kitpack
