#include "kitpack/pe/signing.h"

#include <algorithm>

#include "format/pe/layout.h"
#include "kitpack/host/files.h"

namespace kitpack {

namespace {

void Zero(std::vector<unsigned char>& b, uint64_t at, uint64_t count) {
  std::fill(b.begin() + static_cast<std::ptrdiff_t>(at),
            b.begin() + static_cast<std::ptrdiff_t>(at + count), 0);
}

// Where the image's own bytes end: its headers and the raw data of every
// section. A section table that runs out of the file counts as reaching its
// end.
uint64_t ImageEnd(const std::vector<unsigned char>& b) {
  const std::optional<ldr::PeLayout> layout = ldr::ReadPeLayout(b.data(), b.size());
  return layout ? layout->ImageEnd() : b.size();
}

std::string Num(int64_t v) { return std::to_string(v); }

}  // namespace

uint64_t StripSignature(std::vector<unsigned char>& image, const std::string& name) {
  ldr::MemoryByteSource bytes(image.data(), image.size());
  const ldr::PeSecurityEntry pe = ldr::ReadPeSecurityEntry(bytes, image.size());
  if (!pe.NamesTable()) return 0;
  const uint64_t table = pe.table_offset;
  const uint64_t end = table + pe.table_size;
  const std::string named = "the loader " + name + " names a certificate table at bytes " +
                            Num(static_cast<int64_t>(table)) + ".." +
                            Num(static_cast<int64_t>(end) - 1);
  if (end != image.size())
    throw KitError(named + ", which does not end the file (" +
                   Num(static_cast<int64_t>(image.size())) +
                   " bytes); kitpack cannot tell what to remove");
  const uint64_t image_end = ImageEnd(image);
  if (table < image_end)
    throw KitError(named + ", which overlaps the image's own headers or sections (up to byte " +
                   Num(static_cast<int64_t>(image_end) - 1) +
                   "); kitpack cannot tell what to remove");
  image.resize(static_cast<size_t>(table));
  Zero(image, pe.entry_offset, 8);
  Zero(image, pe.checksum_offset, 4);
  return pe.table_size;
}

std::vector<std::string> SplitCommand(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\'' || c == '"') {
      size_t j = i + 1;
      for (; j < command.size() && command[j] != c; ++j) {
        if (c == '"' && command[j] == '\\' && j + 1 < command.size() &&
            (command[j + 1] == '"' || command[j + 1] == '\\'))
          ++j;
        word += command[j];
      }
      if (j >= command.size())
        throw KitError(std::string("the sign command has an unterminated ") +
                       (c == '"' ? "\"" : "'") + " quote: " + command);
      i = j;
    } else if (c == '\\' && i + 1 < command.size() &&
               (command[i + 1] == ' ' || command[i + 1] == '\t' || command[i + 1] == '"' ||
                command[i + 1] == '\'' || command[i + 1] == '\\')) {
      word += command[++i];
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(word);
  if (words.empty()) throw KitError("the sign command is empty");
  return words;
}

namespace {

// One pass over the word, so that a path holding a placeholder's text is
// never expanded again.
std::string Fill(const std::string& word, const std::string& kit, const std::string& output) {
  const std::string kit_mark = kKitPlaceholder, output_mark = kOutputPlaceholder;
  std::string out;
  for (size_t i = 0; i < word.size();) {
    if (word.compare(i, output_mark.size(), output_mark) == 0) {
      out += output;
      i += output_mark.size();
    } else if (word.compare(i, kit_mark.size(), kit_mark) == 0) {
      out += kit;
      i += kit_mark.size();
    } else {
      out += word[i++];
    }
  }
  return out;
}

}  // namespace

bool NamesOutput(const std::vector<std::string>& words) {
  return std::any_of(words.begin(), words.end(), [](const std::string& w) {
    return w.find(kOutputPlaceholder) != std::string::npos;
  });
}

std::vector<std::string> FillPlaceholders(const std::vector<std::string>& words,
                                          const std::string& kit, const std::string& output) {
  if (std::none_of(words.begin(), words.end(), [](const std::string& w) {
        return w.find(kKitPlaceholder) != std::string::npos;
      }))
    throw KitError(
        "the sign command must name the kit with {} (and, for a tool that writes a signed copy, "
        "that copy with {out})");
  std::vector<std::string> out;
  for (const std::string& w : words) out.push_back(Fill(w, kit, output));
  return out;
}

std::string UncoveredRange(const ldr::PeSecurityEntry& pe, const std::vector<KitRange>& ranges) {
  struct Hole {
    const char* what;
    int64_t first, last;
  };
  const Hole holes[] = {
      {"the PE checksum", static_cast<int64_t>(pe.checksum_offset),
       static_cast<int64_t>(pe.checksum_offset) + 3},
      {"the security entry", static_cast<int64_t>(pe.entry_offset),
       static_cast<int64_t>(pe.entry_offset) + 7},
  };
  for (const KitRange& r : ranges) {
    const std::string where = r.what + " (bytes " + Num(r.first) + ".." + Num(r.last) + ")";
    if (r.first < 0 || r.last >= static_cast<int64_t>(pe.table_offset))
      return where + " does not lie before the certificate table at byte " + Num(pe.table_offset);
    for (const Hole& h : holes)
      if (r.first <= h.last && h.first <= r.last)
        return where + " overlaps " + h.what + ", which the signature does not cover";
  }
  return "";
}

}  // namespace kitpack
