#pragma once
// A clean stop when the user interrupts a build (Ctrl-C, SIGTERM, SIGHUP):
// the temporary files and the folders the build made are removed before the
// process ends the way the signal says. The paths are kept in a fixed table
// that the signal handler reads without allocating or locking.

#include <string>

namespace kitpack {

// On POSIX the signal handler removes them itself (only async-signal-safe
// calls) and ends the process as the signal says. On Windows a console
// control handler (Ctrl-C, Ctrl-Break, closing the console) cannot remove
// files other threads hold open without sharing: it sets a flag, the next
// write of the build raises KitError(kInterruptedText), the build unwinds
// and removes what it made, and kitpack exits with kInterruptedExitCode.

// Installs the handlers once; later calls do nothing.
void InstallInterruptHandlers();

// Whether an interrupt was asked for and is waiting to be taken (Windows;
// always false on POSIX, where the handler does the work).
bool InterruptRequested();
inline constexpr char kInterruptedText[] = "interrupted; the temporary files were removed";
inline constexpr int kInterruptedExitCode = 130;  // as a shell reports Ctrl-C

// Keeps a path in the table while it lives: a file is removed, a folder
// removed when empty (after every file). Paths too long for the table, or
// past its size, are not kept: a build still works, it just may leave that
// one behind when interrupted.
class RemoveOnInterrupt {
 public:
  enum Kind { kFile, kFolder };
  RemoveOnInterrupt(const std::string& path, Kind kind);
  ~RemoveOnInterrupt();
  RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
  RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;

  // The path moved (a file renamed before it is finished).
  void Update(const std::string& path);

 private:
  int slot_ = -1;
  Kind kind_;
};

// Holds the three signals back while it lives (a file being made and put in
// the table), so that none lands between the two.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  unsigned char saved_[256];  // the thread's signal mask as it was
};

}  // namespace kitpack
