#pragma once
// Running another program from kitpack: process_posix.cpp, process_win32.cpp.

#include <string>
#include <vector>

namespace kitpack {

// Runs argv[0] (looked up in PATH when it holds no "/"; on Windows as
// CreateProcess finds a program, ".exe" added when the name has no
// extension) with the arguments argv[1..], no shell in between, with
// kitpack's own standard streams and environment, and waits for it. Gives
// the empty text when it exited with code 0, else what happened ("exited
// with code 2", "was ended by signal 9", "could not be started: ...").
std::string RunProgram(const std::vector<std::string>& argv);

}  // namespace kitpack
