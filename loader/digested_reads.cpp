#include "loader/digested_reads.h"

#include <cstring>

namespace ldr {

void DigestedReads::Attach(File& file) {
  file_ = &file;
  broken_ = !system_.HashStart();
  position_ = file.Seek(0, Origin::Current);
  if (position_ < 0) broken_ = true;
}

int64_t DigestedReads::Seek(int64_t distance, Origin origin) {
  const int64_t at = file_->Seek(distance, origin);
  if (at >= 0) position_ = at;
  return at;
}

int32_t DigestedReads::Read(void* buffer, uint32_t size) {
  if (extracting_) {
    if (HashUpTo(position_) && file_->Seek(position_, Origin::Begin) != position_) broken_ = true;
  }
  const int32_t got = file_->Read(buffer, size);
  if (got <= 0) return got;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  const uint32_t n = static_cast<uint32_t>(got);
  if (!extracting_) {
    Keep(position_, bytes, n);
  } else if (position_ != hashed_ || OverlapsKept(position_, n)) {
    broken_ = true;  // read twice, or out of the file's order
  } else {
    system_.HashAdd(bytes, n);
    hashed_ += got;
  }
  position_ += got;
  return got;
}

void DigestedReads::Keep(int64_t at, const unsigned char* bytes, uint32_t size) {
  if (size > kMaxKept - kept_size_) {
    broken_ = true;
    return;
  }
  Piece* last = piece_count_ > 0 ? &pieces_[piece_count_ - 1] : nullptr;
  if (last != nullptr && last->at + last->size == at) {
    last->size += size;  // a read the file gave in parts
  } else if (piece_count_ == kMaxPieces) {
    broken_ = true;
    return;
  } else {
    pieces_[piece_count_++] = Piece{at, size, kept_size_};
  }
  std::memcpy(kept_ + kept_size_, bytes, size);
  kept_size_ += size;
}

bool DigestedReads::OverlapsKept(int64_t at, uint32_t size) const {
  for (int i = 0; i < piece_count_; ++i) {
    const Piece& p = pieces_[i];
    if (at < p.at + p.size && p.at < at + size) return true;
  }
  return false;
}

bool DigestedReads::HashUpTo(int64_t end) {
  unsigned char block[4096];
  bool read = false;
  while (!broken_ && hashed_ < end) {
    // Kept bytes that hold the next one to hash come from memory; otherwise
    // the file is read up to the next kept piece.
    int64_t gap_end = end;
    const Piece* holding = nullptr;
    for (int i = 0; i < piece_count_; ++i) {
      const Piece& p = pieces_[i];
      if (p.at <= hashed_ && hashed_ < p.at + p.size) holding = &p;
      if (p.at > hashed_ && p.at < gap_end) gap_end = p.at;
    }
    if (holding != nullptr) {
      const int64_t stop = holding->at + holding->size < end ? holding->at + holding->size : end;
      const uint32_t skip = static_cast<uint32_t>(hashed_ - holding->at);
      system_.HashAdd(kept_ + holding->kept + skip, static_cast<size_t>(stop - hashed_));
      hashed_ = stop;
      continue;
    }
    const int64_t left = gap_end - hashed_;
    const uint32_t want = left < static_cast<int64_t>(sizeof block)
                              ? static_cast<uint32_t>(left)
                              : static_cast<uint32_t>(sizeof block);
    int32_t got = -1;
    if (file_->Seek(hashed_, Origin::Begin) == hashed_) got = file_->Read(block, want);
    read = true;
    if (got <= 0 || static_cast<uint32_t>(got) > want) {
      broken_ = true;
      return read;
    }
    system_.HashAdd(block, static_cast<size_t>(got));
    hashed_ += got;
  }
  return read;
}

bool DigestedReads::Matches(uint64_t length, const Sha256Digest& expected) {
  const int64_t end = static_cast<int64_t>(length);
  HashUpTo(end);
  unsigned char beyond;
  const bool ends = file_->Seek(end, Origin::Begin) == end && file_->Read(&beyond, 1) == 0;
  position_ = end + 1;
  Sha256Digest digest;
  const bool hashed = system_.HashEnd(&digest);
  return !broken_ && ends && hashed && hashed_ == end && digest == expected;
}

}  // namespace ldr
