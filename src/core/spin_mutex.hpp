#pragma once
// A non-recursive mutex for very short critical sections: it spins a little,
// then yields, then sleeps in short growing naps until the lock is free.
//
// Every lock of this module guards a few instructions (a queue push or pop, a
// flag check), so a waiter nearly always gets the lock within the spin
// window. A waiter only gets past it when the owner was preempted, and then
// giving the CPU away is exactly what helps the owner finish.
//
// Uncontended, lock() is one compare-and-swap and unlock() a plain release
// store. Because nobody parks in the kernel waiting for a wake-up, unlock()
// never has to find out whether someone is asleep, which would cost a second
// read-modify-write on every unlock.
//
// Memory order: lock() acquires and unlock() releases, so everything done
// under the lock happens-before whatever the next owner does under it.
#include <atomic>
#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kestrum {

// Tells the core that this thread is spin-waiting: the sibling hyper-thread
// gets the execution units, and leaving the loop costs no mis-speculation.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

class SpinMutex {
 public:
  SpinMutex() = default;
  SpinMutex(const SpinMutex&) = delete;
  SpinMutex& operator=(const SpinMutex&) = delete;

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
  static constexpr int kSpins = 128;
  static constexpr int kYields = 8;
  static constexpr std::chrono::microseconds kLongestNap{200};

  // Read until the lock looks free, then try once. Reading first keeps the
  // waiters from bouncing the cache line between cores.
  bool spin_once() noexcept {
    for (int i = 0; i < kSpins; ++i) {
      if (!locked_.load(std::memory_order_relaxed) && try_lock()) return true;
      cpu_relax();
    }
    return false;
  }

  void lock_contended() noexcept {
    if (spin_once()) return;
    for (int i = 0; i < kYields; ++i) {
      std::this_thread::yield();
      if (spin_once()) return;
    }
    std::chrono::microseconds nap{1};
    while (true) {
      std::this_thread::sleep_for(nap);
      if (spin_once()) return;
      if (nap < kLongestNap) nap *= 2;
    }
  }

  std::atomic<bool> locked_{false};
};

}  // namespace kestrum
