// The work-stealing scheduling core: stealing, pinned tasks and their
// overflow, the parking protocol, close, and threads racing all of them.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "counting_item.hpp"
#include "pool/stealing_pool_core.hpp"

namespace kestrum::test {
namespace {

using Pool = StealingPoolCore<Item>;
using Ids = std::vector<std::uint64_t>;
constexpr std::uint64_t kNone = Pool::kNoWorker;

// Pushes `id` to the shared queue (index kNone) or pinned to `index`;
// returns the worker the push claimed.
std::uint64_t push(Pool& pool, std::uint64_t index, std::uint64_t id,
                   PushResult expect = PushResult::Accepted) {
  Item task(id);
  std::uint64_t wake = 0;
  const PushResult r = index == kNone ? pool.push(task, wake) : pool.push_to(index, task, wake);
  EXPECT_EQ(r, expect);
  EXPECT_EQ(task.id(), r == PushResult::Accepted ? 0 : id) << "a refused task must stay untouched";
  return wake;
}
Ids pop(Pool& pool, std::uint64_t index, int n = 1, PopResult none = PopResult::Idle) {
  Ids got;
  for (Item out; n-- > 0; out.reset()) {
    const PopResult r = pool.pop(index, out, nullptr);
    EXPECT_EQ(r, out.id() != 0 ? PopResult::Task : none);
    got.push_back(out.id());
  }
  return got;
}

class StealingPoolTest : public CountingTest {};

// Worker 0 pulls a batch and keeps it in its run queue; worker 1 steals the
// older half of what is left, then the rest, oldest first.
TEST_F(StealingPoolTest, IdleWorkerStealsHalfOfAVictimsRunQueue) {
  Pool pool(2);
  for (std::uint64_t id = 1; id <= 10; ++id) push(pool, kNone, id);
  EXPECT_EQ(pop(pool, 0), Ids{1});         // pulls 10 / 2 + 1 = 6: 2..6 stay queued
  EXPECT_EQ(pop(pool, 1), Ids{7});         // its own pull of 4 / 2 + 1 = 3
  EXPECT_EQ(pop(pool, 1, 2), (Ids{8, 9}));
  EXPECT_EQ(pop(pool, 1), Ids{10});        // the last of the shared queue
  EXPECT_EQ(pop(pool, 1), Ids{2});         // steals 2, 3, 4 (half of five, rounded up)
  EXPECT_EQ(pool.steals(1), 3u);
  EXPECT_EQ(pop(pool, 0, 2), (Ids{5, 6}));
  EXPECT_EQ(pop(pool, 1, 3), (Ids{3, 4, 0}));
  EXPECT_EQ(pool.counters().global_pull.load(0), 6u);
}

// Pinned tasks are never stolen; the 257th overflows to the shared queue,
// where another worker takes it, and that push claims any parked worker.
TEST_F(StealingPoolTest, PinnedTasksStayUnlessTheyOverflow) {
  Pool pool(2);
  EXPECT_EQ(pool.park(1), ParkDecision::Parked);
  for (std::uint64_t id = 1; id <= 256; ++id) EXPECT_EQ(push(pool, 0, id), kNone);
  EXPECT_EQ(push(pool, 0, 257), 1u) << "the overflow must wake an idle worker";
  EXPECT_EQ(pop(pool, 1, 2), (Ids{257, 0}));
  EXPECT_EQ(pool.counters().remote_schedule.load(0), 256u);
  EXPECT_EQ(pop(pool, 0, 1), Ids{1});
  push(pool, 2, 9, PushResult::IndexOutOfRange);
  pool.close();
  EXPECT_EQ(pop(pool, 1, 1, PopResult::Closed), Ids{0});  // nothing it could run
  Ids rest = pop(pool, 0, 256, PopResult::Closed);
  EXPECT_EQ(rest.front(), 2u);
  EXPECT_EQ(rest.back(), 0u);
}

// A pinned push claims its own worker only; park() sees work queued before
// it and a claim that raced it.
TEST_F(StealingPoolTest, ParkingClaimsAndRechecks) {
  Pool pool(3);
  EXPECT_EQ(pool.park(0), ParkDecision::Parked);
  EXPECT_EQ(pool.park(2), ParkDecision::Parked);
  EXPECT_EQ(push(pool, 0, 1), 0u);
  EXPECT_EQ(push(pool, kNone, 2), 2u);
  EXPECT_EQ(push(pool, kNone, 3), kNone);  // nobody left parked
  EXPECT_EQ(pool.park(1), ParkDecision::Retry);  // work is queued
  EXPECT_EQ(pop(pool, 1, 3), (Ids{2, 3, 0}));
  EXPECT_EQ(pool.park(0), ParkDecision::Retry);  // its pinned task
  EXPECT_EQ(pop(pool, 0, 2), (Ids{1, 0}));
  EXPECT_EQ(pool.park(1), ParkDecision::Parked);
  EXPECT_EQ(pool.claim_parked(), 1u);
  EXPECT_EQ(pool.claim_parked(), kNone);
  pool.close();
  EXPECT_EQ(pool.park(2), ParkDecision::Retry);  // closed: look again, find Closed
  EXPECT_EQ(pop(pool, 2, 1, PopResult::Closed), Ids{0});
  push(pool, kNone, 4, PushResult::Closed);
  push(pool, 1, 5, PushResult::Closed);
  EXPECT_TRUE(pool.is_closed());
}

// A worker about to park spins for work it could be handed: a task pushed
// meanwhile (by another thread) or the close ends the spin at once; a task
// pinned to another worker does not; otherwise it gives up after its budget.
TEST_F(StealingPoolTest, WorkSoonSeesWhatTheWorkerCouldTakeAndTheClose) {
  using namespace std::chrono_literals;
  Pool pool(2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(pool.work_soon(0, 2ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2ms);
  push(pool, 1, 1);
  EXPECT_FALSE(pool.work_soon(0, 1ms)) << "worker 1's pinned task is not worker 0's";
  EXPECT_TRUE(pool.work_soon(1, 0ms));
  EXPECT_EQ(pop(pool, 1), Ids{1});
  std::thread pusher([&] {
    std::this_thread::sleep_for(1ms);
    push(pool, kNone, 2);
  });
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(pool.work_soon(0, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  pusher.join();
  EXPECT_EQ(pop(pool, 0), Ids{2});
  pool.close();
  EXPECT_TRUE(pool.work_soon(0, 10s)) << "closed: look again, find Closed";
}

// At most half the workers spin. A push counts on a spinner before it wakes
// a parked worker, and that spinner then looks again; the next push, with
// no spinner left to count on, claims the parked one.
TEST_F(StealingPoolTest, APushCountsOnASpinnerBeforeItWakesAParkedWorker) {
  using namespace std::chrono_literals;
  Pool pool(4);
  EXPECT_EQ(pool.park(3), ParkDecision::Parked);
  std::atomic<int> spinning{0};
  std::atomic<bool> looked_again{false};
  std::vector<std::thread> spinners;
  for (std::uint64_t i = 0; i < 2; ++i) {
    spinners.emplace_back([&, i] {
      spinning.fetch_add(1);
      looked_again = pool.work_soon(i, 20s);
    });
  }
  while (spinning.load() < 2) std::this_thread::yield();
  std::this_thread::sleep_for(50ms);  // both inside their spin by now
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(pool.work_soon(2, 10s)) << "a third spinner of four workers";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(push(pool, kNone, 1), kNone) << "a spinner takes it, no wake-up";
  for (auto& t : spinners) t.join();
  EXPECT_TRUE(looked_again.load());
  EXPECT_EQ(push(pool, kNone, 2), 3u) << "nobody spins: the parked worker is claimed";
  EXPECT_EQ(pop(pool, 0, 3), (Ids{1, 2, 0}));
}

// A batch lands in order and in one piece; a refused one stays with the
// caller. The caller claims parked workers for it afterwards.
TEST_F(StealingPoolTest, PushManyIsAllOrNothing) {
  Pool pool(2);
  EXPECT_EQ(pool.park(1), ParkDecision::Parked);
  std::vector<Item> batch;
  for (std::uint64_t id = 1; id <= 5; ++id) batch.emplace_back(id);
  EXPECT_EQ(pool.push_many(batch.data(), batch.size()), PushResult::Accepted);
  for (const Item& item : batch) EXPECT_EQ(item.id(), 0u);
  EXPECT_EQ(pool.park(0), ParkDecision::Retry);
  EXPECT_EQ(pool.claim_parked(), 1u);
  EXPECT_EQ(pop(pool, 1, 6), (Ids{1, 2, 3, 4, 5, 0}));
  pool.close();
  std::vector<Item> late;
  late.emplace_back(6);
  EXPECT_EQ(pool.push_many(late.data(), late.size()), PushResult::Closed);
  EXPECT_EQ(late[0].id(), 6u);
}

TEST_F(StealingPoolTest, NonWorkerIndexTakesSharedAndStolenWork) {
  Pool pool(2);
  for (std::uint64_t id = 1; id <= 4; ++id) push(pool, kNone, id);
  EXPECT_EQ(pop(pool, 0), Ids{1});  // 2, 3 stay in worker 0's run queue
  EXPECT_EQ(pop(pool, 7, 4), (Ids{4, 2, 3, 0}));
  EXPECT_EQ(pool.park(7), ParkDecision::Retry);
  EXPECT_THROW(Pool(std::uint64_t{1} << 32), std::length_error);
}

// Workers that park on a real wait when park() says so, pushers on several
// threads (shared and pinned), and a close in the middle: every accepted
// task runs exactly once and every worker retires, so no wake-up was lost
// and close() stranded nothing.
struct Parker {
  std::mutex mu;
  std::condition_variable cv;
  bool token = false;
  bool blocked = false;  // inside acquire(), for tests that need a parked worker
  void release() {
    std::lock_guard guard(mu);
    token = true;
    cv.notify_all();
  }
  void acquire() {
    std::unique_lock lock(mu);
    blocked = true;
    cv.notify_all();
    cv.wait(lock, [this] { return token; });
    token = blocked = false;
  }
  void wait_blocked() {
    std::unique_lock lock(mu);
    cv.wait(lock, [this] { return blocked; });
  }
};

class StealingStressTest : public CountingTestP<std::uint64_t> {};

TEST_P(StealingStressTest, EveryTaskRunsOnceAndEveryWorkerRetires) {
  const std::uint64_t workers = GetParam();
  constexpr std::uint64_t kPushers = 3, kPer = 20000, kIds = kPushers * kPer + 1;
  Pool pool(workers);
  std::vector<Parker> parkers(workers);
  std::vector<std::atomic<int>> accepted(kIds), ran(kIds);
  std::atomic<std::uint64_t> attempts{0};
  auto wake = [&](std::uint64_t w) {
    if (w != kNone) parkers[w].release();
  };
  auto worker = [&](std::uint64_t index) {
    std::uint64_t spins = 0;
    for (Item out;; out.reset()) {
      std::uint64_t claimed;
      const PopResult r = pool.pop(index, out, &claimed);
      if (r == PopResult::Closed) return;
      ASSERT_NE(r, PopResult::OutOfMemory);
      if (r == PopResult::Task) {
        wake(claimed);
        ++ran[out.id()];
        // Now and then a slow task, so that queues build up and get stolen.
        if (out.id() % 997 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      switch (pool.park(index)) {
        case ParkDecision::Parked:
        case ParkDecision::RetryClaimed: parkers[index].acquire(); break;
        case ParkDecision::Retry: ++spins; break;
      }
    }
  };
  auto pusher = [&](std::uint64_t p) {
    for (std::uint64_t id = p * kPer + 1; id <= (p + 1) * kPer; ++id) {
      Item task(id);
      std::uint64_t w = kNone;
      PushResult r;
      if (id % 7 == 0) {
        // A batch of one: its claim is the caller's, after the push.
        std::vector<Item> one;
        one.push_back(std::move(task));
        r = pool.push_many(one.data(), one.size());
        if (r == PushResult::Accepted) w = pool.claim_parked();
      } else {
        r = id % 3 == 0 ? pool.push_to(id % workers, task, w) : pool.push(task, w);
      }
      ++attempts;
      if (r == PushResult::Accepted) {
        ++accepted[id];
        wake(w);
      } else {
        ASSERT_EQ(r, PushResult::Closed);
      }
      if (id % 5000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let workers park
    }
  };
  std::vector<std::thread> threads;
  for (std::uint64_t i = 0; i < workers; ++i) threads.emplace_back(worker, i);
  std::vector<std::thread> pushers;
  for (std::uint64_t p = 0; p < kPushers; ++p) pushers.emplace_back(pusher, p);
  while (attempts < kIds * 3 / 4) std::this_thread::yield();
  pool.close();
  for (std::uint64_t w; (w = pool.claim_parked()) != kNone;) wake(w);
  for (auto& t : pushers) t.join();
  for (auto& t : threads) t.join();  // a lost wake-up hangs here
  std::uint64_t total = 0;
  for (std::uint64_t id = 1; id < kIds; ++id) {
    ASSERT_EQ(ran[id].load(), accepted[id].load()) << id;
    total += accepted[id];
  }
  EXPECT_GT(total, 0u);
  std::uint64_t steals = 0;
  for (std::uint64_t i = 0; i < workers; ++i) steals += pool.steals(i);
  if (workers > 1) {
    EXPECT_GT(steals, 0u) << "the slow tasks should have left work to steal";
  }
}

// Progress: a worker that a shared push counted on (claimed while parked,
// or its spin's ticket taken) and that then gets a long task pinned to it
// (that push found it claimed already and woke nobody) must not leave the
// shared task waiting behind the long one while the other worker stays
// parked. Two workers on real threads; the long task runs until the end.
class StealingProgressTest : public CountingTestP<bool> {};

TEST_P(StealingProgressTest, APinnedTaskDoesNotHoldUpSharedWorkWhileAWorkerIsParked) {
  const bool spinner = GetParam();
  constexpr std::uint64_t kLong = 1, kShort = 2;
  Pool pool(2);
  std::vector<Parker> parkers(2);
  std::atomic<bool> short_ran{false}, finish_long{false}, spun{false}, go_on{!spinner};
  auto wake = [&](std::uint64_t w) {
    if (w != kNone) parkers[w].release();
  };
  auto serve = [&](std::uint64_t index) {
    for (Item out;; out.reset()) {
      std::uint64_t claimed;
      const PopResult r = pool.pop(index, out, &claimed);
      if (r == PopResult::Closed) return;
      if (r == PopResult::Task) {
        wake(claimed);
        if (out.id() == kShort) short_ran = true;
        while (out.id() == kLong && !finish_long) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (pool.park(index) != ParkDecision::Retry) parkers[index].acquire();
    }
  };
  std::vector<std::thread> threads;
  // With `spinner`, worker 0 holds a spin ticket and then stops before it
  // looks again, as a thread the system took the core from would.
  threads.emplace_back([&] {
    if (spinner) {
      EXPECT_TRUE(pool.work_soon(0, std::chrono::seconds(20)));
      spun = true;
      while (!go_on) std::this_thread::yield();
    }
    serve(0);
  });
  threads.emplace_back(serve, 1);
  parkers[1].wait_blocked();
  if (spinner) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // worker 0 is spinning
  } else {
    parkers[0].wait_blocked();
  }
  const std::uint64_t counted_on = spinner ? 0 : push(pool, kNone, kShort);
  if (spinner) {
    EXPECT_EQ(push(pool, kNone, kShort), kNone) << "the push takes the spinner's ticket";
    while (!spun) std::this_thread::yield();
  }
  ASSERT_NE(counted_on, kNone);
  EXPECT_EQ(push(pool, counted_on, kLong), kNone) << "the worker is claimed already";
  go_on = true;
  wake(spinner ? kNone : counted_on);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!short_ran && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(short_ran) << "the shared task waited for the pinned one while a worker stayed parked";
  finish_long = true;
  pool.close();
  for (std::uint64_t w; (w = pool.claim_parked()) != kNone;) wake(w);
  for (auto& t : threads) t.join();
}

INSTANTIATE_TEST_SUITE_P(CountedOn, StealingProgressTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ASpinner" : "AParkedWorker"; });

INSTANTIATE_TEST_SUITE_P(Workers, StealingStressTest, ::testing::Values(1, 2, 4),
                         [](const auto& info) { return std::to_string(info.param) + "workers"; });

}  // namespace
}  // namespace kestrum::test
