#include <algorithm>
#include <array>
#include <atomic>
#include <optional>

#include "format/pe/layout.h"
#include "format/records.h"
#include "format/trailer_location.h"
#include "kitpack/host/interrupt.h"
#include "kitpack/kit/archive_writer.h"
#include "kitpack/kit/deployment.h"
#include "kitpack/kit/kit_digest.h"
#include "kitpack/kit/loader_copy.h"
#include "kitpack/kit/sign_step.h"
#include "kitpack/kit/writer.h"
#include "kitpack/pe/exe_format.h"
#include "kitpack/pe/import_check.h"
#include "kitpack/pe/installer_check.h"
#include "kitpack/pe/signing.h"

namespace kitpack {

namespace {

// A finished self-extracting kit's length is a multiple of this.
constexpr uint64_t kKitAlignment = 8;

// The output folder of an external kit, made when missing. A folder the
// build made goes again when the build fails or is interrupted (once the
// files in it are gone); one that was there stays.
class OutputFolder {
 public:
  explicit OutputFolder(const std::string& path) : path_(path) {
    if (IsDirectory(path)) return;
    MakeFolder(path);
    made_ = true;
    guard_.emplace(path, RemoveOnInterrupt::kFolder);
  }
  ~OutputFolder() {
    if (made_) RemoveEmptyFolder(path_);
  }
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
  void Keep() {
    made_ = false;
    guard_.reset();
  }

 private:
  std::string path_;
  bool made_ = false;
  std::optional<RemoveOnInterrupt> guard_;
};

// The sizes and SHA-256 of the files a build wrote, read back as they lie
// on disk (a signed kit is only known once its tool is done).
BuildSummary Finished(BuildSummary summary) {
  summary.size = 0;
  summary.sha256.clear();
  for (const std::string& file : summary.files) {
    ldr::Sha256 hash;
    const uint64_t size = StatRegularFile(file).size;
    HashFileRange(file, 0, size, hash);
    const std::array<unsigned char, 32> sha = hash.Finish();
    summary.sha256.push_back(ldr::DigestHex(sha.data(), sha.size()));
    summary.size += size;
  }
  return summary;
}

// The bytes of an output being written, as a source to read them back from.
class PendingBytes final : public ldr::ByteSource {
 public:
  explicit PendingBytes(const PendingOutput& out) : out_(out) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override {
    return out_.ReadBack(offset, buffer, size);
  }

 private:
  const PendingOutput& out_;
};

// The folder that holds `path` ("." for a bare name).
std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t cut = p.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : p.substr(0, cut);
}

// The output's place exists, and no read-only file there is replaced
// unless --force says so.
void CheckOutputPlace(const BuildOptions& o, const std::vector<std::string>& finals) {
  const std::string parent = ParentOf(o.output);
  if (!(o.external && IsDirectory(o.output)) && !IsDirectory(parent))
    throw KitError("the folder " + parent + " does not exist, so the " +
                   (o.external ? "output folder " : "kit ") + o.output +
                   " cannot be written there; create it first");
  for (const std::string& path : finals) {
    if (!path.empty() && IsReadOnlyFile(path) && !o.force)
      throw KitError("the output " + path +
                     " exists and is read-only; kitpack does not replace it unless --force is "
                     "given");
  }
}

}  // namespace

namespace {

// Where a build writes: the kit (or setup.1), the payload archive's file
// and, for an external kit, the loader's copy.
struct OutputPaths {
  std::string kit, second, loader_copy;
};

// Everything that can be refused before a byte is compressed.
OutputPaths CheckOptions(const BuildOptions& o) {
  if (o.first.empty()) throw KitError("no installer given: the first archive needs one entry");
  if (o.first.size() > static_cast<size_t>(ldr::kMaxFiles))
    throw KitError("the first archive would hold " + std::to_string(o.first.size()) +
                   " files; the loader reads at most " + std::to_string(ldr::kMaxFiles));
  if (o.level != kDefaultLevel && (o.level < 0 || o.level > kMaxLevel))
    throw KitError("compression level must be 0 to " + std::to_string(kMaxLevel));
  if (o.second.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw KitError("too many payload files");
  OutputPaths paths;
  paths.kit = o.external ? JoinPath(o.output, kFirstArchiveFile) : o.output;
  paths.second = o.external ? JoinPath(o.output, kSecondArchiveFile) : o.output;
  paths.loader_copy = o.external ? JoinPath(o.output, BaseName(o.loader)) : "";
  if (o.external &&
      (BaseName(o.loader) == kFirstArchiveFile || BaseName(o.loader) == kSecondArchiveFile))
    throw KitError("the loader may not be named " + BaseName(o.loader) + " in an external kit");
  if (!o.external && IsDirectory(o.output))
    throw KitError("the output " + o.output +
                   " is a folder; use --external to write setup.1 there");
  // A sign command that cannot run is refused before anything is compressed.
  if (!o.sign_command.empty()) FillPlaceholders(SplitCommand(o.sign_command), "kit", "out");
  CheckOutputPlace(o, {paths.kit, paths.second, paths.loader_copy});
  return paths;
}

// What one build works on: the loader's bytes and both archives' inputs,
// checked against every output they could clash with.
struct Inputs {
  std::vector<unsigned char> loader;
  // Where the loader's copy takes its deployment record; nothing for
  // --no-deployment or a loader without the block (an older one, another
  // writer's: its kits are built as they always were, and `list` says so).
  std::optional<LoaderBlock> block;
  std::vector<Prepared> first, second;
  uint64_t total = 0;
};

// A signed external kit is one whose loader copy is trusted to check what
// lies beside it: without a record it starts any setup.1, and with a
// record of version 1 any setup.2 goes.
void CheckExternalSigning(const BuildOptions& o, const std::optional<LoaderBlock>& block) {
  if (!o.external) return;
  if (block && block->layout < 2 && o.notice)
    o.notice("the loader " + o.loader +
             " is of an older build (deployment record version 1): its record cannot hold "
             "setup.2's digest");
  if (o.sign_command.empty()) return;
  if (!block)
    throw KitError(std::string("signing an external kit needs the deployment record: the "
                               "loader's copy would start whatever setup.1 lies beside it; ") +
                   (o.deployment ? "the loader " + o.loader + " has no deployment record block"
                                 : "build without --no-deployment"));
  if (block->layout < 2)
    throw KitError(
        "signing an external kit needs a loader whose deployment record holds "
        "setup.2's digest; the loader " +
        o.loader +
        " is of an older build (record version 1): use the loader.exe of this "
        "kitpack");
}

Inputs ReadInputs(const BuildOptions& o, const OutputPaths& paths) {
  Inputs in;
  in.loader = ReadLoader(o);
  if (o.deployment) in.block = DeploymentBlockOf(in.loader, o.loader);
  CheckExternalSigning(o, in.block);
  CheckLoaderAndInstaller(in.loader, o.loader, o.first.front().source);
  CheckInstallerStarts(in.loader, o.first.front().source, o.first.front().stored_name);
  if (!o.allow_imports) {
    std::vector<FirstArchiveFile> first;
    for (const InputFile& f : o.first) first.push_back({f.source, f.stored_name});
    CheckInstallerImports(in.loader, first);
  }
  BuildOptions checked = o;
  for (const std::string& out_path : {paths.kit, paths.second, paths.loader_copy}) {
    if (out_path.empty()) continue;
    checked.output = out_path;
    if (SameFile(o.loader, out_path) && out_path != paths.loader_copy)
      throw KitError("the output " + out_path + " is also the loader");
    in.first = Prepare(o.first, true, checked);
    in.second = Prepare(o.second, false, checked);
  }
  for (const auto& p : in.first) in.total += p.info.size;
  for (const auto& p : in.second) in.total += p.info.size;
  return in;
}

BuildSummary StartSummary(const Inputs& in) {
  BuildSummary summary;
  summary.loader_size = in.loader.size();
  summary.entries[0] = in.first.size();
  summary.entries[1] = in.second.size();
  for (const auto& p : in.first) summary.unpacked[0] += p.info.size;
  for (const auto& p : in.second) summary.unpacked[1] += p.info.size;
  return summary;
}

// SHA-256 of the first `size` bytes of an output being written.
std::array<unsigned char, 32> OutputSha256(const PendingOutput& out, uint64_t size) {
  ldr::Sha256 hash;
  PendingBytes bytes(out);
  ReadWithHoles(bytes, 0, size, {},
                [&](const unsigned char* data, size_t n) { hash.Update(data, n); });
  return hash.Finish();
}

// The record of a self-extracting kit, written into the loader image at the
// start of the output once the archives' places are known.
void FillSelfExtractingRecord(PendingOutput& out, Inputs& in, int64_t first_start,
                              int64_t second_start) {
  const int64_t trailer_offset = static_cast<int64_t>(out.Position());
  ldr::DeploymentRecord record;
  record.flags = ldr::kDeploymentSelfExtracting;
  record.kit_length = static_cast<uint32_t>(trailer_offset + ldr::kTrailerSize);
  record.archive_start = static_cast<int32_t>(first_start);
  record.archive_end = static_cast<int32_t>(second_start - 1);
  record.second_archive_start = static_cast<int32_t>(second_start);
  record.second_archive_end = static_cast<int32_t>(trailer_offset - 1);
  record.trailer_offset = static_cast<int32_t>(trailer_offset);
  FillDeploymentRecord(in.loader, *in.block, record);
  out.WriteAt(0, in.loader.data(), in.loader.size());
}

// The record of an external kit: the copy goes in unsigned, since the
// record changes its bytes, and names the length and SHA-256 of setup.1 and
// (a loader of the current layout) of setup.2.
void FillExternalRecord(const BuildOptions& o, Inputs& in, const PendingOutput& setup1,
                        const PendingOutput& setup2) {
  const uint64_t removed = StripSignature(in.loader, o.loader);
  if (removed != 0 && o.notice)
    o.notice("removed the signature of " + o.loader + " (a certificate table of " +
             std::to_string(removed) +
             " bytes) from the kit's copy: writing the deployment record breaks it; sign the "
             "kit's copy of the loader, or build with --no-deployment");
  ldr::DeploymentRecord record;
  record.flags = ldr::kDeploymentExternal | ldr::kDeploymentSetup1Digest;
  record.kit_length = static_cast<uint32_t>(in.loader.size());
  record.archive_end = static_cast<int32_t>(setup1.Position()) - 1;
  record.second_archive_end = static_cast<int32_t>(setup2.Position()) - 1;
  record.setup1_length = static_cast<uint32_t>(setup1.Position());
  record.setup1_sha256 = OutputSha256(setup1, setup1.Position());
  if (in.block->layout >= 2) {
    record.flags |= ldr::kDeploymentSetup2Digest;
    record.setup2_length = static_cast<uint32_t>(setup2.Position());
    record.setup2_sha256 = OutputSha256(setup2, setup2.Position());
  }
  FillDeploymentRecord(in.loader, *in.block, record);
}

// The trailer of a self-extracting kit whose archives lie at these offsets,
// sealed with the digest of everything written before it.
void WriteTrailer(PendingOutput& out, int64_t first_start, int64_t second_start,
                  unsigned char (&trailer)[ldr::kTrailerSize]) {
  const int64_t second_end = static_cast<int64_t>(out.Position()) - 1;
  ldr::EncodeTrailer(ldr::MakeSelfExtractingTrailer(
                         static_cast<int32_t>(first_start), static_cast<int32_t>(second_start - 1),
                         static_cast<int32_t>(second_start), static_cast<int32_t>(second_end)),
                     trailer);
  // The digest of everything before the trailer and of the trailer's first
  // 32 bytes, read back from the file as it now is.
  ldr::Sha256 prefix;
  PendingBytes written(out);
  HashKitPrefix(written, static_cast<uint64_t>(second_end + 1), prefix);
  SealTrailer(prefix, trailer);
  out.Write(trailer, sizeof trailer);
}

BuildSummary WriteSelfExtracting(const BuildOptions& o, const OutputPaths& paths, Inputs& in,
                                 BuildSummary summary) {
  std::atomic<uint64_t> done{0};
  // Signals are held while the temporary file is made and put in the table
  // of what an interrupt removes.
  std::optional<InterruptsHeld> held(std::in_place);
  PendingOutput out(paths.kit);
  RemoveOnInterrupt out_guard(out.TempPath(), RemoveOnInterrupt::kFile);
  held.reset();
  CopyLoader(out, in.loader);
  ArchiveWriter writer(out, o, done, in.total);
  int64_t first_start = static_cast<int64_t>(out.Position());
  writer.Write(in.first, "first archive");
  int64_t second_start = static_cast<int64_t>(out.Position());
  writer.Write(in.second, "second archive");
  summary.archive_size[0] = static_cast<uint64_t>(second_start - first_start);
  summary.archive_size[1] = out.Position() - static_cast<uint64_t>(second_start);
  // Zero bytes between the loader image and the first archive make the
  // kit's length a multiple of 8, so that a signing tool appends its
  // certificate table right behind the trailer. The archives are moved up
  // as they are (their offsets are their own), ArchiveStart names where
  // the first one now begins, and the second still follows it directly.
  const uint64_t unpadded = out.Position() + ldr::kTrailerSize;
  const uint64_t padding = (kKitAlignment - unpadded % kKitAlignment) % kKitAlignment;
  out.InsertZeros(static_cast<uint64_t>(first_start), padding);
  first_start += static_cast<int64_t>(padding);
  second_start += static_cast<int64_t>(padding);
  const int64_t trailer_offset = static_cast<int64_t>(out.Position());
  if (trailer_offset - 1 + static_cast<int64_t>(ldr::kTrailerSize) > o.offset_limit)
    throw KitError("the kit would grow past " + std::to_string(o.offset_limit) +
                   " bytes: offsets in a kit are signed 32-bit");
  if (in.block) FillSelfExtractingRecord(out, in, first_start, second_start);
  unsigned char trailer[ldr::kTrailerSize];
  WriteTrailer(out, first_start, second_start, trailer);
  summary.files = {paths.kit};
  // The signing folder lives until the kit is committed: it removes the
  // kit on the way out unless it was.
  std::optional<SignFolder> folder;
  if (!o.sign_command.empty()) {
    out.Close();
    const KitSums sums = Sums(out.TempPath(), static_cast<uint64_t>(first_start),
                              static_cast<uint64_t>(trailer_offset));
    folder.emplace(out, paths.kit);
    Sign(out, *folder, o.sign_command, [&](const std::string& path) {
      CheckSignedKit(path, trailer_offset, trailer, static_cast<uint64_t>(first_start), sums);
    });
  }
  out.Commit(PendingOutput::Kind::kProgram);
  return Finished(summary);
}

// External: three files, each complete before any of them is renamed in.
BuildSummary WriteExternal(const BuildOptions& o, const OutputPaths& paths, Inputs& in,
                           BuildSummary summary) {
  std::atomic<uint64_t> done{0};
  std::optional<InterruptsHeld> held(std::in_place);
  OutputFolder folder_made(o.output);
  PendingOutput setup1(paths.kit), setup2(paths.second), copy(paths.loader_copy);
  RemoveOnInterrupt guard1(setup1.TempPath(), RemoveOnInterrupt::kFile);
  RemoveOnInterrupt guard2(setup2.TempPath(), RemoveOnInterrupt::kFile);
  RemoveOnInterrupt guard3(copy.TempPath(), RemoveOnInterrupt::kFile);
  held.reset();
  ArchiveWriter(setup1, o, done, in.total).Write(in.first, "first archive");
  ArchiveWriter(setup2, o, done, in.total).Write(in.second, "second archive");
  if (in.block) FillExternalRecord(o, in, setup1, setup2);
  CopyLoader(copy, in.loader);
  std::optional<SignFolder> folder;
  if (!o.sign_command.empty()) {
    // The loader's copy is the one executable of an external kit.
    copy.Close();
    folder.emplace(copy, paths.loader_copy);
    Sign(copy, *folder, o.sign_command, CheckSignedLoader);
  }
  summary.archive_size[0] = setup1.Position();
  summary.archive_size[1] = setup2.Position();
  setup1.Commit(PendingOutput::Kind::kData);
  setup2.Commit(PendingOutput::Kind::kData);
  copy.Commit(PendingOutput::Kind::kProgram);
  folder_made.Keep();
  summary.files = {paths.kit, paths.second, paths.loader_copy};
  return Finished(summary);
}

}  // namespace

BuildSummary BuildKit(const BuildOptions& o) {
  const OutputPaths paths = CheckOptions(o);
  Inputs in = ReadInputs(o, paths);
  return o.external ? WriteExternal(o, paths, in, StartSummary(in))
                    : WriteSelfExtracting(o, paths, in, StartSummary(in));
}

}  // namespace kitpack
