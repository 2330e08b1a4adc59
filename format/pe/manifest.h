#pragma once
// The loader's application manifest, as kitpack changes it: the execution
// level a kit's copy of the loader asks Windows for.
//
// The manifest leaves room for the longest level: the attribute
// level="asInvoker" is followed by blanks inside its element, and a new
// level is written over the attribute and those blanks, so the resource keeps
// its size and every other byte of the loader stays as built.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ldr {

enum class ExecutionLevel { kAsInvoker, kHighestAvailable, kRequireAdministrator };
inline constexpr ExecutionLevel kExecutionLevels[] = {ExecutionLevel::kAsInvoker,
                                                      ExecutionLevel::kHighestAvailable,
                                                      ExecutionLevel::kRequireAdministrator};

// "asInvoker", "highestAvailable", "requireAdministrator".
std::string_view ExecutionLevelName(ExecutionLevel level);
// The level of one of those names (spelled exactly so), or nothing.
std::optional<ExecutionLevel> ParseExecutionLevel(std::string_view name);

// The value of the level attribute of the manifest's one
// <requestedExecutionLevel> element, or nothing when there is not exactly one
// such element with that attribute.
std::optional<std::string> ExecutionLevelOf(std::string_view manifest);

// Writes `level` over the level attribute and the blanks after it, in place.
// Gives "" when done, else why the manifest cannot take it (no element, more
// than one, no level attribute, or too little room); the bytes are then left
// as they were.
std::string SetExecutionLevel(char* manifest, size_t size, ExecutionLevel level);

}  // namespace ldr
