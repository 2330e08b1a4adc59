#pragma once
// The POSIX platform. Host paths split at "/"; names stored in archives keep
// the Windows rules. Where Windows has a behaviour the loader relies on (the
// 261-byte path buffers, GetTempFileNameA's exclusive creation, WinExec's
// result codes) it is mirrored here.
//
// The temporary folder and the folders made in it are held open. Every
// function that takes a path looks its last part up relative to the held
// folder when the path's folder is one, so the folders on the way are never
// looked up again: the paths stay the texts the loader shows and hands on.

#include "platform/platform.h"

namespace ldr {

// A file open through a descriptor, in one of the platform's slots.
class PosixFile final : public File {
 public:
  int64_t Seek(int64_t distance, Origin origin) override;
  int32_t Read(void* buffer, uint32_t size) override;
  int32_t Write(const void* data, uint32_t size) override;
  FileId Id() override;

 private:
  friend class PosixPlatform;
  void Close() override;

  int fd_ = -1;  // -1: a free slot
};

class PosixPlatform final : public Platform {
 public:
  // How many folders it keeps open for creating files relative to them;
  // past that, the one held longest is let go.
  static constexpr int kMaxHeldFolders = 8;

  PosixPlatform(int argc, char** argv);
  ~PosixPlatform() override;

  PathStyle HostPathStyle() const override;
  PathStyle StoredNameStyle() const override;
  PathText OwnFilePath() override;
  std::string_view CommandLine() override;
  bool ArgumentsAfterSeparator(size_t separator_end, ArgumentList* arguments) override;
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
  size_t LongestCommandLine() override;
  size_t LongestProgramPath() override;
  uint32_t StartProcess(const ProcessStart& start) override;
  bool StartsBatchFilesThroughCmd() const override { return false; }
  // What only runs with switches use, in platform_posix_deploy.cpp.
  bool WaitForProcess(WaitableProcess* process, uint32_t* exit_code) override;
  bool FreeSpace(SystemText folder, uint64_t* bytes) override;
  bool RemoveFile(SystemText path) override;
  bool RemoveEmptyFolder(SystemText path) override;
  bool RemoveTree(SystemText folder, bool keep_folder) override;
  FolderState InspectFolder(SystemText path) override;
  OpenFile OpenForAppending(SystemText path) override;
  TimeText LocalTime() override;
  void SetEnvironment(SystemText name, SystemText value) override;
  bool ExpandVariables(SystemText text, PathText* expanded) override {
    expanded->Assign(text.view());
    return !expanded->cut();
  }
  bool HashStart() override { return hash_.Start(); }
  void HashAdd(const unsigned char* bytes, size_t size) override { hash_.Add(bytes, size); }
  bool HashEnd(Sha256Digest* digest) override { return hash_.End(digest); }

 private:
  struct HeldFolder {
    PathText path;  // without final separators
    int fd = -1;
    bool pinned = false;    // a temporary or /EXTRACT folder: held to the end
    bool walkable = false;  // only this user can change what lies below
  };
  // Where a path's last part is looked up: relative to a held folder when
  // the path's folder is one, else the whole path as given.
  struct Located {
    int folder;        // a held folder, or AT_FDCWD
    const char* name;  // points into the path
  };

  Located Locate(SystemText path);
  // The path the system resolves a located name by: its held folder's real
  // path (the empty text when that cannot be had), or the path as given.
  PathText RealPath(Located at) const;
  // Opens a folder just made and keeps it open, if it is a real folder of
  // this user.
  bool Hold(Located at, std::string_view path);
  // Keeps fd open as the folder path names now (closed when it cannot be);
  // a pinned folder is never let go for another.
  bool Keep(std::string_view path, int fd, bool pinned = false, bool walkable = true);
  OpenFile Slot(int fd);

  int argc_;
  char** argv_;
  CommandLineText command_line_;
  HeldFolder folders_[kMaxHeldFolders];
  int next_folder_ = 0;  // the slot to use next, round the ring
  PosixFile files_[kMaxOpenFiles];
  SoftwareSha256 hash_;
};

}  // namespace ldr
