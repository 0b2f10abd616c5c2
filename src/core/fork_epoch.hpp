#pragma once
// Which process this is as far as fork() goes: a count that goes up in the
// child of every fork. The child has only the thread that forked; state
// that points at the parent's other threads (their stacks, their parkers)
// compares the count it was made in with this one to know it is stale.
#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace kestrum {
namespace detail {

inline std::atomic<std::uint64_t> forks_so_far{0};

inline void count_fork_in_child() noexcept { forks_so_far.fetch_add(1, std::memory_order_relaxed); }

}  // namespace detail

// The count of forks between the first process and this one. The first
// call registers the fork handler that keeps it: call it before anything
// that depends on it can exist (from the constructor of what does).
inline std::uint64_t fork_epoch() noexcept {
  static const bool registered = pthread_atfork(nullptr, nullptr, detail::count_fork_in_child) == 0;
  (void)registered;
  return detail::forks_so_far.load(std::memory_order_relaxed);
}

}  // namespace kestrum
