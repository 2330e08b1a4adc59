#pragma once
// Windows command lines as kitpack and its test programs compose them.

#include <string>
#include <string_view>

namespace kitpack {

// One argument as the C runtime's command-line splitting gives it back:
// quoted when it holds a blank or a quote or is empty, a quote escaped with
// a backslash, and backslashes doubled where they come before a quote. No
// protection from cmd.exe, which reads a line by rules of its own: never
// hand such a line to a batch file.
std::string QuoteArgument(std::string_view argument);

}  // namespace kitpack
