// kitpack compresses with libdeflate; the loader and the payload library
// inflate with zlib. Every entry of kits built at every level, from inputs
// of every kind and size (split ones too), must inflate with zlib to exactly
// its source bytes: each stream through zlib's inflate on its own, ending
// exactly where its record says, and the loader's archive through the
// loader's own extraction.

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "archive/entry_table.h"
#include "archive/extract.h"
#include "kitpack/kit/kit.h"
#include "kitpack/kit/zstream.h"
#include "tests/kitpack/scratch.h"
#include "tests/support/archive_builder.h"
#include "tests/support/fake_platform.h"

namespace kitpack {
namespace {

std::string Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Save(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Inputs the way a product tree has them: empty, tiny, text, machine code
// look-alikes, incompressible and zero-filled, below and above the split.
std::map<std::string, std::string> Inputs() {
  std::mt19937 rng(32);
  auto random = [&](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  };
  auto text = [&](size_t n) {
    static const char* words[] = {"kit ", "loader ", "entry\r\n", "stream ", "setup.exe "};
    std::string s;
    while (s.size() < n) s += words[rng() % 5];
    s.resize(n);
    return s;
  };
  // Instructions from a small set with random operands, as in machine code.
  auto code = [&](size_t n) {
    static const char* ops[] = {"\x48\x8b\x45", "\xe8",         "\x48\x89\x7d", "\x0f\x84",
                                "\x8b\x4c\x24", "\xc3\x90\x90", "\x41\x57",     "\x48\x83\xec"};
    std::string s;
    while (s.size() < n) s += ops[rng() % 8] + random(1 + rng() % 4);
    s.resize(n);
    return s;
  };
  std::map<std::string, std::string> in;
  in["empty"] = "";
  in["one"] = "x";
  in["text.txt"] = text(70000);
  in["code.dll"] = code(300000);
  in["random.bin"] = random(100000);
  in["zeros.bin"] = std::string(200000, '\0');
  // Split: pieces of text with far repeats, and a last piece of one byte.
  in["big.txt"] = text(2 * kPieceSize + 12345);
  in["big.dll"] = code(kSplitThreshold + 1);
  return in;
}

// Inflates one stream on its own with zlib; it must end exactly at the end
// of `stream`.
std::string InflateWhole(const unsigned char* stream, size_t size, size_t expected) {
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  std::string out(expected + 1, '\0');
  z.next_in = const_cast<unsigned char*>(stream);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = reinterpret_cast<unsigned char*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u) << "bytes after the stream";
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

class ZlibAgreement : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    dir_ = testing::MakeScratchFolder("kitpack-zlib-");
    Save(dir_ + "/loader.exe", std::string(4096, 'L'));
    Save(dir_ + "/setup.exe", installer_);
    testing::MakeTestFolder(dir_ + "/payload");
    inputs_ = Inputs();
    testing::MakeTestFolder(dir_ + "/payload/small");
    for (const auto& [name, bytes] : inputs_) {
      Save(dir_ + "/payload/" + name, bytes);
      if (bytes.size() <= kSplitThreshold) Save(dir_ + "/payload/small/" + name, bytes);
    }
  }
  void TearDown() override { testing::RemoveTree(dir_); }

  // An external kit: setup.1 is the loader's archive as the loader reads it.
  // Every input goes into it, the small ones into setup.2 as well.
  std::string Build(int level) {
    BuildOptions o;
    o.loader = dir_ + "/loader.exe";
    o.first = {{dir_ + "/setup.exe", "C:\\KIT\\setup.exe"}};
    for (const auto& entry : inputs_)
      o.first.push_back({dir_ + "/payload/" + entry.first, "C:\\KIT\\" + entry.first});
    o.second = ExpandPayload({dir_ + "/payload/small"});
    o.output = dir_ + "/kit-" + std::to_string(level);
    o.external = true;
    o.level = level;
    o.threads = 3;
    BuildKit(o);
    return o.output;
  }

  const std::string& Source(const std::string& stored_name) const {
    return inputs_.at(stored_name.substr(stored_name.find_last_of('\\') + 1));
  }

  std::string dir_;
  const std::string installer_ = "MZ installer";
  std::map<std::string, std::string> inputs_;
};

TEST_P(ZlibAgreement, EveryEntryInflatesWithZlibToItsSource) {
  const KitInfo kit = ReadKit(Build(GetParam()), true);
  ASSERT_EQ(kit.first.entries.size(), inputs_.size() + 1);
  for (const ArchiveInfo* archive : {&kit.first, &kit.second}) {
    const std::string bytes = Load(archive->path);
    for (const EntryInfo& entry : archive->entries) {
      const ldr::ArchiveEntry& r = entry.record;
      const auto* stream =
          reinterpret_cast<const unsigned char*>(bytes.data()) + archive->start + r.data_start;
      const std::string& source =
          entry.stored_name == "C:\\KIT\\setup.exe" ? installer_ : Source(entry.stored_name);
      EXPECT_TRUE(InflateWhole(stream, static_cast<size_t>(r.data_end - r.data_start + 1),
                               source.size()) == source)
          << archive->label << " " << entry.stored_name;
    }
  }

  // The loader's own extraction of setup.1.
  ldr::testing::FakePlatform fake;
  ldr::testing::RecordingSink sink;
  const std::string folder = "C:\\Temp\\ldx1A2B";
  fake.AddFolder(folder);
  fake.AddFile("C:\\kit\\setup.1", Load(kit.first.path));
  auto file = fake.OpenForReading("C:\\kit\\setup.1");
  ldr::EntryTable table;
  ldr::ReadEntryTable(*file, 0, &table);
  ldr::ExtractAll(fake, *file, "C:\\kit\\setup.1", 0, folder, table, sink);
  EXPECT_EQ(fake.Contents(folder + "\\setup.exe"), installer_);
  for (const auto& [name, bytes] : inputs_)
    EXPECT_TRUE(fake.Contents(folder + "\\" + name) == bytes) << name;
}

INSTANTIATE_TEST_SUITE_P(Levels, ZlibAgreement,
                         ::testing::Values(kDefaultLevel, 0, 1, 6, 9, 11, kMaxLevel));

}  // namespace
}  // namespace kitpack
