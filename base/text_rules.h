#pragma once
// The loader's text rules: command-line splitting, path parts, trimming,
// comparison and formatting. Plain functions on byte strings, compiled and
// tested on every platform. Texts are single-byte ANSI, counted in bytes.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "base/failure.h"
#include "base/text.h"

namespace ldr {

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

// The longest path a system call hands the loader, in bytes. On Windows 260
// characters (MAX_PATH less its zero) of at most three bytes each: under the
// UTF-8 code page a character outside ASCII takes two or three bytes, and a
// path measured in 260 bytes would come back cut. On POSIX the system's own
// limit (PATH_MAX with its zero byte). A path longer still is refused by the
// platform, never cut.
#ifdef _WIN32
inline constexpr size_t kMaxSystemPath = 3 * 260;
#else
inline constexpr size_t kMaxSystemPath = PATH_MAX - 1;
#endif
// Every path the loader composes: one from the system, a separator and a
// name part.
inline constexpr size_t kMaxPath = kMaxSystemPath + 1 + kMaxShortText;
// The longest command line the system starts a program with: CreateProcess
// takes 32,767 characters with the final zero. Any argument of a line the
// system hands over fits as a whole.
inline constexpr size_t kMaxCommandLine = 32766;

using ShortText = Text<kMaxShortText>;
using PathText = Text<kMaxPath>;
using MessageText = Text<kMaxFormattedText>;
using CommandLineText = Text<kMaxCommandLine>;
// "-2147483648" is the longest.
using DecimalDigits = Text<11>;

// --- Command line -----------------------------------------------------------
// The line is split afresh on each call. The program's name (the first
// argument) is never counted and never returned. The line ends at its first
// zero byte.

// Reads the argument that begins at *pos, blanks and empty quoted pairs
// before it skipped, appends it to argument (which keeps what fits and is
// marked cut beyond its capacity) and leaves *pos right after it. False when
// the line holds no further argument: nothing was appended.
bool ReadArgument(std::string_view command_line, size_t* pos, TextBuffer* argument);

// The arguments a program receives from its command line by the rules of
// the C runtime's start-up code (CommandLineToArgvW's): 2n backslashes
// before a double quote are n backslashes and the quote opens or closes a
// quoted run, 2n+1 are n and a plain quote; inside a run two quotes are one
// plain quote; backslashes elsewhere are plain; "" is an empty argument.
// Reads the argument that begins at *pos (blanks before it skipped) like
// ReadArgument; false when the line holds no further argument.
bool ReadProgramArgument(std::string_view command_line, size_t* pos, TextBuffer* argument);

// Appends argument to a command line so that ReadProgramArgument gives it
// back unchanged: in double quotes when it is empty or holds a blank, a
// double quote or one of `extra`, a quote inside escaped, backslashes before
// a quote (the closing one too) doubled. A blank goes before it unless the
// line is empty. False, with the line unchanged, when it does not fit.
bool AppendProgramArgument(TextBuffer* line, std::string_view argument,
                           std::string_view extra = {});
// The number of arguments after the program's name.
int ArgumentCount(std::string_view command_line);
// The n-th argument after the program's name (n >= 1), whole: an argument
// over 256 characters is kept as it is. Empty when the line ends before it.
// Index 0, the loader's own path, is not taken from the line: callers use
// Platform::OwnFilePath.
CommandLineText ArgumentText(std::string_view command_line, int n);

// --- Paths ------------------------------------------------------------------
// The parts of a path are views into the path given: they live as long as
// it does.

// Up to and including the last separator; empty when there is none.
std::string_view DirectoryPart(std::string_view path, const PathStyle& style = kWindowsPaths);
// After the last separator (the whole path when there is none), cut to its
// first 255 characters.
std::string_view NamePart(std::string_view path, const PathStyle& style = kWindowsPaths);
// Without the last dot after the last separator and what follows it.
std::string_view StripExtension(std::string_view path, const PathStyle& style = kWindowsPaths);
// Appends style.trailing unless the text is empty or its last byte already is
// that separator. Looks at the last byte only (no lead-byte rule). A text
// longer than a path can be is cut (see Text).
PathText WithTrailingSeparator(std::string_view text, const PathStyle& style = kWindowsPaths);
// Removes one final style.trailing, if there is one. Last byte only. The
// POSIX root "/" stays as it is.
std::string_view WithoutTrailingSeparator(std::string_view text,
                                          const PathStyle& style = kWindowsPaths);

// --- Texts ------------------------------------------------------------------

// Without blanks (codes 0 to 32) at either end: a view into text.
std::string_view TrimText(std::string_view text);
// Zero when equal with a..z folded to A..Z; otherwise the difference of the
// first differing folded bytes (unsigned), or of the lengths.
int CompareAsciiNoCase(std::string_view a, std::string_view b);

// Whether Windows runs a file of this name through cmd.exe: ".bat" or
// ".cmd" in any case, also with the dots and blanks Windows drops from the
// end of a name. Takes a name part; the loader and kitpack both ask it.
bool IsBatchFileName(std::string_view name);
// Replaces each "%s" of format by the next argument. Raises LoaderError when
// the result would exceed 4096 characters.
MessageText FormatText(std::string_view format, std::initializer_list<std::string_view> args);
// Raises a LoaderError with the text FormatText makes (or the one FormatText
// raises when that would be too long).
// Its kind is the format's.
[[noreturn]] void RaiseFormatted(const Message& format,
                                 std::initializer_list<std::string_view> args);
// Decimal digits with a leading minus for negative values.
DecimalDigits DecimalText(int32_t value);
// A count or size as decimal digits (at most 2^31 - 1 shown).
DecimalDigits CountDigits(uint64_t count);
// Copies text up to its end, a zero byte or 255 characters, then a zero byte.
// buffer must hold at least 256 bytes.
void CopyToFixedBuffer(char* buffer, std::string_view text);

}  // namespace ldr
