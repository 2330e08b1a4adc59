#pragma once
// An in-memory platform for unit tests. It keeps files and folders in a map,
// logs every call a test may want to check (reads, writes, folders made,
// files created, processes started) and has one named switch per fault the
// loader must survive. Paths use Windows rules unless host_style is changed.
// Like Windows, it removes no file that is open; like the real platforms, it
// counts every file it opens, so that a handler of the build without
// exceptions can close them (CloseFilesOpenedSince) before it removes any.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ldr::testing {

struct FakeNode {
  bool folder = false;
  std::string data;
  bool time_in_range = true;  // false: last-write time outside 1980..2107
  bool open_fails = false;    // exists, but cannot be opened
  uint64_t id = 0;            // a new number for every node made
};

struct FakeRead {
  std::string path;
  uint32_t requested;
  int32_t result;
};

class FakeFile;

struct FakeWrite {
  std::string path;
  uint32_t requested;
  int32_t result;
};

class FakePlatform : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // --- the world ---
  PathStyle host_style = kWindowsPaths;
  PathStyle stored_style = kWindowsPaths;
  std::string own_file_path = "C:\\Downloads\\setup.exe";
  std::string command_line = "setup.exe";
  std::string temp_folder = "C:\\Temp\\";
  std::map<std::string, FakeNode> nodes;

  void AddFile(const std::string& path, std::string data);
  void AddFolder(const std::string& path);
  bool Exists(const std::string& path) const { return nodes.count(path) != 0; }
  const std::string& Contents(const std::string& path) const;

  // --- faults ---
  bool temp_folder_missing = false;       // GetTempPathA gives 0
  bool temp_name_fails = false;           // GetTempFileNameA gives 0
  bool make_folder_fails = false;         // CreateDirectoryA fails
  int fail_read_call = -1;                // the n-th Read (0-based) gives -1
  int32_t read_limit = -1;                // every Read gives at most this many bytes
  int64_t disk_space = -1;                // bytes that writes may still store; then short writes
  bool write_fails = false;               // every Write gives -1
  std::vector<std::string> create_fails;  // CreateForWriting fails for these paths
  uint32_t start_result = 33;             // what StartProcess gives
  FolderSharing sharing = FolderSharing::kPrivate;  // of every temporary folder
  bool unique_folder_fails = false;                 // MakeUniqueFolder fails
  size_t longest_command_line = 32766;              // what LongestCommandLine gives
  size_t longest_program_path = 259;                // what LongestProgramPath gives
  // How names convert to the system's characters: every byte one unit
  // unless a test sets a code page of its own.
  std::function<bool(const std::string&, std::u16string*)> convert_name;
  // Runs when the loader asks which file a path names, just before it starts
  // the installer: a test changes the world there, at the last moment.
  std::function<void()> before_identify;
  // Runs before every Read, with the path read: a test changes a file while
  // the loader reads it.
  std::function<void(const std::string&)> before_read;
  // Deployment runs.
  uint32_t installer_exit_code = 0;  // what WaitForProcess gives
  bool wait_fails = false;           // WaitForProcess gives false
  int64_t free_space = -1;           // what FreeSpace gives; -1: unknown (false)
  bool append_fails = false;         // OpenForAppending fails
  std::string local_time = "2024-05-01 13:45:07";

  // --- logs ---
  std::vector<FakeRead> reads;
  std::vector<FakeWrite> writes;
  std::vector<std::string> folders_made;
  std::vector<std::string> files_created;
  std::vector<std::string> files_marked_executable;
  std::vector<std::string> processes_started;  // the command lines
  // The whole requests, as the tests compare them.
  struct Start {
    std::string program;
    std::vector<std::string> arguments;
    std::string command_line;
    bool wait = false;
    FileId program_id;
  };
  std::vector<Start> starts;
  std::vector<int> open_files_at_start;            // files open when each process started
  std::vector<std::string> removed;                // files and folders removed, in order
  std::map<std::string, std::string> environment;  // what SetEnvironment set
  int waits = 0;                                   // WaitForProcess calls
  int open_files = 0;                     // files currently open; 0 again when all were closed
  std::map<std::string, int> open_paths;  // how often each path is open now
  int read_calls = 0;

  // --- Platform ---
  uint32_t FilesOpened() override { return opened_; }
  void CloseFilesOpenedSince(uint32_t mark) override;
  PathStyle HostPathStyle() const override { return host_style; }
  PathStyle StoredNameStyle() const override { return stored_style; }
  PathText OwnFilePath() override { return PathText(own_file_path); }
  std::string_view CommandLine() override { return command_line; }
  bool GetTempFolder(PathText* folder) override;
  FolderSharing TempFolderSharing(SystemText folder) override;
  PathText MakeTempFileName(SystemText folder, SystemText prefix) override;
  bool MakeFolder(SystemText path) override;
  PathText MakeUniqueFolder(SystemText folder, SystemText prefix) override;
  bool FileExists(SystemText path) override;
  OpenFile OpenForReading(SystemText path) override;
  OpenFile CreateForWriting(SystemText path) override;
  bool ConvertName(std::string_view name, WideName* converted) override;
  FileId IdentifyFile(SystemText path) override;
  void MarkExecutable(SystemText path) override;
  size_t LongestCommandLine() override { return longest_command_line; }
  size_t LongestProgramPath() override { return longest_program_path; }
  uint32_t StartProcess(const ProcessStart& start) override;
  // The fake starts programs as the host its paths are written for would.
  bool StartsBatchFilesThroughCmd() const override { return host_style.trailing == '\\'; }

  // --- what runs with switches use ---
  bool WaitForProcess(WaitableProcess* process, uint32_t* exit_code) override;
  bool FreeSpace(SystemText folder, uint64_t* bytes) override;
  bool RemoveFile(SystemText path) override;
  bool RemoveEmptyFolder(SystemText path) override;
  bool RemoveTree(SystemText folder, bool keep_folder) override;
  FolderState InspectFolder(SystemText path) override;
  OpenFile OpenForAppending(SystemText path) override;
  TimeText LocalTime() override { return TimeText(local_time); }
  // %NAME% from `environment`, as Windows expands it.
  bool ExpandVariables(SystemText text, PathText* expanded) override;
  void SetEnvironment(SystemText name, SystemText value) override {
    if (value.view().empty()) {
      environment.erase(std::string(name.view()));
    } else {
      environment[std::string(name.view())] = std::string(value.view());
    }
  }
  bool HashStart() override { return hash_.Start(); }
  void HashAdd(const unsigned char* bytes, size_t size) override { hash_.Add(bytes, size); }
  bool HashEnd(Sha256Digest* digest) override { return hash_.End(digest); }

  // The id of an open fake file's node.
  FileId IdOf(const std::string& path) const;

 private:
  friend class FakeFile;
  // A new file for path, counted.
  OpenFile Open(const std::string& path, bool append);

  // Every open file by the number of its opening, and every one that
  // CloseFilesOpenedSince closed while its owner still holds it: an owner
  // that unwinds later closes it again, as a real handle's owner would.
  std::map<uint32_t, std::unique_ptr<FakeFile>> files_;
  uint32_t opened_ = 0;  // files opened so far
  unsigned next_temp_number_ = 0x1A2B;
  unsigned next_unique_number_ = 0;
  uint64_t next_id_ = 1;
  SoftwareSha256 hash_;
};

}  // namespace ldr::testing
