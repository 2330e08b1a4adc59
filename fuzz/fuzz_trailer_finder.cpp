// Feeds arbitrary bytes, as the loader's own file, to the trailer finder and
// to the loader's trailer read over the in-memory platform.
//
// The first input byte shapes the rest: bit 0 lays PE headers over it (so
// that the signed paths are reached without the fuzzer having to find "MZ",
// e_lfanew, "PE\0\0" and a magic first), bit 1 picks PE32+ over PE32, bit 2
// names a certificate table ending the file, its size taken from the second
// byte. Properties: every read lies inside the file; the location is either
// the last 56 bytes or 56 bytes followed by at most 7 zero bytes and a table
// of at least 8 bytes, named by the security entry, that ends the file; the
// padding is skipped only to a record carrying the mark; and the loader's
// record is the one at that location.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "format/records.h"
#include "format/trailer_location.h"
#include "fuzz/check.h"
#include "loader/startup.h"
#include "tests/support/fake_platform.h"

namespace {

class CheckedBytes final : public ldr::ByteSource {
 public:
  explicit CheckedBytes(const std::string& file) : file_(file) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override {
    Check(ldr::RangeInside(offset, size, file_.size()));
    std::memcpy(buffer, file_.data() + offset, size);
    return true;
  }

 private:
  const std::string& file_;
};

void Put(std::string& f, size_t at, uint32_t value, size_t bytes) {
  for (size_t i = 0; i < bytes && at + i < f.size(); ++i)
    f[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::string Shape(const uint8_t* data, size_t size) {
  if (size < 2) return std::string(reinterpret_cast<const char*>(data), size);
  const uint8_t mode = data[0];
  const uint32_t table_size = data[1] * 8u + 8u;
  std::string f(reinterpret_cast<const char*>(data + 2), size - 2);
  if (mode & 1) {
    const bool plus = (mode & 2) != 0;
    const size_t optional = 0x40 + 24;
    const size_t directories = optional + (plus ? 112 : 96);
    if (f.size() < directories + 16 * 8) f.resize(directories + 16 * 8, '\0');
    f[0] = 'M';
    f[1] = 'Z';
    Put(f, 0x3C, 0x40, 4);
    f.replace(0x40, 4, std::string("PE\0\0", 4));
    Put(f, 0x40 + 20, static_cast<uint32_t>(directories - optional + 16 * 8), 2);
    Put(f, optional, plus ? 0x20B : 0x10B, 2);
    Put(f, directories - 4, 16, 4);
    if (mode & 4) {
      f.append(table_size, '\x5A');
      Put(f, directories + 32, static_cast<uint32_t>(f.size() - table_size), 4);
      Put(f, directories + 36, table_size, 4);
    }
  }
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = Shape(data, size);
  CheckedBytes bytes(file);
  const ldr::TrailerLocation at = ldr::LocateTrailer(bytes, file.size());
  const ldr::PeSecurityEntry pe = ldr::ReadPeSecurityEntry(bytes, file.size());

  if (!at.before_certificates) {
    Check(at.offset == (file.size() >= ldr::kTrailerSize
                            ? static_cast<int64_t>(file.size() - ldr::kTrailerSize)
                            : -1));
  } else {
    Check(pe.NamesTable());
    Check(at.certificate_offset == pe.table_offset && at.certificate_size == pe.table_size);
    Check(at.certificate_offset + at.certificate_size == file.size());
    Check(at.certificate_size >= ldr::kMinCertificateTable);
    Check(at.padding <= ldr::kMaxCertificatePadding);
    Check(at.offset >= 0);
    Check(static_cast<uint64_t>(at.offset) + ldr::kTrailerSize + at.padding ==
          at.certificate_offset);
    for (uint64_t i = 0; i < at.padding; ++i) Check(file[at.certificate_offset - 1 - i] == '\0');
    unsigned char record[ldr::kTrailerSize];
    std::memcpy(record, file.data() + at.offset, ldr::kTrailerSize);
    if (at.padding > 0) Check(ldr::IsSelfExtracting(ldr::DecodeTrailer(record)));
  }

  // The loader reads the record at that place, or a zero record.
  ldr::testing::FakePlatform fake;
  fake.AddFile(fake.own_file_path, file);
  const ldr::ArchiveTrailer read = ldr::ReadTrailer(fake);
  unsigned char expected[ldr::kTrailerSize] = {};
  if (at.offset >= 0) std::memcpy(expected, file.data() + at.offset, ldr::kTrailerSize);
  const ldr::ArchiveTrailer want = ldr::DecodeTrailer(expected);
  Check(read.magic == want.magic && read.archive_start == want.archive_start &&
        read.archive_end == want.archive_end &&
        read.second_archive_start == want.second_archive_start &&
        read.second_archive_end == want.second_archive_end && read.reserved == want.reserved);
  Check(fake.open_files == 0);
  return 0;
}
