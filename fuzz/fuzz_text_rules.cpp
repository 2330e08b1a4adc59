// Checks the text rules against each other on arbitrary bytes: the three
// ways of splitting a command line agree, a path's directory and name parts
// put it back together, StripExtension only ever shortens, formatted texts
// stay within their limit and the fixed buffer is never overrun. One input
// bit switches on a double-byte code page, where splitting must never land
// inside a two-byte character.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text_rules.h"
#include "fuzz/check.h"
#include "tests/support/argument_list.h"

namespace {

// Shift-JIS lead bytes, the usual double-byte code page.
bool ShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Positions where a character starts, walking as the path rules do.
std::vector<bool> CharacterStarts(const std::string& path, const ldr::PathStyle& style) {
  std::vector<bool> starts(path.size() + 1, false);
  size_t i = 0;
  while (i < path.size()) {
    starts[i] = true;
    i += (style.is_lead_byte && style.is_lead_byte(static_cast<unsigned char>(path[i]))) ? 2 : 1;
  }
  starts[path.size()] = true;  // a lead byte at the very end has no trail byte
  return starts;
}

void CheckCommandLine(const std::string& line) {
  const std::vector<std::string> all = ldr::SplitArguments(line);
  Check(!all.empty());
  const int count = ldr::ArgumentCount(line);
  Check(count >= 0 && static_cast<size_t>(count) == all.size() - 1);
  // Each call splits the line afresh: the first arguments and the one past
  // the end are enough.
  for (int n = 1; n <= count + 1; n = (n < 8 || n >= count) ? n + 1 : count) {
    const ldr::CommandLineText argument = ldr::ArgumentText(line, n);
    const std::string text = argument;
    // Shorter than the longest line the system hands over: never cut.
    Check(!argument.cut());
    if (n <= count) {
      Check(text == all[static_cast<size_t>(n)]);
      Check(!text.empty());
      Check(text.find('"') == std::string::npos);
      Check(text.find('\0') == std::string::npos);
    } else {
      Check(text.empty());
    }
  }
  Check(ldr::ArgumentText(line, 0).empty());
}

void CheckPath(const std::string& path, const ldr::PathStyle& style) {
  const std::string directory(ldr::DirectoryPart(path, style));
  const std::string name(ldr::NamePart(path, style));
  const std::string stripped(ldr::StripExtension(path, style));

  Check(StartsWith(path, directory));
  Check(name.size() <= ldr::kMaxShortText);
  // The name part follows the directory part directly, cut at 255.
  Check(path.compare(directory.size(), name.size(), name) == 0);
  if (path.size() - directory.size() <= ldr::kMaxShortText) Check(directory + name == path);
  Check(StartsWith(path, stripped));

  const std::vector<bool> starts = CharacterStarts(path, style);
  Check(starts[directory.size()]);
  Check(starts[stripped.size()]);
  if (!directory.empty()) {
    // The directory part ends in a separator that is a character of its own.
    const unsigned char last = static_cast<unsigned char>(directory.back());
    Check(std::strchr(style.separators, last) != nullptr && last != 0);
    Check(starts[directory.size() - 1]);
  }
  if (stripped.size() < path.size()) {
    Check(path[stripped.size()] == '.');
    Check(stripped.size() >= directory.size());
  }
  // The name part holds no separator that stands as a character of its own.
  for (size_t i = directory.size(); i < path.size(); ++i) {
    if (starts[i]) Check(std::strchr(style.separators, path[i]) == nullptr || path[i] == 0);
  }

  const ldr::PathText with_text = ldr::WithTrailingSeparator(path, style);
  const std::string with = with_text;
  const std::string without(ldr::WithoutTrailingSeparator(path, style));
  if (with_text.cut()) {
    // Longer than any path the loader composes: the first kMaxPath bytes.
    Check(path.size() >= ldr::kMaxPath);
    Check(with.size() == ldr::kMaxPath && StartsWith(path, with));
  } else if (path.empty()) {
    Check(with.empty() && without.empty());
  } else {
    Check(with.back() == style.trailing);
    Check(with == path || with == path + style.trailing);
    Check(without == path || without + style.trailing == path);
    Check(ldr::WithoutTrailingSeparator(with, style) ==
          (path.back() == style.trailing ? without : path));
  }
}

void CheckTexts(const std::string& a, const std::string& b) {
  const std::string trimmed(ldr::TrimText(a));
  Check(a.find(trimmed) != std::string::npos);
  if (!trimmed.empty()) {
    Check(static_cast<unsigned char>(trimmed.front()) > 32);
    Check(static_cast<unsigned char>(trimmed.back()) > 32);
  } else {
    for (char c : a) Check(static_cast<unsigned char>(c) <= 32);
  }
  Check(ldr::CompareAsciiNoCase(a, a) == 0);
  const int ab = ldr::CompareAsciiNoCase(a, b);
  const int ba = ldr::CompareAsciiNoCase(b, a);
  Check((ab == 0) == (ba == 0));
  Check((ab < 0) == (ba > 0));
}

void CheckFormat(const std::string& format, const std::vector<std::string>& args) {
  std::string expected;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
      if (next < args.size()) expected += args[next++];
      ++i;
    } else {
      expected += format[i];
    }
  }
  const std::string_view a0 = args.size() > 0 ? std::string_view(args[0]) : std::string_view();
  const std::string_view a1 = args.size() > 1 ? std::string_view(args[1]) : std::string_view();
  const std::string_view a2 = args.size() > 2 ? std::string_view(args[2]) : std::string_view();
  const std::string_view a3 = args.size() > 3 ? std::string_view(args[3]) : std::string_view();
  std::string result;
  bool failed = false;
  try {
    switch (args.size()) {
      case 0:
        result = ldr::FormatText(format, {});
        break;
      case 1:
        result = ldr::FormatText(format, {a0});
        break;
      case 2:
        result = ldr::FormatText(format, {a0, a1});
        break;
      case 3:
        result = ldr::FormatText(format, {a0, a1, a2});
        break;
      default:
        result = ldr::FormatText(format, {a0, a1, a2, a3});
        break;
    }
  } catch (const ldr::LoaderError&) {
    failed = true;
  }
  Check(failed == (expected.size() > ldr::kMaxFormattedText));
  if (!failed) Check(result == expected);
}

void CheckFixedBuffer(const std::string& text) {
  // Exactly the 256 bytes the rule promises to stay within, on the heap so
  // that AddressSanitizer sees one byte too many.
  std::unique_ptr<char[]> buffer(new char[ldr::kMaxShortText + 1]);
  ldr::CopyToFixedBuffer(buffer.get(), text);
  const size_t length = std::strlen(buffer.get());
  Check(length <= ldr::kMaxShortText);
  size_t expected = text.find('\0');
  if (expected == std::string::npos) expected = text.size();
  if (expected > ldr::kMaxShortText) expected = ldr::kMaxShortText;
  Check(length == expected);
  Check(std::memcmp(buffer.get(), text.data(), length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t mode = input.ConsumeIntegral<uint8_t>();
  const ldr::PathStyle dbcs{"\\:", '\\', ShiftJisLead, false};
  const ldr::PathStyle& style = (mode & 1)   ? dbcs
                                : (mode & 2) ? ldr::kPosixPaths
                                             : ldr::kWindowsPaths;

  const std::string first = input.ConsumeRandomLengthString(1024);
  const std::string second = input.ConsumeRandomLengthString(1024);
  std::vector<std::string> args;
  while (args.size() < 4 && input.remaining_bytes() > 0)
    args.push_back(input.ConsumeRandomLengthString(3000));

  CheckCommandLine(first);
  CheckPath(first, style);
  CheckPath(second, style);
  CheckTexts(first, second);
  CheckFormat(first, args);
  CheckFixedBuffer(first);
  for (const std::string& arg : args) CheckFixedBuffer(arg);
  Check(ldr::DecimalText(static_cast<int32_t>(ldr::CompareAsciiNoCase(first, second))).size() <=
        11);
  return 0;
}
