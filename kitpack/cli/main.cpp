// kitpack: builds, lists, verifies and extracts installer kits. main only
// sets up the command line and hands over to the command chosen.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "format/shown_name.h"
#include "kitpack/cli/commands.h"
#include "kitpack/cli/unknown_word.h"
#include "kitpack/host/interrupt.h"

int main(int argc, char** argv) {
  CLI::App app{"kitpack - builds and inspects self-extracting installer kits"};
  app.set_version_flag("--version", "kitpack " KITPACK_VERSION);
  app.require_subcommand(1);
  kitpack::cli::BuildCommand build(app);
  kitpack::cli::InspectCommands inspect(app);

  const std::string unknown = kitpack::cli::UnknownWord(app, argc, argv);
  if (!unknown.empty()) {
    std::fprintf(stderr, "kitpack: error: %s\nRun with --help for more information.\n",
                 unknown.c_str());
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  try {
    if (build.Chosen()) {
      build.Run();
    } else {
      inspect.RunChosen();
    }
  } catch (const std::exception& e) {
    // Messages quote names and paths from kits, folders and the system; the
    // places that build them show names already, and this catches the rest.
    std::fprintf(stderr, "kitpack: error: %s\n", ldr::ShownName(e.what()).c_str());
    return kitpack::InterruptRequested() ? kitpack::kInterruptedExitCode : 1;
  }
  return 0;
}
