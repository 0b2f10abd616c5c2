// Per-worker counters: exact counts under contention, one cache line per
// counter, out-of-range indices, wrap-around and the size check.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "metrics/metrics_core.hpp"

namespace kestrum::test {
namespace {

constexpr CounterArray MetricsCore::*kArrays[] = {
    &MetricsCore::active,    &MetricsCore::completed,
    &MetricsCore::global_pull, &MetricsCore::park,
    &MetricsCore::injection_queue_depth, &MetricsCore::remote_schedule};

TEST(Metrics, ConcurrentIncrementsAreNeverLost) {
  MetricsCore m(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&m] {
      for (int i = 0; i < 100000; ++i) m.park.add(3, 1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(m.park.load(3), 800000u);
}

// Each slot of each array is its own aligned cache line holding its own
// value; indices at or past the worker count write nowhere and read 0.
TEST(Metrics, SlotsAreSeparateAlignedLines) {
  MetricsCore m(3), none(0);
  std::uint64_t value = 0;
  for (CounterArray MetricsCore::*array : kArrays) {
    CounterArray& a = m.*array;
    for (std::uint64_t i = 0; i < 3; ++i) {
      const auto addr = reinterpret_cast<std::uintptr_t>(a.slot_address(i));
      EXPECT_EQ(addr % 64, 0u);
      EXPECT_EQ(i == 0 ? 64 : addr - reinterpret_cast<std::uintptr_t>(a.slot_address(i - 1)), 64u);
      a.add(i, ++value);
    }
    for (std::uint64_t bad : {std::uint64_t{3}, std::uint64_t{4}, UINT64_MAX}) {
      a.add(bad, 1);
      a.store(bad, 1);
      EXPECT_EQ(a.load(bad), 0u);
    }
    (none.*array).add(0, 1);
    EXPECT_EQ((none.*array).load(0), 0u);
  }
  value = 0;
  for (CounterArray MetricsCore::*array : kArrays) {
    for (std::uint64_t i = 0; i < 3; ++i) EXPECT_EQ((m.*array).load(i), ++value);
  }
}

TEST(Metrics, ArithmeticWrapsModulo2To64) {
  MetricsCore m(2);
  m.dec_active(1);
  EXPECT_EQ(m.active.load(1), UINT64_MAX);
  EXPECT_EQ(m.completed.load(1), 1u);
  m.inc_active(0);
  m.dec_active(0);
  EXPECT_EQ(m.active.load(0), 0u);
  EXPECT_EQ(m.completed.load(0), 1u);
  m.injection_queue_depth.store(0, UINT64_MAX);
  m.injection_queue_depth.add(0, 1);
  EXPECT_EQ(m.injection_queue_depth.load(0), 0u);
}

// The check comes before any allocation: 2^57 slots would be 2^63 bytes.
TEST(Metrics, SizeCheckStopsAt2To57) {
  constexpr std::uint64_t kLargest = (std::uint64_t{1} << 57) - 1;
  EXPECT_EQ(MetricsCore::checked(kLargest), kLargest);
  for (std::uint64_t n : {kLargest + 1, UINT64_MAX}) {
    try {
      MetricsCore m(n);
      ADD_FAILURE() << "built metrics for " << n << " workers";
    } catch (const std::length_error& e) {
      EXPECT_STREQ(e.what(), "capacity overflow");
    }
  }
}

}  // namespace
}  // namespace kestrum::test
