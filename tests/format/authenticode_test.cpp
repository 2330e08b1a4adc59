// The DER reader on hostile bytes, and the Authenticode digests: the one a
// signature holds and the one computed from the file, against images signed
// by osslsigncode (tests/format/data/make_signed.py made them).

#include "format/pe/authenticode.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/block_hash.h"
#include "format/bytes.h"
#include "format/pe/der.h"
#include "format/pe/headers.h"
#include "tests/support/signature_builder.h"

namespace ldr {
namespace {

using Bytes = std::vector<unsigned char>;

// ---- DER ---------------------------------------------------------------------

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes Tlv(uint8_t tag, const Bytes& body) { return B(testing::Tlv(tag, S(body))); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string Refusal(const Bytes& der) {
  std::string refused;
  return IsWellFormedDer(der.data(), der.size(), refused) ? "(well formed)" : refused;
}

Bytes Nested(unsigned depth) {
  Bytes der = Tlv(kDerNull, {});
  for (unsigned i = 0; i < depth; ++i) der = Tlv(kDerSequence, der);
  return der;
}

TEST(DerReader, RefusesWhatDerDoesNotAllow) {
  const struct {
    Bytes der;
    const char* refused;
  } cases[] = {
      {{0x30, 0x05, 0x02, 0x01}, "an element of 5 bytes runs past the 2 bytes around it at byte 0"},
      {{0x30}, "an element is cut short at byte 0"},
      {{0x30, 0x03, 0x04, 0x05, 0x00},
       "an element of 5 bytes runs past the 1 bytes around it at byte 2"},
      {{0x05, 0x00, 0x05}, "an element is cut short at byte 2"},
      {{0x30, 0x80, 0x00, 0x00}, "an indefinite length at byte 0"},
      {{0x04, 0x85, 0, 0, 0, 0, 1, 0}, "a length of more than 4 bytes at byte 0"},
      {{0x04, 0x82, 0x01}, "a length is cut short at byte 0"},
      {{0x04, 0x81, 0x05, 1, 2, 3, 4, 5}, "a length not in its shortest form at byte 0"},
      {{0x04, 0x82, 0x00, 0x85}, "a length not in its shortest form at byte 0"},
      {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0}, "an element of 4294967295 bytes runs past"},
      {{0x1F, 0x81, 0x00, 0x00}, "tag 0x1F is not one of DER's at byte 0"},
      {{0x30, 0x02, 0x00, 0x00}, "tag 0x00 is not one of DER's at byte 2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal(c.der).rfind(c.refused, 0), 0u) << Refusal(c.der);
  }
  EXPECT_EQ(
      Refusal(Cat({Tlv(kDerSequence, Tlv(kDerOctetString, Bytes(300, 7))), Tlv(kDerNull, {})})),
      "(well formed)");
  EXPECT_EQ(Refusal({}), "(well formed)");
}

TEST(DerReader, NestingStopsAtItsLimit) {
  EXPECT_EQ(Refusal(Nested(kDerMaxDepth)), "(well formed)");
  EXPECT_EQ(Refusal(Nested(kDerMaxDepth + 1)),
            "elements nested more than 32 deep at byte " + std::to_string(2 * (kDerMaxDepth + 1)));
  // Deep enough to exhaust a stack if each level cost a frame without limit.
  EXPECT_EQ(Refusal(Nested(2000)).rfind("elements nested more than 32 deep", 0), 0u);
}

TEST(DerReader, ReadsInOrderAndNamesWhatIsMissing) {
  const Bytes der = Tlv(kDerSequence, Cat({Tlv(kDerInteger, {1}), Tlv(kDerOid, {0x2B, 0x0E})}));
  DerReader top(der.data(), der.size());
  const auto seq = top.Next(kDerSequence, "the whole");
  ASSERT_TRUE(seq);
  EXPECT_TRUE(top.AtEnd());
  DerReader inner(top, *seq);
  ASSERT_TRUE(inner.Next(kDerInteger, "the version"));
  EXPECT_EQ(inner.offset(), 5u);
  EXPECT_FALSE(inner.Next(kDerSet, "the set"));
  EXPECT_EQ(inner.refused(), "the set should have tag 0x31 but has 0x06 at byte 5");
  EXPECT_FALSE(inner.Next());  // a reader stays failed

  DerReader again(top, *seq);
  ASSERT_TRUE(again.Next());
  ASSERT_TRUE(again.Next());
  EXPECT_FALSE(again.Next(kDerNull, "the parameters"));
  EXPECT_EQ(again.refused(), "the parameters is missing at byte 9");
}

TEST(DerReader, ObjectIdentifiersInDottedForm) {
  auto text = [](const Bytes& body) {
    DerElement e;
    e.tag = kDerOid;
    e.body = body.data();
    e.size = body.size();
    return OidText(e).value_or("(refused)");
  };
  EXPECT_EQ(text({0x2B, 0x0E, 0x03, 0x02, 0x1A}), "1.3.14.3.2.26");
  EXPECT_EQ(text({0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}), "2.16.840.1.101.3.4.2.1");
  EXPECT_EQ(text({0x88, 0x37}), "2.999");
  EXPECT_EQ(text({0x00}), "0.0");
  EXPECT_EQ(text({}), "(refused)");
  EXPECT_EQ(text({0x2B, 0x86}), "(refused)");        // cut in an arc
  EXPECT_EQ(text({0x2B, 0x80, 0x01}), "(refused)");  // a padded arc
  EXPECT_EQ(text({0x2B, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}),
            "1.3.9223372036854775808");  // 2^63
  EXPECT_EQ(text({0x2B, 0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}),
            "(refused)");  // 2^64
  EXPECT_EQ(text({0x2B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
            "1.3.9223372036854775807");
}

// ---- The digest a signature holds ----------------------------------------------

Bytes Load(const std::string& name) {
  std::ifstream in(std::string(LOADERKIT_AUTHENTICODE_DATA) + "/" + name, std::ios::binary);
  Bytes b(std::istreambuf_iterator<char>(in), {});
  EXPECT_FALSE(b.empty()) << name;
  return b;
}

// The certificate table an image's security entry names.
Bytes TableOf(const Bytes& image) {
  MemoryByteSource source(image.data(), image.size());
  const PeSecurityEntry pe = ReadPeSecurityEntry(source, image.size());
  EXPECT_TRUE(pe.NamesTable());
  return Bytes(image.begin() + pe.table_offset, image.begin() + pe.table_offset + pe.table_size);
}

std::string Hex(const Bytes& b) { return DigestHex(b.data(), b.size()); }

// What `osslsigncode verify` calls the calculated message digest of each.
const char kSigned64[] = "5a0509fce126281f1dd075ab3b779b16914c6f5d479d6f7168a186bc07ceb109";
const char kSigned32[] = "3dcf1a89f5c92f10e4adc2332558116cb3695d73bca6ec99616ade64a29e8b6e";
const char kNestedSha1[] = "65e2938f2f48e486bbb8e95b9e18c8f63bd06b2b";

TEST(SignedImageDigest, ReadFromOsslsigncodeSignatures) {
  const struct {
    const char* file;
    DigestAlgorithm algorithm;
    const char* digest;
  } cases[] = {
      {"signed64-sha256.exe", DigestAlgorithm::kSha256, kSigned64},
      {"signed32-sha256.exe", DigestAlgorithm::kSha256, kSigned32},
      // The first signature counts; the nested one lives inside it.
      {"signed64-sha1-nested-sha256.exe", DigestAlgorithm::kSha1, kNestedSha1},
  };
  for (const auto& c : cases) {
    const Bytes table = TableOf(Load(c.file));
    const SignedImageDigest read = ReadSignedImageDigest(table.data(), table.size());
    EXPECT_EQ(read.refused, "") << c.file;
    EXPECT_EQ(read.algorithm, c.algorithm) << c.file;
    EXPECT_EQ(Hex(read.digest), c.digest) << c.file;
  }
}

Bytes Entry(const Bytes& der, size_t padding = 0, uint16_t revision = 0x0200, uint16_t type = 2) {
  return B(testing::CertificateEntry(S(der), padding, revision, type));
}

const Bytes kSignedDataOid = B(testing::kSignedDataOid);
const Bytes kIndirectOid = B(testing::kIndirectDataOid);
const Bytes kSha1Oid = B(testing::kSha1Oid);
const Bytes kSha256Oid = B(testing::kSha256Oid);

Bytes Signature(const Bytes& content_type, const Bytes& indirect_type, const Bytes& algorithm,
                const Bytes& digest) {
  return B(
      testing::AuthenticodeSignature(S(digest), S(algorithm), S(content_type), S(indirect_type)));
}

std::string Refused(const Bytes& table) {
  const SignedImageDigest read = ReadSignedImageDigest(table.data(), table.size());
  if (read.refused.empty()) return "(read " + Hex(read.digest) + ")";
  EXPECT_TRUE(read.digest.empty());
  return read.refused;
}

TEST(SignedImageDigest, RefusesWhatIsNotAnAuthenticodeSignature) {
  const Bytes d32(32, 0xAB), d20(20, 0xCD);
  const Bytes good = Signature(kSignedDataOid, kIndirectOid, kSha256Oid, d32);
  EXPECT_EQ(Refused(Entry(good)), "(read " + Hex(d32) + ")");
  EXPECT_EQ(Refused(Entry(good, 7)), "(read " + Hex(d32) + ")");
  EXPECT_EQ(Refused(Entry(Signature(kSignedDataOid, kIndirectOid, kSha1Oid, d20))),
            "(read " + Hex(d20) + ")");

  Bytes sha384 = kSha256Oid;
  sha384.back() = 2;
  Bytes other_data = kSignedDataOid;
  other_data.back() = 1;  // PKCS#7 data
  Bytes trailing = Entry(good, 3);
  trailing.back() = 1;
  Bytes long_claim = Entry(good);
  PutU32(long_claim.data(), static_cast<uint32_t>(long_claim.size() + 1));
  Bytes short_claim = Entry(good);
  PutU32(short_claim.data(), 7);
  const struct {
    Bytes table;
    const char* refused;
  } cases[] = {
      {{}, "the certificate table is shorter than a WIN_CERTIFICATE header"},
      {{8, 0, 0, 0, 0, 2, 2}, "the certificate table is shorter than a WIN_CERTIFICATE header"},
      {long_claim, "its first entry claims"},
      {short_claim, "its first entry claims 7 bytes"},
      {Entry(good, 0, 0x0100),
       "its first entry is not a PKCS#7 signature of revision 2.0 (revision 256, type 2)"},
      {Entry(good, 0, 0x0200, 1),
       "its first entry is not a PKCS#7 signature of revision 2.0 (revision 512, type 1)"},
      {Entry({}), "the signature: an element is missing"},
      {Entry(good, 8), "8 bytes follow the signature in its entry"},
      {trailing, "3 bytes follow the signature in its entry"},
      {Entry(Tlv(kDerSequence, Nested(kDerMaxDepth))),
       "the signature is not well-formed DER: elements nested more than 32 deep"},
      {Entry(Signature(other_data, kIndirectOid, kSha256Oid, d32)),
       "the signature's content type is 1.2.840.113549.1.7.1, not PKCS#7 SignedData"},
      {Entry(Signature(kSignedDataOid, kSha1Oid, kSha256Oid, d32)),
       "the signed content's type is 1.3.14.3.2.26, not SpcIndirectDataContent"},
      {Entry(Signature(kSignedDataOid, kIndirectOid, sha384, d32)),
       "the digest algorithm is 2.16.840.1.101.3.4.2.2; only SHA-1 and SHA-256 are checked"},
      {Entry(Signature(kSignedDataOid, kIndirectOid, {0x2B, 0x80, 0x01}, d32)),
       "the digest algorithm is (not a valid object identifier)"},
      {Entry(Signature(kSignedDataOid, kIndirectOid, kSha1Oid, d32)),
       "the image digest has 32 bytes, not the 20 of SHA-1"},
      {Entry(Signature(kSignedDataOid, kIndirectOid, kSha256Oid, d20)),
       "the image digest has 20 bytes, not the 32 of SHA-256"},
      {Entry(Tlv(kDerSequence, Tlv(kDerOid, kSignedDataOid))), "the SignedData is missing at byte"},
      {Entry(Tlv(kDerSet, {})), "the signature should have tag 0x30 but has 0x31"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refused(c.table).rfind(c.refused, 0), 0u) << Refused(c.table);
  }
}

// Every cut of a real signature, its entry's length following it, and every
// byte of it changed in turn: refused or read, never a read outside it (the
// sanitizers' builds would say), never a digest of the wrong size.
TEST(SignedImageDigest, CutAndFlippedSignaturesNeverMisread) {
  const Bytes table = TableOf(Load("signed64-sha1-nested-sha256.exe"));
  const uint32_t entry = GetU32(table.data());
  size_t read = 0;
  for (uint32_t n = 8; n < entry; ++n) {
    Bytes cut(table.begin(), table.begin() + n);
    PutU32(cut.data(), n);
    const SignedImageDigest d = ReadSignedImageDigest(cut.data(), cut.size());
    read += d.refused.empty();
  }
  EXPECT_LE(read, 7u);  // only cuts of the zero padding leave a signature
  for (size_t i = 8; i < entry; ++i) {
    for (unsigned char mask : {0x01, 0x80, 0xFF}) {
      Bytes flipped = table;
      flipped[i] ^= mask;
      const SignedImageDigest d = ReadSignedImageDigest(flipped.data(), flipped.size());
      if (!d.refused.empty()) continue;
      EXPECT_EQ(d.digest.size(), d.algorithm == DigestAlgorithm::kSha1 ? 20u : 32u) << i;
    }
  }
}

// ---- The digest of the file -------------------------------------------------

// A source whose reads fail from a given offset on.
class FailingFrom final : public ByteSource {
 public:
  FailingFrom(const Bytes& bytes, uint64_t from) : bytes_(bytes), from_(from) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override {
    if (offset + size > from_) return false;
    return MemoryByteSource(bytes_.data(), bytes_.size()).ReadAt(offset, buffer, size);
  }

 private:
  const Bytes& bytes_;
  uint64_t from_;
};

std::string TableFault(const Bytes& table) {
  MemoryByteSource source(table.data(), table.size());
  return CertificateTableFault(source, 0, table.size());
}

// A table of signatures alone passes; anything added before, between or
// after them is named.
TEST(CertificateTable, HoldsSignaturesAndTheirPaddingAlone) {
  for (const char* file :
       {"signed64-sha256.exe", "signed32-sha256.exe", "signed64-sha1-nested-sha256.exe"})
    EXPECT_EQ(TableFault(TableOf(Load(file))), "") << file;
  const Bytes table = TableOf(Load("signed64-sha256.exe"));
  ASSERT_EQ(table.size() % 8, 0u);
  Bytes two = table;
  two.insert(two.end(), table.begin(), table.end());  // a second signature
  EXPECT_EQ(TableFault(two), "");
  struct Case {
    const char* label;
    Bytes added;
    const char* fault;
  } cases[] = {
      {"junk", Bytes(24, 0x5A), "entry 1 (at byte "},
      {"a few bytes", Bytes(5, 0), "5 bytes after the last entry"},
      {"a header alone", {16, 0, 0, 0, 0, 2, 2, 0}, "claims 16 bytes"},
      {"an entry of another kind",
       {16, 0, 0, 0, 0, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8},
       "not a PKCS#7 signature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Bytes grown = table;
    grown.insert(grown.end(), c.added.begin(), c.added.end());
    EXPECT_NE(TableFault(grown).find(c.fault), std::string::npos) << TableFault(grown);
  }
  // Bytes after the signature inside its entry's padding.
  Bytes padded = table;
  const uint32_t length = GetU32(padded.data());
  if (length % 8 != 0) {
    padded[length] = 1;
    EXPECT_NE(TableFault(padded), "");
  }
}

ImageHash HashOf(const Bytes& image, DigestAlgorithm algorithm = DigestAlgorithm::kSha256) {
  MemoryByteSource source(image.data(), image.size());
  return AuthenticodeImageHash(source, image.size(), algorithm);
}

struct Fields {
  uint64_t checksum, entry, table, table_size;
};

Fields FieldsOf(const Bytes& image) {
  MemoryByteSource source(image.data(), image.size());
  const PeSecurityEntry pe = ReadPeSecurityEntry(source, image.size());
  return {pe.checksum_offset, pe.entry_offset, pe.table_offset, pe.table_size};
}

TEST(AuthenticodeImageHash, IsTheDigestOsslsigncodeSigned) {
  EXPECT_EQ(Hex(HashOf(Load("signed64-sha256.exe")).digest), kSigned64);
  EXPECT_EQ(Hex(HashOf(Load("signed32-sha256.exe")).digest), kSigned32);
  EXPECT_EQ(Hex(HashOf(Load("signed64-sha1-nested-sha256.exe"), DigestAlgorithm::kSha1).digest),
            kNestedSha1);
  EXPECT_EQ(Hex(HashOf(Load("signed64-sha1-nested-sha256.exe")).digest), kSigned64);
  // The unsigned images, 1027 and 1029 bytes long, hash with the padding
  // the signing tool added before its table.
  EXPECT_EQ(Load("unsigned64.exe").size() % 8, 3u);
  EXPECT_EQ(Hex(HashOf(Load("unsigned64.exe")).digest), kSigned64);
  EXPECT_EQ(Hex(HashOf(Load("unsigned32.exe")).digest), kSigned32);
  EXPECT_EQ(Hex(HashOf(Load("unsigned64.exe"), DigestAlgorithm::kSha1).digest), kNestedSha1);
}

TEST(AuthenticodeImageHash, CoversEverythingButTheChecksumTheEntryAndTheTable) {
  const Bytes image = Load("signed64-sha256.exe");
  const Fields f = FieldsOf(image);
  for (size_t i = 0; i < image.size(); ++i) {
    Bytes changed = image;
    changed[i] ^= 0x01;
    const bool left_out = (i >= f.checksum && i < f.checksum + 4) ||
                          (i >= f.entry && i < f.entry + 8) || i >= f.table;
    const ImageHash h = HashOf(changed);
    if (!h.refused.empty()) {
      EXPECT_TRUE(i < f.entry + 8) << i;  // headers no longer read as a PE image
      continue;
    }
    EXPECT_EQ(Hex(h.digest) == kSigned64, left_out) << "byte " << i;
  }
}

TEST(AuthenticodeImageHash, TableMovedBehindAppendedBytesNoLongerMatches) {
  // The attack on a signed kit: other bytes where the table was, the table
  // after them, the security entry (left out of the hash) naming it there.
  const Bytes image = Load("signed64-sha256.exe");
  const Fields f = FieldsOf(image);
  Bytes moved(image.begin(), image.begin() + f.table);
  moved.resize(moved.size() + 64, 0x5A);
  const uint32_t new_offset = static_cast<uint32_t>(moved.size());
  moved.insert(moved.end(), image.begin() + f.table, image.end());
  PutU32(moved.data() + f.entry, new_offset);
  const Bytes table = TableOf(moved);
  const SignedImageDigest signed_digest = ReadSignedImageDigest(table.data(), table.size());
  EXPECT_EQ(Hex(signed_digest.digest), kSigned64);
  const ImageHash h = HashOf(moved);
  EXPECT_EQ(h.refused, "");
  EXPECT_NE(h.digest, signed_digest.digest);
}

TEST(AuthenticodeImageHash, RefusesWhatItCannotHash) {
  const Bytes image = Load("signed64-sha256.exe");
  const Fields f = FieldsOf(image);
  Bytes outside = image;
  PutU32(outside.data() + f.entry + 4, static_cast<uint32_t>(f.table_size + 1));
  EXPECT_EQ(HashOf(outside).refused.rfind("its certificate table (", 0), 0u);
  Bytes in_headers = image;
  PutU32(in_headers.data() + f.entry, static_cast<uint32_t>(f.entry));
  EXPECT_EQ(HashOf(in_headers).refused, "its certificate table begins inside its PE headers");
  EXPECT_EQ(HashOf(Bytes(image.begin(), image.begin() + 64)).refused,
            "it is not a PE image whose headers reach the security entry");
  FailingFrom failing(image, 900);
  EXPECT_EQ(AuthenticodeImageHash(failing, image.size(), DigestAlgorithm::kSha256).refused,
            "its bytes from byte " + std::to_string(f.entry + 8) + " cannot be read");
}

}  // namespace
}  // namespace ldr
