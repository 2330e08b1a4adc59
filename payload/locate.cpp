#include "payload/locate.h"

#include "format/archive_bounds.h"
#include "format/hand_off.h"
#include "format/records.h"
#include "format/trailer_location.h"
#include "payload/host.h"

namespace ldr::payload {

namespace {

constexpr const char* kUsage =
    "usage: installer *SELFEXTRACT|*TODISK LOADERNAME LOADERFOLDER\n"
    "       installer LOADERFOLDER";

std::string Join(const std::vector<std::string>& args, size_t from, size_t to) {
  std::string out;
  for (size_t i = from; i < to; ++i) out += (i == from ? "" : " ") + args[i];
  return out;
}

struct Trailer {
  bool self_extracting = false;
  ArchiveTrailer fields;
  int64_t offset = -1;
};

Trailer ReadTrailer(KitFile& file) {
  Trailer out;
  const TrailerLocation at = LocateTrailer(file, file.Size());
  if (at.offset < 0) return out;
  unsigned char bytes[kTrailerSize];
  file.Read(static_cast<uint64_t>(at.offset), bytes, sizeof bytes, "the trailer");
  out.fields = DecodeTrailer(bytes);
  out.self_extracting = IsSelfExtracting(out.fields);
  out.offset = at.offset;
  return out;
}

PayloadPlace SecondArchive(const std::string& path, const Trailer& trailer) {
  const ArchiveTrailer& t = trailer.fields;
  if (!RangeBeforeTrailer(t.second_archive_start, t.second_archive_end, trailer.offset))
    Fail(Fault::kDamaged, "the trailer of " + path + " names a payload at " +
                              std::to_string(t.second_archive_start) + ".." +
                              std::to_string(t.second_archive_end) +
                              ", which does not lie before the trailer");
  return {path, t.second_archive_start, t.second_archive_end};
}

PayloadPlace WholeFile(const std::string& path) {
  KitFile file(path);
  return {path, 0, static_cast<int64_t>(file.Size()) - 1, true};
}

}  // namespace

bool IsWorkingFolderName(const std::string& name) {
  const std::string_view prefix = kWorkingFolderPrefix;
  if (name.size() <= prefix.size()) return false;
  bool hex = true, alnum = true;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    const bool digit = c >= '0' && c <= '9';
    if (i < prefix.size()) {
      if (lower != prefix[i]) return false;
      continue;
    }
    hex = hex && (digit || (lower >= 'a' && lower <= 'f'));
    alnum = alnum && (digit || (lower >= 'a' && lower <= 'z'));
  }
  const size_t digits = name.size() - prefix.size();
  return (hex && digits <= 4) || (alnum && digits == 6);
}

HandOff ReadHandOff(const std::vector<std::string>& args,
                    const std::function<bool(const std::string&)>& is_file) {
  if (args.empty()) Fail(Fault::kUsage, kUsage);
  HandOff out;
  const bool external = args[0] != kSelfExtractSwitch && args[0] != kToDiskSwitch;
  const size_t words = external ? 1 : 3;
  if (args.size() < words) Fail(Fault::kUsage, args[0] + " needs the loader's name and folder");
  const std::string exact = external ? JoinHostPath(args[0], std::string(kSecondArchiveFileName))
                                     : JoinHostPath(args[2], args[1]);
  if (args.size() > words && is_file(exact)) {
    out.folder = args[words - 1];
    if (!external) out.loader_name = args[1];
    out.extra.assign(args.begin() + static_cast<std::ptrdiff_t>(words), args.end());
    return out;
  }
  if (external) {
    out.folder = Join(args, 0, args.size());
    return out;
  }
  for (size_t cut = 2; cut < args.size(); ++cut) {
    HandOff split{Join(args, cut, args.size()), Join(args, 1, cut), {}};
    const bool found = is_file(JoinHostPath(split.folder, split.loader_name));
    if (cut == 2 || found) out = split;
    if (found) break;
  }
  return out;
}

PayloadPlace PlaceInFile(const std::string& path) {
  KitFile file(path);
  const Trailer trailer = ReadTrailer(file);
  if (trailer.self_extracting) return SecondArchive(path, trailer);
  // A program without the mark: a loader alone, or a kit cut short. A
  // payload file begins with its entry count, never with "MZ".
  unsigned char start[2] = {0, 0};
  if (file.ReadAt(0, start, sizeof start) && start[0] == 'M' && start[1] == 'Z')
    Fail(Fault::kNotAKit, path +
                              " is not a kit: its trailer does not carry the self-extracting "
                              "mark (a program alone, or a kit cut short)");
  PayloadPlace place{path, 0, static_cast<int64_t>(file.Size()) - 1};
  place.guessed = true;
  return place;
}

PayloadPlace PlaceForHandOff(const HandOff& hand_off) {
  const std::string setup2 = JoinHostPath(hand_off.folder, std::string(kSecondArchiveFileName));
  if (hand_off.loader_name.empty()) return WholeFile(setup2);
  const std::string loader = JoinHostPath(hand_off.folder, hand_off.loader_name);
  std::string why;
  try {
    KitFile file(loader);
    const Trailer trailer = ReadTrailer(file);
    if (trailer.self_extracting) return SecondArchive(loader, trailer);
    why = loader + " carries no payload (no self-extracting trailer)";
  } catch (const Failure& failure) {
    if (failure.fault() != Fault::kOpen) throw;
    why = failure.what();
  }
  // Not self-extracting: the loader ran from an external kit's setup.1.
  try {
    return WholeFile(setup2);
  } catch (const Failure& failure) {
    Fail(failure.fault(), std::string(failure.what()) + "; and " + why);
  }
}

}  // namespace ldr::payload
