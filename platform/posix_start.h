#pragma once
// Starting a program from an open descriptor of its file, so that what runs
// is the file opened and checked, not whatever its name stands for a moment
// later.

namespace ldr {

// Starts the program program_fd refers to with the arguments argv (ended by
// a null pointer) and this process's environment, and does not wait for it.
// Gives 0 once the program runs, else the system's error (errno) for why it
// could not start. program_fd stays open and is not handed to a program,
// except to a script's interpreter, which reads the script through it.
// `child`, when given, receives the started program's process id, for a
// caller that will wait for it.
int StartFromDescriptor(int program_fd, char* const argv[], int* child = nullptr);

}  // namespace ldr
