#pragma once
// Builds archives and self-extracting files in memory for tests, with real
// zlib streams and well-formed chains.

#include <cstdint>
#include <string>
#include <vector>

namespace ldr::testing {

struct TestEntry {
  std::string stored_name;
  std::string data;
};

// Header, records and streams; offsets relative to the archive's first byte.
std::string BuildArchive(const std::vector<TestEntry>& entries);

// A loader image followed by the archive, a second archive and the trailer.
std::string BuildSelfExtracting(const std::string& image, const std::string& archive,
                                const std::string& second_archive = std::string());

}  // namespace ldr::testing
