#pragma once
// What the platform tests need of the host beyond the Platform interface:
// scratch folders, file dates and links. One implementation per system.

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace ldr::testing {

// A new, empty folder for one test, ending in the host separator.
std::string MakeScratchFolder();
// Removes a folder and everything in it.
void RemoveTree(const std::string& folder);
// Sets a file's last-write time to 1 July of the given year, local time.
bool SetFileYear(const std::string& path, int year);
// The name of the tests' helper program, as built beside the test program.
extern const char* const kChildProgramName;

// A start request for a program and its arguments; on the line, a word
// holding a blank is quoted.
inline ProcessStart StartOf(const std::vector<std::string>& words) {
  ProcessStart start;
  start.program = words.empty() ? std::string() : words[0];
  for (const std::string& word : words) {
    start.arguments.Add(word);
    if (!start.command_line.empty()) start.command_line.Append(' ');
    start.command_line.Append(word.find(' ') == std::string::npos ? word : '"' + word + '"');
  }
  return start;
}

// What a started program reports in the file at path, once it is there;
// empty when nothing came within 15 seconds.
inline std::string AwaitReport(const std::string& path) {
  for (int i = 0; i < 300; ++i) {
    std::ifstream file(path, std::ios::binary);
    if (file) {
      std::ostringstream text;
      text << file.rdbuf();
      return text.str();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::string();
}

}  // namespace ldr::testing
