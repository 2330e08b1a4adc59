// The Windows loader's own stand-ins for pieces of the static runtime: the
// CRC must stay exact, and the library's failures must still reach the top
// handler as exceptions it knows.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace {

uLong Crc(uLong start, const char* text) {
  return crc32(start, reinterpret_cast<const Bytef*>(text), static_cast<uInt>(std::strlen(text)));
}

TEST(RuntimeWin32, CrcMatchesKnownValues) {
  struct Case {
    const char* text;
    uLong crc;
  };
  const Case cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const Case& c : cases) EXPECT_EQ(Crc(0, c.text), c.crc) << c.text;
  EXPECT_EQ(crc32(0, Z_NULL, 0), 0u);
  // Fed in pieces, the running value carries over.
  EXPECT_EQ(Crc(Crc(0, "1234"), "56789"), 0xCBF43926u);
}

TEST(RuntimeWin32, LibraryFailuresAreExceptionsWithText) {
  std::string text = "abc";
  try {
    text.reserve(text.max_size() + 1);
    FAIL() << "no failure";
  } catch (const std::bad_alloc&) {
    FAIL() << "an over-long string is not a lack of memory";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "basic_string::_M_create");
  }
  try {
    (void)text.substr(7);
    FAIL() << "no failure";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "basic_string::substr");
  }
}

TEST(RuntimeWin32, OversizedArraysAreALackOfMemory) {
  volatile size_t count = static_cast<size_t>(-1) / 2;
  EXPECT_THROW(delete[] new int[count], std::bad_alloc);
}

}  // namespace
