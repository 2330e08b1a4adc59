#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include "kitpack/kit.h"
#include "kitpack/pe_version.h"
#include "kitpack/stored_names.h"
#include "kitpack/zstream.h"

namespace kitpack {

namespace {

// 1899-12-30 is day 0; 1970-01-01 is day 25569.
constexpr int64_t kUnixEpochDay = 25569;
constexpr int64_t kSecondsPerDay = 86400;
// Input held in memory at once while compressing: enough to keep every core
// busy, small enough for very large payloads.
constexpr uint64_t kBatchBytes = uint64_t{64} << 20;

std::string BaseName(const std::string& path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

struct Prepared {
  InputFile input;
  FileInfo info;
};

std::string Describe(const char* label, size_t index, const InputFile& in) {
  return std::string(label) + " entry " + std::to_string(index) + " (" + in.source + ")";
}

std::vector<Prepared> Prepare(const std::vector<InputFile>& files, bool first,
                              const BuildOptions& o) {
  const char* label = first ? "first archive" : "second archive";
  std::vector<Prepared> out;
  for (size_t i = 0; i < files.size(); ++i) {
    const InputFile& in = files[i];
    Prepared p{in, StatRegularFile(in.source)};
    if (in.stored_name.size() > ldr::kStoredNameCapacity)
      throw KitError(Describe(label, i, in) + ": stored name \"" + in.stored_name + "\" is " +
                     std::to_string(in.stored_name.size()) + " bytes long; at most " +
                     std::to_string(ldr::kStoredNameCapacity) + " fit");
    if (first) {
      std::string part = LoaderNamePart(in.stored_name);
      std::string reason = UnsafePartReason(part);
      if (!reason.empty())
        throw KitError(Describe(label, i, in) + ": stored name \"" + in.stored_name +
                       "\" gives the loader an unusable file name: " + reason);
    } else {
      RelativeName rel = SplitRelativeName(in.stored_name);
      if (!rel.refused.empty())
        throw KitError(Describe(label, i, in) + ": stored name \"" + in.stored_name +
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

class ArchiveWriter {
 public:
  ArchiveWriter(PendingOutput& out, const BuildOptions& o, std::atomic<uint64_t>& done,
                uint64_t total)
      : out_(out), o_(o), done_(done), total_(total) {}

  // Writes one archive at the output's current position.
  void Write(const std::vector<Prepared>& files, const char* label) {
    base_ = static_cast<int64_t>(out_.Position());
    unsigned char header[ldr::kHeaderSize] = {};
    ldr::PutInt32(header, static_cast<int32_t>(files.size()));
    out_.Write(header, sizeof header);
    size_t i = 0;
    while (i < files.size()) {
      size_t end = i;
      uint64_t bytes = 0;
      while (end < files.size() && (end == i || bytes + files[end].info.size <= kBatchBytes))
        bytes += files[end++].info.size;
      WriteBatch(files, i, end, label);
      i = end;
    }
  }

 private:
  struct Job {
    size_t file;
    Piece piece;
  };

  void WriteBatch(const std::vector<Prepared>& files, size_t from, size_t to, const char* label) {
    std::vector<std::vector<unsigned char>> data;
    std::vector<Job> jobs;
    std::vector<std::vector<DeflatedPiece>> results;
    for (size_t f = from; f < to; ++f) {
      data.push_back(ReadWholeFile(files[f].input.source));
      if (data.back().size() != files[f].info.size)
        throw KitError(files[f].input.source + " changed while the kit was being built");
      std::vector<Piece> plan = PlanPieces(data.back().size());
      results.emplace_back(plan.size());
      for (const Piece& p : plan) jobs.push_back({f - from, p});
    }
    std::vector<size_t> slot(jobs.size());
    for (size_t j = 0, k = 0; j < jobs.size(); ++j) {
      k = (j > 0 && jobs[j].file == jobs[j - 1].file) ? k + 1 : 0;
      slot[j] = k;
    }
    ParallelFor(jobs.size(), o_.threads, [&](size_t j) {
      const Job& job = jobs[j];
      results[job.file][slot[j]] = DeflatePiece(data[job.file].data(), job.piece, o_.level);
      uint64_t now = done_ += job.piece.length;
      if (o_.progress) o_.progress(now, total_);
    });
    for (size_t f = from; f < to; ++f) {
      const Prepared& p = files[f];
      std::vector<unsigned char> stream = AssembleZlib(results[f - from], o_.level);
      WriteEntry(p, data[f - from], stream, label, f);
      results[f - from].clear();
      results[f - from].shrink_to_fit();
    }
  }

  void WriteEntry(const Prepared& p, const std::vector<unsigned char>& data,
                  const std::vector<unsigned char>& stream, const char* label, size_t index) {
    const int64_t h = static_cast<int64_t>(out_.Position()) - base_;
    const int64_t data_start = h + static_cast<int64_t>(ldr::kEntrySize);
    const int64_t data_end = data_start + static_cast<int64_t>(stream.size()) - 1;
    if (base_ + data_end > o_.offset_limit)
      throw KitError("the kit would grow past " + std::to_string(o_.offset_limit) +
                     " bytes at " + Describe(label, index, p.input) +
                     ": offsets in a kit are signed 32-bit");

    ldr::ArchiveEntry e;
    e.unknown0 = 1;
    e.file_time = KitTimeFromUnix(o_.fixed_time ? *o_.fixed_time : p.info.mtime);
    e.unknown12 = 0;
    e.data_start = static_cast<int32_t>(data_start);
    e.data_end = static_cast<int32_t>(data_end);
    e.next_header = static_cast<int32_t>(data_end + 1);
    e.unpacked_size = static_cast<int32_t>(data.size());
    e.unknown136 = 0;
    e.unknown140 = 0;
    ldr::SetShortString(e.stored_name, p.input.stored_name);  // length checked up front
    std::string version = PeFileVersion(data.data(), data.size());
    if (!ldr::SetShortString(e.file_version, version))
      throw KitError(Describe(label, index, p.input) + ": version text \"" + version +
                     "\" is longer than " + std::to_string(ldr::kFileVersionCapacity) + " bytes");
    unsigned char record[ldr::kEntrySize];
    ldr::EncodeEntry(e, record);
    out_.Write(record, sizeof record);
    out_.Write(stream.data(), stream.size());
  }

  PendingOutput& out_;
  const BuildOptions& o_;
  std::atomic<uint64_t>& done_;
  uint64_t total_;
  int64_t base_ = 0;
};

void CopyLoader(PendingOutput& out, const std::vector<unsigned char>& loader) {
  out.Write(loader.data(), loader.size());
}

std::vector<unsigned char> ReadLoader(const BuildOptions& o) {
  if (SameFile(o.loader, o.output))
    throw KitError("the output " + o.output + " is also the loader");
  std::vector<unsigned char> loader = ReadWholeFile(o.loader);
  if (loader.size() >= ldr::kTrailerSize) {
    unsigned char tail[ldr::kTrailerSize];
    std::memcpy(tail, loader.data() + loader.size() - ldr::kTrailerSize, ldr::kTrailerSize);
    if (ldr::IsSelfExtracting(ldr::DecodeTrailer(tail)))
      throw KitError("the loader " + o.loader +
                     " already carries a kit (its last 56 bytes hold the SELFEXTRACTING mark)");
  }
  if (static_cast<int64_t>(loader.size()) > o.offset_limit)
    throw KitError("the loader " + o.loader + " is too large: offsets in a kit are signed 32-bit");
  return loader;
}

}  // namespace

double KitTimeFromUnix(int64_t seconds) {
  return static_cast<double>(kUnixEpochDay) + static_cast<double>(seconds) / kSecondsPerDay;
}

int64_t UnixFromKitTime(double days) {
  return static_cast<int64_t>(std::llround((days - kUnixEpochDay) * kSecondsPerDay));
}

std::vector<InputFile> ExpandPayload(const std::vector<std::string>& sources) {
  std::vector<InputFile> out;
  for (const std::string& source : sources) {
    if (IsDirectory(source)) {
      for (const std::string& rel : ListFilesRecursively(source)) {
        std::string stored = rel;
        for (char& c : stored)
          if (c == '/') c = '\\';
        out.push_back({JoinPath(source, rel), stored});
      }
    } else {
      out.push_back({source, BaseName(source)});
    }
  }
  return out;
}

void BuildKit(const BuildOptions& o) {
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
  if (o.external && !IsDirectory(o.output))
    throw KitError("the output folder " + o.output + " does not exist");
  if (!o.external && IsDirectory(o.output))
    throw KitError("the output " + o.output + " is a folder; use --external to write setup.1 there");

  BuildOptions checked = o;
  std::vector<unsigned char> loader = ReadLoader(o);
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
  std::atomic<uint64_t> done{0};

  if (!o.external) {
    PendingOutput out(kit_path);
    CopyLoader(out, loader);
    ArchiveWriter writer(out, o, done, total);
    const int64_t first_start = static_cast<int64_t>(out.Position());
    writer.Write(first, "first archive");
    const int64_t second_start = static_cast<int64_t>(out.Position());
    writer.Write(second, "second archive");
    const int64_t second_end = static_cast<int64_t>(out.Position()) - 1;
    if (second_end + static_cast<int64_t>(ldr::kTrailerSize) > o.offset_limit)
      throw KitError("the kit would grow past " + std::to_string(o.offset_limit) +
                     " bytes: offsets in a kit are signed 32-bit");
    unsigned char trailer[ldr::kTrailerSize];
    ldr::EncodeTrailer(ldr::MakeSelfExtractingTrailer(
                           static_cast<int32_t>(first_start), static_cast<int32_t>(second_start - 1),
                           static_cast<int32_t>(second_start), static_cast<int32_t>(second_end)),
                       trailer);
    out.Write(trailer, sizeof trailer);
    out.Commit(0755);
    return;
  }

  // External: three files, each complete before any of them is renamed in.
  PendingOutput setup1(kit_path), setup2(second_path), copy(loader_copy);
  ArchiveWriter(setup1, o, done, total).Write(first, "first archive");
  ArchiveWriter(setup2, o, done, total).Write(second, "second archive");
  CopyLoader(copy, loader);
  setup1.Commit(0644);
  setup2.Commit(0644);
  copy.Commit(0755);
}

}  // namespace kitpack
