// Feeds arbitrary bytes as an archive through the entry-table reader and the
// extractor, into the in-memory platform. Besides the sanitizers' findings it
// checks that nothing is ever created outside the working folder and that
// every file opened is closed again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/entry_table.h"
#include "archive/extract.h"
#include "loader/errors.h"
#include "tests/support/fake_platform.h"

namespace {

const char kArchivePath[] = "C:\\Downloads\\setup.1";
const char kFolder[] = "C:\\Temp\\ldx1A2B";

class NullSink : public ldr::ProgressSink {
 public:
  void SetProgressPosition(int32_t) override {}
};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ldr::testing::FakePlatform fake;
  fake.AddFolder(kFolder);
  fake.AddFile(kArchivePath, std::string(reinterpret_cast<const char*>(data), size));
  const size_t nodes_before = fake.nodes.size();
  {
    auto archive = fake.OpenForReading(kArchivePath);
    ldr::EntryTable table;
    NullSink sink;
    try {
      ldr::ReadEntryTable(*archive, 0, &table);
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
    Check(ldr::IsSafeEntryName(name, true));
    Check(name.find_first_of("\\:") == std::string::npos);
  }
  // Only files inside the working folder may have been added.
  for (const auto& [path, node] : fake.nodes) {
    if (path == kArchivePath || path == kFolder) continue;
    if (path.compare(0, prefix.size(), prefix) == 0) continue;
    Check(path == "C:\\Downloads" || path == "C:\\Temp");
  }
  Check(fake.nodes.size() <= nodes_before + fake.files_created.size());
  return 0;
}
