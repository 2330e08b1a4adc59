#pragma once
// Runs a piece of the loader to its end, in either build: the one that
// unwinds (a failure comes back as an exception) and the one without
// exceptions, as loader.exe is built (base/failure.h: a failure calls the
// innermost handler where it happens, then ends the process). A test written
// against RunToEnd reads the same outcome from both.

#include <functional>
#include <string>

namespace ldr::testing {

// How a run ended.
struct RunEnd {
  // The body's result, the exit code a loader's own handler gave, or
  // kUnhandledExitCode.
  int exit_code = 0;
  // A failure no handler of the loader's took: it reached the test's, the
  // outermost, with this text.
  bool failed = false;
  std::string failure;
};

// What a process ends with when no handler takes its failure.
inline constexpr int kUnhandledExitCode = 1;

// Runs body (the loader's own entry, which has its handler, or any piece of
// it) under the test's handler, the outermost one. When a failure reaches
// that handler, on_failure runs there first: as a loader's handler would, it
// closes what the run opened (Platform::CloseFilesOpenedSince), since in
// the build without exceptions nothing else does.
RunEnd RunToEnd(const std::function<int()>& body, const std::function<void()>& on_failure = {});

// The text of the failure body raised, "" when it ended without one.
inline std::string FailureOf(const std::function<void()>& body,
                             const std::function<void()>& on_failure = {}) {
  return RunToEnd(
             [&] {
               body();
               return 0;
             },
             on_failure)
      .failure;
}

}  // namespace ldr::testing
