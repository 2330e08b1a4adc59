// The failure path of a build without exceptions (loader.exe's): a raise
// goes straight to the innermost handler, and the process ends with the
// code that handler gives. Every case runs in a child process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/errors.h"
#include "base/failure.h"
#include "base/text_rules.h"

void ldr::EndProcess(int exit_code) {
  std::fflush(nullptr);
  std::_Exit(exit_code);
}

namespace ldr {
namespace {

using testing::ExitedWithCode;

// Says what it handles, then answers with its code.
class Printing final : public FailureHandler {
 public:
  Printing(const char* name, int code) : name_(name), code_(code) {}
  int Handle(const Failure& failure) override {
    const char* text = failure.text;
    std::fprintf(stderr, "[%s: %s]", name_, text);
    return code_;
  }

 private:
  const char* name_;
  int code_;
};

// Says what it handles, then fails itself.
class FailingAgain final : public FailureHandler {
 public:
  int Handle(const Failure& failure) override {
    const char* text = failure.text;
    std::fprintf(stderr, "[inner: %s]", text);
    RaiseFailure(FailureKind::kOther, "again");
  }
};

template <typename Body>
void RunUnder(const char* name, int code, Body body) {
  Printing handler(name, code);
  RunHandled(handler, body);
  std::fprintf(stderr, "[body ended]");
  std::fflush(nullptr);
  std::_Exit(0);
}

TEST(FailureStopDeathTest, EachRaiseEndsAtTheHandlerWithItsText) {
  EXPECT_EXIT(RunUnder("run", 7,
                       [] {
                         RaiseFailure(FailureKind::kOther, "first ", "second ", "third");
                         return 0;
                       }),
              ExitedWithCode(7), "^\\[run: first second third\\]$");
  EXPECT_EXIT(
      RunUnder("run", 9,
               [] {
                 RaiseFormatted({"Cannot open %s (%s)", FailureKind::kOther}, {"a.txt", "x"});
                 return 0;
               }),
      ExitedWithCode(9), "^\\[run: Cannot open a.txt \\(x\\)\\]$");
  EXPECT_EXIT(RunUnder("run", 3,
                       [] {
                         RaiseZlibError();
                         return 0;
                       }),
              ExitedWithCode(3), "^\\[run: error\\]$");
}

TEST(FailureStopDeathTest, ABodyThatEndsGivesItsResultAndLeavesNoHandlerBehind) {
  Printing handler("run", 7);
  EXPECT_EQ(RunHandled(handler, [] { return 5; }), 5);
  // Outside every handler a failure ends the process with 1, unhandled.
  EXPECT_EXIT(RaiseFailure(FailureKind::kOther, "outside"), ExitedWithCode(1), "^$");
}

TEST(FailureStopDeathTest, AFailureInsideAHandlerGoesToTheOneAroundIt) {
  EXPECT_EXIT(RunUnder("outer", 4,
                       [] {
                         FailingAgain inner;
                         return RunHandled(inner, [] {
                           RaiseFailure(FailureKind::kOther, "first");
                           return 0;
                         });
                       }),
              ExitedWithCode(4), "^\\[inner: first\\]\\[outer: again\\]$");
  // The inner handler answers without failing: its code ends the run, the
  // outer one is not asked.
  EXPECT_EXIT(RunUnder("outer", 4,
                       [] {
                         Printing inner("inner", 6);
                         return RunHandled(inner, [] {
                           RaiseFailure(FailureKind::kOther, "first");
                           return 0;
                         });
                       }),
              ExitedWithCode(6), "^\\[inner: first\\]$");
  // With no handler around the failing one the process ends with 1.
  EXPECT_EXIT(
      [] {
        FailingAgain alone;
        RunHandled(alone, [] {
          RaiseFailure(FailureKind::kOther, "first");
          return 0;
        });
      }(),
      ExitedWithCode(1), "^\\[inner: first\\]$");
}

// Says how long the text it handles is.
class Measuring final : public FailureHandler {
 public:
  int Handle(const Failure& failure) override {
    const char* text = failure.text;
    std::fprintf(stderr, "[%zu %s]", std::strlen(text), text + std::strlen(text) - 4);
    return 2;
  }
};

TEST(FailureStopDeathTest, ALongTextKeepsWhatALoaderErrorHolds) {
  const std::string expected = "^\\[" + std::to_string(LoaderError::kCapacity) + " xxxx\\]$";
  EXPECT_EXIT(
      [] {
        Measuring handler;
        RunHandled(handler, [] {
          const std::string long_text(LoaderError::kCapacity + 50, 'x');
          RaiseFailure(FailureKind::kOther, long_text, "tail");
          return 0;
        });
      }(),
      ExitedWithCode(2), expected);
}

}  // namespace
}  // namespace ldr
