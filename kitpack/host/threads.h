#pragma once
// The few threading tools kitpack uses, one implementation per host system:
// threads_posix.cpp on the C++ library's threads, threads_win32.cpp on Win32
// (the Windows toolchain's thread model has no std::thread or std::mutex).

#include <functional>
#include <memory>
#include <vector>

namespace kitpack {

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

  struct State;

 private:
  friend class Condition;
  std::unique_ptr<State> state_;
};

// Holds a mutex from construction until Release() or the end of its scope.
class Locked {
 public:
  explicit Locked(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~Locked() {
    if (held_) mutex_.Unlock();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  void Release() {
    held_ = false;
    mutex_.Unlock();
  }
  Mutex& mutex() const { return mutex_; }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

class Condition {
 public:
  Condition();
  ~Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // Waits with `lock` held (released while asleep) until `ready()` is true.
  template <typename Ready>
  void Wait(Locked& lock, Ready ready) {
    while (!ready()) WaitOnce(lock);
  }
  void NotifyAll();

  struct State;

 private:
  void WaitOnce(Locked& lock);
  std::unique_ptr<State> state_;
};

// Threads that are all joined before the group goes away. A body must not
// let an exception escape; one that does ends the program.
class ThreadGroup {
 public:
  ThreadGroup();
  ~ThreadGroup();
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  void Start(std::function<void()> body);
  void JoinAll();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// How many threads the machine runs at once; at least 1.
unsigned HardwareThreads();

}  // namespace kitpack
