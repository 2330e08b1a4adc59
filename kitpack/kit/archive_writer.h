#pragma once
// The threaded archive writer: each input checked and stat'ed (Prepare),
// then deflated by worker threads and written in order (ArchiveWriter).

#include <zlib.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "format/pe/version.h"
#include "format/records.h"
#include "format/shown_name.h"
#include "format/stored_names.h"
#include "format/stored_paths.h"
#include "format/utf8.h"
#include "kitpack/host/files.h"
#include "kitpack/host/interrupt.h"
#include "kitpack/host/threads.h"
#include "kitpack/kit/writer.h"
#include "kitpack/kit/zstream.h"

namespace kitpack {

// An input with what its file is now.
struct Prepared {
  InputFile input;
  FileInfo info;
};

// "first archive entry 3 (path)", for messages.
std::string Describe(const char* label, size_t index, const InputFile& in);

// Checks every input of one archive (names, sizes, clashes) and stats its
// file; raises KitError naming the entry.
std::vector<Prepared> Prepare(const std::vector<InputFile>& files, bool first,
                              const BuildOptions& o);

// Writes one archive. Worker threads read and deflate pieces (each reads its
// own slice of the input, with a compressor of its own) while this thread
// writes finished pieces out in order. An entry's record is written
// once its stream is complete, into the place reserved for it. Workers stay
// a bounded number of pieces and bytes ahead of the writer (MayStart).
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
    levels_.assign(files.size(), 0);
    ahead_.assign(1, 0);
    for (size_t f = 0; f < files.size(); ++f) {
      const std::vector<Piece> plan = PlanPieces(static_cast<size_t>(files[f].info.size));
      levels_[f] = LevelFor(o_.level, plan.size() > 1);
      for (const Piece& p : plan) {
        tasks_.push_back({f, p});
        ahead_.push_back(ahead_.back() + p.length);
      }
    }
    results_.assign(tasks_.size(), {});
    ready_.assign(tasks_.size(), 0);
    versions_.assign(files.size(), {});
    next_task_ = 0;
    consumed_ = 0;
    stop_ = false;
    error_ = nullptr;

    const unsigned workers =
        std::max(1u, std::min<unsigned>(o_.threads, static_cast<unsigned>(tasks_.size())));
    workers_ = workers;
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
      ZlibHeader(levels_[f], zhead);
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
    std::optional<Deflater> deflaters[kMaxLevel + 1];
    for (;;) {
      size_t i;
      {
        Locked lock(mutex_);
        cv_.Wait(lock, [&] { return stop_ || error_ || MayStart(next_task_); });
        if (stop_ || error_ || next_task_ >= tasks_.size()) return;
        i = next_task_++;
      }
      try {
        std::optional<Deflater>& deflater = deflaters[levels_[tasks_[i].file]];
        if (!deflater) deflater.emplace(levels_[tasks_[i].file]);
        DeflatedPiece result = Deflate(tasks_[i], *deflater, buffer);
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

  DeflatedPiece Deflate(const Task& task, Deflater& deflater, std::vector<unsigned char>& buffer) {
    const Prepared& p = (*files_)[task.file];
    const std::string& path = p.input.source;
    ReadableFile f(path);
    buffer.resize(task.piece.length);
    f.RangeInto(task.piece.offset, buffer.data(), task.piece.length);
    if (task.piece.last) {
      // The file must still end where it ended when it was measured.
      unsigned char extra;
      if (f.ReadSome(task.piece.offset + task.piece.length, &extra, 1) != 0)
        throw KitError(path + " changed while the kit was being built");
    }
    if (task.piece.offset == 0) versions_[task.file] = ldr::PeFileVersion(f, p.info.size);
    DeflatedPiece out = deflater.Deflate(buffer.data(), task.piece.length, task.piece.last);
    uint64_t now = done_ += task.piece.length;
    if (o_.progress) o_.progress(now, total_);
    return out;
  }

  // Workers stay ahead of the writer by at most kAheadPieces pieces and
  // kAheadBytes of input, which bounds the memory the finished pieces hold;
  // every worker may always have one piece of its own.
  bool MayStart(size_t i) const {
    if (i >= tasks_.size()) return true;  // nothing left: the worker ends
    if (i < consumed_ + workers_) return true;
    return i < consumed_ + kAheadPieces && ahead_[i + 1] - ahead_[consumed_] <= kAheadBytes;
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
  static constexpr size_t kAheadPieces = 64;
  static constexpr uint64_t kAheadBytes = uint64_t{48} << 20;
  size_t workers_ = 1;
  std::vector<int> levels_;      // each file's level
  std::vector<uint64_t> ahead_;  // input bytes of the tasks before each
  bool stop_ = false;
  std::exception_ptr error_;
};

}  // namespace kitpack
