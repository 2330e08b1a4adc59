// loader.exe's stand-ins for the runtime's failure points: built without
// exceptions, the library's own failures reach the run's handler with the
// library's text, and the process ends with the handler's code. Each case
// runs in a child process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "base/messages.h"

namespace ldr {
namespace {

using testing::ExitedWithCode;

class Printing final : public FailureHandler {
 public:
  int Handle(const Failure& failure) override {
    const char* text = failure.text;
    std::fprintf(stderr, "[%s]", text);
    return 7;
  }
};

template <typename Body>
void RunUnder(Body body) {
  Printing handler;
  RunHandled(handler, [&] {
    body();
    return 0;
  });
  std::_Exit(0);
}

TEST(RuntimeWin32DeathTest, LibraryFailuresReachTheHandlerWithTheirText) {
  EXPECT_EXIT(RunUnder([] {
                volatile size_t at = 7;
                (void)std::string_view("abc").substr(at);
              }),
              ExitedWithCode(7), "^\\[basic_string_view::substr\\]$");
  EXPECT_EXIT(RunUnder([] {
                std::string text = "abc";
                text.reserve(text.max_size() + 1);
              }),
              ExitedWithCode(7), "^\\[basic_string::_M_create\\]$");
  EXPECT_EXIT(RunUnder([] {
                std::string text = "abc";
                volatile size_t at = 7;
                (void)text.substr(at);
              }),
              ExitedWithCode(7), "^\\[basic_string::substr\\]$");
}

}  // namespace
}  // namespace ldr
