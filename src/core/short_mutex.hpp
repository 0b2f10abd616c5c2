#pragma once
// A non-recursive mutex for very short critical sections: a thread that
// finds it taken looks once more, then naps (a short sleep, growing) until
// the lock is free.
//
// Every lock of this module guards a few instructions (a queue push or pop, a
// flag check). Uncontended, lock() is one compare-and-swap and unlock() a
// plain release store: nobody sleeps waiting to be woken, so unlock() never
// has to find out whether someone does (an extra read-modify-write on every
// unlock, 5 ns on the machines we measure).
//
// Why no spinning before the nap: when two threads take turns on one lock at
// full speed (a producer and a consumer on one channel, two threads sharing
// one queue), a waiter that keeps trying pulls the lock's cache line away
// from the owner on every try, and both crawl at the speed of line transfers
// between cores. A waiter that steps aside at once lets the owner run on
// alone for a while with the line in its own cache, and the pair gets
// several times the throughput. On free-threaded 3.14, 2 cores, two threads
// sharing one FastChannel make 9.5-10.8 M send+receive pairs a second in
// every run this way; with 8 tries before the nap, 2.5-9 M, swinging between
// runs as the two threads fell into lock-step or not (128 tries and yields:
// slower still; a futex hand-over, which adds the sleeper check to unlock(),
// slower again). The price is paid by a waiter under contention only: it may
// sleep a little longer than the lock stays held.
//
// Memory order: lock() acquires and unlock() releases, so everything done
// under the lock happens-before whatever the next owner does under it.
#include <atomic>
#include <chrono>
#include <thread>


namespace kestrum {

class ShortMutex {
 public:
  ShortMutex() = default;
  ShortMutex(const ShortMutex&) = delete;
  ShortMutex& operator=(const ShortMutex&) = delete;

  void lock() noexcept {
    if (try_lock()) [[likely]] return;
    lock_contended();
  }

  bool try_lock() noexcept {
    bool expected = false;
    return locked_.compare_exchange_weak(expected, true, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }

  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  static constexpr std::chrono::microseconds kLongestNap{200};

  // Reads first, so that waiters do not bounce the cache line between cores
  // with failing compare-and-swaps.
  bool try_if_free() noexcept { return !locked_.load(std::memory_order_relaxed) && try_lock(); }

  void lock_contended() noexcept {
    std::chrono::microseconds nap{1};
    while (!try_if_free()) {
      std::this_thread::sleep_for(nap);
      if (nap < kLongestNap) nap *= 2;
    }
  }

  std::atomic<bool> locked_{false};
};

}  // namespace kestrum
