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
// Memory order: counter updates are acq_rel, so what a thread did before its
// done() is visible to the thread that receives the waiter list from the
// done() that reaches zero.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "core/cache_line.hpp"
#include "core/spin_mutex.hpp"

namespace kestrum {

enum class AddResult { Ok, Overflow, Underflow };
enum class DoneResult {
  NotZero,    // the counter is still above zero
  ReachedZero,  // this call brought it to zero; the waiter list was moved out
  Underflow,  // the counter was already zero; nothing changed
};

template <class Entry>
class WaitGroupCore {
 public:
  AddResult add(std::int64_t delta) noexcept {
    std::uint64_t current = counter_.load(std::memory_order_relaxed);
    if (delta >= 0) {
      const auto up = static_cast<std::uint64_t>(delta);
      do {
        if (current > UINT64_MAX - up) return AddResult::Overflow;
      } while (!counter_.compare_exchange_weak(current, current + up, std::memory_order_acq_rel,
                                               std::memory_order_relaxed));
    } else {
      // Magnitude of a negative int64 without overflow (covers -2^63).
      const std::uint64_t down = std::uint64_t{0} - static_cast<std::uint64_t>(delta);
      do {
        if (current < down) return AddResult::Underflow;
      } while (!counter_.compare_exchange_weak(current, current - down, std::memory_order_acq_rel,
                                               std::memory_order_relaxed));
    }
    return AddResult::Ok;
  }

  // On ReachedZero, `waiters` (empty on entry) receives the whole list in
  // registration order.
  DoneResult done(std::vector<Entry>& waiters) noexcept {
    std::uint64_t current = counter_.load(std::memory_order_relaxed);
    // Lock-free while the counter stays above zero.
    while (current > 1) {
      if (counter_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
        return DoneResult::NotZero;
      }
    }
    if (current == 0) return DoneResult::Underflow;
    // This call may reach zero: do it under the waiters lock, so that the
    // step to zero and taking the list are one step for register_waiter(),
    // which checks the counter under the same lock. Taking the list after
    // the lock-free step instead would let an add() plus register_waiter()
    // in between queue an entry whose own job is still counted, and have it
    // handed out here, early.
    std::lock_guard guard(mu_);
    current = counter_.load(std::memory_order_relaxed);
    do {
      if (current == 0) return DoneResult::Underflow;
    } while (!counter_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
    if (current != 1) return DoneResult::NotZero;  // an add() came in meanwhile
    waiters.swap(waiters_);
    return DoneResult::ReachedZero;
  }

  // Returns true if the counter is zero: `entry` is left with the caller.
  // Returns false if the entry was queued (moved from `entry`).
  // Throws std::bad_alloc if the list can't grow; `entry` stays with the caller.
  bool register_waiter(Entry& entry) {
    if (counter_.load(std::memory_order_acquire) == 0) return true;
    std::lock_guard guard(mu_);
    // Re-check under the lock: a done() that reached zero takes the list
    // under this same lock, so we either see zero or land in its list.
    if (counter_.load(std::memory_order_acquire) == 0) return true;
    waiters_.push_back(std::move(entry));
    return false;
  }

  // Moves every entry for which `matches(entry)` holds into `removed`,
  // keeping the others in order. `matches` must be a plain comparison.
  template <class Pred>
  void unregister_if(Pred matches, std::vector<Entry>& removed) {
    std::lock_guard guard(mu_);
    std::size_t found = 0;
    for (const Entry& e : waiters_) found += matches(e) ? 1 : 0;
    if (found == 0) return;
    removed.reserve(removed.size() + found);  // may throw before anything moved
    std::size_t keep = 0;
    for (std::size_t i = 0; i < waiters_.size(); ++i) {
      if (matches(waiters_[i])) {
        removed.push_back(std::move(waiters_[i]));
      } else {
        if (keep != i) waiters_[keep] = std::move(waiters_[i]);
        ++keep;
      }
    }
    waiters_.resize(keep);  // only moved-from entries are dropped
  }

  // Puts entries taken by done() back at the front of the list, in order,
  // for when the caller could not hand them on. Returns false, leaving them
  // with the caller, only if the merged list can't be allocated.
  bool put_back_front(std::vector<Entry>& entries) noexcept {
    std::lock_guard guard(mu_);
    if (waiters_.empty()) {
      waiters_.swap(entries);
      return true;
    }
    try {
      entries.reserve(entries.size() + waiters_.size());
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (Entry& e : waiters_) entries.push_back(std::move(e));
    waiters_.swap(entries);
    entries.clear();  // moved-from entries only
    return true;
  }

  std::uint64_t counter() const noexcept { return counter_.load(std::memory_order_acquire); }

 private:
  // Counter and list in separate cache lines: add()/done() traffic on the
  // counter does not slow down registrations, and vice versa.
  alignas(kCacheLine) std::atomic<std::uint64_t> counter_{0};
  alignas(kCacheLine) SpinMutex mu_;
  std::vector<Entry> waiters_;  // guarded by mu_
};

}  // namespace kestrum
