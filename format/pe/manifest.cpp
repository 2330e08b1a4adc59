#include "format/pe/manifest.h"

namespace ldr {

namespace {

constexpr std::string_view kElement = "<requestedExecutionLevel";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where the level attribute lies in the manifest's one element: from the
// first letter of its name to the last blank after its closing quote.
struct LevelAttribute {
  size_t start = 0;
  size_t value_start = 0;
  size_t value_end = 0;  // the closing quote
  size_t room_end = 0;   // one past the blanks after the quote
  std::string refused;
};

LevelAttribute FindLevel(std::string_view text) {
  LevelAttribute found;
  const size_t element = text.find(kElement);
  if (element == std::string_view::npos) {
    found.refused = "it has no <requestedExecutionLevel> element";
    return found;
  }
  if (text.find(kElement, element + 1) != std::string_view::npos) {
    found.refused = "it has more than one <requestedExecutionLevel> element";
    return found;
  }
  size_t at = element + kElement.size();
  if (at >= text.size() || !IsBlank(text[at])) {
    found.refused = "its <requestedExecutionLevel> element has no attributes";
    return found;
  }
  // Attributes one by one: name, "=", a quoted value.
  for (;;) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (at >= text.size() || text[at] == '/' || text[at] == '>') break;
    const size_t name_start = at;
    while (at < text.size() && text[at] != '=' && !IsBlank(text[at]) && text[at] != '/' &&
           text[at] != '>') {
      ++at;
    }
    const std::string_view name = text.substr(name_start, at - name_start);
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (at >= text.size() || text[at] != '=') break;
    ++at;
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) break;
    const char quote = text[at];
    const size_t value_start = at + 1;
    const size_t value_end = text.find(quote, value_start);
    if (value_end == std::string_view::npos) break;
    at = value_end + 1;
    if (name == "level") {
      found.start = name_start;
      found.value_start = value_start;
      found.value_end = value_end;
      size_t room_end = at;
      while (room_end < text.size() && IsBlank(text[room_end])) ++room_end;
      found.room_end = room_end;
      return found;
    }
  }
  found.refused = "its <requestedExecutionLevel> element has no level attribute";
  return found;
}

}  // namespace

std::string_view ExecutionLevelName(ExecutionLevel level) {
  switch (level) {
    case ExecutionLevel::kHighestAvailable:
      return "highestAvailable";
    case ExecutionLevel::kRequireAdministrator:
      return "requireAdministrator";
    case ExecutionLevel::kAsInvoker:
      break;
  }
  return "asInvoker";
}

std::optional<ExecutionLevel> ParseExecutionLevel(std::string_view name) {
  for (ExecutionLevel level : kExecutionLevels) {
    if (name == ExecutionLevelName(level)) return level;
  }
  return std::nullopt;
}

std::optional<std::string> ExecutionLevelOf(std::string_view manifest) {
  const LevelAttribute level = FindLevel(manifest);
  if (!level.refused.empty()) return std::nullopt;
  return std::string(manifest.substr(level.value_start, level.value_end - level.value_start));
}

std::string SetExecutionLevel(char* manifest, size_t size, ExecutionLevel level) {
  const std::string_view text(manifest, size);
  const LevelAttribute found = FindLevel(text);
  if (!found.refused.empty()) return found.refused;
  const std::string written = "level=\"" + std::string(ExecutionLevelName(level)) + "\"";
  // Another attribute right behind needs a blank between the two.
  const bool more_follows =
      found.room_end < size && text[found.room_end] != '/' && text[found.room_end] != '>';
  const size_t room = found.room_end - found.start;
  if (written.size() + (more_follows ? 1 : 0) > room) {
    return "its level attribute has room for " + std::to_string(room) + " bytes, " +
           std::to_string(written.size() + (more_follows ? 1 : 0)) + " are needed";
  }
  for (size_t i = 0; i < room; ++i) {
    manifest[found.start + i] = i < written.size() ? written[i] : ' ';
  }
  return "";
}

}  // namespace ldr
