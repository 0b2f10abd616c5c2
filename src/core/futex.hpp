#pragma once
// Waiting on a 32-bit atomic word in the kernel, with a deadline, and
// waking the threads that wait on it (Linux futex, private to the process).
//
// Why not std::atomic::wait: it has no deadline, and it restarts the wait
// when a signal arrives, where our callers must get back to the interpreter
// to run its signal handlers.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <thread>

#include "core/parker.hpp"

namespace kestrum {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "a futex is a plain 32-bit word");

// Sleeps while `word` holds `expected`, until a wake, a signal or
// `deadline` (nullptr: no limit). Unparked covers a wake, a value that had
// changed already, and a spurious return: the caller re-reads the word.
// Reaching the deadline is TimedOut even if the word changed meanwhile.
inline ParkResult futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                             const Deadline* deadline) noexcept {
  timespec at{};
  if (deadline != nullptr) {
    // steady_clock is CLOCK_MONOTONIC on Linux, the clock of FUTEX_WAIT_BITSET.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
    if (ns > 0) at = timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  }
  const long rc = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE, expected,
                          deadline != nullptr ? &at : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
  if (rc == 0) return ParkResult::Unparked;
  switch (errno) {
    case EAGAIN: return ParkResult::Unparked;  // the word had changed
    case ETIMEDOUT: return ParkResult::TimedOut;
    case EINTR: return ParkResult::Interrupted;
    default:
      // Refused (a sandbox that filters the call, say): nap instead, so
      // that a caller re-reading the word in a loop polls, not spins.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return ParkResult::Unparked;
  }
}

// Wakes every thread sleeping in futex_wait() on `word`.
inline void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace kestrum
