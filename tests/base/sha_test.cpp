// SHA-1 and SHA-256 against the FIPS 180-4 examples, fed whole and in
// uneven pieces.

#include <gtest/gtest.h>

#include <string>

#include "base/sha1.h"
#include "base/sha256.h"

namespace ldr {
namespace {

template <typename Hash>
std::string HexOf(const std::string& text, size_t piece) {
  Hash h;
  for (size_t i = 0; i < text.size(); i += piece)
    h.Update(text.data() + i, std::min(piece, text.size() - i));
  const auto d = h.Finish();
  return DigestHex(d.data(), d.size());
}

struct Vector {
  std::string text;
  const char* digest;
};

template <typename Hash>
void CheckVectors(const std::vector<Vector>& cases) {
  for (const Vector& c : cases) {
    for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{1000}, size_t{1} << 20})
      EXPECT_EQ(HexOf<Hash>(c.text, piece), c.digest)
          << c.text.size() << " bytes in pieces of " << piece;
  }
  // Lengths around a block's end agree however they are fed, and a copy
  // goes on from where it was taken.
  for (size_t n : {55, 56, 57, 63, 64, 65, 119, 120, 128}) {
    const std::string text(n, 'q');
    EXPECT_EQ(HexOf<Hash>(text, 1), HexOf<Hash>(text, n)) << n;
    Hash a;
    a.Update(text.data(), n / 2);
    Hash b = a;
    a.Update(text.data() + n / 2, n - n / 2);
    b.Update(text.data() + n / 2, n - n / 2);
    EXPECT_EQ(a.Finish(), b.Finish());
  }
}

TEST(Sha256, KnownVectors) {
  CheckVectors<Sha256>({
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // 55, 56 and 64 bytes, where the padding needs one block or two
      // (digests from Python's hashlib).
      {std::string(55, 'q'), "85528b5baff5639cb8e7daca79d085ac29ac0978e873ed7527158616b2b6c379"},
      {std::string(56, 'q'), "f8ce2f8d6990c639668fe404262f35ed72d8bb145ad6bae786af7284447386df"},
      {std::string(64, 'q'), "ee8e658590c9a5e119400a774415a01db104de1ee6e2c29ec69aa73ef46544d2"},
  });
}

TEST(Sha1, KnownVectors) {
  CheckVectors<Sha1>({
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {std::string(55, 'q'), "7b271259bf2d2d3311f75d398745f5309ff76e09"},
      {std::string(56, 'q'), "cc30d5bc02bd26f3da6c5801880078dad9a63032"},
      {std::string(64, 'q'), "ce2798652a5cbba06c6f736ddeca9724e479e5b7"},
  });
}

}  // namespace
}  // namespace ldr
