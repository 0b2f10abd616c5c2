#pragma once
// The counting core of a wait group: a 64-bit counter and a list of waiters
// that the done() which brings the counter to zero takes out whole.
//
// Callers must: make every positive add() happen-before the matching
// register_waiter() (the unlocked fast path cannot see a later add); notify
// every entry of a list that done() hands them.
// Guarantees: the counter never leaves [0, 2^64 - 1]; concurrent add()/done()
// are never lost. An entry queued while the counter was non-zero (seen under
// the lock) and not unregistered since is in the list handed out by the
// done() that next reaches zero, and in no other; that done() reached zero
// after the entry was queued (the step to zero and the hand-out happen
// together under the lock). add()/done() take no lock unless done() takes
// the counter from 1 to 0. No entry is created, copied
// or destroyed under the lock: removed entries are moved out to the caller.
// Nothing throws: running out of memory is reported as a result, since a
// first C++ throw on a thread needs memory of its own.
// Memory order: counter updates are acq_rel, so what a thread did before its
// done() is visible to the thread that receives the waiter list from the
// done() that reaches zero.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "core/cache_line.hpp"
#include "core/ring_buffer.hpp"
#include "core/short_mutex.hpp"

namespace kestrum {

enum class AddResult { Ok, Overflow, Underflow };
enum class DoneResult {
  NotZero,    // the counter is still above zero
  ReachedZero,  // this call brought it to zero; the waiter list was moved out
  Underflow,  // the counter was already zero; nothing changed
};
enum class RegisterResult {
  Zero,         // the counter is zero; the entry stays with the caller
  Queued,       // the entry was moved into the list
  OutOfMemory,  // the list could not grow; the entry stays with the caller
};

template <class Entry>
class WaitGroupCore {
 public:
  using List = RingBuffer<Entry>;

  AddResult add(std::int64_t delta) noexcept {
    if (delta >= 0) return put(static_cast<std::uint64_t>(delta));
    // Magnitude of a negative int64 without overflow (covers -2^63).
    const std::uint64_t down = std::uint64_t{0} - static_cast<std::uint64_t>(delta);
    std::uint64_t current = counter_.load(std::memory_order_relaxed);
    do {
      if (current < down) return AddResult::Underflow;
    } while (!counter_.compare_exchange_weak(current, current - down, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
    return AddResult::Ok;
  }

  // Adds `up` jobs, the whole range of the counter: Overflow, and the
  // counter unchanged, if it would pass 2^64 - 1.
  AddResult put(std::uint64_t up) noexcept {
    std::uint64_t current = counter_.load(std::memory_order_relaxed);
    do {
      if (current > UINT64_MAX - up) return AddResult::Overflow;
    } while (!counter_.compare_exchange_weak(current, current + up, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
    return AddResult::Ok;
  }

  // Takes one off the counter. On ReachedZero, `waiters` (empty on entry)
  // receives the whole list in registration order.
  DoneResult done(List& waiters) noexcept { return take(1, waiters); }

  // Takes `down` (>= 1) off the counter in one step, or nothing if the
  // counter is below `down` (Underflow). Like done(), the call that brings
  // the counter to zero takes the list: a negative add() that must wake
  // the waiters when it reaches zero, without a moment at which the counter
  // shows a value it never had.
  DoneResult take(std::uint64_t down, List& waiters) noexcept {
    std::uint64_t current = counter_.load(std::memory_order_relaxed);
    // Lock-free while the counter stays above zero.
    while (current > down) {
      if (counter_.compare_exchange_weak(current, current - down, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
        return DoneResult::NotZero;
      }
    }
    if (current < down) return DoneResult::Underflow;
    // This call may reach zero: do it under the waiters lock, so that the
    // step to zero and taking the list are one step for register_waiter(),
    // which checks the counter under the same lock. Taking the list after
    // the lock-free step instead would let an add() plus register_waiter()
    // in between queue an entry whose own job is still counted, and have it
    // handed out here, early.
    std::lock_guard guard(mu_);
    current = counter_.load(std::memory_order_relaxed);
    do {
      if (current < down) return DoneResult::Underflow;
    } while (!counter_.compare_exchange_weak(current, current - down, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
    if (current != down) return DoneResult::NotZero;  // an add() came in meanwhile
    waiters.swap(waiters_);
    return DoneResult::ReachedZero;
  }

  // Queues `entry` unless the counter is zero.
  RegisterResult register_waiter(Entry& entry) noexcept {
    if (counter_.load(std::memory_order_acquire) == 0) return RegisterResult::Zero;
    std::lock_guard guard(mu_);
    // Re-check under the lock: a done() that reaches zero does so under this
    // same lock and takes the list with it, so we either see zero or land in
    // the list of a done() that comes after us.
    if (counter_.load(std::memory_order_acquire) == 0) return RegisterResult::Zero;
    return waiters_.push_back(entry) ? RegisterResult::Queued : RegisterResult::OutOfMemory;
  }

  // Moves every entry for which `matches(entry)` holds to the back of
  // `removed`, keeping the others in order. `matches` must be a plain
  // comparison. Returns false, changing nothing, if `removed` can't grow.
  template <class Pred>
  [[nodiscard]] bool unregister_if(Pred matches, List& removed) noexcept {
    std::lock_guard guard(mu_);
    std::size_t found = 0;
    for (std::size_t i = 0; i < waiters_.size(); ++i) found += matches(waiters_[i]) ? 1 : 0;
    if (found == 0) return true;
    if (!removed.reserve(removed.size() + found)) return false;
    // One turn of the ring: every entry leaves the front and the kept ones
    // go round to the back, which needs no new room.
    for (std::size_t left = waiters_.size(); left > 0; --left) {
      Entry e = waiters_.pop_front();
      (void)(matches(e) ? removed.push_back(e) : waiters_.push_back(e));
    }
    return true;
  }

  // Puts entries taken by done() back at the front of the list, in order,
  // for when the caller could not hand them on. Returns false, leaving them
  // with the caller, only if the merged list can't be allocated.
  [[nodiscard]] bool put_back_front(List& entries) noexcept {
    std::lock_guard guard(mu_);
    if (!entries.reserve(entries.size() + waiters_.size())) return false;
    while (!waiters_.empty()) {
      Entry e = waiters_.pop_front();
      (void)entries.push_back(e);  // cannot fail: room reserved above
    }
    waiters_.swap(entries);
    return true;
  }

  std::uint64_t counter() const noexcept { return counter_.load(std::memory_order_acquire); }

 private:
  // Counter and list in separate cache lines: add()/done() traffic on the
  // counter does not slow down registrations, and vice versa.
  alignas(kCacheLine) std::atomic<std::uint64_t> counter_{0};
  alignas(kCacheLine) ShortMutex mu_;
  List waiters_;  // guarded by mu_
};

}  // namespace kestrum
