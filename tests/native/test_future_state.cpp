// The state word of a pool future: which transitions each state allows, and
// the watched-flag protocol against a runner, a canceller and a lock-holding
// watcher racing on every round.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pool/future_state_core.hpp"

namespace kestrum::test {
namespace {

using S = FutureState;

S state_of(std::uint32_t word) { return FutureStateWord::state_of(word); }

TEST(FutureStateWord, TransitionsOnlyFromTheirOwnState) {
  FutureStateWord w;
  EXPECT_EQ(state_of(w.advance(S::Running, S::Finished)), S::Pending) << "not from Pending";
  EXPECT_EQ(w.state(), S::Pending);
  EXPECT_EQ(state_of(w.advance(S::Pending, S::Running)), S::Pending);
  EXPECT_EQ(state_of(w.advance(S::Pending, S::Cancelled)), S::Running) << "a running future can't be cancelled";
  EXPECT_EQ(state_of(w.begin_complete()), S::Running);
  EXPECT_EQ(w.state(), S::Completing);
  EXPECT_FALSE(FutureStateWord::is_done(w.state())) << "Completing is not done yet";
  EXPECT_EQ(state_of(w.begin_complete()), S::Completing) << "only one thread may hold the claim";
  EXPECT_TRUE(w.try_finish());
  EXPECT_EQ(w.state(), S::Finished);
  EXPECT_FALSE(w.publish_watched()) << "nothing to publish any more";
  EXPECT_EQ(state_of(w.begin_complete()), S::Finished);
}

TEST(FutureStateWord, AWatchedFutureIsPublishedOnlyUnderItsLock) {
  FutureStateWord w;
  EXPECT_FALSE(FutureStateWord::watched(w.watch()));
  EXPECT_EQ(state_of(w.begin_complete()), S::Pending) << "completing straight from Pending, as set_result may";
  EXPECT_FALSE(w.try_finish()) << "the fast path must refuse a watched future";
  EXPECT_EQ(w.state(), S::Completing);
  EXPECT_TRUE(w.publish_watched());
  EXPECT_EQ(w.state(), S::Finished);
  EXPECT_TRUE(FutureStateWord::watched(w.load())) << "the flag stays";
}

TEST(FutureStateWord, CancelReportsTheFlagAndBlocksTheRun) {
  FutureStateWord w;
  (void)w.watch();
  const std::uint32_t seen = w.advance(S::Pending, S::Cancelled);
  EXPECT_EQ(state_of(seen), S::Pending);
  EXPECT_TRUE(FutureStateWord::watched(seen));
  EXPECT_EQ(state_of(w.advance(S::Pending, S::Running)), S::Cancelled);
  EXPECT_EQ(state_of(w.begin_complete()), S::Cancelled);
  EXPECT_EQ(state_of(w.advance(S::Cancelled, S::CancelledAndNotified)), S::Cancelled);
  EXPECT_TRUE(FutureStateWord::is_done(w.state()));
}

// One future per round: a runner, a canceller and a watcher start together.
// The watcher behaves as the Python layer's waiters do: flag, lock, read the
// state twice (they must agree while the lock is held), then wait on a
// condition variable until done. The runner publishes lock-free unless the
// future is watched, else under the lock, and notifies; the canceller
// notifies under the lock when it saw the flag. Every round must end with the
// watcher woken, exactly one of run and cancel having won, and the payload
// visible to whoever saw Finished.
TEST(FutureStateWord, RacingRunCancelAndWatchLoseNoWakeUp) {
  constexpr int kRounds = 3000;
  int runs = 0, cancels = 0;
  for (int round = 0; round < kRounds; ++round) {
    FutureStateWord w;
    std::mutex mu;
    std::condition_variable cv;
    int payload = 0;  // plain memory: published by the state word alone
    std::atomic<int> ready{0};
    bool ran = false, cancelled = false, watcher_done = false, stable = true;
    int watcher_payload = -1;
    auto start = [&] {
      ready.fetch_add(1);
      while (ready.load() < 3) std::this_thread::yield();
    };
    std::thread runner([&] {
      start();
      if (state_of(w.advance(S::Pending, S::Running)) != S::Pending) return;
      ran = true;
      if (state_of(w.begin_complete()) != S::Running) return;
      payload = round + 1;
      if (!w.try_finish()) {
        std::lock_guard lock(mu);
        EXPECT_TRUE(w.publish_watched());
        cv.notify_all();
      }
    });
    std::thread canceller([&] {
      start();
      const std::uint32_t seen = w.advance(S::Pending, S::Cancelled);
      if (state_of(seen) != S::Pending) return;
      cancelled = true;
      if (FutureStateWord::watched(seen)) {
        std::lock_guard lock(mu);
        cv.notify_all();
      }
    });
    std::thread watcher([&] {
      start();
      (void)w.watch();
      std::unique_lock lock(mu);
      const S first = w.state();
      const S second = w.state();
      stable = first == second || !FutureStateWord::is_done(second) ||
               second == S::Cancelled;  // cancelling needs no lock
      watcher_done = cv.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return FutureStateWord::is_done(w.state()); });
      if (w.state() == S::Finished) watcher_payload = payload;
    });
    runner.join();
    canceller.join();
    watcher.join();
    ASSERT_TRUE(watcher_done) << "lost wake-up in round " << round;
    ASSERT_TRUE(stable) << "the state became finished under the lock in round " << round;
    ASSERT_NE(ran, cancelled) << "round " << round;
    if (ran) {
      ASSERT_EQ(w.state(), S::Finished);
      ASSERT_EQ(watcher_payload, round + 1);
    }
    runs += ran;
    cancels += cancelled;
  }
  EXPECT_EQ(runs + cancels, kRounds);
}

Deadline in_ms(int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

TEST(FutureStateWord, ASleeperTimesOutOnAFutureThatStaysPending) {
  FutureStateWord w;
  const auto start = std::chrono::steady_clock::now();
  const Deadline deadline = in_ms(50);
  EXPECT_FALSE(w.spin_until_done());
  EXPECT_EQ(w.sleep_until_done(&deadline), ParkResult::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now(), deadline);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(w.state(), S::Pending) << "sleeping changes no state";
  EXPECT_EQ(state_of(w.advance(S::Pending, S::Running)), S::Pending);
}

// Every way into a done state must wake the threads asleep on the word:
// the lock-free finish, the finish under the lock of a watched future, and
// a cancel. In three rounds of four the finishing thread waits until a
// sleeper has announced itself (the Sleepers bit), so that the finish finds
// somebody asleep or about to be; in the fourth they race from the start.
class SleepersAreWoken : public ::testing::TestWithParam<const char*> {};

TEST_P(SleepersAreWoken, ByEveryMoveIntoADoneState) {
  const std::string how = GetParam();
  constexpr int kRounds = 1000, kSleepers = 3;
  for (int round = 0; round < kRounds; ++round) {
    FutureStateWord w;
    int payload = 0;  // published by the state word alone
    std::atomic<int> ready{0}, woken{0};
    auto start = [&] {
      ready.fetch_add(1);
      while (ready.load() < kSleepers + 1) std::this_thread::yield();
    };
    std::vector<std::thread> sleepers;
    std::vector<int> seen(kSleepers, -1);
    for (int i = 0; i < kSleepers; ++i) {
      sleepers.emplace_back([&, i] {
        start();
        const Deadline deadline = in_ms(10000);
        if (w.sleep_until_done(&deadline) == ParkResult::Unparked) {
          woken.fetch_add(1);
          if (w.state() == S::Finished) seen[i] = payload;
        }
      });
    }
    start();
    if (round % 4 != 0) {
      while ((w.load() & FutureStateWord::kSleepers) == 0) std::this_thread::yield();
    }
    if (how == "cancel") {
      EXPECT_EQ(state_of(w.advance(S::Pending, S::Cancelled)), S::Pending);
    } else {
      if (how == "watched") (void)w.watch();
      (void)w.begin_complete();
      payload = round + 1;
      if (!w.try_finish()) {
        EXPECT_TRUE(w.publish_watched());
      }
    }
    for (auto& t : sleepers) t.join();
    ASSERT_EQ(woken.load(), kSleepers) << "lost wake-up in round " << round;
    for (int got : seen) ASSERT_EQ(got, how == "cancel" ? -1 : round + 1) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(FutureStateWord, SleepersAreWoken, ::testing::Values("finish", "watched", "cancel"));

}  // namespace
}  // namespace kestrum::test
