#include "loader/run_log.h"

#include "base/errors.h"
#include "base/messages.h"
#include "format/shown_name.h"

namespace ldr {

void RunLog::Open(std::string_view path, std::initializer_list<std::string_view> first_line) {
  const PathText name(path);
  if (!name.cut()) file_ = platform_.OpenForAppending(name);
  if (!file_ || !Line(first_line)) RaiseLoaderError(msg::kNoLog, path);
}

bool RunLog::Line(std::initializer_list<std::string_view> pieces) {
  if (!file_) return false;
  const TimeText now = platform_.LocalTime();
  bool whole = true;
  auto write = [this, &whole](std::string_view text) {
    if (text.empty()) return;
    const int32_t put = file_->Write(text.data(), static_cast<uint32_t>(text.size()));
    if (put < 0 || static_cast<size_t>(put) != text.size()) whole = false;
  };
  write(now);
  write("  ");
  // Names, arguments and messages come from outside: no byte of theirs may
  // end the line or forge another one, or move a terminal's cursor.
  auto shown = [](void* context, std::string_view piece) {
    (*static_cast<decltype(write)*>(context))(piece);
  };
  for (std::string_view piece : pieces) ForEachShownPiece(piece, shown, &write);
  write("\n");
  return whole;
}

Text<24> ExitCodeText(uint32_t code) {
  char digits[10];
  int n = 0;
  for (uint32_t rest = code; n == 0 || rest != 0; rest /= 10)
    digits[n++] = static_cast<char>('0' + rest % 10);
  Text<24> text;
  while (n > 0) text.Append(digits[--n]);
  if (code >= 0x80000000u) {
    text.Append(" (0x");
    for (int shift = 28; shift >= 0; shift -= 4)
      text.Append("0123456789ABCDEF"[(code >> shift) & 15]);
    text.Append(')');
  }
  return text;
}

DecimalDigits MegabyteText(uint64_t bytes, bool round_up) {
  constexpr uint64_t kMegabyte = uint64_t{1024} * 1024;
  return CountDigits(bytes / kMegabyte + (round_up && bytes % kMegabyte != 0 ? 1 : 0));
}

}  // namespace ldr
