#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "kitpack/host/interrupt.h"

namespace kitpack {

namespace {

constexpr int kSlots = 32;
constexpr size_t kPathCapacity = 4096;

// A slot is free (0), being written (1), or holds a file (2) or a folder (3).
// The handler reads only slots marked 2 or 3, whose path was written before
// the mark was stored.
struct Slot {
  std::atomic<int> state{0};
  char path[kPathCapacity];
};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free flag");

Slot g_slots[kSlots];
std::atomic<bool> g_installed{false};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnInterrupt(int signal_number) {
  // Only async-signal-safe calls: unlink, rmdir, sigaction, raise.
  for (Slot& s : g_slots)
    if (s.state.load(std::memory_order_acquire) == 2) ::unlink(s.path);
  for (int i = kSlots - 1; i >= 0; --i)
    if (g_slots[i].state.load(std::memory_order_acquire) == 3) ::rmdir(g_slots[i].path);
  // Then end as the signal would have ended us, so that the exit status
  // tells the shell what happened (130 for Ctrl-C).
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  ::sigaction(signal_number, &plain, nullptr);
  ::raise(signal_number);
}

int Claim(const std::string& path, RemoveOnInterrupt::Kind kind) {
  if (path.size() >= kPathCapacity) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (!g_slots[i].state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
    g_slots[i].state.store(kind == RemoveOnInterrupt::kFolder ? 3 : 2, std::memory_order_release);
    return i;
  }
  return -1;
}

}  // namespace

bool InterruptRequested() { return false; }

void InstallInterruptHandlers() {
  if (g_installed.exchange(true)) return;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // While one runs, the others wait: the table is walked once.
  for (int s : kSignals) sigaddset(&action.sa_mask, s);
  for (int s : kSignals) {
    struct sigaction old {};
    // A signal the shell told us to ignore (nohup) stays ignored.
    if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &action, nullptr);
  }
}

RemoveOnInterrupt::RemoveOnInterrupt(const std::string& path, Kind kind) : kind_(kind) {
  slot_ = Claim(path, kind);
}

RemoveOnInterrupt::~RemoveOnInterrupt() {
  if (slot_ >= 0) g_slots[slot_].state.store(0, std::memory_order_release);
}

void RemoveOnInterrupt::Update(const std::string& path) {
  // The new path is in the table before the old one leaves it.
  const int old = slot_;
  slot_ = Claim(path, kind_);
  if (old >= 0) g_slots[old].state.store(0, std::memory_order_release);
}

static_assert(sizeof(sigset_t) <= 256, "room for a signal mask");

InterruptsHeld::InterruptsHeld() {
  sigset_t held;
  sigemptyset(&held);
  for (int s : kSignals) sigaddset(&held, s);
  sigset_t old;
  ::pthread_sigmask(SIG_BLOCK, &held, &old);
  std::memcpy(saved_, &old, sizeof old);
}

InterruptsHeld::~InterruptsHeld() {
  sigset_t old;
  std::memcpy(&old, saved_, sizeof old);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace kitpack
