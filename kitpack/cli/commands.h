#pragma once
// kitpack's commands. Each adds its subcommand and options to the
// application and, once CLI11 has parsed the line, runs when chosen. A
// failure is a KitError (or another std::exception) for main to report.

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "kitpack/kit/kit.h"

namespace kitpack::cli {

class BuildCommand {
 public:
  explicit BuildCommand(CLI::App& app);
  BuildCommand(const BuildCommand&) = delete;
  BuildCommand& operator=(const BuildCommand&) = delete;
  bool Chosen() const { return command_->parsed(); }
  void Run();

 private:
  void AddInputOptions();
  void AddOutputOptions();
  void AddBrandingOptions();
  void ExpandInputs();
  void AttachReports(class Progress& progress);

  CLI::App* command_;
  BuildOptions build_;
  std::string installer_;
  std::vector<std::string> files_, payloads_, excludes_;
  std::string prefix_ = kDefaultStoredPrefix;
  std::string level_;
  unsigned threads_ = 1;
  bool posix_ = false, allow_empty_ = false, quiet_ = false, verbose_ = false;
  bool no_deployment_ = false;
};

// list, verify and extract: read a kit and show, check or unpack it.
class InspectCommands {
 public:
  explicit InspectCommands(CLI::App& app);
  InspectCommands(const InspectCommands&) = delete;
  InspectCommands& operator=(const InspectCommands&) = delete;
  // Runs the one chosen; false when none of them was.
  bool RunChosen();

 private:
  void List();
  void Verify();
  void Extract();

  CLI::App* list_;
  CLI::App* verify_;
  CLI::App* extract_;
  std::string kit_path_, dest_, against_;
  bool json_ = false, second_ = false;
};

}  // namespace kitpack::cli
