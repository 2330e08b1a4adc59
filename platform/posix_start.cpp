// fork and execve, with a pipe that closes on a successful exec: the parent
// learns from it whether the program started, and if not, why.

#include "platform/posix_start.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace ldr {
namespace {

// In the child: only calls that are safe after fork. Never returns.
[[noreturn]] void ExecInChild(const char* path, char* const argv[], int report) {
  ::execve(path, argv, environ);
  const int error = errno;
  ssize_t ignored = ::write(report, &error, sizeof error);
  static_cast<void>(ignored);
  ::_exit(127);
}

}  // namespace

int StartProgram(const char* path, char* const argv[], int* child_id) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;
  const pid_t child = ::fork();
  if (child < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    return error;
  }
  if (child == 0) {
    ::close(report[0]);
    ExecInChild(path, argv, report[1]);
  }
  ::close(report[1]);
  int error = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n != static_cast<ssize_t>(sizeof error)) {
    if (child_id) *child_id = static_cast<int>(child);
    return 0;
  }
  // The child that could not exec ends at once: no zombie is left behind.
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return error != 0 ? error : ENOEXEC;
}

}  // namespace ldr
