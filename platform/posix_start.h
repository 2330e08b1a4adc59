#pragma once
// Starting a program by its path once its file was checked, with no
// descriptor of the loader's left open in it.

namespace ldr {

// Starts the program at path (an absolute path every folder of which the
// caller has checked: nobody but this user or root can rename or replace
// anything on it) with the arguments argv (ended by a null pointer) and this
// process's environment, and does not wait for it. Gives 0 once the program
// runs, else the system's error (errno) for why it could not start. A
// script's interpreter gets the path as the script's name ($0), so the
// script finds the files beside it. `child`, when given, receives the
// started program's process id, for a caller that will wait for it.
int StartProgram(const char* path, char* const argv[], int* child = nullptr);

}  // namespace ldr
