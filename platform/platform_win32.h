#pragma once
// The Win32 platform: the ANSI kernel functions with their 261-byte
// buffers, and for runs with switches the native ones relative to held
// folder handles.

#include <windows.h>

#include "platform/platform.h"

namespace ldr {

// A file open through a handle, in one of the platform's slots.
class Win32File final : public File {
 public:
  int64_t Seek(int64_t distance, Origin origin) override;
  int32_t Read(void* buffer, uint32_t size) override;
  int32_t Write(const void* data, uint32_t size) override;
  FileId Id() override;

  static FileId IdOfHandle(HANDLE handle);

 private:
  friend class Win32Platform;
  void Close() override;

  HANDLE handle_ = INVALID_HANDLE_VALUE;  // INVALID_HANDLE_VALUE: a free slot
  uint32_t opened_ = 0;                   // the platform's count when it opened
};

// The Win32 platform.
//
// Unguarded (a kit without the deployment record), it calls the ANSI kernel
// functions as the loader always has. Guarded (a kit that carries the
// record), everything the run makes is made and removed through folders it
// holds open, as the POSIX platform does: the temporary folder once judged,
// and every folder the run makes, are held without delete sharing from then
// on, so nobody can rename or replace them. Files and folders are created
// new (never an existing one opened) relative to those handles, never
// through a reparse point, each file's id noted; RemoveFile deletes only a
// file so noted, through its own handle, and RemoveEmptyFolder a folder
// through its handle. The temporary folder must be one only this user, the
// Administrators and the system may change; the kit's files are open
// sharing reading only. The operations only runs with switches use are in
// platform_win32_deploy.cpp.
class Win32Platform final : public Platform {
 public:
  // How many folders it keeps open; past that, the one held longest is let
  // go (and opened again as itself, by its path, when it is needed).
  static constexpr int kMaxHeldFolders = 8;
  // How many files' ids it notes.
  static constexpr int kMaxMadeFiles = 256;

  explicit Win32Platform(bool guarded = false) : guarded_(guarded) {}
  // argc and argv are not used: the command line is GetCommandLineA's.
  Win32Platform(int, char**) : guarded_(false) {}
  ~Win32Platform() override;

  PathStyle HostPathStyle() const override;
  PathStyle StoredNameStyle() const override;
  PathText OwnFilePath() override;
  std::string_view CommandLine() override;
  bool GetTempFolder(PathText* folder) override;
  // Guarded: judged and held at once.
  FolderSharing TempFolderSharing(SystemText folder) override;
  PathText MakeTempFileName(SystemText folder, SystemText prefix) override;
  bool MakeFolder(SystemText path) override;
  PathText MakeUniqueFolder(SystemText folder, SystemText prefix) override;
  bool FileExists(SystemText path) override;
  // Guarded: shares reading only: nobody may write a kit's file while the
  // run has it open, between its check and its use.
  OpenFile OpenForReading(SystemText path) override;
  OpenFile CreateForWriting(SystemText path) override;
  bool ConvertName(std::string_view name, WideName* converted) override;
  FileId IdentifyFile(SystemText path) override;
  void MarkExecutable(SystemText path) override;
  size_t LongestCommandLine() override;
  size_t LongestProgramPath() override;
  uint32_t StartProcess(const ProcessStart& start) override;
  bool StartsBatchFilesThroughCmd() const override { return true; }
  uint32_t FilesOpened() override { return opened_; }
  void CloseFilesOpenedSince(uint32_t mark) override;

  bool WaitForProcess(WaitableProcess* process, uint32_t* exit_code) override;
  bool FreeSpace(SystemText folder, uint64_t* bytes) override;
  bool RemoveFile(SystemText path) override;
  bool RemoveEmptyFolder(SystemText path) override;
  bool RemoveTree(SystemText folder, bool keep_folder) override;
  FolderState InspectFolder(SystemText path) override;
  // Guarded: an existing log only if it is a disk file of this user (or the
  // Administrators, or the system) with one link, opened as itself, on a path
  // that passes through no reparse point; else one made new.
  OpenFile OpenForAppending(SystemText path) override;
  TimeText LocalTime() override;
  void SetEnvironment(SystemText name, SystemText value) override;
  bool ExpandVariables(SystemText text, PathText* expanded) override;
  bool HashStart() override;
  void HashAdd(const unsigned char* bytes, size_t size) override;
  bool HashEnd(Sha256Digest* digest) override;

 private:
  struct HeldFolder {
    PathText path;  // without final separators
    HANDLE handle = nullptr;
  };
  // A slot for the handle, or an empty owner when none is free.
  OpenFile Hold(HANDLE handle);
  // NtCreateFile of path's last part relative to the folder holding it: a
  // held folder, else that folder opened as itself for the moment (refused
  // when it is a reparse point). Never follows a final reparse point.
  // INVALID_HANDLE_VALUE on failure; *created tells a new file from one
  // that was there.
  HANDLE OpenAt(SystemText path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                bool* created = nullptr);
  // The held folder of that path, or null.
  HeldFolder* Held(std::string_view path);
  void HoldFolder(std::string_view path, HANDLE handle);
  // Whether the open file is one the run made (its id noted); with `note`,
  // notes it as one (false when no more can be noted).
  bool Made(HANDLE handle, bool note = false);
  // RemoveFile and RemoveEmptyFolder of a guarded run.
  // With `made_only` false, whatever lies there (a whole tree's removal),
  // still opened as itself and deleted through its handle.
  bool Remove(SystemText path, ULONG options, bool made_only = true);
  // The guarded forms of the operations that differ.
  FolderSharing HoldTempFolder(SystemText folder, FolderSharing plain);
  bool MakeHeldFolder(SystemText path);
  OpenFile CreateMade(SystemText path);

  Win32File files_[kMaxOpenFiles];
  uint32_t opened_ = 0;  // files opened so far
  bool guarded_;
  HeldFolder folders_[kMaxHeldFolders];
  int next_folder_ = 0;
  FileId made_[kMaxMadeFiles];
  int made_count_ = 0;
  HCRYPTPROV provider_ = 0;  // while a hash runs
  HCRYPTHASH hash_ = 0;
  bool hash_failed_ = false;
};

}  // namespace ldr
