#pragma once
// Spin-waiting: reading shared state in a loop, for waits expected to end
// within microseconds, where parking and being woken would cost tens.
#include <chrono>

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

// Spins until `ready()` is true (returns true) or `budget` has passed
// (returns false). Bounded by time, not by rounds: one pause lasts from a
// few cycles to over a hundred, depending on the processor.
template <class Ready>
bool spin_wait(Ready&& ready, std::chrono::nanoseconds budget) noexcept {
  constexpr int kRoundsBetweenClockReads = 16;
  const auto until = std::chrono::steady_clock::now() + budget;
  for (;;) {
    for (int i = 0; i < kRoundsBetweenClockReads; ++i) {
      if (ready()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= until) return ready();
  }
}

}  // namespace kestrum
