// The loader and kitpack must agree on every first-archive name: a kit that
// kitpack builds or verifies is one the Windows loader can unpack, and a name
// the loader refuses is refused by kitpack before the kit is shipped. The
// same names go through the loader's extraction (the in-memory platform with
// Windows paths), through `kitpack build` and through `kitpack verify`.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "archive/entry_table.h"
#include "archive/extract.h"
#include "base/errors.h"
#include "kitpack/kit/kit.h"
#include "tests/kitpack/scratch.h"
#include "tests/support/archive_builder.h"
#include "tests/support/fake_platform.h"

namespace {

const char kFolder[] = "C:\\Temp\\ldx1A2B";

// Whether the loader creates the name: true, or false with the "could not
// create" report.
bool LoaderCreates(const std::string& stored_name) {
  ldr::testing::FakePlatform fake;
  ldr::testing::RecordingSink sink;
  fake.AddFolder(kFolder);
  fake.AddFile("C:\\kit\\setup.1",
               ldr::testing::BuildArchive({ldr::testing::FileEntry(stored_name, "MZ payload")}));
  auto file = fake.OpenForReading("C:\\kit\\setup.1");
  ldr::EntryTable table;
  ldr::ReadEntryTable(*file, 0, &table);
  try {
    ldr::ExtractAll(fake, *file, "C:\\kit\\setup.1", 0, kFolder, table, sink);
  } catch (const ldr::LoaderError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("LOADER: Could not create the following file, ", 0), 0u)
        << e.what();
    return false;
  }
  return true;
}

class NameAgreement : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = kitpack::testing::MakeScratchFolder("kitpack-names-");
    Save(dir_ + "/loader.exe", std::string(4096, 'L'));
    Save(dir_ + "/setup.exe", "MZ payload");
  }
  void TearDown() override { kitpack::testing::RemoveTree(dir_); }

  static void Save(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  bool KitpackBuilds(const std::string& stored_name) {
    kitpack::BuildOptions o;
    o.loader = dir_ + "/loader.exe";
    o.first = {{dir_ + "/setup.exe", stored_name}};
    o.output = dir_ + "/kit.exe";
    try {
      kitpack::BuildKit(o);
    } catch (const kitpack::KitError& e) {
      return false;
    }
    return true;
  }

  // A kit written without kitpack's writer, so verify sees the name as is.
  bool KitpackVerifies(const std::string& stored_name) {
    std::string kit = ldr::testing::BuildSelfExtracting(
        std::string(4096, 'L'),
        ldr::testing::BuildArchive({ldr::testing::FileEntry(stored_name, "MZ payload")}),
        ldr::testing::BuildArchive({ldr::testing::FileEntry("readme.txt", "x")}));
    Save(dir_ + "/foreign.exe", kit);
    try {
      kitpack::VerifyStreams(kitpack::ReadKit(dir_ + "/foreign.exe", true));
    } catch (const kitpack::KitError& e) {
      return false;
    }
    return true;
  }

  std::string dir_;
};

TEST_F(NameAgreement, LoaderAndKitpackAcceptAndRefuseTheSameNames) {
  const char* names[] = {
      "setup.exe",
      "C:\\KIT\\setup.exe",
      "D:setup.exe",
      "..x",
      "a..",
      "CONSOLE.txt",
      "COM10",
      "LPT",
      "xNUL",
      "a/b",
      "C:\\KIT\\",
      "",
      ".",
      "..",
      "C:\\..",
      "...",
      ". .",
      "CON",
      "con",
      "Prn.txt",
      "aux.tar.gz",
      "NUL ",
      "nul .txt",
      "COM1",
      "com9.log",
      "LPT1",
      "lpt0",
      "COM\xB9",
      "LPT\xB2.txt",
      "conout$",
      "CONIN$",
      "CLOCK$",
      "a\x01"
      "b",
      "tab\tname",
      "what?",
      "a*b",
      "a<b",
      "a>b",
      "a|b",
      "a\"b",
      "trail.",
      "trail ",
      "\xC3\x9C"
      "bersicht.txt",
  };
  for (const char* name : names) {
    const bool loader = LoaderCreates(name);
    EXPECT_EQ(KitpackBuilds(name), loader) << "kitpack build, '" << name << "'";
    EXPECT_EQ(KitpackVerifies(name), loader) << "kitpack verify, '" << name << "'";
  }
  // The table holds both kinds, so agreement is not agreement on nothing.
  EXPECT_TRUE(LoaderCreates("setup.exe"));
  EXPECT_FALSE(LoaderCreates("COM\xB9"));
}

}  // namespace
