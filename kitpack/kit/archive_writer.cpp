#include "kitpack/kit/archive_writer.h"

namespace kitpack {

std::string Describe(const char* label, size_t index, const InputFile& in) {
  return std::string(label) + " entry " + std::to_string(index) + " (" + ldr::ShownName(in.source) +
         ")";
}

std::vector<Prepared> Prepare(const std::vector<InputFile>& files, bool first,
                              const BuildOptions& o) {
  const char* label = first ? "first archive" : "second archive";
  std::vector<Prepared> out;
  // Where each file lands, folded the way Windows compares names: two
  // entries landing on one file would silently replace one another.
  std::map<std::string, size_t> targets;
  for (size_t i = 0; i < files.size(); ++i) {
    const InputFile& in = files[i];
    Prepared p{in, StatRegularFile(in.source)};
    std::string target =
        ldr::WindowsFileKey(first ? ldr::StoredNamePart(in.stored_name) : in.stored_name);
    for (char& c : target) {
      if (c == '/') c = '\\';
    }
    const std::string shown = ldr::ShownName(in.stored_name);
    if (!ldr::IsValidUtf8(in.stored_name))
      throw KitError(Describe(label, i, in) + ": stored name \"" + shown +
                     "\" is not valid UTF-8; kits store names as UTF-8 (rename the file, or "
                     "give it as " +
                     (first ? std::string("SRC=STOREDNAME)")
                            : std::string("--payload SRC=STOREDNAME, and leave it out of the "
                                          "folder that brings it with --exclude)")));
    auto [at, fresh] = targets.emplace(target, i);
    if (!fresh)
      throw KitError(Describe(label, i, in) + ": stored name \"" + shown +
                     "\" lands on the same file as entry " + std::to_string(at->second) + " (" +
                     ldr::ShownName(files[at->second].source) + ")");
    if (in.stored_name.size() > ldr::kStoredNameCapacity)
      throw KitError(Describe(label, i, in) + ": stored name \"" + shown + "\" is " +
                     std::to_string(in.stored_name.size()) + " bytes long; at most " +
                     std::to_string(ldr::kStoredNameCapacity) + " fit");
    if (first) {
      std::string part(ldr::StoredNamePart(in.stored_name));
      if (const char* reason = ldr::UnsafeNameReason(part, ldr::NameHost::kWindows))
        throw KitError(Describe(label, i, in) + ": stored name \"" + shown +
                       "\" gives the loader an unusable file name: " + reason);
    } else {
      ldr::RelativeName rel = ldr::SplitRelativeName(in.stored_name);
      if (!rel.refused.empty())
        throw KitError(Describe(label, i, in) + ": stored name \"" + shown +
                       "\" is refused: " + rel.refused);
    }
    if (p.info.size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
        p.info.size > static_cast<uint64_t>(o.offset_limit))
      throw KitError(Describe(label, i, in) + ": " + std::to_string(p.info.size) +
                     " bytes is too large: sizes and offsets in a kit are signed 32-bit");
    if (SameFile(in.source, o.output))
      throw KitError("the output " + o.output + " is also an input (" + in.source + ")");
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace kitpack
