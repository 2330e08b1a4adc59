#include "tests/support/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace ldr::testing {
namespace {

class FakeFile : public File {
 public:
  FakeFile(FakePlatform& platform, std::string path) : platform_(platform), path_(std::move(path)) {
    ++platform_.open_files;
  }
  ~FakeFile() override { --platform_.open_files; }

  int64_t Seek(int64_t distance, Origin origin) override {
    int64_t base = 0;
    if (origin == Origin::Current) base = position_;
    if (origin == Origin::End) base = static_cast<int64_t>(Node().data.size());
    int64_t target = base + distance;
    if (target < 0) return -1;
    position_ = target;
    return position_;
  }

  int32_t Read(void* buffer, uint32_t size) override {
    int call = platform_.read_calls++;
    int32_t result;
    if (call == platform_.fail_read_call) {
      result = -1;
    } else {
      const std::string& data = Node().data;
      int64_t available = std::max<int64_t>(0, static_cast<int64_t>(data.size()) - position_);
      int64_t n = std::min<int64_t>(available, size);
      if (platform_.read_limit >= 0) n = std::min<int64_t>(n, platform_.read_limit);
      if (n > 0) std::memcpy(buffer, data.data() + position_, static_cast<size_t>(n));
      position_ += n;
      result = static_cast<int32_t>(n);
    }
    platform_.reads.push_back({path_, size, result});
    return result;
  }

  int32_t Write(const void* data, uint32_t size) override {
    int32_t result;
    if (platform_.write_fails) {
      result = -1;
    } else {
      int64_t n = size;
      if (platform_.disk_space >= 0) {
        n = std::min<int64_t>(n, platform_.disk_space);
        platform_.disk_space -= n;
      }
      std::string& contents = Node().data;
      if (contents.size() < static_cast<size_t>(position_ + n)) contents.resize(position_ + n);
      std::memcpy(&contents[position_], data, static_cast<size_t>(n));
      position_ += n;
      result = static_cast<int32_t>(n);
    }
    platform_.writes.push_back({path_, size, result});
    return result;
  }

 private:
  FakeNode& Node() {
    auto it = platform_.nodes.find(path_);
    if (it == platform_.nodes.end()) throw std::logic_error("fake file vanished: " + path_);
    return it->second;
  }

  FakePlatform& platform_;
  std::string path_;
  int64_t position_ = 0;
};

}  // namespace

FakePlatform::FakePlatform() {
  AddFolder("C:\\Downloads");
  AddFolder("C:\\Temp");
}

void FakePlatform::AddFile(const std::string& path, std::string data) {
  FakeNode node;
  node.data = std::move(data);
  nodes[path] = std::move(node);
}

void FakePlatform::AddFolder(const std::string& path) {
  FakeNode node;
  node.folder = true;
  nodes[path] = node;
}

const std::string& FakePlatform::Contents(const std::string& path) const {
  auto it = nodes.find(path);
  if (it == nodes.end()) throw std::logic_error("no such fake file: " + path);
  return it->second.data;
}

bool FakePlatform::GetTempFolder(std::string* folder) {
  if (temp_folder_missing || temp_folder.size() > 260) return false;
  *folder = temp_folder;
  return true;
}

std::string FakePlatform::MakeTempFileName(const std::string& folder, const std::string& prefix) {
  if (temp_name_fails) return std::string();
  std::string folder_key(WithoutTrailingSeparator(folder, host_style));
  if (!folder_key.empty() && (!Exists(folder_key) || !nodes[folder_key].folder))
    return std::string();
  for (;;) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%X", next_temp_number_++ & 0xFFFFu);
    std::string path =
        std::string(WithTrailingSeparator(folder, host_style)) + prefix + digits + ".tmp";
    if (!Exists(path)) {
      AddFile(path, std::string());
      return path;
    }
  }
}

bool FakePlatform::MakeFolder(const std::string& path) {
  if (make_folder_fails || Exists(path)) return false;
  AddFolder(path);
  folders_made.push_back(path);
  return true;
}

bool FakePlatform::FileExists(const std::string& path) {
  auto it = nodes.find(path);
  return it != nodes.end() && !it->second.folder && it->second.time_in_range;
}

std::unique_ptr<File> FakePlatform::OpenForReading(const std::string& path) {
  auto it = nodes.find(path);
  if (it == nodes.end() || it->second.folder || it->second.open_fails) return nullptr;
  return std::make_unique<FakeFile>(*this, path);
}

std::unique_ptr<File> FakePlatform::CreateForWriting(const std::string& path) {
  if (std::find(create_fails.begin(), create_fails.end(), path) != create_fails.end())
    return nullptr;
  auto it = nodes.find(path);
  if (it != nodes.end() && (it->second.folder || it->second.open_fails)) return nullptr;
  // The folder the file goes into must exist.
  std::string parent(WithoutTrailingSeparator(DirectoryPart(path, host_style), host_style));
  if (parent.empty() || !Exists(parent) || !nodes[parent].folder) return nullptr;
  AddFile(path, std::string());
  files_created.push_back(path);
  return std::make_unique<FakeFile>(*this, path);
}

void FakePlatform::MarkExecutable(const std::string& path) {
  files_marked_executable.push_back(path);
}

uint32_t FakePlatform::StartProcess(const std::string& line) {
  processes_started.push_back(line);
  open_files_at_start.push_back(open_files);
  return start_result;
}

}  // namespace ldr::testing
