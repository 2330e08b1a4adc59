#include "format/pe/imports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "format/bytes.h"
#include "format/pe/layout.h"

namespace ldr {
namespace {

std::vector<unsigned char> ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

PeImports Imports(const std::vector<unsigned char>& image) {
  MemoryByteSource bytes(image.data(), image.size());
  return ReadPeImports(bytes, image.size());
}

std::vector<std::string> Names(const PeImports& imports) {
  std::vector<std::string> out;
  for (const PeImport& i : imports.dlls) out.push_back(i.dll + (i.delay_loaded ? "*" : ""));
  return out;
}

// The file offset of the import table's first descriptor.
uint64_t ImportTableOffset(const std::vector<unsigned char>& image) {
  const std::optional<PeLayout> l = ReadPeLayout(image.data(), image.size());
  EXPECT_TRUE(l);
  return *l->FileOffset(l->Directory(kPeImportDirectory)->address, 20);
}

TEST(PeImports, ReadFromProgramsMinGwAndLldBuilt) {
  const PeImports plain = Imports(ReadAll(KITPACK_TEST_PE_PLAIN));
  EXPECT_EQ(plain.damage, "");
  EXPECT_EQ(Names(plain), (std::vector<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
  const PeImports helper = Imports(ReadAll(KITPACK_TEST_PE_IMPORTS));
  EXPECT_EQ(Names(helper), (std::vector<std::string>{"KERNEL32.dll", "msvcrt.dll", "helper.dll"}));
  if (*KITPACK_TEST_PE_DELAY) {
    const PeImports delayed = Imports(ReadAll(KITPACK_TEST_PE_DELAY));
    EXPECT_EQ(delayed.damage, "");
    EXPECT_EQ(Names(delayed), (std::vector<std::string>{"helper.dll*"}));
  }
  // Not PE images: no imports and nothing said.
  for (const std::vector<unsigned char>& other :
       {std::vector<unsigned char>{}, std::vector<unsigned char>{'M', 'Z'},
        std::vector<unsigned char>(4096, 'x')}) {
    EXPECT_TRUE(Imports(other).dlls.empty());
    EXPECT_EQ(Imports(other).damage, "");
  }
}

// Cut anywhere, a program yields its imports, fewer of them with a reason,
// or (without its headers) none; never more, never a crash.
TEST(PeImports, TruncatedProgramsGiveAPrefixOrAReason) {
  const std::vector<unsigned char> whole = ReadAll(KITPACK_TEST_PE_IMPORTS);
  const std::vector<std::string> all = Names(Imports(whole));
  const uint64_t table = ImportTableOffset(whole);
  for (size_t cut = 0; cut < whole.size(); cut += cut < table + 64 && cut + 64 > table ? 1 : 61) {
    const std::vector<unsigned char> part(whole.begin(),
                                          whole.begin() + static_cast<std::ptrdiff_t>(cut));
    const PeImports got = Imports(part);
    const std::vector<std::string> names = Names(got);
    ASSERT_LE(names.size(), all.size()) << cut;
    EXPECT_TRUE(std::equal(names.begin(), names.end(), all.begin())) << cut;
    if (names.size() < all.size() && cut > table) {
      EXPECT_NE(got.damage, "") << cut;
    }
  }
  std::vector<unsigned char> part(whole.begin(),
                                  whole.begin() + static_cast<std::ptrdiff_t>(table) + 10);
  EXPECT_EQ(Imports(part).damage,
            "the import table's entry 0 cannot be read from the file's sections");
}

TEST(PeImports, DamagedTablesAreNamed) {
  const std::vector<unsigned char> whole = ReadAll(KITPACK_TEST_PE_IMPORTS);
  const uint64_t table = ImportTableOffset(whole);
  struct Case {
    uint64_t at;  // from the first descriptor
    uint32_t value;
    const char* damage;
  };
  const Case cases[] = {
      {12, 0x7FFFFFF0,
       "the import table's entry 0 names its DLL at 0x7FFFFFF0, where no name of printable "
       "characters ends within the file's sections"},
      {20 + 12, 0xFFFFFFFF,
       "the import table's entry 1 names its DLL at 0xFFFFFFFF, where no name of printable "
       "characters ends within the file's sections"},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> image = whole;
    PutU32(&image[table + c.at], c.value);
    const PeImports got = Imports(image);
    EXPECT_EQ(got.damage, c.damage);
    EXPECT_EQ(got.dlls.size(), c.at / 20);
  }
  // A name that runs on without its terminating zero.
  std::vector<unsigned char> image = whole;
  const std::optional<PeLayout> l = ReadPeLayout(image.data(), image.size());
  const uint64_t name = *l->FileOffset(GetU32(&image[table + 12]), 1);
  for (uint64_t i = name; i < name + 300 && i < image.size(); ++i) image[i] = 'A';
  EXPECT_NE(Imports(image).damage, "");
  // An import directory pointing nowhere.
  image = whole;
  PutU32(&image[l->DirectoryOffset(kPeImportDirectory)], 0x7FFFFF00);
  EXPECT_EQ(Imports(image).damage,
            "the import table's entry 0 cannot be read from the file's sections");
  // A section table that is cut off.
  image = whole;
  image.resize(l->section_table_offset + 8);
  EXPECT_EQ(Imports(image).damage, "its section table does not lie whole in the file");
}

// Bytes changed at random in the headers, the section table and the import
// table: whatever they say, the reader stays inside the file and ends.
TEST(PeImports, RandomDamageEndsWithinTheFile) {
  const std::vector<unsigned char> whole = ReadAll(KITPACK_TEST_PE_IMPORTS);
  const uint64_t table = ImportTableOffset(whole);
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (int round = 0; round < 4000; ++round) {
    std::vector<unsigned char> image = whole;
    for (int n = 1 + static_cast<int>(next() % 4); n > 0; --n) {
      const uint64_t at = next() % 2 == 0 ? next() % 0x400 : table + next() % 0x200;
      image[at % image.size()] = static_cast<unsigned char>(next());
    }
    const PeImports got = Imports(image);
    EXPECT_LE(got.dlls.size(), 4096u);
    for (const PeImport& i : got.dlls) EXPECT_FALSE(i.dll.empty());
  }
}

TEST(PeImports, WindowsSystemDlls) {
  for (const char* dll :
       {"KERNEL32.dll", "msvcrt.dll", "user32.DLL", "winspool.drv",
        "api-ms-win-crt-runtime-l1-1-0.dll", "ext-ms-win-ntuser-window-l1-1-0.dll", "ucrtbase.dll"})
    EXPECT_TRUE(IsWindowsSystemDll(dll)) << dll;
  for (const char* dll :
       {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "zlib1.dll",
        "vcruntime140.dll", "msvcp140.dll", "kernel32", "api-ms-win", "helper.dll", ""})
    EXPECT_FALSE(IsWindowsSystemDll(dll)) << dll;
}

}  // namespace
}  // namespace ldr
