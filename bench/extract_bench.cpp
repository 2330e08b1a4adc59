// Extraction throughput and memory.
//
//   extract_bench make ARCHIVE [--mib N]       writes an archive of N MiB of mixed data
//   extract_bench compare ARCHIVE DIR [--repeat N]
//       extracts ARCHIVE into DIR with ExtractAll and with two plain inflate
//       loops on the same streams (4 KiB and 1 MiB writes, no progress), and
//       prints the medians and ratios
//   extract_bench extract ARCHIVE DIR           one ExtractAll, then peak memory
//
// All I/O goes through the real platform of this build.

#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/entry_table.h"
#include "archive/extract.h"
#include "base/errors.h"
#include "format/records.h"
#include "platform/system_platform.h"

namespace {

using ldr::File;
using ldr::Platform;

constexpr size_t kMiB = 1024 * 1024;

// The progress bar of a real run costs a message per block; here a counter
// stands in, so the figures show the extractor's own cost.
class CountingSink : public ldr::ProgressSink {
 public:
  void SetProgressPosition(int32_t percent) override {
    ++calls;
    last = percent;
  }
  uint64_t calls = 0;
  int32_t last = 0;
};

struct Rng {
  uint64_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<uint32_t>(state >> 16);
  }
};

// Three kinds of content: incompressible, text-like and zeros.
std::string MakeContent(int kind, size_t size, uint32_t seed) {
  std::string out;
  out.reserve(size);
  Rng rng{0x9E3779B97F4A7C15ull ^ seed};
  if (kind == 0) {
    while (out.size() < size) {
      uint32_t v = rng.Next();
      out.append(reinterpret_cast<const char*>(&v), 4);
    }
  } else if (kind == 1) {
    static const char* const kWords[] = {
        "install",  "the",       "program", "files",   "into",    "folder", "setup",     "version",
        "registry", "component", "shared",  "library", "user",    "system", "temporary", "path",
        "a",        "of",        "and",     "to",      "windows", "loader", "archive",   "entry"};
    while (out.size() < size) {
      out += kWords[rng.Next() % (sizeof kWords / sizeof kWords[0])];
      out += (rng.Next() % 12 == 0) ? "\r\n" : " ";
    }
  } else {
    out.assign(size, '\0');
  }
  out.resize(size);
  return out;
}

std::string Deflate(const std::string& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

void WriteAll(File& file, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size, 1u << 30));
    int32_t n = file.Write(p, piece);
    if (n <= 0) throw std::runtime_error("write failed");
    p += n;
    size -= static_cast<size_t>(n);
  }
}

// Eight entries cycling through the three kinds; records are written in
// place once each stream's size is known.
void MakeArchive(Platform& platform, const std::string& path, size_t mib) {
  auto file = platform.CreateForWriting(path);
  if (!file) throw std::runtime_error("cannot create " + path);
  const int entries = 8;
  const size_t total = mib * kMiB;
  unsigned char header[ldr::kHeaderSize];
  ldr::PutInt32(header, entries);
  header[4] = 0;
  WriteAll(*file, header, sizeof header);
  int64_t offset = ldr::kHeaderSize;
  for (int i = 0; i < entries; ++i) {
    size_t size = total / entries + (i == entries - 1 ? total % entries : 0);
    std::string data = MakeContent(i % 3, size, static_cast<uint32_t>(i));
    std::string stream = Deflate(data);
    ldr::ArchiveEntry e;
    ldr::SetShortString(e.stored_name, "C:\\Build\\part" + std::to_string(i) + ".bin");
    e.unpacked_size = static_cast<int32_t>(size);
    e.data_start = static_cast<int32_t>(offset + ldr::kEntrySize);
    e.data_end = e.data_start + static_cast<int32_t>(stream.size()) - 1;
    e.next_header = e.data_end + 1;
    unsigned char record[ldr::kEntrySize];
    ldr::EncodeEntry(e, record);
    WriteAll(*file, record, sizeof record);
    WriteAll(*file, stream.data(), stream.size());
    offset = e.next_header;
    std::fprintf(stderr, "entry %d: kind %d, %zu bytes -> %zu\n", i, i % 3, size, stream.size());
  }
}

ldr::EntryTable ReadTable(Platform& platform, const std::string& archive_path) {
  auto archive = platform.OpenForReading(archive_path);
  if (!archive) throw std::runtime_error("cannot open " + archive_path);
  ldr::EntryTable table;
  ldr::ReadEntryTable(*archive, 0, &table);
  return table;
}

// The baseline: the same reads and the same inflate calls, writing blocks of
// block_size with nothing else around them.
void PlainInflate(Platform& platform, File& archive, const std::string& folder,
                  const ldr::EntryTable& table, size_t block_size) {
  std::vector<unsigned char> input(ldr::kInputBufferSize);
  std::vector<unsigned char> block(block_size);
  for (int32_t i = 0; i < table.count; ++i) {
    const ldr::ArchiveEntry& e = table.entries[static_cast<size_t>(i)];
    auto out = platform.CreateForWriting(folder + "/part" + std::to_string(i) + ".bin");
    if (!out) throw std::runtime_error("cannot create output");
    archive.Seek(e.data_start, File::Origin::Begin);
    int64_t remaining = static_cast<int64_t>(e.data_end) - e.data_start + 1;
    z_stream s;
    std::memset(&s, 0, sizeof s);
    if (inflateInit(&s) != Z_OK) throw std::runtime_error("inflateInit failed");
    bool ended = false;
    size_t produced;
    do {
      s.next_out = block.data();
      s.avail_out = static_cast<uInt>(block_size);
      while (s.avail_out > 0 && !ended) {
        if (s.avail_in == 0) {
          uint32_t want =
              static_cast<uint32_t>(std::min<int64_t>(remaining, ldr::kInputBufferSize));
          int32_t got = want > 0 ? archive.Read(input.data(), want) : 0;
          if (got <= 0) break;
          remaining -= got;
          s.next_in = input.data();
          s.avail_in = static_cast<uInt>(got);
        }
        int result = inflate(&s, Z_NO_FLUSH);
        if (result < 0 || result == Z_NEED_DICT) throw std::runtime_error("inflate failed");
        ended = result == Z_STREAM_END;
      }
      produced = block_size - s.avail_out;
      if (produced > 0) WriteAll(*out, block.data(), produced);
    } while (produced > 0 && !ended);
    inflateEnd(&s);
  }
}

// Wall-clock and CPU time of one run: the CPU figure is less disturbed by
// other work on a shared machine and by the system writing pages back.
struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = CpuSeconds();

  static double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
  double Wall() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  }
  double Cpu() const { return CpuSeconds() - cpu; }
};

long PeakRssKiB() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int Compare(Platform& platform, const std::string& archive_path, const std::string& folder,
            int repeat) {
  ldr::EntryTable table = ReadTable(platform, archive_path);
  double unpacked_mib = ldr::SumUnpackedSizes(table, table.count) / static_cast<double>(kMiB);
  platform.MakeFolder(folder);
  // [variant][0] wall MiB/s, [variant][1] CPU MiB/s
  std::vector<double> rates[3][2];
  const char* const names[3] = {"ExtractAll", "(a) plain, 4 KiB", "(b) plain, 1 MiB"};
  for (int r = 0; r < repeat; ++r) {
    // Interleaved, so drift in the machine's load spreads over all three.
    for (int v = 0; v < 3; ++v) {
      auto archive = platform.OpenForReading(archive_path);
      CountingSink sink;
      Timer timer;
      if (v == 0) {
        ldr::ExtractAll(platform, *archive, archive_path, 0, folder, table, sink);
      } else {
        PlainInflate(platform, *archive, folder, table, v == 1 ? ldr::kOutputBlockSize : kMiB);
      }
      rates[v][0].push_back(unpacked_mib / timer.Wall());
      rates[v][1].push_back(unpacked_mib / timer.Cpu());
      if (v == 0 && sink.last != 100) throw std::runtime_error("progress did not reach 100");
    }
    std::printf("run %d: ExtractAll %.1f, plain 4 KiB %.1f, plain 1 MiB %.1f MiB/s (wall)\n", r + 1,
                rates[0][0].back(), rates[1][0].back(), rates[2][0].back());
  }
  std::printf("unpacked: %.1f MiB in %d entries, %d runs each, medians in MiB/s\n", unpacked_mib,
              table.count, repeat);
  std::printf("%-20s %10s %10s\n", "", "wall", "CPU");
  double m[3][2];
  for (int v = 0; v < 3; ++v) {
    for (int k = 0; k < 2; ++k) m[v][k] = Median(rates[v][k]);
    std::printf("%-20s %10.1f %10.1f\n", names[v], m[v][0], m[v][1]);
  }
  std::printf("%-20s %10.3f %10.3f\n", "ExtractAll / (a)", m[0][0] / m[1][0], m[0][1] / m[1][1]);
  std::printf("%-20s %10.3f %10.3f\n", "ExtractAll / (b)", m[0][0] / m[2][0], m[0][1] / m[2][1]);
  return 0;
}

int ExtractOnce(Platform& platform, const std::string& archive_path, const std::string& folder) {
  ldr::EntryTable table = ReadTable(platform, archive_path);
  platform.MakeFolder(folder);
  auto archive = platform.OpenForReading(archive_path);
  CountingSink sink;
  long before = PeakRssKiB();
  ldr::ExtractAll(platform, *archive, archive_path, 0, folder, table, sink);
  std::printf(
      "unpacked %.1f MiB; peak RSS %ld KiB (%ld KiB before extracting); %llu progress reports\n",
      ldr::SumUnpackedSizes(table, table.count) / static_cast<double>(kMiB), PeakRssKiB(), before,
      static_cast<unsigned long long>(sink.calls));
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: extract_bench make ARCHIVE [--mib N]\n"
               "       extract_bench compare ARCHIVE DIR [--repeat N]\n"
               "       extract_bench extract ARCHIVE DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t mib = 256;
  int repeat = 5;
  for (size_t i = 0; i + 1 < args.size();) {
    if (args[i] == "--mib") {
      mib = std::strtoul(args[i + 1].c_str(), nullptr, 10);
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    } else if (args[i] == "--repeat") {
      repeat = std::max(1, std::atoi(args[i + 1].c_str()));
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    } else {
      ++i;
    }
  }
  if (args.empty()) return Usage();
  // Unpacked sizes are signed 32-bit numbers.
  if (mib == 0 || mib > 2000) return Usage();
  auto platform = std::make_unique<ldr::SystemPlatform>(argc, argv);
  try {
    if (args[0] == "make" && args.size() == 2) {
      MakeArchive(*platform, args[1], mib);
      return 0;
    }
    if (args[0] == "compare" && args.size() == 3)
      return Compare(*platform, args[1], args[2], repeat);
    if (args[0] == "extract" && args.size() == 3) return ExtractOnce(*platform, args[1], args[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "extract_bench: %s\n", e.what());
    return 1;
  }
  return Usage();
}
