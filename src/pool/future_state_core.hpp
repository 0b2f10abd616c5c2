#pragma once
// The state of one WorkerPool future, in one atomic word, and the
// transitions between its states. Plain C++: the Python type keeps its
// objects beside it and uses these transitions to decide who owns them.
//
// States follow the standard future: Pending -> Running -> Finished, or
// Pending -> Cancelled -> CancelledAndNotified. Completing is a claim held
// for the instant between choosing the one thread that stores the outcome
// and publishing it: that thread writes the result, then try_finish() (or
// publish_watched(), under the lock, for a watched future) publishes
// Finished with release order, so whoever reads Finished with acquire order
// sees the outcome. Readers report Completing as Running.
//
// The Watched flag is how the lock-free fast path meets the lock-based slow
// path without a lost wake-up. Anybody about to look at the state under the
// future's lock and wait on it (the standard wait()/as_completed(),
// add_done_callback, a result() with an unusual time-out) first sets the
// flag with watch(), then takes the lock and reads the state. Finishing is
// one compare-and-swap from unwatched Completing to Finished, which fails once
// the flag is set. So either it came first, and the watcher reads Finished,
// or the flag came first, and the finishing thread publishes Finished under
// the lock instead (publish_watched()) and notifies there. A watcher that
// holds the lock therefore sees the state stay put (the standard wait()
// reads it twice and counts on both reads agreeing). A future nobody
// watched never touches a lock. Cancelling is one compare-and-swap that
// reports the flag: the standard helpers do not count Cancelled as done
// (only CancelledAndNotified, which moves under the lock), so cancel() only
// needs to notify, under the lock, when the flag was set.
//
// A thread that waits for the outcome in result() needs neither the lock
// nor the flag: it sets the Sleepers bit and sleeps in the kernel on the
// word itself (sleep_until_done()). Every move into a done state keeps the
// bit and, when it was set, wakes the sleepers: the bit is set by a
// compare-and-swap on the word, so either the move saw it, or the sleeper's
// swap failed (or the kernel found the word changed) and it reads the done
// state itself.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/futex.hpp"
#include "core/spin_wait.hpp"

namespace kestrum {

enum class FutureState : std::uint32_t {
  Pending = 0,
  Running = 1,
  Cancelled = 2,
  CancelledAndNotified = 3,
  Finished = 4,
  Completing = 5,
};

class FutureStateWord {
 public:
  static constexpr std::uint32_t kStateMask = 7;
  static constexpr std::uint32_t kWatched = 8;
  static constexpr std::uint32_t kSleepers = 16;  // a thread sleeps in sleep_until_done()

  static FutureState state_of(std::uint32_t word) noexcept {
    return static_cast<FutureState>(word & kStateMask);
  }
  static bool watched(std::uint32_t word) noexcept { return (word & kWatched) != 0; }
  static bool is_done(FutureState state) noexcept {
    return state == FutureState::Cancelled || state == FutureState::CancelledAndNotified ||
           state == FutureState::Finished;
  }

  std::uint32_t load() const noexcept { return word_.load(std::memory_order_acquire); }
  FutureState state() const noexcept { return state_of(load()); }

  // Sets the flag; returns the word as it was.
  std::uint32_t watch() noexcept { return word_.fetch_or(kWatched, std::memory_order_seq_cst); }

  // Moves the state from `from` to `to`, keeping the flags, and wakes the
  // sleepers of a move into a done state. Returns the word seen: the move
  // happened if and only if its state is `from` (then it is the word just
  // before the move, flags included).
  std::uint32_t advance(FutureState from, FutureState to) noexcept {
    std::uint32_t word = word_.load(std::memory_order_relaxed);
    while (state_of(word) == from) {
      const std::uint32_t next = (word & ~kStateMask) | static_cast<std::uint32_t>(to);
      if (word_.compare_exchange_weak(word, next, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
        if (is_done(to) && (word & kSleepers) != 0) futex_wake_all(word_);
        return word;
      }
    }
    return word;
  }

  // Claims the right to store the outcome: Pending or Running -> Completing.
  // Returns the word seen; the claim is held if and only if its state was
  // Pending or Running. The holder must then publish (try_finish()).
  std::uint32_t begin_complete() noexcept {
    std::uint32_t word = word_.load(std::memory_order_relaxed);
    while (state_of(word) == FutureState::Pending || state_of(word) == FutureState::Running) {
      const std::uint32_t next = (word & ~kStateMask) | static_cast<std::uint32_t>(FutureState::Completing);
      if (word_.compare_exchange_weak(word, next, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
        return word;
      }
    }
    return word;
  }

  // Completing -> Finished, publishing what the claim holder stored, if
  // nobody watches the future. Returns false, leaving it Completing, if it
  // is watched: the holder must then take the future's lock and publish
  // with publish_watched() under it.
  bool try_finish() noexcept {
    std::uint32_t word = word_.load(std::memory_order_relaxed);
    while (state_of(word) == FutureState::Completing && !watched(word)) {
      const std::uint32_t next = (word & kSleepers) | static_cast<std::uint32_t>(FutureState::Finished);
      if (word_.compare_exchange_weak(word, next, std::memory_order_seq_cst, std::memory_order_relaxed)) {
        if ((word & kSleepers) != 0) futex_wake_all(word_);
        return true;
      }
    }
    return false;
  }

  // Completing -> Finished for a watched future, under its lock; nothing
  // in any other state. Returns whether it published.
  bool publish_watched() noexcept {
    return state_of(advance(FutureState::Completing, FutureState::Finished)) == FutureState::Completing;
  }

  // Spins a little while for a call about to finish; true once done. A
  // future still queued gets a moment to be taken by a worker, no more: it
  // may wait behind many others, and the spin would take a core from them.
  bool spin_until_done() const noexcept {
    if (!spin_wait([this] { return state() != FutureState::Pending; }, kPendingSpinFor)) return false;
    return spin_wait([this] { return is_done(state()); }, kSpinFor);
  }

  // Sleeps in the kernel until the state is done. Returns Unparked once
  // done; TimedOut at `deadline` (nullptr: no limit) and Interrupted when a
  // signal arrived, with the state possibly still not done.
  ParkResult sleep_until_done(const Deadline* deadline) noexcept {
    std::uint32_t word = load();
    while (!is_done(state_of(word))) {
      if ((word & kSleepers) == 0 &&
          !word_.compare_exchange_weak(word, word | kSleepers, std::memory_order_seq_cst,
                                       std::memory_order_acquire)) {
        continue;  // `word` was reloaded: look again
      }
      const ParkResult r = futex_wait(word_, word | kSleepers, deadline);
      if (r != ParkResult::Unparked) return r;
      word = load();
    }
    return ParkResult::Unparked;
  }

 private:
  // Long enough for a short task that a worker runs now (a submit and its
  // result() one after the other, say), short next to the wake-up it saves
  // (tens of microseconds: a park, a futex wake, a context switch).
  static constexpr std::chrono::microseconds kSpinFor{20};
  static constexpr std::chrono::microseconds kPendingSpinFor{2};

  std::atomic<std::uint32_t> word_{0};
};

static_assert(sizeof(FutureStateWord) == sizeof(std::uint32_t));

}  // namespace kestrum
