#pragma once
// A clean stop when the user interrupts a build (Ctrl-C, SIGTERM, SIGHUP):
// the temporary files and the folders the build made are removed before the
// process ends the way the signal says. The paths are kept in a fixed table
// that the signal handler reads without allocating or locking.

#include <string>

namespace kitpack {

// Installs the handlers once; later calls do nothing.
void InstallInterruptHandlers();

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
