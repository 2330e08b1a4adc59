#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <map>
#include <optional>

#include "format/pe/layout.h"
#include "format/pe/resources.h"
#include "format/pe/version.h"
#include "format/shown_name.h"
#include "format/stored_names.h"
#include "format/stored_paths.h"
#include "format/utf8.h"
#include "kitpack/host/interrupt.h"
#include "kitpack/host/process.h"
#include "kitpack/host/threads.h"
#include "kitpack/kit/deployment.h"
#include "kitpack/kit/glob.h"
#include "kitpack/kit/kit.h"
#include "kitpack/kit/kit_digest.h"
#include "kitpack/kit/zstream.h"
#include "kitpack/pe/exe_format.h"
#include "kitpack/pe/signing.h"

namespace kitpack {

namespace {

// A finished self-extracting kit's length is a multiple of this.
constexpr uint64_t kKitAlignment = 8;

// 1899-12-30 is day 0; 1970-01-01 is day 25569.
constexpr int64_t kUnixEpochDay = 25569;
constexpr int64_t kSecondsPerDay = 86400;

struct Prepared {
  InputFile input;
  FileInfo info;
};

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
                     "give its name as SRC=STOREDNAME)");
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

// Writes one archive. Worker threads read and deflate pieces (each reads its
// own slice of the input, with the 32 KiB before it as dictionary) while this
// thread writes finished pieces out in order. An entry's record is written
// once its stream is complete, into the place reserved for it. Workers stay
// at most a fixed number of pieces ahead of the writer, which bounds memory.
class ArchiveWriter {
 public:
  ArchiveWriter(PendingOutput& out, const BuildOptions& o, std::atomic<uint64_t>& done,
                uint64_t total)
      : out_(out), o_(o), done_(done), total_(total) {}

  void Write(const std::vector<Prepared>& files, const char* label) {
    base_ = static_cast<int64_t>(out_.Position());
    unsigned char header[ldr::kHeaderSize] = {};
    ldr::PutInt32(header, static_cast<int32_t>(files.size()));
    out_.Write(header, sizeof header);

    files_ = &files;
    tasks_.clear();
    for (size_t f = 0; f < files.size(); ++f)
      for (const Piece& p : PlanPieces(static_cast<size_t>(files[f].info.size)))
        tasks_.push_back({f, p});
    results_.assign(tasks_.size(), {});
    ready_.assign(tasks_.size(), 0);
    versions_.assign(files.size(), {});
    next_task_ = 0;
    consumed_ = 0;
    stop_ = false;
    error_ = nullptr;

    const unsigned workers =
        std::max(1u, std::min<unsigned>(o_.threads, static_cast<unsigned>(tasks_.size())));
    window_ = std::max<size_t>(16, size_t{4} * workers);
    ThreadGroup pool;
    struct Joiner {
      ArchiveWriter* w;
      ThreadGroup& pool;
      ~Joiner() {
        {
          Locked lock(w->mutex_);
          w->stop_ = true;
        }
        w->cv_.NotifyAll();
        pool.JoinAll();
      }
    } joiner{this, pool};
    for (unsigned t = 0; t < workers; ++t) pool.Start([this] { Work(); });

    size_t task = 0;
    for (size_t f = 0; f < files.size(); ++f) {
      const Prepared& p = files[f];
      const int64_t h = static_cast<int64_t>(out_.Position()) - base_;
      unsigned char record[ldr::kEntrySize] = {};
      out_.Write(record, sizeof record);  // reserved; filled in below
      unsigned char zhead[2];
      ZlibHeader(o_.level, zhead);
      out_.Write(zhead, 2);
      uint64_t stream_size = 2;
      uLong adler = 1;
      for (; task < tasks_.size() && tasks_[task].file == f; ++task) {
        DeflatedPiece piece = Take(task);
        out_.Write(piece.bytes.data(), piece.bytes.size());
        stream_size += piece.bytes.size();
        adler = adler32_combine(adler, piece.adler, static_cast<z_off_t>(piece.length));
      }
      unsigned char ztail[4];
      for (int i = 0; i < 4; ++i) ztail[i] = static_cast<unsigned char>(adler >> (24 - 8 * i));
      out_.Write(ztail, 4);
      stream_size += 4;
      FinishRecord(p, h, stream_size, label, f);
    }
  }

 private:
  struct Task {
    size_t file;
    Piece piece;
  };

  void Work() {
    std::vector<unsigned char> buffer;
    for (;;) {
      size_t i;
      {
        Locked lock(mutex_);
        cv_.Wait(lock, [&] { return stop_ || error_ || next_task_ < consumed_ + window_; });
        if (stop_ || error_ || next_task_ >= tasks_.size()) return;
        i = next_task_++;
      }
      try {
        DeflatedPiece result = Deflate(tasks_[i], buffer);
        Locked lock(mutex_);
        results_[i] = std::move(result);
        ready_[i] = 1;
      } catch (...) {
        Locked lock(mutex_);
        if (!error_) error_ = std::current_exception();
      }
      cv_.NotifyAll();
    }
  }

  DeflatedPiece Deflate(const Task& task, std::vector<unsigned char>& buffer) {
    const Prepared& p = (*files_)[task.file];
    const std::string& path = p.input.source;
    ReadableFile f(path);
    const size_t before = std::min<size_t>(32768, task.piece.offset);
    buffer = f.Range(task.piece.offset - before, before + task.piece.length);
    if (task.piece.last) {
      // The file must still end where it ended when it was measured.
      unsigned char extra;
      if (f.ReadSome(task.piece.offset + task.piece.length, &extra, 1) != 0)
        throw KitError(path + " changed while the kit was being built");
    }
    if (task.piece.offset == 0) versions_[task.file] = ldr::PeFileVersion(f, p.info.size);
    DeflatedPiece out = DeflateRaw(buffer.data(), before, buffer.data() + before, task.piece.length,
                                   task.piece.last, o_.level);
    uint64_t now = done_ += task.piece.length;
    if (o_.progress) o_.progress(now, total_);
    return out;
  }

  DeflatedPiece Take(size_t i) {
    Locked lock(mutex_);
    cv_.Wait(lock, [&] { return ready_[i] || error_; });
    if (error_) std::rethrow_exception(error_);
    DeflatedPiece piece = std::move(results_[i]);
    results_[i] = {};
    consumed_ = i + 1;
    lock.Release();
    cv_.NotifyAll();
    return piece;
  }

  void FinishRecord(const Prepared& p, int64_t h, uint64_t stream_size, const char* label,
                    size_t index) {
    const int64_t data_start = h + static_cast<int64_t>(ldr::kEntrySize);
    const int64_t data_end = data_start + static_cast<int64_t>(stream_size) - 1;
    if (base_ + data_end > o_.offset_limit)
      throw KitError("the kit would grow past " + std::to_string(o_.offset_limit) + " bytes at " +
                     Describe(label, index, p.input) + ": offsets in a kit are signed 32-bit");
    ldr::ArchiveEntry e;
    e.reserved_one = 1;
    e.file_time = KitTimeFromUnix(o_.fixed_time ? *o_.fixed_time : p.info.mtime);
    e.reserved_after_time = 0;
    e.data_start = static_cast<int32_t>(data_start);
    e.data_end = static_cast<int32_t>(data_end);
    e.next_header = static_cast<int32_t>(data_end + 1);
    e.unpacked_size = static_cast<int32_t>(p.info.size);
    e.reserved_after_start = 0;
    e.reserved_before_version = 0;
    ldr::SetShortString(e.stored_name, p.input.stored_name);  // length checked up front
    const std::string& version = versions_[index];
    if (!ldr::SetShortString(e.file_version, version))
      throw KitError(Describe(label, index, p.input) + ": version text \"" + version +
                     "\" is longer than " + std::to_string(ldr::kFileVersionCapacity) + " bytes");
    unsigned char record[ldr::kEntrySize];
    ldr::EncodeEntry(e, record);
    out_.WriteAt(static_cast<uint64_t>(base_ + h), record, sizeof record);
    if (o_.entry_done) {
      EntryDone done;
      done.second = std::string(label) == "second archive";
      done.index = index;
      done.input = &p.input;
      done.unpacked = p.info.size;
      done.packed = stream_size;
      o_.entry_done(done);
    }
  }

  PendingOutput& out_;
  const BuildOptions& o_;
  std::atomic<uint64_t>& done_;
  uint64_t total_;
  int64_t base_ = 0;

  const std::vector<Prepared>* files_ = nullptr;
  std::vector<Task> tasks_;
  std::vector<DeflatedPiece> results_;
  std::vector<char> ready_;
  std::vector<std::string> versions_;  // written by the worker of each file's first piece
  Mutex mutex_;
  Condition cv_;
  size_t next_task_ = 0;
  size_t consumed_ = 0;
  size_t window_ = 16;
  bool stop_ = false;
  std::exception_ptr error_;
};

void CopyLoader(PendingOutput& out, const std::vector<unsigned char>& loader) {
  out.Write(loader.data(), loader.size());
}

// Where the kit's copy of the loader takes its deployment record; nothing
// for --no-deployment or a loader without the block (an older one, another
// writer's: its kits are built as they always were, and `list` says so).
std::optional<size_t> DeploymentBlock(const BuildOptions& o,
                                      const std::vector<unsigned char>& loader) {
  if (!o.deployment) return std::nullopt;
  return DeploymentBlockOffset(loader, o.loader);
}

// SHA-256 of the first `size` bytes of an output being written.
std::array<unsigned char, 32> OutputSha256(const PendingOutput& out, uint64_t size) {
  Sha256 hash;
  std::vector<unsigned char> chunk(1 << 20);
  for (uint64_t at = 0; at < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - at));
    if (!out.ReadBack(at, chunk.data(), n)) throw KitError("could not read back " + out.TempPath());
    hash.Update(chunk.data(), n);
    at += n;
  }
  return hash.Finish();
}

std::vector<unsigned char> ReadLoader(const BuildOptions& o) {
  if (SameFile(o.loader, o.output))
    throw KitError("the output " + o.output + " is also the loader");
  std::vector<unsigned char> loader = ReadWholeFile(o.loader);
  // Where the loader would look for a trailer in its own file: a signed kit
  // is refused as well as an unsigned one.
  ldr::MemoryByteSource bytes(loader.data(), loader.size());
  const ldr::TrailerLocation at = ldr::LocateTrailer(bytes, loader.size());
  if (at.offset >= 0) {
    unsigned char tail[ldr::kTrailerSize];
    std::memcpy(tail, loader.data() + at.offset, ldr::kTrailerSize);
    if (ldr::IsSelfExtracting(ldr::DecodeTrailer(tail)))
      throw KitError("the loader " + o.loader + " already carries a kit (" +
                     (at.before_certificates ? "the 56 bytes before its certificate table"
                                             : "its last 56 bytes") +
                     " hold the SELFEXTRACTING mark)");
  }
  // A kit appends to the loader, which would break the loader's own
  // signature: its copy goes in unsigned, and the kit is signed as a whole.
  // An external kit's copy is the loader unchanged, unless it is branded:
  // that voids its signature too.
  if (!o.external || o.branding.Any()) {
    const uint64_t removed = StripSignature(loader, o.loader);
    if (removed != 0 && o.notice)
      o.notice("removed the signature of " + o.loader + " (a certificate table of " +
               std::to_string(removed) +
               " bytes) from the kit's copy: data appended behind a signature breaks it; sign the "
               "finished kit");
  }
  ApplyBranding(loader, o.branding, o.loader);
  if (static_cast<int64_t>(loader.size()) > o.offset_limit)
    throw KitError("the loader " + o.loader + " is too large: offsets in a kit are signed 32-bit");
  if (o.execution_level) {
    // The level changes the loader's bytes, which breaks a signature its copy
    // still carries (an external kit's): that copy goes in unsigned too.
    if (o.external) {
      const uint64_t removed = StripSignature(loader, o.loader);
      if (removed != 0 && o.notice)
        o.notice("removed the signature of " + o.loader + " (a certificate table of " +
                 std::to_string(removed) +
                 " bytes) from the kit's copy: writing the execution level breaks it; sign the "
                 "kit's copy of the loader");
    }
    SetLoaderExecutionLevel(loader, *o.execution_level, o.loader);
    // A branded loader's checksum was made right by the resource writer:
    // it stays right.
    if (o.branding.Any()) ldr::UpdatePeChecksum(loader);
  }
  return loader;
}

// After its sign command the loader's copy of an external kit must end in a
// certificate table and still not look like a self-extracting kit.
void CheckSignedLoader(const std::string& path) {
  std::vector<unsigned char> image = ReadWholeFile(path);
  ldr::MemoryByteSource bytes(image.data(), image.size());
  const ldr::TrailerLocation at = ldr::LocateTrailer(bytes, image.size());
  const std::string fault = "the signed loader " + path + " does not read back: ";
  if (!at.before_certificates)
    throw KitError(
        fault +
        "it does not end in a certificate table named by its security entry (was it signed?)");
  unsigned char tail[ldr::kTrailerSize];
  std::memcpy(tail, image.data() + at.offset, ldr::kTrailerSize);
  if (ldr::IsSelfExtracting(ldr::DecodeTrailer(tail)))
    throw KitError(fault + "it now carries the SELFEXTRACTING mark and would not look for setup.1");
}

// CRC-32 of a range of a file; with `signing_fields`, the fields a signing
// tool rewrites read as zero bytes.
uint32_t RangeCrc(const std::string& path, uint64_t offset, uint64_t length,
                  bool signing_fields = false) {
  ReadableFile f(path);
  const std::vector<Hole> holes = signing_fields ? SigningFields(f, f.Size()) : std::vector<Hole>{};
  uLong crc = crc32(0, nullptr, 0);
  ReadWithHoles(f, offset, length, holes, [&](const unsigned char* data, size_t n) {
    crc = crc32(crc, data, static_cast<uInt>(n));
  });
  return static_cast<uint32_t>(crc);
}

// The private folder the sign command works in, beside the output: the kit
// is moved there under its final name (tools that go by the extension see
// the right one) and, with {out}, the tool writes its signed copy there. On
// the way out everything kitpack put there is removed again, the kit too
// unless it was committed; the folder goes when it is empty.
class SignFolder {
 public:
  SignFolder(PendingOutput& out, const std::string& final_path)
      : out_(out), path_(MakePrivateFolder(final_path + ".sign-XXXXXX")) {
    const std::string base = BaseName(final_path);
    kit_ = JoinPath(path_, base);
    signed_copy_ = JoinPath(path_, "signed-" + base);
    folder_guard_.emplace(path_, RemoveOnInterrupt::kFolder);
    kit_guard_.emplace(kit_, RemoveOnInterrupt::kFile);
    copy_guard_.emplace(signed_copy_, RemoveOnInterrupt::kFile);
  }
  ~SignFolder() {
    RemoveFile(signed_copy_);
    if (!out_.Committed()) RemoveFile(out_.TempPath());
    RemoveEmptyFolder(path_);
  }
  SignFolder(const SignFolder&) = delete;
  SignFolder& operator=(const SignFolder&) = delete;

  const std::string& kit() const { return kit_; }
  const std::string& signed_copy() const { return signed_copy_; }

 private:
  PendingOutput& out_;
  std::string path_, kit_, signed_copy_;
  std::optional<RemoveOnInterrupt> folder_guard_, kit_guard_, copy_guard_;
};

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

// Runs the sign command on a finished, closed output and leaves the signed
// file in its place; `check` then raises when it does not read back.
void Sign(PendingOutput& out, SignFolder& folder, const std::string& command,
          const std::function<void(const std::string&)>& check) {
  const std::vector<std::string> words = SplitCommand(command);
  out.MoveTo(folder.kit());
  const std::vector<std::string> argv = FillPlaceholders(words, folder.kit(), folder.signed_copy());
  const std::string outcome = RunProgram(argv);
  if (!outcome.empty())
    throw KitError("the sign command " + argv[0] + " " + outcome + "; no kit was written");
  if (NamesOutput(words)) {
    if (!IsRegularFile(folder.signed_copy()))
      throw KitError("the sign command left no signed copy at {out} (" + folder.signed_copy() +
                     ")");
    RenameFile(folder.signed_copy(), out.TempPath());
  }
  check(out.TempPath());
}

// Checksums of a kit that its signing must leave as they are.
struct KitSums {
  uint32_t image = 0;     // the loader image and the padding, less the fields signing rewrites
  uint32_t archives = 0;  // both archives
};

KitSums Sums(const std::string& path, uint64_t archives_start, uint64_t trailer_offset) {
  return {RangeCrc(path, 0, archives_start, true),
          RangeCrc(path, archives_start, trailer_offset - archives_start)};
}

// What must hold of a kit after its sign command: it ends in a certificate
// table, its trailer is where it was and as it was, the archives and the
// loader image (but for the two fields signing rewrites) are byte for byte
// those written; then kitpack's checked reading of it.
void CheckSignedKit(const std::string& path, int64_t trailer_offset,
                    const unsigned char (&trailer)[ldr::kTrailerSize], uint64_t archives_start,
                    const KitSums& sums) {
  const std::string fault = "the signed kit does not read back: ";
  ReadableFile f(path);
  const ldr::TrailerLocation at = ldr::LocateTrailer(f, f.Size());
  if (!at.before_certificates)
    throw KitError(
        fault +
        "it does not end in a certificate table named by its security entry (was it signed?)");
  if (at.offset != trailer_offset)
    throw KitError(fault + "its trailer moved from byte " + std::to_string(trailer_offset) +
                   " to " + std::to_string(at.offset));
  const std::vector<unsigned char> now =
      f.Range(static_cast<uint64_t>(at.offset), ldr::kTrailerSize);
  if (std::memcmp(now.data(), trailer, ldr::kTrailerSize) != 0)
    throw KitError(fault + "its trailer changed");
  const KitSums now_sums = Sums(path, archives_start, static_cast<uint64_t>(trailer_offset));
  if (now_sums.archives != sums.archives) throw KitError(fault + "its archives changed");
  if (now_sums.image != sums.image)
    throw KitError(fault +
                   "its loader image changed beyond the PE checksum and the security entry");
  try {
    ReadKit(path, true);
  } catch (const KitError& e) {
    throw KitError(fault + e.what());
  }
}

// The sizes and SHA-256 of the files a build wrote, read back as they lie
// on disk (a signed kit is only known once its tool is done).
BuildSummary Finished(BuildSummary summary) {
  summary.size = 0;
  summary.sha256.clear();
  for (const std::string& file : summary.files) {
    Sha256 hash;
    const uint64_t size = StatRegularFile(file).size;
    HashFileRange(file, 0, size, hash);
    const std::array<unsigned char, 32> sha = hash.Finish();
    summary.sha256.push_back(Sha256::Hex(sha.data(), sha.size()));
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

void SetLoaderExecutionLevel(std::vector<unsigned char>& loader, ldr::ExecutionLevel level,
                             const std::string& path) {
  const std::string wanted(ldr::ExecutionLevelName(level));
  const std::optional<ldr::FileRange> manifest =
      ldr::FindPeResource(loader.data(), loader.size(), ldr::kRtManifest, 1);
  if (!manifest)
    throw KitError("the loader " + path +
                   " has no application manifest (RT_MANIFEST 1) to take "
                   "the execution level " +
                   wanted +
                   "; --execution-level needs loader.exe as the "
                   "Windows build makes it");
  const std::string refused = ldr::SetExecutionLevel(
      reinterpret_cast<char*>(loader.data() + manifest->offset), manifest->size, level);
  if (!refused.empty())
    throw KitError("the manifest of the loader " + path + " cannot take the execution level " +
                   wanted + ": " + refused);
}

double KitTimeFromUnix(int64_t seconds) {
  return static_cast<double>(kUnixEpochDay) + static_cast<double>(seconds) / kSecondsPerDay;
}

int64_t UnixFromKitTime(double days) {
  return static_cast<int64_t>(std::llround((days - kUnixEpochDay) * kSecondsPerDay));
}

std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources) {
  PayloadOptions options;
  options.allow_empty = true;
  return ExpandPayload(sources, options);
}

std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources,
                                     const PayloadOptions& options) {
  std::vector<InputFile> out;
  auto excluded = [&](const std::string& relative) {
    for (const std::string& pattern : options.excludes)
      if (ExcludedBy(pattern, relative)) return true;
    return false;
  };
  for (const std::string& source : sources) {
    if (IsDirectory(source)) {
      std::vector<std::string> skipped;
      size_t kept = 0;
      for (const std::string& rel : ListFilesRecursively(source, &skipped)) {
        if (excluded(rel)) continue;
        std::string stored = rel;
        for (char& c : stored)
          if (c == '/') c = '\\';
        out.push_back({JoinPath(source, rel), stored});
        ++kept;
      }
      if (options.skipped)
        for (const std::string& rel : skipped)
          if (!excluded(rel)) options.skipped->push_back(JoinPath(source, rel));
      if (kept == 0 && !options.allow_empty)
        throw KitError("the payload folder " + source + " holds no files" +
                       (options.excludes.empty() ? "" : " that --exclude leaves") +
                       "; give --allow-empty to build the kit without them");
    } else if (!excluded(BaseName(source))) {
      out.push_back({source, BaseName(source)});
    }
  }
  return out;
}

BuildSummary BuildKit(const BuildOptions& o) {
  if (o.first.empty()) throw KitError("no installer given: the first archive needs one entry");
  if (o.first.size() > static_cast<size_t>(ldr::kMaxFiles))
    throw KitError("the first archive would hold " + std::to_string(o.first.size()) +
                   " files; the loader reads at most " + std::to_string(ldr::kMaxFiles));
  if (o.level < 0 || o.level > 9) throw KitError("compression level must be 0 to 9");
  if (o.second.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw KitError("too many payload files");

  const std::string kit_path = o.external ? JoinPath(o.output, kFirstArchiveFile) : o.output;
  const std::string second_path = o.external ? JoinPath(o.output, kSecondArchiveFile) : o.output;
  const std::string loader_copy = o.external ? JoinPath(o.output, BaseName(o.loader)) : "";
  if (o.external &&
      (BaseName(o.loader) == kFirstArchiveFile || BaseName(o.loader) == kSecondArchiveFile))
    throw KitError("the loader may not be named " + BaseName(o.loader) + " in an external kit");
  if (!o.external && IsDirectory(o.output))
    throw KitError("the output " + o.output +
                   " is a folder; use --external to write setup.1 there");

  // A sign command that cannot run is refused before anything is compressed.
  if (!o.sign_command.empty()) FillPlaceholders(SplitCommand(o.sign_command), "kit", "out");
  CheckOutputPlace(o, {kit_path, second_path, loader_copy});

  BuildOptions checked = o;
  std::vector<unsigned char> loader = ReadLoader(o);
  const std::optional<size_t> block = DeploymentBlock(o, loader);
  CheckLoaderAndInstaller(loader, o.loader, o.first.front().source);
  std::vector<Prepared> first, second;
  for (const std::string& out_path : {kit_path, second_path, loader_copy}) {
    if (out_path.empty()) continue;
    checked.output = out_path;
    if (SameFile(o.loader, out_path) && out_path != loader_copy)
      throw KitError("the output " + out_path + " is also the loader");
    first = Prepare(o.first, true, checked);
    second = Prepare(o.second, false, checked);
  }

  uint64_t total = 0;
  for (const auto& p : first) total += p.info.size;
  for (const auto& p : second) total += p.info.size;
  BuildSummary summary;
  summary.loader_size = loader.size();
  summary.entries[0] = first.size();
  summary.entries[1] = second.size();
  for (const auto& p : first) summary.unpacked[0] += p.info.size;
  for (const auto& p : second) summary.unpacked[1] += p.info.size;
  std::atomic<uint64_t> done{0};

  // Signals are held while each temporary file is made and put in the
  // table of what an interrupt removes.
  std::optional<InterruptsHeld> held(std::in_place);
  if (!o.external) {
    PendingOutput out(kit_path);
    RemoveOnInterrupt out_guard(out.TempPath(), RemoveOnInterrupt::kFile);
    held.reset();
    CopyLoader(out, loader);
    ArchiveWriter writer(out, o, done, total);
    int64_t first_start = static_cast<int64_t>(out.Position());
    writer.Write(first, "first archive");
    int64_t second_start = static_cast<int64_t>(out.Position());
    writer.Write(second, "second archive");
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
    const int64_t shift = static_cast<int64_t>(padding);
    first_start += shift;
    second_start += shift;
    const int64_t second_end = static_cast<int64_t>(out.Position()) - 1;
    if (second_end + static_cast<int64_t>(ldr::kTrailerSize) > o.offset_limit)
      throw KitError("the kit would grow past " + std::to_string(o.offset_limit) +
                     " bytes: offsets in a kit are signed 32-bit");
    unsigned char trailer[ldr::kTrailerSize];
    ldr::EncodeTrailer(ldr::MakeSelfExtractingTrailer(static_cast<int32_t>(first_start),
                                                      static_cast<int32_t>(second_start - 1),
                                                      static_cast<int32_t>(second_start),
                                                      static_cast<int32_t>(second_end)),
                       trailer);
    const int64_t trailer_offset = second_end + 1;
    if (block) {
      ldr::DeploymentRecord record;
      record.flags = ldr::kDeploymentSelfExtracting;
      record.kit_length = static_cast<uint32_t>(trailer_offset + ldr::kTrailerSize);
      record.archive_start = static_cast<int32_t>(first_start);
      record.archive_end = static_cast<int32_t>(second_start - 1);
      record.second_archive_start = static_cast<int32_t>(second_start);
      record.second_archive_end = static_cast<int32_t>(second_end);
      record.trailer_offset = static_cast<int32_t>(trailer_offset);
      FillDeploymentRecord(loader, *block, record);
      out.WriteAt(0, loader.data(), loader.size());
    }
    // The digest of everything before the trailer and of the trailer's
    // first 32 bytes, read back from the file as it now is.
    Sha256 prefix;
    PendingBytes written(out);
    HashKitPrefix(written, static_cast<uint64_t>(trailer_offset), prefix);
    SealTrailer(prefix, trailer);
    out.Write(trailer, sizeof trailer);
    summary.files = {kit_path};
    if (o.sign_command.empty()) {
      out.Commit(PendingOutput::Kind::kProgram);
      return Finished(summary);
    }
    out.Close();
    const KitSums sums = Sums(out.TempPath(), static_cast<uint64_t>(first_start),
                              static_cast<uint64_t>(trailer_offset));
    SignFolder folder(out, kit_path);
    Sign(out, folder, o.sign_command, [&](const std::string& path) {
      CheckSignedKit(path, trailer_offset, trailer, static_cast<uint64_t>(first_start), sums);
    });
    out.Commit(PendingOutput::Kind::kProgram);
    return Finished(summary);
  }

  // External: three files, each complete before any of them is renamed in.
  OutputFolder folder_made(o.output);
  PendingOutput setup1(kit_path), setup2(second_path), copy(loader_copy);
  RemoveOnInterrupt guard1(setup1.TempPath(), RemoveOnInterrupt::kFile);
  RemoveOnInterrupt guard2(setup2.TempPath(), RemoveOnInterrupt::kFile);
  RemoveOnInterrupt guard3(copy.TempPath(), RemoveOnInterrupt::kFile);
  held.reset();
  ArchiveWriter(setup1, o, done, total).Write(first, "first archive");
  ArchiveWriter(setup2, o, done, total).Write(second, "second archive");
  if (block) {
    // The record changes the copy's bytes, which breaks a signature it
    // still carries: it goes in unsigned, like a branded one.
    const uint64_t removed = StripSignature(loader, o.loader);
    if (removed != 0 && o.notice)
      o.notice("removed the signature of " + o.loader + " (a certificate table of " +
               std::to_string(removed) +
               " bytes) from the kit's copy: writing the deployment record breaks it; sign the "
               "kit's copy of the loader, or build with --no-deployment");
    ldr::DeploymentRecord record;
    record.flags = ldr::kDeploymentExternal | ldr::kDeploymentSetup1Digest;
    record.kit_length = static_cast<uint32_t>(loader.size());
    record.archive_end = static_cast<int32_t>(setup1.Position()) - 1;
    record.second_archive_end = static_cast<int32_t>(setup2.Position()) - 1;
    record.setup1_length = static_cast<uint32_t>(setup1.Position());
    record.setup1_sha256 = OutputSha256(setup1, setup1.Position());
    FillDeploymentRecord(loader, *block, record);
  }
  CopyLoader(copy, loader);
  std::optional<SignFolder> folder;
  if (!o.sign_command.empty()) {
    // The loader's copy is the one executable of an external kit.
    copy.Close();
    folder.emplace(copy, loader_copy);
    Sign(copy, *folder, o.sign_command, CheckSignedLoader);
  }
  summary.archive_size[0] = setup1.Position();
  summary.archive_size[1] = setup2.Position();
  setup1.Commit(PendingOutput::Kind::kData);
  setup2.Commit(PendingOutput::Kind::kData);
  copy.Commit(PendingOutput::Kind::kProgram);
  folder_made.Keep();
  summary.files = {kit_path, second_path, loader_copy};
  return Finished(summary);
}

}  // namespace kitpack
