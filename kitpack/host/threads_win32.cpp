#include <windows.h>

#include <process.h>

#include <exception>
#include <stdexcept>

#include "kitpack/host/threads.h"
#include "kitpack/kit_error.h"

namespace kitpack {

struct Mutex::State {
  SRWLOCK lock = SRWLOCK_INIT;
};

Mutex::Mutex() : state_(new State) {}
Mutex::~Mutex() = default;
void Mutex::Lock() { AcquireSRWLockExclusive(&state_->lock); }
void Mutex::Unlock() { ReleaseSRWLockExclusive(&state_->lock); }

struct Condition::State {
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

Condition::Condition() : state_(new State) {}
Condition::~Condition() = default;

void Condition::WaitOnce(Locked& lock) {
  // INFINITE: returns only when woken (or spuriously; Wait checks again).
  SleepConditionVariableSRW(&state_->condition, &lock.mutex().state_->lock, INFINITE, 0);
}

void Condition::NotifyAll() { WakeAllConditionVariable(&state_->condition); }

struct ThreadGroup::State {
  std::vector<HANDLE> threads;
};

ThreadGroup::ThreadGroup() : state_(new State) {}
ThreadGroup::~ThreadGroup() { JoinAll(); }

namespace {
unsigned __stdcall RunBody(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  try {
    (*body)();
  } catch (...) {
    std::terminate();
  }
  return 0;
}
}  // namespace

void ThreadGroup::Start(std::function<void()> body) {
  auto* owned = new std::function<void()>(std::move(body));
  // _beginthreadex rather than CreateThread: the C runtime sets up its
  // per-thread state for the new thread.
  uintptr_t handle = _beginthreadex(nullptr, 0, RunBody, owned, 0, nullptr);
  if (handle == 0) {
    delete owned;
    throw KitError("cannot start a compression thread");
  }
  state_->threads.push_back(reinterpret_cast<HANDLE>(handle));
}

void ThreadGroup::JoinAll() {
  for (HANDLE t : state_->threads) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
  state_->threads.clear();
}

unsigned HardwareThreads() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors == 0 ? 1 : info.dwNumberOfProcessors;
}

}  // namespace kitpack
