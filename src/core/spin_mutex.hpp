#pragma once
// A non-recursive mutex for very short critical sections: it spins a little
// before it parks the thread in the kernel.
//
// Every lock of this module guards a few instructions (a queue push or pop, a
// flag check), so a waiter usually gets the lock within the spin window and
// never pays for a system call. Uncontended lock and unlock are one atomic
// read-modify-write each.
//
// States: 0 unlocked, 1 locked, 2 locked and a thread may be parked on it.
// Memory order: lock() acquires and unlock() releases, so everything done
// under the lock happens-before whatever the next owner does under it.
#include <atomic>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kestrum {

class SpinMutex {
 public:
  SpinMutex() = default;
  SpinMutex(const SpinMutex&) = delete;
  SpinMutex& operator=(const SpinMutex&) = delete;

  void lock() noexcept {
    std::uint32_t expected = 0;
    if (state_.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) [[likely]] {
      return;
    }
    lock_contended();
  }

  bool try_lock() noexcept {
    std::uint32_t expected = 0;
    return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void unlock() noexcept {
    // Only a state of 2 can have a parked thread behind it.
    if (state_.exchange(0, std::memory_order_release) == 2) [[unlikely]] {
      state_.notify_one();
    }
  }

 private:
  static constexpr int kSpins = 100;

  static void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
  }

  void lock_contended() noexcept {
    for (int i = 0; i < kSpins; ++i) {
      // Read before trying, so waiters do not bounce the line between cores.
      if (state_.load(std::memory_order_relaxed) == 0) {
        std::uint32_t expected = 0;
        if (state_.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
      }
      cpu_relax();
    }
    // Mark the lock as contended; whoever unlocks it next will wake one of us.
    while (state_.exchange(2, std::memory_order_acquire) != 0) {
      state_.wait(2, std::memory_order_relaxed);
    }
  }

  std::atomic<std::uint32_t> state_{0};
};

}  // namespace kestrum
