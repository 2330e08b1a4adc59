#include "base/text_rules.h"

#include <cstring>

#include "base/errors.h"
#include "base/messages.h"

namespace ldr {
namespace {

bool IsBlank(unsigned char c) { return c <= 32; }

// The line as the system hands it over ends at its first zero byte.
std::string_view UpToZero(std::string_view text) {
  size_t zero = text.find('\0');
  return zero == std::string_view::npos ? text : text.substr(0, zero);
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

bool ReadArgument(std::string_view command_line, size_t* pos, TextBuffer* argument) {
  const std::string_view line = UpToZero(command_line);
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
  size_t gathered = 0;  // the argument's length, kept or not
  while (i < line.size() && !IsBlank(static_cast<unsigned char>(line[i]))) {
    if (line[i] == '"') {
      // A quoted run: taken whole, up to the closing quote or the end.
      const size_t start = ++i;
      while (i < line.size() && line[i] != '"') ++i;
      argument->Append(line.substr(start, i - start));
      gathered += i - start;
      if (i < line.size()) ++i;  // the closing quote
    } else {
      const size_t start = i;
      while (i < line.size() && !IsBlank(static_cast<unsigned char>(line[i])) && line[i] != '"')
        ++i;
      argument->Append(line.substr(start, i - start));
      gathered += i - start;
    }
  }
  *pos = i;
  // An unclosed quote at the very end gathers nothing: no argument either.
  return gathered != 0;
}

bool ReadProgramArgument(std::string_view command_line, size_t* pos, TextBuffer* argument) {
  const std::string_view line = UpToZero(command_line);
  size_t i = *pos;
  while (i < line.size() && IsBlank(static_cast<unsigned char>(line[i]))) ++i;
  if (i == line.size()) {
    *pos = i;
    return false;
  }
  bool quoted = false;
  while (i < line.size() && (quoted || !IsBlank(static_cast<unsigned char>(line[i])))) {
    size_t backslashes = 0;
    while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
    if (i < line.size() && line[i] == '"') {
      for (size_t n = 0; n < backslashes / 2; ++n) argument->Append('\\');
      if (backslashes % 2 == 1) {
        argument->Append('"');
      } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        argument->Append('"');  // "" inside a quoted run
        ++i;
      } else {
        quoted = !quoted;
      }
      ++i;
      continue;
    }
    for (size_t n = 0; n < backslashes; ++n) argument->Append('\\');
    if (backslashes == 0) argument->Append(line[i++]);
  }
  *pos = i;
  return true;
}

bool AppendProgramArgument(TextBuffer* line, std::string_view argument, std::string_view extra) {
  bool quote = argument.empty();
  for (char c : argument) {
    if (static_cast<unsigned char>(c) <= 32 || c == '"' || extra.find(c) != std::string_view::npos)
      quote = true;
  }
  // Twice over the argument: first what it takes, then the bytes.
  size_t needed = (line->empty() ? 0 : 1) + (quote ? 2 : 0);
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      if (needed > line->capacity() - line->size()) return false;
      if (!line->empty()) line->Append(' ');
      if (quote) line->Append('"');
    }
    size_t backslashes = 0;
    for (char c : argument) {
      size_t escapes = 0;
      if (c == '\\') {
        ++backslashes;
      } else {
        // Backslashes before a quote are doubled, and the quote escaped.
        if (c == '"' && quote) escapes = backslashes + 1;
        backslashes = 0;
      }
      if (pass == 0) {
        needed += escapes + 1;
      } else {
        for (size_t n = 0; n < escapes; ++n) line->Append('\\');
        line->Append(c);
      }
    }
    // Backslashes before the closing quote are doubled too.
    const size_t closing = quote ? backslashes : 0;
    if (pass == 0) needed += closing;
    for (size_t n = 0; pass == 1 && n < closing; ++n) line->Append('\\');
  }
  if (quote) line->Append('"');
  return true;
}

namespace {

// Reads past one argument without keeping it; false when there was none.
bool SkipArgument(std::string_view line, size_t* pos) {
  Text<0> nothing;
  return ReadArgument(line, pos, &nothing);
}

}  // namespace

int ArgumentCount(std::string_view command_line) {
  size_t pos = 0;
  SkipArgument(command_line, &pos);
  int count = 0;
  while (SkipArgument(command_line, &pos)) ++count;
  return count;
}

CommandLineText ArgumentText(std::string_view command_line, int n) {
  CommandLineText argument;
  if (n < 1) return argument;
  size_t pos = 0;
  SkipArgument(command_line, &pos);
  for (int i = 1; i < n; ++i) {
    if (!SkipArgument(command_line, &pos)) return argument;
  }
  ReadArgument(command_line, &pos, &argument);
  return argument;
}

std::string_view DirectoryPart(std::string_view path, const PathStyle& style) {
  PathMarks marks = ScanPath(path, style);
  if (marks.last_separator == std::string_view::npos) return std::string_view();
  return path.substr(0, marks.last_separator + 1);
}

std::string_view NamePart(std::string_view path, const PathStyle& style) {
  PathMarks marks = ScanPath(path, style);
  size_t start = marks.last_separator == std::string_view::npos ? 0 : marks.last_separator + 1;
  return path.substr(start, kMaxShortText);
}

std::string_view StripExtension(std::string_view path, const PathStyle& style) {
  PathMarks marks = ScanPath(path, style);
  if (marks.last_dot == std::string_view::npos) return path;
  return path.substr(0, marks.last_dot);
}

PathText WithTrailingSeparator(std::string_view text, const PathStyle& style) {
  PathText result(text);
  if (!text.empty() && text.back() != style.trailing) result.Append(style.trailing);
  return result;
}

std::string_view WithoutTrailingSeparator(std::string_view text, const PathStyle& style) {
  if (text.empty() || text.back() != style.trailing) return text;
  if (style.root_keeps_separator && text.size() == 1) return text;
  return text.substr(0, text.size() - 1);
}

std::string_view TrimText(std::string_view text) {
  size_t first = 0;
  while (first < text.size() && IsBlank(static_cast<unsigned char>(text[first]))) ++first;
  if (first == text.size()) return std::string_view();
  size_t last = text.size();
  while (IsBlank(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(first, last - first);
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

MessageText FormatText(std::string_view format, std::initializer_list<std::string_view> args) {
  MessageText result;
  const std::string_view* next = args.begin();
  size_t copied = 0;  // format bytes already in the result
  for (size_t i = 0; i + 1 < format.size(); ++i) {
    if (format[i] != '%' || format[i + 1] != 's') continue;
    result.Append(format.substr(copied, i - copied));
    if (next != args.end()) result.Append(*next++);
    copied = i + 2;
    ++i;
  }
  result.Append(format.substr(copied));
  if (result.cut()) RaiseLoaderError(msg::kTextTooLong);
  return result;
}

void RaiseFormatted(const Message& format, std::initializer_list<std::string_view> args) {
  RaiseFailure(format.kind, FormatText(format.text, args));
}

DecimalDigits CountDigits(uint64_t count) {
  return DecimalText(static_cast<int32_t>(count > INT32_MAX ? INT32_MAX : count));
}

DecimalDigits DecimalText(int32_t value) {
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
  DecimalDigits text;
  if (negative) text.Append('-');
  while (n > 0) text.Append(digits[--n]);
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

bool IsBatchFileName(std::string_view name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view extension = name.substr(dot);
  return CompareAsciiNoCase(extension, ".BAT") == 0 || CompareAsciiNoCase(extension, ".CMD") == 0;
}

}  // namespace ldr
