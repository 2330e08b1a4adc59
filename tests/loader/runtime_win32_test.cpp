// The Windows loader's own stand-ins for pieces of the static runtime: the
// CRC must stay exact, and the library's failures must still reach the top
// handler as exceptions it knows.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
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

namespace {

// The loader's exception objects come from a few fixed slots: nested
// failures, several alive at once and objects as large as a LoaderError all
// unwind and are caught with their text, and the runtime's bookkeeping
// follows.
struct Large : std::exception {
  char text[6000] = "large";
  const char* what() const noexcept override { return text; }
};

struct CountsUncaught {
  int* seen;
  ~CountsUncaught() { *seen = std::uncaught_exceptions(); }
};

void ThrowNested(int depth, std::vector<std::string>* caught) {
  try {
    throw std::runtime_error(std::string("level ") + std::to_string(depth));
  } catch (const std::exception& e) {
    // Still handling this one while the next ones are raised.
    if (depth < 5) ThrowNested(depth + 1, caught);
    caught->push_back(e.what());
  }
}

TEST(RuntimeWin32, ExceptionObjectsComeAndGo) {
  std::vector<std::string> caught;
  ThrowNested(1, &caught);
  EXPECT_EQ(caught,
            (std::vector<std::string>{"level 5", "level 4", "level 3", "level 2", "level 1"}));
  try {
    throw Large();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "large");
  }
  int seen = -1;
  try {
    CountsUncaught counter{&seen};
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(std::uncaught_exceptions(), 0);
  }
  EXPECT_EQ(seen, 1);  // counted while the destructor ran during unwinding
  // A rethrown exception keeps its object.
  try {
    try {
      throw std::runtime_error("again");
    } catch (...) {
      throw;
    }
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "again");
  }
  // Many rounds: the slots are given back.
  for (int i = 0; i < 1000; ++i) {
    try {
      throw std::runtime_error("round");
    } catch (const std::exception&) {
    }
  }
}

}  // namespace
