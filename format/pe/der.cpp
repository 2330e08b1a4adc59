#include "format/pe/der.h"

#include <cstring>

namespace ldr {

namespace {

constexpr uint8_t kLongLength = 0x80;
constexpr size_t kMostLengthBytes = 4;  // no signature comes near 4 GiB
constexpr uint8_t kHighTagNumber = 0x1F;

std::string Hex2(uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string("0x") + kDigits[byte >> 4] + kDigits[byte & 15];
}

}  // namespace

DerReader::DerReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

DerReader::DerReader(const DerReader& outer, const DerElement& element)
    : data_(element.body),
      size_(element.size),
      origin_(outer.origin_ + static_cast<size_t>(element.body - outer.data_)),
      depth_(element.depth + 1) {}

void DerReader::Refuse(const std::string& reason) {
  if (refused_.empty()) refused_ = reason;
  at_ = size_;
}

std::optional<DerElement> DerReader::Next() {
  if (failed()) return std::nullopt;
  const std::string where = " at byte " + std::to_string(offset());
  if (depth_ > kDerMaxDepth) {
    Refuse("elements nested more than " + std::to_string(kDerMaxDepth) + " deep" + where);
    return std::nullopt;
  }
  const size_t left = size_ - at_;
  if (left < 2) {
    Refuse(std::string(left == 0 ? "an element is missing" : "an element is cut short") + where);
    return std::nullopt;
  }
  const unsigned char* p = data_ + at_;
  if (p[0] == 0 || (p[0] & kHighTagNumber) == kHighTagNumber) {
    Refuse("tag " + Hex2(p[0]) + " is not one of DER's" + where);
    return std::nullopt;
  }
  size_t header = 2;
  size_t length = p[1];
  if (p[1] & kLongLength) {
    const size_t bytes = p[1] & 0x7F;
    if (bytes == 0 || bytes > kMostLengthBytes) {
      Refuse(std::string(bytes == 0 ? "an indefinite length" : "a length of more than 4 bytes") +
             where);
      return std::nullopt;
    }
    if (left - 2 < bytes) {
      Refuse("a length is cut short" + where);
      return std::nullopt;
    }
    length = 0;
    for (size_t i = 0; i < bytes; ++i) length = length << 8 | p[2 + i];
    // DER writes every length in the fewest bytes.
    if (p[2] == 0 || length < kLongLength) {
      Refuse("a length not in its shortest form" + where);
      return std::nullopt;
    }
    header += bytes;
  }
  if (length > left - header) {
    Refuse("an element of " + std::to_string(length) + " bytes runs past the " +
           std::to_string(left - header) + " bytes around it" + where);
    return std::nullopt;
  }
  DerElement e;
  e.tag = p[0];
  e.body = p + header;
  e.size = length;
  e.depth = depth_;
  at_ += header + length;
  return e;
}

std::optional<DerElement> DerReader::Next(uint8_t tag, const char* what) {
  if (failed()) return std::nullopt;
  const std::string where = " at byte " + std::to_string(offset());
  if (AtEnd()) {
    Refuse(std::string(what) + " is missing" + where);
    return std::nullopt;
  }
  std::optional<DerElement> e = Next();
  if (!e) {
    refused_ = std::string(what) + ": " + refused_;
    return std::nullopt;
  }
  if (e->tag != tag) {
    Refuse(std::string(what) + " should have tag " + Hex2(tag) + " but has " + Hex2(e->tag) +
           where);
    return std::nullopt;
  }
  return e;
}

namespace {

bool WalkAll(DerReader& reader, std::string& refused) {
  while (!reader.AtEnd()) {
    const std::optional<DerElement> e = reader.Next();
    if (!e) break;
    if (!e->Constructed()) continue;
    DerReader inner(reader, *e);
    if (!WalkAll(inner, refused)) return false;
  }
  if (!reader.failed()) return true;
  refused = reader.refused();
  return false;
}

}  // namespace

bool IsWellFormedDer(const unsigned char* data, size_t size, std::string& refused) {
  DerReader reader(data, size);
  return WalkAll(reader, refused);
}

std::optional<std::string> OidText(const DerElement& oid) {
  if (oid.size == 0 || (oid.body[oid.size - 1] & 0x80) != 0) return std::nullopt;
  std::string text;
  uint64_t arc = 0;
  bool first = true;
  for (size_t i = 0; i < oid.size; ++i) {
    const unsigned char b = oid.body[i];
    const bool starts = i == 0 || (oid.body[i - 1] & 0x80) == 0;
    if (starts && b == 0x80) return std::nullopt;  // a padded arc
    if (arc >> 57) return std::nullopt;            // past 64 bits
    arc = arc << 7 | (b & 0x7F);
    if (b & 0x80) continue;
    if (first) {
      // The first two arcs share one number: 40 * first + second.
      const uint64_t top = arc < 80 ? arc / 40 : 2;
      text = std::to_string(top) + "." + std::to_string(arc - 40 * top);
      first = false;
    } else {
      text += "." + std::to_string(arc);
    }
    arc = 0;
  }
  return text;
}

bool ContentsAre(const DerElement& element, const unsigned char* encoded, size_t size) {
  return element.size == size && std::memcmp(element.body, encoded, size) == 0;
}

}  // namespace ldr
