#pragma once
// A bounded reader of DER, the encoding of an Authenticode signature: tag,
// length, contents, nested. It reads a span of bytes the caller holds and
// never leaves it; every length is checked against what encloses it, and
// anything DER does not allow (an indefinite or over-long length, a tag
// number past 30, nesting deeper than kDerMaxDepth) is refused with a reason
// rather than guessed at.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ldr {

inline constexpr uint8_t kDerInteger = 0x02;
inline constexpr uint8_t kDerOctetString = 0x04;
inline constexpr uint8_t kDerNull = 0x05;
inline constexpr uint8_t kDerOid = 0x06;
inline constexpr uint8_t kDerSequence = 0x30;
inline constexpr uint8_t kDerSet = 0x31;
inline constexpr uint8_t kDerContext0 = 0xA0;  // [0], constructed
inline constexpr uint8_t kDerConstructedBit = 0x20;

// Far deeper than any signature nests (about 12), shallow enough that a walk
// by recursion stays small.
inline constexpr unsigned kDerMaxDepth = 32;

struct DerElement {
  uint8_t tag = 0;
  const unsigned char* body = nullptr;  // inside the reader's span
  size_t size = 0;
  unsigned depth = 0;  // elements around it

  bool Constructed() const { return (tag & kDerConstructedBit) != 0; }
};

// Reads elements one after another from a span. The first fault ends the
// reading: every later call gives nothing, and refused() says what was wrong
// and where (the offset counts from the start of the outermost span).
class DerReader {
 public:
  DerReader(const unsigned char* data, size_t size);
  // The elements inside a constructed element read by `outer`; its faults
  // are reported by the inner reader.
  DerReader(const DerReader& outer, const DerElement& element);

  bool AtEnd() const { return at_ == size_; }
  bool failed() const { return !refused_.empty(); }
  const std::string& refused() const { return refused_; }
  // Offset of the next element in the outermost span.
  size_t offset() const { return origin_ + at_; }

  // The next element, whatever its tag.
  std::optional<DerElement> Next();
  // The next element, which must carry `tag`; `what` names it in the reason.
  std::optional<DerElement> Next(uint8_t tag, const char* what);
  // Records a fault found by the caller in what was read.
  void Refuse(const std::string& reason);

 private:
  const unsigned char* data_;
  size_t size_;
  size_t at_ = 0;
  size_t origin_ = 0;
  unsigned depth_ = 0;
  std::string refused_;
};

// Walks every element of the span, inside constructed ones too: true when it
// is a sequence of well-formed DER elements that fill it exactly. Otherwise
// `refused` says why.
bool IsWellFormedDer(const unsigned char* data, size_t size, std::string& refused);

// An object identifier's contents in dotted form ("1.3.14.3.2.26"), or
// nothing when they are not a valid encoding (cut, a padded arc, an arc past
// 64 bits).
std::optional<std::string> OidText(const DerElement& oid);

// The element's contents are exactly `encoded` (an OID's encoded arcs).
bool ContentsAre(const DerElement& element, const unsigned char* encoded, size_t size);

}  // namespace ldr
