#pragma once
// The words of a command line kitpack does not know, found before CLI11
// parses it, with a "did you mean" where one is close.

#include <CLI/CLI.hpp>
#include <string>

namespace kitpack::cli {

// Goes over the command line before it is parsed, so that a word kitpack
// does not know is reported as that, and not as whatever it kept the parser
// from finding ("--out x" is not "--output is required"). Gives the message,
// or "" when every word is known.
std::string UnknownWord(CLI::App& app, int argc, char** argv);

}  // namespace kitpack::cli
