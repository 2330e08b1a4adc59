#pragma once
// Every argument of a command line, the program's name included, as the
// loader's splitting rules read them: the list tests compare with.

#include <string>
#include <string_view>
#include <vector>

#include "base/text_rules.h"

namespace ldr {

inline std::vector<std::string> SplitArguments(std::string_view command_line) {
  std::vector<std::string> arguments;
  size_t pos = 0;
  CommandLineText argument;
  ReadArgument(command_line, &pos, &argument);  // the program's name, perhaps empty
  arguments.push_back(argument);
  for (argument.Clear(); ReadArgument(command_line, &pos, &argument); argument.Clear()) {
    arguments.push_back(argument);
  }
  return arguments;
}

}  // namespace ldr
