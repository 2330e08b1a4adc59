#include "base/text_rules.h"

#include "base/messages.h"

#include <cstring>

#include "base/errors.h"

namespace ldr {
namespace {

bool IsBlank(unsigned char c) { return c <= 32; }

// The line as the system hands it over ends at its first zero byte.
std::string_view UpToZero(std::string_view text) {
  size_t zero = text.find('\0');
  return zero == std::string_view::npos ? text : text.substr(0, zero);
}

// Reads one argument starting at *pos and leaves *pos after it.
std::string ReadArgument(std::string_view line, size_t* pos) {
  size_t i = *pos;
  for (;;) {
    while (i < line.size() && IsBlank(static_cast<unsigned char>(line[i]))) ++i;
    // An empty quoted pair before an argument counts as blank.
    if (i + 1 < line.size() && line[i] == '"' && line[i + 1] == '"') {
      i += 2;
      continue;
    }
    break;
  }
  std::string argument;
  while (i < line.size() && !IsBlank(static_cast<unsigned char>(line[i]))) {
    if (line[i] == '"') {
      ++i;
      while (i < line.size() && line[i] != '"') argument += line[i++];
      if (i < line.size()) ++i;  // the closing quote
    } else {
      argument += line[i++];
    }
  }
  *pos = i;
  return argument;
}

bool IsSeparator(unsigned char c, const PathStyle& style) {
  return c != 0 && std::strchr(style.separators, c) != nullptr;
}

struct PathMarks {
  size_t last_separator = std::string_view::npos;
  size_t last_dot = std::string_view::npos;  // forgotten at a later separator
};

// Walks the path honouring two-byte characters: neither byte of one ever
// counts as a separator or a dot.
PathMarks ScanPath(std::string_view path, const PathStyle& style) {
  PathMarks marks;
  size_t i = 0;
  while (i < path.size()) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (style.is_lead_byte != nullptr && style.is_lead_byte(c)) {
      i += 2;
      continue;
    }
    if (IsSeparator(c, style)) {
      marks.last_separator = i;
      marks.last_dot = std::string_view::npos;
    } else if (c == '.') {
      marks.last_dot = i;
    }
    ++i;
  }
  return marks;
}

}  // namespace

std::vector<std::string> SplitArguments(std::string_view command_line) {
  std::string_view line = UpToZero(command_line);
  std::vector<std::string> arguments;
  size_t pos = 0;
  arguments.push_back(ReadArgument(line, &pos));  // the program's name
  for (;;) {
    std::string argument = ReadArgument(line, &pos);
    if (argument.empty()) break;
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

int ArgumentCount(std::string_view command_line) {
  std::string_view line = UpToZero(command_line);
  size_t pos = 0;
  ReadArgument(line, &pos);
  int count = 0;
  while (!ReadArgument(line, &pos).empty()) ++count;
  return count;
}

std::string ArgumentText(std::string_view command_line, int n) {
  std::string_view line = UpToZero(command_line);
  size_t pos = 0;
  std::string argument = ReadArgument(line, &pos);
  for (int i = 0; i < n; ++i) argument = ReadArgument(line, &pos);
  return n >= 1 ? argument : std::string();
}

std::string DirectoryPart(std::string_view path, const PathStyle& style) {
  PathMarks marks = ScanPath(path, style);
  if (marks.last_separator == std::string_view::npos) return std::string();
  return std::string(path.substr(0, marks.last_separator + 1));
}

std::string NamePart(std::string_view path, const PathStyle& style) {
  PathMarks marks = ScanPath(path, style);
  size_t start = marks.last_separator == std::string_view::npos ? 0 : marks.last_separator + 1;
  return std::string(path.substr(start, kMaxShortText));
}

std::string StripExtension(std::string_view path, const PathStyle& style) {
  PathMarks marks = ScanPath(path, style);
  if (marks.last_dot == std::string_view::npos) return std::string(path);
  return std::string(path.substr(0, marks.last_dot));
}

std::string WithTrailingSeparator(std::string_view text, const PathStyle& style) {
  std::string result(text);
  if (!result.empty() && result.back() != style.trailing) result += style.trailing;
  return result;
}

std::string WithoutTrailingSeparator(std::string_view text, const PathStyle& style) {
  if (text.empty() || text.back() != style.trailing) return std::string(text);
  if (style.root_keeps_separator && text.size() == 1) return std::string(text);
  return std::string(text.substr(0, text.size() - 1));
}

std::string TrimText(std::string_view text) {
  size_t first = 0;
  while (first < text.size() && IsBlank(static_cast<unsigned char>(text[first]))) ++first;
  if (first == text.size()) return std::string();
  size_t last = text.size();
  while (IsBlank(static_cast<unsigned char>(text[last - 1]))) --last;
  return std::string(text.substr(first, last - first));
}

int CompareAsciiNoCase(std::string_view a, std::string_view b) {
  auto fold = [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? u - ('a' - 'A') : u;
  };
  size_t shorter = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < shorter; ++i) {
    int fa = fold(a[i]);
    int fb = fold(b[i]);
    if (fa != fb) return fa - fb;
  }
  return static_cast<int>(a.size()) - static_cast<int>(b.size());
}

std::string FormatText(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string result;
  const std::string_view* next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
      if (next != args.end()) {
        result.append(next->data(), next->size());
        ++next;
      }
      ++i;
    } else {
      result += format[i];
    }
    if (result.size() > kMaxFormattedText) break;
  }
  if (result.size() > kMaxFormattedText) {
    throw LoaderError(msg::kTextTooLong);
  }
  return result;
}

std::string DecimalText(int32_t value) {
  // Widened first so that the most negative value has a positive magnitude.
  int64_t wide = value;
  bool negative = wide < 0;
  uint64_t magnitude = static_cast<uint64_t>(negative ? -wide : wide);
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::string text = negative ? "-" : "";
  while (n > 0) text += digits[--n];
  return text;
}

void CopyToFixedBuffer(char* buffer, std::string_view text) {
  size_t n = 0;
  while (n < text.size() && n < kMaxShortText && text[n] != '\0') {
    buffer[n] = text[n];
    ++n;
  }
  buffer[n] = '\0';
}

}  // namespace ldr
