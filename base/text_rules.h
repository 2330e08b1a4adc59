#pragma once
// The loader's text rules: command-line splitting, path parts, trimming,
// comparison and formatting. Plain functions on byte strings, compiled and
// tested on every platform. Texts are single-byte ANSI, counted in bytes.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace ldr {

// Tells whether a byte begins a two-byte character in the system code page
// (IsDBCSLeadByte). Null stands for a single-byte code page.
using LeadByteTest = bool (*)(unsigned char byte);

// How a path is split: which bytes separate its parts, which one
// WithTrailingSeparator appends, and the lead-byte test. On POSIX the root
// folder "/" is a whole path of its own and keeps its separator.
struct PathStyle {
  const char* separators;
  char trailing;
  LeadByteTest is_lead_byte;
  bool root_keeps_separator;
};

// Windows paths in a single-byte code page: "\" and ":" separate.
inline constexpr PathStyle kWindowsPaths{"\\:", '\\', nullptr, false};
// POSIX host paths: "/" separates.
inline constexpr PathStyle kPosixPaths{"/", '/', nullptr, true};

// The largest text FormatText produces.
inline constexpr size_t kMaxFormattedText = 4096;
// The most characters CopyToFixedBuffer and NamePart keep.
inline constexpr size_t kMaxShortText = 255;

// --- Command line -----------------------------------------------------------
// The line is split afresh on each call. The program's name (the first
// argument) is never counted and never returned.

// The number of arguments after the program's name.
int ArgumentCount(std::string_view command_line);
// The n-th argument after the program's name (n >= 1); empty when the line
// ends before it. Index 0, the loader's own path, is not taken from the line:
// callers use Platform::OwnFilePath.
std::string ArgumentText(std::string_view command_line, int n);
// Every argument including the program's name, as the same rules split them.
std::vector<std::string> SplitArguments(std::string_view command_line);

// --- Paths ------------------------------------------------------------------

// Up to and including the last separator; empty when there is none.
std::string DirectoryPart(std::string_view path, const PathStyle& style = kWindowsPaths);
// After the last separator (the whole path when there is none), cut to its
// first 255 characters.
std::string NamePart(std::string_view path, const PathStyle& style = kWindowsPaths);
// Without the last dot after the last separator and what follows it.
std::string StripExtension(std::string_view path, const PathStyle& style = kWindowsPaths);
// Appends style.trailing unless the text is empty or its last byte already is
// that separator. Looks at the last byte only (no lead-byte rule).
std::string WithTrailingSeparator(std::string_view text, const PathStyle& style = kWindowsPaths);
// Removes one final style.trailing, if there is one. Last byte only. The
// POSIX root "/" stays as it is.
std::string WithoutTrailingSeparator(std::string_view text, const PathStyle& style = kWindowsPaths);

// --- Texts ------------------------------------------------------------------

// Without blanks (codes 0 to 32) at either end.
std::string TrimText(std::string_view text);
// Zero when equal with a..z folded to A..Z; otherwise the difference of the
// first differing folded bytes (unsigned), or of the lengths.
int CompareAsciiNoCase(std::string_view a, std::string_view b);
// Replaces each "%s" of format by the next argument. Raises LoaderError when
// the result would exceed 4096 characters.
std::string FormatText(std::string_view format, std::initializer_list<std::string_view> args);
// Decimal digits with a leading minus for negative values.
std::string DecimalText(int32_t value);
// Copies text up to its end, a zero byte or 255 characters, then a zero byte.
// buffer must hold at least 256 bytes.
void CopyToFixedBuffer(char* buffer, std::string_view text);

}  // namespace ldr
