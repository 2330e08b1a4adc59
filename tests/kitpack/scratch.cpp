#include "tests/kitpack/scratch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kitpack::testing {

namespace fs = std::filesystem;

std::string MakeScratchFolder(const char* prefix) {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path folder = fs::temp_directory_path() / (std::string(prefix) + std::to_string(stamp) +
                                                   "-" + std::to_string(counter++));
    if (fs::create_directory(folder)) return folder.string();
  }
  throw std::runtime_error("no scratch folder");
}

void RemoveTree(const std::string& folder) {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

void MakeTestFolder(const std::string& path) { fs::create_directories(path); }

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator(folder, missing))
    out.push_back(entry.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

void SetFileLength(const std::string& path, uint64_t length) {
  std::ofstream(path, std::ios::binary | std::ios::app).flush();
  fs::resize_file(path, length);
}

bool MakeSymlink(const std::string& target, const std::string& link) {
  std::error_code failed;
  if (fs::is_directory(target))
    fs::create_directory_symlink(target, link, failed);
  else
    fs::create_symlink(target, link, failed);
  return !failed;
}

unsigned FileMode(const std::string& path) {
  std::error_code missing;
  const fs::file_status status = fs::status(path, missing);
  return missing ? 0u : static_cast<unsigned>(status.permissions() & fs::perms::mask);
}

}  // namespace kitpack::testing
