#pragma once
// Rules for the names stored in a kit, shared by kitpack and the reference
// installer. No operating-system calls here.
//
// First archive: the loader keeps only the name part of a stored name (the
// text after its last "\" or ":"), so that is all an extractor may use.
// Second archive: names are relative paths with "\" between their parts, for
// example "docs\guide.txt". "/" is treated as a separator as well, since
// Windows would honour it.

#include <string>
#include <string_view>
#include <vector>

namespace kitpack {

// The text after the last "\" or ":" (the whole name when there is none).
std::string LoaderNamePart(std::string_view stored_name);

// Why a single file-name part is unsafe to create, or "" when it is fine:
// empty, "." or "..", control characters or <>:"/\|?*, a trailing dot or
// space (Windows drops them), or a device name such as CON or com1.txt.
std::string UnsafePartReason(std::string_view part);

// Splits a second-archive name into its parts, or gives the reason it is
// refused: absolute, a drive, "..", or any unsafe part.
struct RelativeName {
  std::vector<std::string> parts;
  std::string refused;  // empty when the name is usable
};
RelativeName SplitRelativeName(std::string_view stored_name);

}  // namespace kitpack
