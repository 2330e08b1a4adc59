#pragma once
// The SHA-256 of a container file as its bytes are used. Checking a file,
// then reading it again to unpack it, lets whoever may write the file change
// it in between; so the digest is taken of the very bytes read: those the
// entry table was decoded from are kept as they arrived, those extraction
// reads are hashed as they pass, and whatever lies between is read only to
// be hashed. The bytes are hashed in the file's order, so the digest is the
// file's own when every used byte was read once and in order (as kitpack
// lays kits out); a kit read any other way does not match.

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace ldr {

class DigestedReads final : public File {
 public:
  explicit DigestedReads(Platform& system) : system_(system) {}
  ~DigestedReads() = default;

  // Reads of file go through this object from now on; they are kept until
  // StartExtraction.
  void Attach(File& file);
  bool attached() const { return file_ != nullptr; }
  // The entry table is read: later reads are hashed as they arrive.
  void StartExtraction() { extracting_ = true; }
  // Hashes what is left up to `length`. True when the file is exactly that
  // long, every byte used was read once in the file's order, and the digest
  // is `expected`.
  bool Matches(uint64_t length, const Sha256Digest& expected);

  int64_t Seek(int64_t distance, Origin origin) override;
  int32_t Read(void* buffer, uint32_t size) override;
  int32_t Write(const void*, uint32_t) override { return -1; }
  FileId Id() override { return file_->Id(); }

 private:
  void Close() override {}  // the file's own owner closes it

  struct Piece {
    int64_t at;
    uint32_t size;
    uint32_t kept;  // where in kept_ its bytes lie
  };
  void Keep(int64_t at, const unsigned char* bytes, uint32_t size);
  // Hashes every byte before `end` not hashed yet, kept bytes from memory.
  // True when it had to read the file (its position moved).
  bool HashUpTo(int64_t end);
  bool OverlapsKept(int64_t at, uint32_t size) const;

  // The header and every entry record, and room for reads cut in pieces.
  static constexpr size_t kMaxKept = 5 + 50 * 164 + 64;
  static constexpr int kMaxPieces = 128;

  Platform& system_;
  File* file_ = nullptr;
  bool extracting_ = false;
  bool broken_ = false;  // the digest can no longer be the file's
  int64_t position_ = 0;
  int64_t hashed_ = 0;  // bytes 0 .. hashed_-1 are in the digest
  Piece pieces_[kMaxPieces];
  int piece_count_ = 0;
  uint32_t kept_size_ = 0;
  unsigned char kept_[kMaxKept];
};

}  // namespace ldr
