#include "tests/support/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace ldr::testing {
namespace {

// A fault of the test itself (a file it never made), not of the loader.
[[noreturn]] void TestFault(const std::string& what) {
#if __cpp_exceptions
  throw std::logic_error(what);
#else
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
#endif
}

}  // namespace

class FakeFile final : public File {
 public:
  FakeFile(FakePlatform& platform, std::string path, bool append, uint32_t number)
      : platform_(platform), path_(std::move(path)), append_(append), number_(number) {
    ++platform_.open_files;
    ++platform_.open_paths[path_];
  }
  ~FakeFile() = default;

  // Closes the file; its object stays until its owner lets go.
  void Shut() {
    if (!open_) return;
    open_ = false;
    --platform_.open_files;
    if (--platform_.open_paths[path_] == 0) platform_.open_paths.erase(path_);
  }
  // The owner lets go: this object ends here.
  void Close() override {
    Shut();
    platform_.files_.erase(number_);
  }

  // A closed file's handle is no more: every use of it fails.
  int64_t Seek(int64_t distance, Origin origin) override {
    if (!open_) return -1;
    int64_t base = 0;
    if (origin == Origin::Current) base = position_;
    if (origin == Origin::End) base = static_cast<int64_t>(Node().data.size());
    int64_t target = base + distance;
    if (target < 0) return -1;
    position_ = target;
    return position_;
  }

  int32_t Read(void* buffer, uint32_t size) override {
    if (platform_.before_read) platform_.before_read(path_);
    int call = platform_.read_calls++;
    int32_t result;
    if (call == platform_.fail_read_call || !open_) {
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
    if (append_ && open_) position_ = static_cast<int64_t>(Node().data.size());
    if (platform_.write_fails || !open_) {
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

  FileId Id() override { return open_ ? platform_.IdOf(path_) : FileId(); }

 private:
  FakeNode& Node() {
    auto it = platform_.nodes.find(path_);
    if (it == platform_.nodes.end()) TestFault("fake file vanished: " + path_);
    return it->second;
  }

  FakePlatform& platform_;
  std::string path_;
  bool append_;
  uint32_t number_;
  bool open_ = true;
  int64_t position_ = 0;
};

FakePlatform::FakePlatform() {
  AddFolder("C:\\Downloads");
  AddFolder("C:\\Temp");
}

FakePlatform::~FakePlatform() = default;

OpenFile FakePlatform::Open(const std::string& path, bool append) {
  const uint32_t number = opened_++;
  auto file = std::make_unique<FakeFile>(*this, path, append, number);
  FakeFile* held = file.get();
  files_[number] = std::move(file);
  return OpenFile(held);
}

void FakePlatform::CloseFilesOpenedSince(uint32_t mark) {
  for (auto it = files_.rbegin(); it != files_.rend() && it->first >= mark; ++it)
    it->second->Shut();
}

void FakePlatform::AddFile(const std::string& path, std::string data) {
  FakeNode node;
  node.data = std::move(data);
  node.id = next_id_++;
  nodes[path] = std::move(node);
}

void FakePlatform::AddFolder(const std::string& path) {
  FakeNode node;
  node.folder = true;
  node.id = next_id_++;
  nodes[path] = node;
}

FileId FakePlatform::IdOf(const std::string& path) const {
  auto it = nodes.find(path);
  if (it == nodes.end()) return FileId();
  return FileId{1, it->second.id, true};
}

FolderSharing FakePlatform::TempFolderSharing(SystemText folder_text) {
  const std::string folder(folder_text.view());
  std::string key(WithoutTrailingSeparator(folder, host_style));
  if (!key.empty() && (!Exists(key) || !nodes[key].folder)) return FolderSharing::kMissing;
  return sharing;
}

PathText FakePlatform::MakeUniqueFolder(SystemText folder_text, SystemText prefix_text) {
  const std::string folder(folder_text.view());
  const std::string prefix(prefix_text.view());
  if (unique_folder_fails) return PathText();
  std::string key(WithoutTrailingSeparator(folder, host_style));
  if (!key.empty() && (!Exists(key) || !nodes[key].folder)) return PathText();
  // Random on a real system; counted here so that tests can name it.
  for (;;) {
    char letters[16];
    std::snprintf(letters, sizeof letters, "Q7xZ%02u", next_unique_number_++ % 100);
    std::string path = std::string(WithTrailingSeparator(folder, host_style)) + prefix + letters;
    if (!Exists(path)) {
      AddFolder(path);
      folders_made.push_back(path);
      return PathText(path);
    }
  }
}

bool FakePlatform::ConvertName(std::string_view name, WideName* converted) {
  std::u16string units;
  if (convert_name) {
    if (!convert_name(std::string(name), &units)) return false;
  } else {
    for (char c : name) units.push_back(static_cast<unsigned char>(c));
  }
  // As the real platforms: no name of more than 255 units.
  if (units.size() > kMaxShortText) return false;
  converted->size = units.size();
  std::copy(units.begin(), units.end(), converted->units);
  return true;
}

FileId FakePlatform::IdentifyFile(SystemText path) {
  if (before_identify) before_identify();
  return IdOf(std::string(path.view()));
}

const std::string& FakePlatform::Contents(const std::string& path) const {
  auto it = nodes.find(path);
  if (it == nodes.end()) TestFault("no such fake file: " + path);
  return it->second.data;
}

bool FakePlatform::GetTempFolder(PathText* folder) {
  if (temp_folder_missing || temp_folder.size() > 260) return false;
  *folder = temp_folder;
  return true;
}

PathText FakePlatform::MakeTempFileName(SystemText folder_text, SystemText prefix_text) {
  const std::string folder(folder_text.view());
  const std::string prefix(prefix_text.view());
  if (temp_name_fails) return PathText();
  std::string folder_key(WithoutTrailingSeparator(folder, host_style));
  if (!folder_key.empty() && (!Exists(folder_key) || !nodes[folder_key].folder)) return PathText();
  for (;;) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%X", next_temp_number_++ & 0xFFFFu);
    std::string path =
        std::string(WithTrailingSeparator(folder, host_style)) + prefix + digits + ".tmp";
    if (!Exists(path)) {
      AddFile(path, std::string());
      return PathText(path);
    }
  }
}

bool FakePlatform::MakeFolder(SystemText path_text) {
  const std::string path(path_text.view());
  if (make_folder_fails || Exists(path)) return false;
  AddFolder(path);
  folders_made.push_back(path);
  return true;
}

bool FakePlatform::FileExists(SystemText path) {
  auto it = nodes.find(std::string(path.view()));
  return it != nodes.end() && !it->second.folder && it->second.time_in_range;
}

OpenFile FakePlatform::OpenForReading(SystemText path_text) {
  const std::string path(path_text.view());
  auto it = nodes.find(path);
  if (it == nodes.end() || it->second.folder || it->second.open_fails) return OpenFile();
  return Open(path, false);
}

OpenFile FakePlatform::CreateForWriting(SystemText path_text) {
  const std::string path(path_text.view());
  if (std::find(create_fails.begin(), create_fails.end(), path) != create_fails.end())
    return OpenFile();
  auto it = nodes.find(path);
  if (it != nodes.end() && (it->second.folder || it->second.open_fails)) return OpenFile();
  // The folder the file goes into must exist.
  std::string parent(WithoutTrailingSeparator(DirectoryPart(path, host_style), host_style));
  if (parent.empty() || !Exists(parent) || !nodes[parent].folder) return OpenFile();
  // An existing file is cut to 0 bytes and stays the same file.
  if (it != nodes.end()) {
    it->second.data.clear();
  } else {
    AddFile(path, std::string());
  }
  files_created.push_back(path);
  return Open(path, false);
}

void FakePlatform::MarkExecutable(SystemText path) {
  files_marked_executable.push_back(std::string(path.view()));
}

uint32_t FakePlatform::StartProcess(const ProcessStart& start) {
  processes_started.push_back(start.command_line);
  Start copy;
  copy.program = start.program;
  const char* argument = nullptr;
  for (size_t pos = 0; start.arguments.Next(&pos, &argument);) copy.arguments.push_back(argument);
  copy.command_line = start.command_line;
  copy.wait = start.waitable != nullptr;
  copy.program_id = start.program_id;
  starts.push_back(copy);
  open_files_at_start.push_back(open_files);
  if (start_result >= 32 && start.waitable != nullptr) start.waitable->id = starts.size();
  return start_result;
}

bool FakePlatform::WaitForProcess(WaitableProcess* process, uint32_t* exit_code) {
  ++waits;
  const uint64_t started = process->id;
  process->id = 0;
  // Only the program a start with it put there can be waited for, once.
  if (wait_fails || started == 0 || started > starts.size() || !starts[started - 1].wait)
    return false;
  *exit_code = installer_exit_code;
  return true;
}

bool FakePlatform::FreeSpace(SystemText, uint64_t* bytes) {
  if (free_space < 0) return false;
  *bytes = static_cast<uint64_t>(free_space);
  return true;
}

bool FakePlatform::RemoveFile(SystemText path_text) {
  const std::string path(path_text.view());
  auto it = nodes.find(path);
  // Windows removes no file that is open: neither does the fake.
  if (it == nodes.end() || it->second.folder || open_paths.count(path) != 0) return false;
  nodes.erase(it);
  removed.push_back(path);
  return true;
}

bool FakePlatform::RemoveEmptyFolder(SystemText path_text) {
  const std::string path(path_text.view());
  if (InspectFolder(path) != FolderState::kEmpty) return false;
  nodes.erase(path);
  removed.push_back(path);
  return true;
}

bool FakePlatform::ExpandVariables(SystemText text_in, PathText* expanded) {
  const std::string text(text_in.view());
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    const auto it = end == std::string::npos ? environment.end()
                                             : environment.find(text.substr(i + 1, end - i - 1));
    if (it == environment.end()) {
      out += text[i++];
      continue;
    }
    out += it->second;
    i = end + 1;
  }
  expanded->Assign(out);
  return !expanded->cut();
}

bool FakePlatform::RemoveTree(SystemText folder_text, bool keep_folder) {
  const std::string folder(WithoutTrailingSeparator(folder_text.view(), host_style));
  const std::string inside = std::string(WithTrailingSeparator(folder, host_style));
  std::vector<std::string> below;
  for (auto it = nodes.lower_bound(inside);
       it != nodes.end() && it->first.compare(0, inside.size(), inside) == 0; ++it)
    below.push_back(it->first);
  // Deepest first: a folder's content sorts after the folder.
  bool all = true;
  for (auto it = below.rbegin(); it != below.rend(); ++it) {
    if (open_paths.count(*it) != 0) {
      all = false;
      continue;
    }
    nodes.erase(*it);
    removed.push_back(*it);
  }
  if (!all) return false;
  if (!keep_folder) return RemoveEmptyFolder(folder);
  return true;
}

FolderState FakePlatform::InspectFolder(SystemText path_text) {
  const std::string path(WithoutTrailingSeparator(path_text.view(), host_style));
  auto it = nodes.find(path);
  if (it == nodes.end()) return FolderState::kMissing;
  if (!it->second.folder) return FolderState::kNotAFolder;
  const std::string inside = std::string(WithTrailingSeparator(path, host_style));
  auto below = nodes.lower_bound(inside);
  return below != nodes.end() && below->first.compare(0, inside.size(), inside) == 0
             ? FolderState::kNotEmpty
             : FolderState::kEmpty;
}

OpenFile FakePlatform::OpenForAppending(SystemText path_text) {
  const std::string path(path_text.view());
  if (append_fails) return OpenFile();
  auto it = nodes.find(path);
  if (it != nodes.end() && it->second.folder) return OpenFile();
  // As CreateForWriting: the folder the log goes into must exist.
  const std::string parent(WithoutTrailingSeparator(DirectoryPart(path, host_style), host_style));
  if (parent.empty() || !Exists(parent) || !nodes[parent].folder) return OpenFile();
  if (it == nodes.end()) AddFile(path, std::string());
  return Open(path, true);
}

}  // namespace ldr::testing
