#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "kitpack/host/threads.h"
#include "kitpack/kit_error.h"

namespace kitpack {

struct Mutex::State {
  std::mutex mutex;
};

Mutex::Mutex() : state_(new State) {}
Mutex::~Mutex() = default;
void Mutex::Lock() { state_->mutex.lock(); }
void Mutex::Unlock() { state_->mutex.unlock(); }

struct Condition::State {
  std::condition_variable condition;
};

Condition::Condition() : state_(new State) {}
Condition::~Condition() = default;

void Condition::WaitOnce(Locked& lock) {
  std::unique_lock<std::mutex> held(lock.mutex().state_->mutex, std::adopt_lock);
  state_->condition.wait(held);
  held.release();
}

void Condition::NotifyAll() { state_->condition.notify_all(); }

struct ThreadGroup::State {
  std::vector<std::thread> threads;
};

ThreadGroup::ThreadGroup() : state_(new State) {}
ThreadGroup::~ThreadGroup() { JoinAll(); }

void ThreadGroup::Start(std::function<void()> body) {
  try {
    state_->threads.emplace_back([body = std::move(body)] {
      try {
        body();
      } catch (...) {
        std::terminate();
      }
    });
  } catch (const std::system_error&) {
    throw KitError("cannot start a compression thread");
  }
}

void ThreadGroup::JoinAll() {
  for (std::thread& t : state_->threads)
    if (t.joinable()) t.join();
  state_->threads.clear();
}

unsigned HardwareThreads() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

}  // namespace kitpack
