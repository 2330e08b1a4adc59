#include "tests/support/loader_run.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/errors.h"
#include "base/failure.h"

#if !__cpp_exceptions
#include <pthread.h>
#endif

namespace ldr::testing {
namespace {

// The state of one run, shared by the test's handler and (without
// exceptions) EndProcess.
struct Run {
  const std::function<int()>* body = nullptr;
  const std::function<void()>* on_failure = nullptr;
  RunEnd end;
  // Without exceptions: the test's handler is answering a failure.
  bool in_outermost = false;
  // Without exceptions: a loader's handler ended the run, and the end goes
  // on through the test's handler (see EndProcess).
  bool ending = false;
  bool reached_outermost = false;
};

// The outermost handler: it takes what no handler of the loader's took.
class Outermost final : public FailureHandler {
 public:
  explicit Outermost(Run& run) : run_(run) {}
  int Handle(const Failure& failure) override {
    if (run_.ending) {
      run_.reached_outermost = true;
      return run_.end.exit_code;
    }
    run_.in_outermost = true;
    run_.end.failed = true;
    run_.end.failure = failure.text;
    if (*run_.on_failure) (*run_.on_failure)();
    return kUnhandledExitCode;
  }

 private:
  Run& run_;
};

#if __cpp_exceptions

RunEnd RunBody(Run& run) {
  Outermost handler(run);
  run.end.exit_code = RunHandled(handler, *run.body);
  return run.end;
}

#else

// Without exceptions a failure ends the process where it happens. Each run
// therefore gets a thread of its own, and EndProcess ends that thread: its
// frames, compiled without exceptions, have nothing to clean up on the way
// out (no destructor runs, as none runs when loader.exe's process ends),
// the objects of the test stay where they are, and the test reads the
// outcome once the thread is joined. A child process would end the same way
// but would take the fake platform's and window's records with it.
thread_local Run* t_run = nullptr;

void* RunOnThread(void* argument) {
  Run& run = *static_cast<Run*>(argument);
  t_run = &run;
  Outermost handler(run);
  run.end.exit_code = RunHandled(handler, *run.body);
  return nullptr;
}

RunEnd RunBody(Run& run) {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, RunOnThread, &run) != 0 ||
      pthread_join(thread, nullptr) != 0) {
    std::fprintf(stderr, "RunToEnd: no thread for the run\n");
    std::abort();
  }
  return run.end;
}

#endif

}  // namespace

RunEnd RunToEnd(const std::function<int()>& body, const std::function<void()>& on_failure) {
  Run run;
  run.body = &body;
  run.on_failure = &on_failure;
  return RunBody(run);
}

}  // namespace ldr::testing

#if !__cpp_exceptions

// A handler's scope outlives its frame only in the innermost-handler list
// (base/failure.cpp), which a raise winds back to the handler it reaches.
// When a loader's handler ended the run, that list still names the test's
// handler, on the thread about to end: one more failure is raised, so that
// the test's handler takes it and the list is as it was before the run.
// Reaching any other handler would mean a handler inside another one ended
// the run, which leaves the list naming a scope of the ended thread: no
// further run could be trusted, so the test program stops.
void ldr::EndProcess(int exit_code) {
  using testing::t_run;
  if (t_run == nullptr) {
    std::fprintf(stderr, "EndProcess(%d) outside a run: a failure no handler took\n", exit_code);
    std::abort();
  }
  testing::Run& run = *t_run;
  if (!run.in_outermost && !run.ending) {
    run.ending = true;
    run.end.exit_code = exit_code;
    RaiseFailure(FailureKind::kOther, "the run ended");
  }
  if (run.ending && !run.reached_outermost) {
    std::fprintf(stderr, "EndProcess(%d): the run ended in a handler inside another one\n",
                 exit_code);
    std::abort();
  }
  if (run.in_outermost) run.end.exit_code = exit_code;
  t_run = nullptr;
  pthread_exit(nullptr);
}

#endif
