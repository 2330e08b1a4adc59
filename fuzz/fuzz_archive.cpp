// Feeds arbitrary bytes as an archive through the entry-table reader and the
// extractor, into the in-memory platform. Besides the sanitizers' findings it
// checks that nothing is ever created outside the working folder, that every
// file opened is closed again, and that each entry is written in exactly the
// blocks a plain one-block-per-inflate-call loop would write.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <zlib.h>

#include "archive/entry_table.h"
#include "archive/extract.h"
#include "base/errors.h"
#include "format/stored_names.h"
#include "fuzz/check.h"
#include "tests/support/archive_builder.h"
#include "tests/support/fake_platform.h"

namespace {

const char kArchivePath[] = "C:\\Downloads\\setup.1";
const char kFolder[] = "C:\\Temp\\ldx1A2B";

class NullSink : public ldr::ProgressSink {
 public:
  void SetProgressPosition(int32_t) override {}
};

// Extracts each entry on its own and compares it with the literal loop.
void CompareEntries(ldr::testing::FakePlatform& fake, const std::string& bytes,
                    const ldr::EntryTable& table) {
  const std::string out_path = std::string(kFolder) + "\\compare";
  for (int32_t i = 0; i < table.count; ++i) {
    const ldr::ArchiveEntry& entry = table.entries[static_cast<size_t>(i)];
    if (entry.data_start < 0) continue;  // refused before any read
    int64_t first = entry.data_start;
    int64_t end = std::min<int64_t>(static_cast<int64_t>(entry.data_end) + 1,
                                    static_cast<int64_t>(bytes.size()));
    std::string range =
        first < end ? bytes.substr(static_cast<size_t>(first), static_cast<size_t>(end - first))
                    : std::string();
    ldr::testing::LiteralResult expected = ldr::testing::LiteralExtract(range);

    fake.writes.clear();
    auto archive = fake.OpenForReading(kArchivePath);
    auto output = fake.CreateForWriting(out_path);
    Check(archive && output);
    ldr::ExtractionTotals totals;
    NullSink sink;
    bool zlib_error = false;
    try {
      ldr::ExtractEntry(*archive, kArchivePath, 0, *output, out_path, entry, totals, sink);
    } catch (const ldr::EZlibError&) {
      zlib_error = true;
    }
    Check(zlib_error == expected.zlib_error);
    const std::string& got = fake.Contents(out_path);
    std::vector<uint32_t> sizes;
    for (const auto& w : fake.writes) sizes.push_back(w.requested);
    if (expected.ended) {
      // A complete stream: exactly the same blocks.
      Check(got == expected.output);
      Check(sizes == expected.writes);
    } else {
      // A damaged or cut stream: the extractor asks inflate for several
      // blocks per call, so it may keep whole blocks, or bytes inflate still
      // held, that the one-block loop drops; never different bytes.
      Check(got.compare(0, expected.output.size(), expected.output) == 0);
      for (size_t k = 0; k + 1 < sizes.size(); ++k) Check(sizes[k] == 4096);
      if (zlib_error) Check(got.size() % 4096 == 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ldr::testing::FakePlatform fake;
  fake.AddFolder(kFolder);
  fake.AddFile(kArchivePath, std::string(reinterpret_cast<const char*>(data), size));
  const size_t nodes_before = fake.nodes.size();
  ldr::EntryTable table;
  bool table_read = false;
  {
    auto archive = fake.OpenForReading(kArchivePath);
    NullSink sink;
    try {
      ldr::ReadEntryTable(*archive, 0, &table);
      table_read = true;
      Check(table.count >= 0 && table.count <= ldr::kMaxFiles);
      ldr::ExtractAll(fake, *archive, kArchivePath, 0, kFolder, table, sink);
    } catch (const ldr::LoaderError&) {
    } catch (const ldr::EZlibError&) {
    }
  }
  Check(fake.open_files == 0);

  const std::string prefix = std::string(kFolder) + "\\";
  for (const std::string& path : fake.files_created) {
    Check(path.compare(0, prefix.size(), prefix) == 0);
    std::string name = path.substr(prefix.size());
    Check(ldr::IsSafeEntryName(name, ldr::NameHost::kWindows));
    Check(name.find_first_of("\\:") == std::string::npos);
  }
  // Only files inside the working folder may have been added.
  for (const auto& [path, node] : fake.nodes) {
    if (path == kArchivePath || path == kFolder) continue;
    if (path.compare(0, prefix.size(), prefix) == 0) continue;
    Check(path == "C:\\Downloads" || path == "C:\\Temp");
  }
  Check(fake.nodes.size() <= nodes_before + fake.files_created.size());

  if (table_read) CompareEntries(fake, fake.Contents(kArchivePath), table);
  return 0;
}
