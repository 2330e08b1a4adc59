#include "payload/digest_pass.h"

#include <algorithm>

#include "base/block_hash.h"
#include "format/hand_off.h"

namespace ldr::payload {

namespace {

constexpr size_t kPassBlock = size_t{64} * 1024;

}  // namespace

std::optional<Digest> HandedSetup2Digest() {
  std::string text;
  if (!EnvironmentValue(kSetup2DigestVariable, &text)) return std::nullopt;
  Digest digest;
  if (!ParseDigestHex(text, &digest))
    Fail(Fault::kDamaged, std::string(kSetup2DigestVariable) +
                              " does not hold a SHA-256 (64 lower-case hexadecimal digits)");
  return digest;
}

void DigestPass::SkipTo(uint64_t offset) {
  block_.resize(kPassBlock);
  while (position_ < offset) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(offset - position_, kPassBlock));
    file_.Read(position_, block_.data(), n, "setup.2");
    hash_.Update(block_.data(), n);
    position_ += n;
  }
}

void DigestPass::Read(uint64_t offset, unsigned char* buffer, size_t size,
                      const std::string& what) {
  if (offset < position_)
    Fail(Fault::kDamaged, file_.path() + ": " + what +
                              " lies before bytes already read; a setup.2 held to its digest "
                              "is read once, front to back, as kitpack writes it");
  SkipTo(offset);
  file_.Read(offset, buffer, size, what);
  hash_.Update(buffer, size);
  position_ = offset + size;
}

void DigestPass::Finish() {
  SkipTo(std::max(position_, file_.Size()));
  unsigned char more = 0;
  const bool longer = file_.ReadAt(position_, &more, 1);
  if (longer || hash_.Finish() != want_)
    Fail(Fault::kDamaged, file_.path() +
                              " is not the setup.2 its loader checked: its SHA-256 differs from "
                              "the one the loader handed on (" +
                              kSetup2DigestVariable + "); it was replaced or changed");
}

}  // namespace ldr::payload
