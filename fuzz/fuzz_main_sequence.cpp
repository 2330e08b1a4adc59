// Runs the trailer read, the container choice and the whole main sequence
// over the in-memory platform, with the fuzz input as the loader's own file.
// The first input byte picks the circumstances: whether the same bytes also
// lie beside the loader as setup.1, whether the switch was given, whether the
// working folder can be made, whether the installer starts.
//
// Every run must end in success or in one of the loader's two error kinds,
// close every file it opened, start at most one program, and create nothing
// outside the working folder (or, after the fallback, the temporary folder)
// apart from the one empty temporary file; files that were there before stay
// as they were.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>

#include "archive/extract.h"
#include "base/errors.h"
#include "base/messages.h"
#include "format/stored_names.h"
#include "fuzz/check.h"
#include "loader/main_sequence.h"
#include "loader/run.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_window.h"

namespace {

const char kLoaderPath[] = "C:\\Downloads\\setup.exe";
const char kSetup1Path[] = "C:\\Downloads\\setup.1";
const char kNeighbour[] = "C:\\Downloads\\readme.txt";
const char kTempNeighbour[] = "C:\\Temp\\other.txt";
const char kTempFile[] = "C:\\Temp\\ldx1A2B.tmp";
const char kWorkingFolder[] = "C:\\Temp\\ldx1A2B";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A file written by extraction directly inside folder (no deeper).
bool DirectlyInside(const std::string& path, const std::string& folder) {
  const std::string prefix = folder.back() == '\\' ? folder : folder + "\\";
  if (!StartsWith(path, prefix) || path.size() == prefix.size()) return false;
  const std::string name = path.substr(prefix.size());
  return name.find_first_of("\\:") == std::string::npos &&
         ldr::IsSafeEntryName(name, ldr::NameHost::kWindows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string own(reinterpret_cast<const char*>(data + 1), size - 1);

  ldr::testing::FakePlatform fake;
  fake.own_file_path = kLoaderPath;
  fake.AddFile(kLoaderPath, own);
  fake.AddFile(kNeighbour, "keep me");
  fake.AddFile(kTempNeighbour, "keep me too");
  if (mode & 1) fake.AddFile(kSetup1Path, own);
  if (mode & 2) fake.command_line = "\"C:\\Downloads\\setup.exe\" *todisk";
  const bool fallback = (mode & 4) != 0;
  fake.make_folder_fails = fallback;
  if (mode & 8) fake.start_result = 2;
  if (mode & 16) fake.fail_read_call = (mode >> 5) + 1;

  std::map<std::string, ldr::testing::FakeNode> before = fake.nodes;
  ldr::testing::FakeWindow window;
  const bool succeeded = ldr::RunKit(fake, window, nullptr) == 0;
  // A failure is told in one box with a text of its own; anything else
  // would reach the user as an unexpected failure.
  if (!succeeded) {
    Check(window.boxes.size() == 1 && !window.boxes[0].text.empty());
    Check(window.boxes[0].text != ldr::msg::kUnexpected.text);
  }
  Check(fake.open_files == 0);
  Check(fake.processes_started.size() <= 1);
  Check(succeeded == (fake.processes_started.size() == 1 && fake.start_result >= 32));
  if (succeeded) Check(fake.open_files_at_start[0] == 1);

  const std::string working = fallback ? std::string("C:\\Temp\\") : std::string(kWorkingFolder);
  for (const std::string& path : fake.files_created) Check(DirectlyInside(path, working));
  for (const auto& [path, node] : fake.nodes) {
    auto old = before.find(path);
    if (old == before.end()) {
      Check(path == kTempFile || (path == kWorkingFolder && !fallback) ||
            DirectlyInside(path, working));
      continue;
    }
    Check(node.folder == old->second.folder);
    // The fallback writes into the temporary folder itself, where a file
    // of the same name may be replaced; nothing else may change.
    if (!(fallback && DirectlyInside(path, working))) Check(node.data == old->second.data);
  }
  return 0;
}
