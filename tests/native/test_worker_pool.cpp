// The pool's scheduling core: batch sizes, local overflow, private buffers,
// close, metrics, and threads racing pushes, pops and close.
#include <memory>
#include <thread>

#include "counting_item.hpp"
#include "pool/worker_pool_core.hpp"

namespace kestrum::test {
namespace {

using Metrics = std::shared_ptr<MetricsCore>;
using Pool = WorkerPoolCore<Item, Metrics>;
using Ids = std::vector<std::uint64_t>;
constexpr std::uint64_t kGlobal = UINT64_MAX;  // push() target meaning push_global

PushResult push(Pool& pool, std::uint64_t index, std::uint64_t id) {
  Item task(id);
  const PushResult r = index == kGlobal ? pool.push_global(task) : pool.push_local(index, task);
  EXPECT_EQ(task.id(), r == PushResult::Accepted ? 0 : id) << "a refused task must stay untouched";
  return r;
}
void push_all(Pool& pool, std::uint64_t index, std::uint64_t first, std::uint64_t last) {
  for (std::uint64_t id = first; id <= last; ++id) ASSERT_EQ(push(pool, index, id), PushResult::Accepted);
}
// Ids handed out by `n` pops, 0 for each pop that found nothing (`none`).
Ids pop(Pool& pool, std::uint64_t index, int n = 1, PopResult none = PopResult::Idle) {
  Ids got;
  for (Item out; n-- > 0; out.reset()) {
    const PopResult r = pool.pop_work(index, out);
    EXPECT_EQ(r, out.id() != 0 ? PopResult::Task : none);
    got.push_back(out.id());
  }
  return got;
}
Metrics attach(Pool& pool, std::uint64_t n) {
  auto m = std::make_shared<MetricsCore>(n);
  pool.set_metrics(m);
  return m;
}

class PoolTest : public CountingTest {};

TEST_F(PoolTest, PullTakesAFairShareOfTheGlobalQueue) {
  Pool pool(4);
  Metrics m = attach(pool, 4);
  push_all(pool, kGlobal, 1, 10);
  EXPECT_EQ(pop(pool, 0, 3), ids(1, 3));  // 10 / 4 + 1 pulled by the first
  EXPECT_EQ(m->global_pull.load(0), 3u);
  EXPECT_EQ(m->injection_queue_depth.load(0), 7u);
  EXPECT_EQ(pop(pool, 1), Ids{4});  // 7 / 4 + 1
  EXPECT_EQ(m->global_pull.load(1), 2u);
  EXPECT_EQ(m->injection_queue_depth.load(1), 5u);
}

TEST_F(PoolTest, PullIsCappedAt128) {
  Pool pool(1);
  Metrics m = attach(pool, 1);
  push_all(pool, kGlobal, 1, 1000);
  EXPECT_EQ(pop(pool, 0, 128), ids(1, 128));
  EXPECT_EQ(m->global_pull.load(0), 128u);
  EXPECT_EQ(m->injection_queue_depth.load(0), 872u);
}

// The 257th local push goes to the global queue, which is served first.
TEST_F(PoolTest, FullLocalQueueOverflowsToGlobal) {
  Pool pool(1);
  Metrics m = attach(pool, 1);
  push_all(pool, 0, 1, 257);
  EXPECT_EQ(m->remote_schedule.load(0), 256u);
  EXPECT_EQ(pop(pool, 0), Ids{257});
  EXPECT_EQ(pop(pool, 0, 256), ids(1, 256));
}

TEST_F(PoolTest, BufferedTasksStayWithTheirWorker) {
  Pool pool(2);
  push_all(pool, kGlobal, 1, 10);
  EXPECT_EQ(pop(pool, 0), Ids{1});  // 2..6 stay in worker 0's buffer
  EXPECT_EQ(pop(pool, 1, 6), (Ids{7, 8, 9, 10, 0, 0}));
  EXPECT_EQ(pop(pool, 0, 6), (Ids{2, 3, 4, 5, 6, 0}));
}

// Closed pools refuse pushes (even to a bad index), still hand out what
// buffer, global queue and local queue hold, then report Closed, not Idle.
TEST_F(PoolTest, CloseRefusesWorkButDrainsQueuedWork) {
  Pool pool(2);
  Metrics m = attach(pool, 2);
  EXPECT_EQ(push(pool, 2, 1), PushResult::IndexOutOfRange);
  push_all(pool, kGlobal, 1, 3);
  push_all(pool, 0, 4, 4);
  EXPECT_EQ(pop(pool, 0), Ids{1});  // 2 stays buffered
  pool.close();
  EXPECT_TRUE(pool.is_closed());
  EXPECT_EQ(push(pool, kGlobal, 5), PushResult::Closed);
  EXPECT_EQ(push(pool, 0, 6), PushResult::Closed);
  EXPECT_EQ(push(pool, 9, 7), PushResult::Closed);
  EXPECT_EQ(pop(pool, 0, 4, PopResult::Closed), (Ids{2, 3, 4, 0}));
  EXPECT_EQ(pop(pool, 1, 1, PopResult::Closed), Ids{0});
  EXPECT_EQ(m->park.load(0) + m->park.load(1), 0u);
}

TEST_F(PoolTest, ZeroWorkers) {
  Pool pool(0);
  EXPECT_EQ(push(pool, 0, 1), PushResult::Closed);
  EXPECT_EQ(push(pool, kGlobal, 2), PushResult::Accepted);
  EXPECT_EQ(pop(pool, 0), Ids{0});  // the global queue is reached only through a buffer
  EXPECT_FALSE(pool.is_closed());
  pool.close();
  EXPECT_EQ(pop(pool, 0, 1, PopResult::Closed), Ids{0});
  EXPECT_THROW(Pool(std::uint64_t{1} << 60), std::length_error);
}

// The last metrics set get every update and live as long as the pool; an
// empty handle detaches them.
TEST_F(PoolTest, MetricsCanBeReplacedOrDetached) {
  Pool pool(1);
  Metrics m1 = attach(pool, 1), m2 = attach(pool, 1);
  EXPECT_EQ(m1.use_count(), 1);
  push_all(pool, 0, 1, 1);
  pool.set_metrics(Metrics{});
  push_all(pool, 0, 2, 2);
  push_all(pool, kGlobal, 3, 3);
  EXPECT_EQ(pop(pool, 0, 4), (Ids{3, 1, 2, 0}));
  EXPECT_EQ(m1->remote_schedule.load(0), 0u);
  EXPECT_EQ(m2->remote_schedule.load(0) + m2->global_pull.load(0) + m2->park.load(0), 1u);
}

// Global and local pushers race poppers with overlapping indices and a
// close. After a final drain every accepted task was handed out exactly
// once, and the metrics add up: a local push either stayed local (counted
// in remote_schedule) or overflowed and was pulled like a global one.
TEST_F(PoolTest, StressPushPopAndClose) {
  constexpr std::uint64_t kPushers = 4, kPer = 20000, kIds = kPushers * kPer + 1;
  Pool pool(4);
  Metrics m = attach(pool, 4);
  std::vector<std::atomic<int>> accepted(kIds), handed(kIds);
  std::atomic<std::uint64_t> global_accepted{0}, local_accepted{0}, attempts{0};
  std::atomic<bool> closing{false}, closed{false}, stop{false};
  auto pusher = [&](std::uint64_t p) {
    bool refused = false;
    for (std::uint64_t id = p * kPer + 1; id <= (p + 1) * kPer; ++id) {
      // Pushers 0 and 2 hold back their second half until close() begins.
      while (p % 2 == 0 && id == p * kPer + kPer / 2 && !closing) std::this_thread::yield();
      Item task(id);
      const bool global = p < 2, after_close = closed;  // local pushers favour index 3
      const PushResult r = global ? pool.push_global(task) : pool.push_local(id % 2 ? 3 : p - 2, task);
      ++attempts;
      if (r == PushResult::Accepted) {
        EXPECT_FALSE(after_close || (global && refused)) << "a push was accepted after close";
        ++accepted[id];
        ++(global ? global_accepted : local_accepted);
      } else {
        EXPECT_TRUE(r == PushResult::Closed && task.id() == id);
        refused = true;
      }
    }
  };
  auto take = [&](std::uint64_t index) {
    Item out;
    const PopResult r = pool.pop_work(index, out);
    EXPECT_NE(r, PopResult::OutOfMemory);
    if (r == PopResult::Task) ++handed[out.id()];
    return r;
  };
  auto popper = [&](Ids indices) {  // index 3 has one popper, 9 is no worker's
    while (!stop) {
      for (std::uint64_t index : indices) take(index);
    }
  };
  std::vector<std::thread> pushers, poppers;
  for (std::uint64_t p = 0; p < kPushers; ++p) pushers.emplace_back(pusher, p);
  for (Ids indices : {Ids{0, 1}, Ids{1, 2, 0}, Ids{2, 3, 9}}) poppers.emplace_back(popper, indices);
  while (attempts < kIds / 4) std::this_thread::yield();
  closing = true;
  pool.close();
  closed = true;
  for (auto& t : pushers) t.join();
  stop = true;
  for (auto& t : poppers) t.join();
  for (std::uint64_t index = 0; index < 4; ++index) {
    while (take(index) == PopResult::Task) {
    }
  }
  for (std::uint64_t id = 1; id < kIds; ++id) ASSERT_EQ(handed[id].load(), accepted[id].load()) << id;
  std::uint64_t remote = 0, pulled = 0;
  for (std::uint64_t i = 0; i < 4; ++i) {
    remote += m->remote_schedule.load(i);
    pulled += m->global_pull.load(i);
  }
  EXPECT_LE(remote, local_accepted.load());
  EXPECT_EQ(pulled - global_accepted, local_accepted - remote);
}

// close() racing pushers and one popper per worker, many times over. A
// worker leaves for good on Closed, so that answer is only right when
// nothing it could take is left: once every worker has left, no task may
// remain anywhere in the pool.
class PoolCloseRace : public CountingTestP<std::uint64_t> {};
TEST_P(PoolCloseRace, ClosedMeansNothingLeftForTheWorker) {
  constexpr int kTrials = 200;
  constexpr std::uint64_t kPer = 400;
  const std::uint64_t n = GetParam();
  for (int trial = 0; trial < kTrials; ++trial) {
    Pool pool(n);
    std::atomic<std::uint64_t> accepted{0}, handed{0};
    auto pusher = [&](std::uint64_t p) {
      for (std::uint64_t id = p * kPer + 1; id <= (p + 1) * kPer; ++id) {
        Item task(id);
        const PushResult r = id % 2 ? pool.push_global(task) : pool.push_local(id % n, task);
        if (r == PushResult::Closed) return;
        ASSERT_EQ(r, PushResult::Accepted);
        ++accepted;
      }
    };
    auto worker = [&](std::uint64_t index) {
      for (Item out;; out.reset()) {
        const PopResult r = pool.pop_work(index, out);
        if (r == PopResult::Closed) return;
        if (r == PopResult::Task) ++handed;
      }
    };
    std::vector<std::thread> threads;
    for (std::uint64_t p = 0; p < 2; ++p) threads.emplace_back(pusher, p);
    for (std::uint64_t i = 0; i < n; ++i) threads.emplace_back(worker, i);
    spin_for(trial * 397 % 20000);
    pool.close();
    for (auto& t : threads) t.join();
    ASSERT_EQ(handed.load(), accepted.load()) << "tasks left after every worker was told Closed";
  }
}
INSTANTIATE_TEST_SUITE_P(Workers, PoolCloseRace, ::testing::Values<std::uint64_t>(1, 2));

}  // namespace
}  // namespace kestrum::test
