#include "kitpack/host/process.h"

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace kitpack {

std::string RunProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) return "could not be started: no program named";
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // What kitpack printed so far comes before what the program prints.
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
  if (rc != 0) return std::string("could not be started: ") + std::strerror(rc);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::string("could not be waited for: ") + std::strerror(errno);
  }
  if (WIFEXITED(status)) {
    const int code = WEXITSTATUS(status);
    return code == 0 ? std::string() : "exited with code " + std::to_string(code);
  }
  if (WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
  return "ended abnormally";
}

}  // namespace kitpack
