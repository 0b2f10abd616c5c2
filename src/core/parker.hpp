#pragma once
// A one-shot kernel wake-up for one blocked thread, and the deadline type
// the blocking calls take.
//
// Callers must: call park() only from the thread that owns the Parker;
// unpark() from any thread, each unpark() waking at most one park().
// Guarantees: park() returns Unparked once per unpark() (a post before the
// park is kept); Interrupted when a signal arrived, so that the caller can
// run its handlers and decide whether to wait on; TimedOut once the
// deadline, measured on the monotonic clock, has passed.
#include <semaphore.h>

#include <cerrno>
#include <chrono>
#include <ctime>

namespace kestrum {

using Deadline = std::chrono::steady_clock::time_point;

// The deadline `seconds` (>= 0) from now; far-off ones are clamped to a
// century, which no wait outlives and no clock arithmetic overflows.
inline Deadline deadline_after(double seconds) noexcept {
  constexpr double kCentury = 100.0 * 365 * 24 * 3600;
  const auto span = std::chrono::duration<double>(seconds < kCentury ? seconds : kCentury);
  return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(span);
}

enum class ParkResult { Unparked, TimedOut, Interrupted };

// A one-shot kernel wake-up for one blocked thread: a POSIX semaphore, because
// a signal interrupts sem_wait (EINTR) where a condition variable would sleep
// on, and the caller must get to run its signal handlers promptly.
class Parker {
 public:
  Parker() noexcept { sem_init(&sem_, 0, 0); }
  Parker(const Parker&) = delete;
  Parker& operator=(const Parker&) = delete;
  ~Parker() { sem_destroy(&sem_); }

  void unpark() noexcept { sem_post(&sem_); }

  // Waits for unpark() until `deadline` (nullptr: no limit).
  ParkResult park(const Deadline* deadline) noexcept {
    int rc;
    if (deadline == nullptr) {
      rc = sem_wait(&sem_);
    } else {
      // steady_clock is CLOCK_MONOTONIC on Linux.
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
      timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      if (ns < 0) ts = timespec{0, 0};
      rc = sem_clockwait(&sem_, CLOCK_MONOTONIC, &ts);
    }
    if (rc == 0) return ParkResult::Unparked;
    return errno == ETIMEDOUT ? ParkResult::TimedOut : ParkResult::Interrupted;
  }

 private:
  sem_t sem_;
};

}  // namespace kestrum
