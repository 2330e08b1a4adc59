#pragma once
// What kitpack prints: the build's progress and summary, the list table and
// its JSON form, the signature line of verify, the deployment record.

#include <chrono>
#include <cstdint>
#include <string>

#include "kitpack/host/threads.h"
#include "kitpack/kit/kit.h"

namespace kitpack::cli {

// Progress on stderr: on a terminal a one-line bar redrawn at most ten times
// a second; elsewhere (a CI log) a line every few seconds
// (KITPACK_PROGRESS_INTERVAL, default 5) with the percentage and the bytes.
class Progress {
 public:
  explicit Progress(bool terminal) : terminal_(terminal) {
    const char* text = std::getenv("KITPACK_PROGRESS_INTERVAL");
    double seconds = text && *text ? std::atof(text) : 5.0;
    if (!(seconds > 0.0 && seconds < 86400.0)) seconds = 5.0;
    interval_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
    last_ = std::chrono::steady_clock::now();
  }

  void Update(uint64_t done, uint64_t total) {
    Locked lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (!terminal_) {
      if (done >= total || now - last_ < interval_) return;
      last_ = now;
      std::fprintf(stderr, "kitpack: %3d%%  %s of %s\n", percent, Bytes(done).c_str(),
                   Bytes(total).c_str());
      std::fflush(stderr);
      return;
    }
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    int filled = percent * 30 / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%  %llu/%llu MiB", std::string(filled, '#').c_str(),
                 std::string(30 - filled, ' ').c_str(), percent,
                 static_cast<unsigned long long>(done >> 20),
                 static_cast<unsigned long long>(total >> 20));
    drawn_ = done < total;
    if (done >= total) std::fputc('\n', stderr);
  }

  // Clears the bar's line, so that another line can be printed on the
  // terminal (kitpack -v); the next update draws the bar again below it.
  void Clear() {
    Locked lock(mutex_);
    if (terminal_ && drawn_) std::fprintf(stderr, "\r%60s\r", "");
    drawn_ = false;
  }

  static std::string Bytes(uint64_t n) {
    char buf[48];
    if (n < uint64_t{10} * 1024) {
      std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(n));
    } else if (n < uint64_t{10} * 1024 * 1024) {
      std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024);
    } else {
      std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / (1024 * 1024));
    }
    return buf;
  }

 private:
  bool terminal_;
  bool drawn_ = false;
  Mutex mutex_;
  std::chrono::steady_clock::duration interval_{};
  std::chrono::steady_clock::time_point last_{};
};

// The table of one archive, as list prints it.
void PrintTable(const ArchiveInfo& a);
// Both archives and the signature as one JSON object.
void PrintJson(const KitInfo& kit);
// "signature: none" or what the certificate table holds, with the outcome
// of CheckAuthenticode once it ran.
std::string SignatureText(const KitInfo& kit);
// The deployment record, after the tables (list) or the checks (verify:
// `checked` says it matched).
void PrintDeployment(const KitInfo& kit, bool checked);
// verify: a record that disagrees with the kit prints what differs and
// raises KitError.
void CheckDeployment(const KitInfo& kit);
// The lines build prints when it is done.
void PrintSummary(const BuildOptions& build, const BuildSummary& done, double seconds);

}  // namespace kitpack::cli
