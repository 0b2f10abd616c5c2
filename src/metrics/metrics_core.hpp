#pragma once
// Per-worker statistics of a pool: six arrays of 64-bit counters, one slot per
// worker index, each counter alone in its own cache line so that workers
// bumping their own counters never contend.
//
// Callers may: call anything from any thread at any time; pass any index
// (an index at or beyond the worker count is ignored by writes and reads 0).
// Guarantees: n increments of one slot raise it by exactly n (mod 2^64).
// Memory order: relaxed everywhere. No counter is ordered against another and
// nothing reads two counters as a unit, so relaxed operations give every
// guarantee this class makes.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>

#include "core/cache_line.hpp"
#include "core/nothrow_array.hpp"

namespace kestrum {

struct alignas(kCacheLine) CounterSlot {
  std::atomic<std::uint64_t> value{0};
};
static_assert(sizeof(CounterSlot) == kCacheLine, "a counter must fill its cache line alone");
static_assert(alignof(CounterSlot) == kCacheLine, "a counter must start a cache line");

// One array of counters, allocated once, 64-byte aligned, all zero.
class CounterArray {
 public:
  CounterArray() = default;
  // Allocates nothing for zero workers. Out of memory: an empty array, and
  // allocated() is false.
  explicit CounterArray(std::size_t n) noexcept
      : slots_(n == 0 ? nullptr : new_array_nothrow<CounterSlot>(n)), size_(slots_ ? n : 0),
        allocated_(n == 0 || slots_ != nullptr) {}

  bool allocated() const noexcept { return allocated_; }

  std::size_t size() const noexcept { return size_; }

  void add(std::uint64_t index, std::uint64_t delta) noexcept {
    if (index < size_) slots_[index].value.fetch_add(delta, std::memory_order_relaxed);
  }
  void sub(std::uint64_t index, std::uint64_t delta) noexcept {
    if (index < size_) slots_[index].value.fetch_sub(delta, std::memory_order_relaxed);
  }
  void store(std::uint64_t index, std::uint64_t value) noexcept {
    if (index < size_) slots_[index].value.store(value, std::memory_order_relaxed);
  }
  std::uint64_t load(std::uint64_t index) const noexcept {
    return index < size_ ? slots_[index].value.load(std::memory_order_relaxed) : 0;
  }
  // For tests: the address of a slot.
  const CounterSlot* slot_address(std::size_t index) const noexcept { return &slots_[index]; }

 private:
  std::unique_ptr<CounterSlot[]> slots_;
  std::size_t size_ = 0;
  bool allocated_ = true;
};

class MetricsCore {
 public:
  // Largest worker count whose array size (count x 64 bytes) fits in 2^63 - 64.
  static constexpr std::uint64_t kMaxWorkers = (std::uint64_t{1} << 57) - 1;

  // Throws std::length_error("capacity overflow") above kMaxWorkers, before
  // allocating. Out of memory: `allocated()` is false.
  explicit MetricsCore(std::uint64_t num_threads)
      : active(checked(num_threads)),
        completed(num_threads),
        global_pull(num_threads),
        park(num_threads),
        injection_queue_depth(num_threads),
        remote_schedule(num_threads) {}

  std::size_t num_threads() const noexcept { return active.size(); }
  bool allocated() const noexcept {
    return active.allocated() && completed.allocated() && global_pull.allocated() &&
           park.allocated() && injection_queue_depth.allocated() && remote_schedule.allocated();
  }

  static std::size_t checked(std::uint64_t num_threads) {
    if (num_threads > kMaxWorkers) throw std::length_error("capacity overflow");
    return static_cast<std::size_t>(num_threads);
  }

  void inc_active(std::uint64_t i) noexcept { active.add(i, 1); }
  // Two separate steps: a reader may see the decrement before the increment.
  void dec_active(std::uint64_t i) noexcept {
    active.sub(i, 1);
    completed.add(i, 1);
  }

  CounterArray active;  // first member: checked() runs before any allocation
  CounterArray completed;
  CounterArray global_pull;
  CounterArray park;
  CounterArray injection_queue_depth;
  CounterArray remote_schedule;
};

}  // namespace kestrum
