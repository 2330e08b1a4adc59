// Started by the platform tests: writes what it was given into the file
// named by its first argument, so the test can see how it was started.
//   platform_child OUT args...   -> one argument per line
//   platform_child OUT --fds     -> the targets of its open descriptors
//   platform_child OUT --env NAME --exit N -> NAME's value, exit code N
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string text;
  if (argc == 3 && std::strcmp(argv[2], "--fds") == 0) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
      std::error_code ignored;
      text += std::filesystem::read_symlink(entry.path(), ignored).string() + "\n";
    }
  } else if (argc == 6 && std::strcmp(argv[2], "--env") == 0) {
    const char* value = std::getenv(argv[3]);
    text = std::string(value != nullptr ? value : "(unset)") + "\n";
  } else {
    for (int i = 2; i < argc; ++i) text += std::string(argv[i]) + "\n";
  }
  // Written under a temporary name and renamed, so a reader never sees half.
  std::string out = argv[1];
  {
    std::ofstream file(out + ".part", std::ios::binary);
    file << text;
  }
  std::error_code error;
  std::filesystem::rename(out + ".part", out, error);
  if (error) return 1;
  return argc == 6 && std::strcmp(argv[4], "--exit") == 0 ? std::atoi(argv[5]) : 0;
}
