// POSIX conventions the loader and its checks rely on: how argv becomes a
// command line, where the temporary folder is, file modes, links and the
// WinExec-like results of starting a program.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/system_platform.h"
#include "tests/platform/host_files.h"
#include "tests/support/argument_list.h"

namespace ldr::testing {
namespace {

std::unique_ptr<Platform> PlatformFor(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return std::make_unique<SystemPlatform>(static_cast<int>(arguments.size()), argv.data());
}

TEST(PosixCommandLine, SplitsBackIntoTheArguments) {
  struct Case {
    std::vector<std::string> argv;
    std::vector<std::string> expected;  // what the loader's rules read back
  };
  const Case cases[] = {
      {{"/opt/kit/setup"}, {"/opt/kit/setup"}},
      {{"./setup", "*TODISK"}, {"./setup", "*TODISK"}},
      {{"/my kit/setup", "a b", "c"}, {"/my kit/setup", "a b", "c"}},
      {{"setup", "tab\there", "new\nline"}, {"setup", "tab\there", "new\nline"}},
      {{"setup", "back\\slash\\", "x"}, {"setup", "back\\slash\\", "x"}},
      // A double quote cannot be carried; it is dropped.
      {{"setup", "say \"hi\"", "q\"q"}, {"setup", "say hi", "qq"}},
      // Empty arguments read as blanks and vanish.
      {{"setup", "", "after"}, {"setup", "after"}},
      {{"setup", std::string(300, 'x')}, {"setup", std::string(300, 'x')}},
  };
  for (const Case& c : cases) {
    std::string line(PlatformFor(c.argv)->CommandLine());
    EXPECT_EQ(SplitArguments(line), c.expected) << line;
  }
  EXPECT_EQ(PlatformFor({"setup", "*todisk"})->CommandLine(), "setup *todisk");
  EXPECT_EQ(ArgumentText(PlatformFor({"/a b/setup", "*TODISK"})->CommandLine(), 1), "*TODISK");
  // The line holds as many whole arguments as the longest Windows line;
  // one that would not fit ends it, never cut.
  const std::string huge(kMaxCommandLine, 'h');
  EXPECT_EQ(std::string(PlatformFor({"setup", "*TODISK", huge, "x"})->CommandLine()),
            "setup *TODISK");
  const std::string fits(kMaxCommandLine - 6, 'f');
  EXPECT_EQ(std::string(PlatformFor({"setup", fits})->CommandLine()), "setup " + fits);
}

class PosixPlatform : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmpdir = std::getenv("TMPDIR");
    had_tmpdir_ = tmpdir != nullptr;
    if (had_tmpdir_) saved_tmpdir_ = tmpdir;
  }
  void TearDown() override {
    if (had_tmpdir_) {
      ::setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    RemoveTree(scratch_);
  }
  void Put(const std::string& path, const std::string& contents, mode_t mode) {
    std::ofstream(path, std::ios::binary) << contents;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
  }
  void Link(const std::string& name, const std::string& target, uid_t owner) {
    const std::string path = scratch_ + name;
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << name;
    if (owner != ::geteuid()) {
      ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << name;
    }
  }

  std::unique_ptr<Platform> platform_ = PlatformFor({"platform_test"});
  std::string scratch_ = MakeScratchFolder();
  bool had_tmpdir_ = false;
  std::string saved_tmpdir_;
};

TEST_F(PosixPlatform, TempFolderComesFromTmpdir) {
  struct Case {
    const char* tmpdir;  // null: unset
    bool found;
    std::string folder;
  };
  // Up to the system's path limit, not Windows' 260 characters.
  const std::string longest(PATH_MAX - 2, 'd');  // with the added "/", PATH_MAX - 1
  const std::string too_long = longest + "d";
  const Case cases[] = {
      {nullptr, true, "/tmp/"},
      {"", true, "/tmp/"},
      {"/var/tmp", true, "/var/tmp/"},
      {"/var/tmp/", true, "/var/tmp/"},
      // Not checked for existence, like GetTempPathA.
      {"/no/such/folder", true, "/no/such/folder/"},
      {longest.c_str(), true, longest + "/"},
      {too_long.c_str(), false, ""},
  };
  for (const Case& c : cases) {
    if (c.tmpdir == nullptr) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", c.tmpdir, 1);
    }
    PathText folder("unchanged");
    EXPECT_EQ(platform_->GetTempFolder(&folder), c.found) << (c.tmpdir ? c.tmpdir : "(unset)");
    EXPECT_EQ(folder, c.found ? c.folder : "unchanged");
  }
}

TEST_F(PosixPlatform, OwnFilePathIsTheRunningExecutable) {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  std::string expected(buffer, static_cast<size_t>(n));
  EXPECT_EQ(platform_->OwnFilePath(), expected);
  EXPECT_EQ(platform_->HostPathStyle().separators, std::string("/"));
  EXPECT_EQ(platform_->StoredNameStyle().separators, std::string("\\:"));
}

TEST_F(PosixPlatform, WhatTheLoaderMakesIsPrivate) {
  std::string temp = platform_->MakeTempFileName(scratch_, "ldx");
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(ModeOf(temp), 0600u);
  ASSERT_TRUE(platform_->MakeFolder(scratch_ + "work"));
  EXPECT_EQ(ModeOf(scratch_ + "work"), 0700u);
  ASSERT_NE(platform_->CreateForWriting(scratch_ + "work/setup"), nullptr);
  EXPECT_EQ(ModeOf(scratch_ + "work/setup"), 0600u);
  platform_->MarkExecutable(scratch_ + "work/setup");
  EXPECT_EQ(ModeOf(scratch_ + "work/setup"), 0700u);
}

TEST_F(PosixPlatform, CreateForWritingNeverFollowsALink) {
  std::string target = scratch_ + "victim";
  Put(target, "precious", 0644);
  ASSERT_EQ(::symlink(target.c_str(), (scratch_ + "planted").c_str()), 0);
  ASSERT_EQ(::symlink((scratch_ + "nowhere").c_str(), (scratch_ + "dangling").c_str()), 0);
  EXPECT_EQ(platform_->CreateForWriting(scratch_ + "planted"), nullptr);
  EXPECT_EQ(platform_->CreateForWriting(scratch_ + "dangling"), nullptr);
  EXPECT_EQ(ModeOf(scratch_ + "nowhere"), 0u) << "a file was made through the link";
  std::ifstream file(target);
  std::string contents;
  std::getline(file, contents);
  EXPECT_EQ(contents, "precious");
}

// A FIFO counts as an existing entry, as on Windows anything but a folder
// does, but is neither written nor read, and opening it never waits for a
// writer.
TEST_F(PosixPlatform, APipeExistsButIsNeverOpened) {
  ASSERT_EQ(::mkfifo((scratch_ + "pipe").c_str(), 0600), 0);
  EXPECT_EQ(platform_->CreateForWriting(scratch_ + "pipe"), nullptr);
  EXPECT_TRUE(platform_->FileExists(scratch_ + "pipe"));
  EXPECT_EQ(platform_->OpenForReading(scratch_ + "pipe"), nullptr);
  EXPECT_FALSE(platform_->FileExists(scratch_));  // a folder is not a file
}

// In a folder others may plant names in, a file of another user is not
// taken over, and not emptied on the way to refusing it.
TEST_F(PosixPlatform, CreateForWritingRefusesAnotherUsersFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  std::string planted = scratch_ + "planted";
  Put(planted, "theirs", 0666);
  ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
  EXPECT_EQ(platform_->CreateForWriting(planted), nullptr);
  std::ifstream file(planted);
  std::string contents;
  std::getline(file, contents);
  EXPECT_EQ(contents, "theirs");
}

// A hard link to a file elsewhere would carry the cut and the new contents
// there: a file with a second link is not cut.
TEST_F(PosixPlatform, CreateForWritingNeverCutsAFileWithAnotherLink) {
  std::string victim = scratch_ + "victim";
  Put(victim, "precious", 0600);
  ASSERT_EQ(::link(victim.c_str(), (scratch_ + "linked").c_str()), 0);
  EXPECT_EQ(platform_->CreateForWriting(scratch_ + "linked"), nullptr);
  std::ifstream file(victim);
  std::string contents;
  std::getline(file, contents);
  EXPECT_EQ(contents, "precious");
}

// Files are made relative to the folder MakeFolder made and still holds: a
// folder renamed and replaced by a link meanwhile redirects nothing.
TEST_F(PosixPlatform, FilesGoIntoTheFolderMadeEvenWhenItsNameIsTakenOver) {
  ASSERT_TRUE(platform_->MakeFolder(scratch_ + "work"));
  ASSERT_EQ(::mkdir((scratch_ + "elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(::rename((scratch_ + "work").c_str(), (scratch_ + "moved").c_str()), 0);
  ASSERT_EQ(::symlink((scratch_ + "elsewhere").c_str(), (scratch_ + "work").c_str()), 0);
  ASSERT_NE(platform_->CreateForWriting(scratch_ + "work/setup"), nullptr);
  EXPECT_EQ(ModeOf(scratch_ + "moved/setup"), 0600u);
  EXPECT_EQ(ModeOf(scratch_ + "elsewhere/setup"), 0u);
}

// Who may change what lies in the temporary folder, from the modes and
// owners of the folder and of every folder above it.
TEST_F(PosixPlatform, TempFolderSharingFollowsModesAndOwners) {
  struct Case {
    const char* name;
    mode_t mode;
    FolderSharing expected;
  };
  const Case cases[] = {
      {"private", 0700, FolderSharing::kPrivate}, {"readable", 0755, FolderSharing::kPrivate},
      {"sticky", 01777, FolderSharing::kShared},  {"open", 0777, FolderSharing::kUnsafe},
      {"group", 0770, FolderSharing::kUnsafe},
  };
  for (const Case& c : cases) {
    std::string folder = scratch_ + c.name;
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
    EXPECT_EQ(platform_->TempFolderSharing(folder + "/"), c.expected) << c.name;
  }
  // Below an open folder, a private one is no safer: its name can be taken.
  ASSERT_EQ(::mkdir((scratch_ + "open/mine").c_str(), 0700), 0);
  EXPECT_EQ(platform_->TempFolderSharing(scratch_ + "open/mine"), FolderSharing::kUnsafe);
  // Below a sticky folder it is: nobody else may rename it.
  ASSERT_EQ(::mkdir((scratch_ + "sticky/mine").c_str(), 0700), 0);
  EXPECT_EQ(platform_->TempFolderSharing(scratch_ + "sticky/mine"), FolderSharing::kPrivate);
  // A link is judged by where it leads.
  ASSERT_EQ(::symlink((scratch_ + "open").c_str(), (scratch_ + "link").c_str()), 0);
  EXPECT_EQ(platform_->TempFolderSharing(scratch_ + "link"), FolderSharing::kUnsafe);
  if (::geteuid() == 0) {
    // Another user's folder, even sticky: its owner may rename anything in it.
    ASSERT_EQ(::chown((scratch_ + "sticky").c_str(), 65534, 65534), 0);
    EXPECT_EQ(platform_->TempFolderSharing(scratch_ + "sticky"), FolderSharing::kUnsafe);
  }
}

TEST_F(PosixPlatform, UniqueFoldersArePrivate) {
  std::string folder = platform_->MakeUniqueFolder(scratch_, "ldx");
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(ModeOf(folder), 0700u);
}

TEST_F(PosixPlatform, StartFailuresMapToWinExecResults) {
  Put(scratch_ + "not-executable", "#!/bin/sh\nexit 0\n", 0600);
  Put(scratch_ + "garbage", "this is not a program\n", 0700);
  Put(scratch_ + "plain", "x", 0600);
  struct Case {
    std::string program;
    uint32_t result;
  };
  const Case cases[] = {
      {"", 2},
      {scratch_ + "missing", 2},
      {scratch_ + "plain/below", 2},  // ENOTDIR
      {scratch_ + "not-executable", 5},
      {scratch_ + "garbage", 11},              // ENOEXEC: never handed to a shell
      {scratch_, 5},                           // a folder is no program
      {scratch_ + std::string(300, 'n'), 31},  // ENAMETOOLONG: any other failure
  };
  for (const Case& c : cases)
    EXPECT_EQ(platform_->StartProcess(StartOf({c.program})), c.result) << c.program;
}

TEST_F(PosixPlatform, StartedProgramDoesNotInheritOpenFiles) {
  std::string archive = scratch_ + "archive.bin";
  Put(archive, "data", 0600);
  auto reading = platform_->OpenForReading(archive);
  auto writing = platform_->CreateForWriting(scratch_ + "out.bin");
  ASSERT_NE(reading, nullptr);
  ASSERT_NE(writing, nullptr);
  std::string child =
      std::string(DirectoryPart(platform_->OwnFilePath(), kPosixPaths)) + kChildProgramName;
  std::string report = scratch_ + "fds.txt";
  ASSERT_EQ(platform_->StartProcess(StartOf({child, report, "--fds"})), 33u);
  const std::string text = AwaitReport(report);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find("archive.bin"), std::string::npos) << text;
  EXPECT_EQ(text.find("out.bin"), std::string::npos) << text;
  // Nor the descriptor it was started from: only a script's interpreter
  // needs that one.
  EXPECT_EQ(text.find(kChildProgramName), std::string::npos) << text;
}

// A link on the temporary folder's path that another user owns can be
// pointed elsewhere between any two lookups: refused wherever it lies,
// also when reached through a link of the user's own. Links of the user
// and of root are followed, and the folders are judged by where they lead.
TEST_F(PosixPlatform, LinksOnTheTempFolderPathMustBeTheUsersOrRoots) {
  const std::string mine = scratch_ + "mine";
  ASSERT_EQ(::mkdir(mine.c_str(), 0700), 0);
  const uid_t me = ::geteuid();
  Link("own", mine, me);
  Link("relative", "mine", me);
  Link("chain", scratch_ + "relative/", me);
  Link("loop", scratch_ + "loop", me);
  struct Case {
    std::string path;
    FolderSharing expected;
  };
  const Case own_cases[] = {
      {scratch_ + "own/", FolderSharing::kPrivate},
      {scratch_ + "relative", FolderSharing::kPrivate},
      {scratch_ + "chain//", FolderSharing::kPrivate},
      {scratch_ + "own/../mine/.", FolderSharing::kPrivate},
      {scratch_ + "loop/", FolderSharing::kMissing},
      {scratch_ + "own/nothing/", FolderSharing::kMissing},
  };
  for (const Case& c : own_cases)
    EXPECT_EQ(platform_->TempFolderSharing(c.path), c.expected) << c.path;
  if (me != 0) GTEST_SKIP() << "needs root to give links to other users";

  Link("theirs", mine, 65534);
  Link("via-theirs", scratch_ + "theirs", me);
  Link("theirs-above", scratch_, 65534);
  Link("roots", mine, 0);
  // A folder of theirs on the way: the root's link in it is read once and
  // leads out, so nothing of theirs lies on the real path.
  ASSERT_EQ(::mkdir((scratch_ + "their-folder").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(mine.c_str(), (scratch_ + "their-folder/back").c_str()), 0);
  ASSERT_EQ(::chown((scratch_ + "their-folder").c_str(), 65534, 65534), 0);
  const Case cases[] = {
      {scratch_ + "theirs", FolderSharing::kUnsafe},
      {scratch_ + "theirs/", FolderSharing::kUnsafe},
      {scratch_ + "via-theirs", FolderSharing::kUnsafe},
      {scratch_ + "theirs-above/mine", FolderSharing::kUnsafe},
      {scratch_ + "roots/", FolderSharing::kPrivate},
      {scratch_ + "their-folder/back", FolderSharing::kPrivate},
      {scratch_ + "their-folder", FolderSharing::kUnsafe},
  };
  for (const Case& c : cases) EXPECT_EQ(platform_->TempFolderSharing(c.path), c.expected) << c.path;
}

// The temporary folder is resolved once and held: the temporary file, the
// working folders and the files in them go into the folder judged, even
// when its name leads elsewhere by the time they are made.
TEST_F(PosixPlatform, WhatIsMadeInTheTempFolderGoesIntoTheFolderJudged) {
  const std::string tmp = scratch_ + "tmp";
  ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
  ASSERT_EQ(platform_->TempFolderSharing(tmp + "/"), FolderSharing::kPrivate);
  ASSERT_EQ(::rename(tmp.c_str(), (scratch_ + "judged").c_str()), 0);
  ASSERT_EQ(::mkdir((scratch_ + "elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((scratch_ + "elsewhere").c_str(), tmp.c_str()), 0);

  const std::string file = platform_->MakeTempFileName(tmp + "/", "ldx");
  ASSERT_EQ(file.rfind(tmp + "/ldx", 0), 0u) << file;
  EXPECT_EQ(ModeOf(scratch_ + "judged/" + file.substr(tmp.size() + 1)), 0600u);
  const std::string unique = platform_->MakeUniqueFolder(tmp + "/", "ldx");
  ASSERT_EQ(unique.rfind(tmp + "/ldx", 0), 0u) << unique;
  EXPECT_EQ(ModeOf(scratch_ + "judged/" + unique.substr(tmp.size() + 1)), 0700u);
  ASSERT_TRUE(platform_->MakeFolder(tmp + "/work"));
  ASSERT_NE(platform_->CreateForWriting(tmp + "/work/setup"), nullptr);
  EXPECT_EQ(ModeOf(scratch_ + "judged/work/setup"), 0600u);
  EXPECT_TRUE(platform_->FileExists(tmp + "/work/setup"));
  struct stat info;
  ASSERT_EQ(::stat((scratch_ + "judged/work/setup").c_str(), &info), 0);
  EXPECT_EQ(platform_->IdentifyFile(tmp + "/work/setup"),
            (FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true}));
  std::ifstream listing(scratch_ + "elsewhere/setup");
  EXPECT_FALSE(listing) << "a file was made through the name";
  EXPECT_EQ(::rmdir((scratch_ + "elsewhere").c_str()), 0) << "something was made elsewhere";
}

// The program started is the file in the held folder, opened once and
// checked against the file written: a folder swapped in under the same name
// runs nothing of its own. A script runs too (its interpreter reads it
// through the descriptor).
TEST_F(PosixPlatform, StartsTheFileCheckedNotWhatItsNameLeadsTo) {
  ASSERT_TRUE(platform_->MakeFolder(scratch_ + "work"));
  {
    OpenFile script = platform_->CreateForWriting(scratch_ + "work/run");
    ASSERT_NE(script, nullptr);
    const std::string text = "#!/bin/sh\necho held > \"$1\"\n";
    ASSERT_EQ(script->Write(text.data(), static_cast<uint32_t>(text.size())),
              static_cast<int32_t>(text.size()));
  }
  platform_->MarkExecutable(scratch_ + "work/run");
  const FileId written = platform_->IdentifyFile(scratch_ + "work/run");
  ASSERT_TRUE(written.known);
  ASSERT_EQ(::rename((scratch_ + "work").c_str(), (scratch_ + "moved").c_str()), 0);
  ASSERT_EQ(::mkdir((scratch_ + "work").c_str(), 0700), 0);
  Put(scratch_ + "work/run", "#!/bin/sh\necho planted > \"$1\"\n", 0700);

  ProcessStart start = StartOf({scratch_ + "work/run", scratch_ + "report"});
  start.program_id = written;
  ASSERT_EQ(platform_->StartProcess(start), 33u);
  EXPECT_EQ(AwaitReport(scratch_ + "report"), "held\n");

  // Another file than the one written: nothing starts.
  ProcessStart other = StartOf({scratch_ + "work/run", scratch_ + "other-report"});
  other.program_id = FileId{written.volume, written.index + 1, true};
  EXPECT_EQ(platform_->StartProcess(other), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ModeOf(scratch_ + "other-report"), 0u);
}

// The platform keeps a few slots for open files and never more: a further
// open is refused and its descriptor closed, and a slot given back serves
// the next open.
TEST_F(PosixPlatform, OpenFilesAreLimitedToTheirSlots) {
  Put(scratch_ + "archive.bin", "data", 0600);
  std::vector<OpenFile> open;
  for (int i = 0; i < kMaxOpenFiles; ++i) {
    open.push_back(platform_->OpenForReading(scratch_ + "archive.bin"));
    ASSERT_NE(open.back(), nullptr) << i;
  }
  const int next_fd = ::dup(0);
  ASSERT_GE(next_fd, 0);
  ::close(next_fd);
  EXPECT_EQ(platform_->OpenForReading(scratch_ + "archive.bin"), nullptr);
  EXPECT_EQ(platform_->CreateForWriting(scratch_ + "out.bin"), nullptr);
  const int after = ::dup(0);
  EXPECT_EQ(after, next_fd) << "a refused open left its descriptor open";
  ::close(after);
  open.pop_back();
  OpenFile again = platform_->OpenForReading(scratch_ + "archive.bin");
  ASSERT_NE(again, nullptr);
  char byte = 0;
  EXPECT_EQ(again->Read(&byte, 1), 1);
  EXPECT_EQ(byte, 'd');
}

// Every name a temporary file can take (four hex digits after the prefix)
// is taken: no name, rather than a name of another's file. The 65535 files
// go on a memory file system when there is one.
TEST_F(PosixPlatform, TempFileNameWhenEveryNameIsTaken) {
  std::string folder = scratch_ + "full/";
  struct stat shm;
  if (::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) {
    char pattern[] = "/dev/shm/ldrtest.XXXXXX";
    if (::mkdtemp(pattern) != nullptr) folder = std::string(pattern) + "/";
  }
  ::mkdir(folder.c_str(), 0700);
  for (unsigned number = 1; number <= 0xFFFFu; ++number) {
    char name[16];
    std::snprintf(name, sizeof name, "ldx%X.tmp", number);
    const int fd = ::open((folder + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }
  EXPECT_EQ(platform_->MakeTempFileName(folder, "ldx"), "");
  EXPECT_NE(platform_->MakeTempFileName(folder, "ldy"), "");
  RemoveTree(folder);
}

// A relative temporary folder is judged where it lies from the current
// folder; a file on the way is no folder at all.
TEST_F(PosixPlatform, TempFolderSharingOfRelativePathsAndFilesOnTheWay) {
  ASSERT_EQ(::mkdir((scratch_ + "mine").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((scratch_ + "open").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((scratch_ + "open").c_str(), 0777), 0);
  Put(scratch_ + "plain", "x", 0600);
  char previous[PATH_MAX];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(scratch_.c_str()), 0);
  const FolderSharing mine = platform_->TempFolderSharing("mine/");
  const FolderSharing open = platform_->TempFolderSharing("open");
  const FolderSharing dot = platform_->TempFolderSharing(".");
  ASSERT_EQ(::chdir(previous), 0);
  EXPECT_EQ(mine, FolderSharing::kPrivate);
  EXPECT_EQ(open, FolderSharing::kUnsafe);
  EXPECT_EQ(dot, FolderSharing::kPrivate);
  EXPECT_EQ(platform_->TempFolderSharing(scratch_ + "plain/"), FolderSharing::kMissing);
  EXPECT_EQ(platform_->TempFolderSharing(scratch_ + "plain/mine"), FolderSharing::kMissing);
}

// A folder whose path would not fit the platform's path text is not held
// under a cut name, which would name another folder: making it is refused.
TEST_F(PosixPlatform, FolderWhosePathCannotBeHeldIsRefused) {
  std::string deep = scratch_.substr(0, scratch_.size() - 1);
  while (deep.size() < kMaxSystemPath) {
    // Room for "/" and a part; never leave room for a "/" alone.
    const size_t left = kMaxSystemPath - deep.size();
    const size_t part = left > 201 ? (left - 201 >= 2 ? 200 : 100) : left - 1;
    deep += "/" + std::string(part, 'd');
    ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0) << deep.size();
  }
  ASSERT_EQ(deep.size(), kMaxSystemPath);
  ASSERT_EQ(platform_->TempFolderSharing(deep), FolderSharing::kPrivate);
  // The longest name a system takes fits below it; below that, nothing.
  const std::string name(255, 'n');
  EXPECT_TRUE(platform_->MakeFolder(deep + "/" + name));
  EXPECT_FALSE(platform_->MakeFolder(deep + "/" + name + "/x"));
  // Out of the way, so that the tree can be removed by its paths. The folder
  // refused was not made either.
  const int held = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(held, 0);
  const int below = ::openat(held, name.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(below, 0);
  EXPECT_NE(::faccessat(below, "x", F_OK, 0), 0);
  ::unlinkat(below, "x", AT_REMOVEDIR);
  ::close(below);
  ::unlinkat(held, name.c_str(), AT_REMOVEDIR);
  ::close(held);
}

TEST_F(PosixPlatform, WaitingGivesTheExitCodeOrTheSignal) {
  auto& system = static_cast<SystemPlatform&>(*platform_);
  uint32_t code = 0;
  WaitableProcess none;
  EXPECT_FALSE(system.WaitForProcess(&none, &code)) << "nothing was started to wait for";
  struct Case {
    const char* script;
    uint32_t code;
  };
  const Case cases[] = {{"exit 7", 7}, {"kill -TERM $$", 128 + 15}, {"kill -KILL $$", 128 + 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    Put(scratch_ + "run", std::string("#!/bin/sh\n") + c.script + "\n", 0700);
    ProcessStart start = StartOf({scratch_ + "run"});
    WaitableProcess run;
    start.waitable = &run;
    ASSERT_EQ(system.StartProcess(start), 33u);
    code = 0;
    ASSERT_TRUE(system.WaitForProcess(&run, &code));
    EXPECT_EQ(code, c.code);
    EXPECT_FALSE(system.WaitForProcess(&run, &code)) << "waited twice for one program";
  }
}

// The run log is appended to a regular file only: a device is refused.
TEST_F(PosixPlatform, LogIsAppendedToARegularFileOnly) {
  auto& system = static_cast<SystemPlatform&>(*platform_);
  Put(scratch_ + "run.log", "before\n", 0600);
  {
    OpenFile log = system.OpenForAppending(scratch_ + "run.log");
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(log->Write("after\n", 6), 6);
  }
  std::ifstream file(scratch_ + "run.log");
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(text.str(), "before\nafter\n");
  {
    // Written only: reading through it fails rather than giving bytes.
    OpenFile log = system.OpenForAppending(scratch_ + "run.log");
    ASSERT_NE(log, nullptr);
    char byte = 0;
    EXPECT_EQ(log->Read(&byte, 1), -1);
  }
  EXPECT_EQ(system.OpenForAppending("/dev/null"), nullptr);
  EXPECT_EQ(system.OpenForAppending(scratch_), nullptr);
}

// Removing a tree: only below a folder the platform holds, every link
// removed as itself; a folder it does not hold is left alone whole.
TEST_F(PosixPlatform, RemovesATreeOnlyBelowAHeldFolderAndNeverThroughALink) {
  auto& system = static_cast<SystemPlatform&>(*platform_);
  const std::string victim = scratch_ + "victim";
  ASSERT_EQ(::mkdir(victim.c_str(), 0700), 0);
  Put(victim + "/keep.txt", "victim's", 0600);

  const std::string out = scratch_ + "out";
  ASSERT_TRUE(platform_->MakeFolder(out));
  ASSERT_TRUE(platform_->MakeFolder(out + "/docs"));
  ASSERT_TRUE(platform_->MakeFolder(out + "/docs/deep"));
  Put(out + "/docs/deep/guide.txt", "guide", 0600);
  ASSERT_EQ(::symlink(victim.c_str(), (out + "/docs/link").c_str()), 0);
  EXPECT_TRUE(system.RemoveTree(out, true));
  EXPECT_EQ(ModeOf(out), 0700u);
  EXPECT_EQ(ModeOf(out + "/docs"), 0u);
  EXPECT_EQ(ModeOf(victim + "/keep.txt"), 0600u);

  // Not held by this platform: nothing is removed, whatever lies there.
  const std::string other = scratch_ + "other";
  ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
  Put(other + "/file.txt", "stays", 0600);
  EXPECT_FALSE(system.RemoveTree(other, false));
  EXPECT_FALSE(system.RemoveTree("relative", true));
  EXPECT_EQ(ModeOf(other + "/file.txt"), 0600u);

  EXPECT_TRUE(system.RemoveTree(out, false));
  EXPECT_EQ(ModeOf(out), 0u);
}

}  // namespace
}  // namespace ldr::testing
