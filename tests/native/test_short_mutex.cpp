// The cores' mutex: exclusion, and waiters that nap while it is held getting
// it in turn (a missing fence shows as a lost update, or under TSan as a race
// on the plain counter).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "core/short_mutex.hpp"

namespace kestrum::test {
namespace {

TEST(ShortMutex, TryLockFailsWhileHeldAndSucceedsAfter) {
  ShortMutex mu;
  ASSERT_TRUE(mu.try_lock());
  std::thread([&] { EXPECT_FALSE(mu.try_lock()); }).join();
  mu.unlock();
  std::thread([&] {
    EXPECT_TRUE(mu.try_lock());
    mu.unlock();
  }).join();
}

// Owners that hold the lock long enough for every other thread to give up
// spinning and nap: each napper must still get it.
TEST(ShortMutex, NappingWaitersAllGetTheLock) {
  ShortMutex mu;
  std::uint64_t owners = 0;  // plain: guarded by mu
  std::vector<std::thread> threads;
  mu.lock();
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&] {
      std::lock_guard guard(mu);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ++owners;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // all napping by now
  mu.unlock();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(owners, 6u);
}

TEST(ShortMutex, ExclusionUnderHeavyContention) {
  ShortMutex mu;
  constexpr int kThreads = 4;
  constexpr std::uint64_t kRounds = 200000;
  std::uint64_t counter = 0;  // plain: guarded by mu
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::uint64_t i = 0; i < kRounds; ++i) {
        std::lock_guard guard(mu);
        ++counter;
        // Now and then a longer hold, so that waiters reach the nap.
        if ((i + static_cast<std::uint64_t>(t)) % 4096 == 0) std::this_thread::yield();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, kThreads * kRounds);
}

}  // namespace
}  // namespace kestrum::test
