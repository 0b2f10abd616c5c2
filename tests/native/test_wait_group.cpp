// The wait group core: counter bounds, who gets the waiter list, removal and
// put-back, and threads that must never lose or duplicate a waiter.
#include <algorithm>
#include <thread>

#include "counting_item.hpp"
#include "waitgroup/wait_group_core.hpp"

namespace kestrum::test {
namespace {

struct Waiter {
  Item token;  // proves entries are moved, never copied or dropped
  std::uint64_t fut;
};
using Group = WaitGroupCore<Waiter>;
using List = Group::List;
constexpr std::uint64_t k2To63 = std::uint64_t{1} << 63;

// Whether register_waiter found the counter at zero; then the caller must
// still hold the entry.
bool enlist(Group& g, std::uint64_t id, std::uint64_t fut = 0) {
  Waiter w{Item(id), fut};
  const RegisterResult r = g.register_waiter(w);
  EXPECT_NE(r, RegisterResult::OutOfMemory);
  const bool zero = r == RegisterResult::Zero;
  EXPECT_EQ(w.token.id(), zero ? id : 0);
  return zero;
}
std::vector<std::uint64_t> ids_of(const List& list) {
  std::vector<std::uint64_t> v;
  for (std::size_t i = 0; i < list.size(); ++i) v.push_back(list[i].token.id());
  return v;
}
void clear(List& list) {
  while (!list.empty()) list.pop_front();
}

struct AddCase {
  std::uint64_t start;
  std::int64_t delta;
  AddResult result;
  std::uint64_t after;
};
class WaitGroupAdd : public ::testing::TestWithParam<AddCase> {};
TEST_P(WaitGroupAdd, KeepsTheCounterInRange) {
  const AddCase c = GetParam();
  Group g;
  for (std::uint64_t left = c.start; left > 0; left -= std::min<std::uint64_t>(left, INT64_MAX)) {
    ASSERT_EQ(g.add(static_cast<std::int64_t>(std::min<std::uint64_t>(left, INT64_MAX))), AddResult::Ok);
  }
  EXPECT_EQ(g.add(c.delta), c.result);
  EXPECT_EQ(g.counter(), c.after);
}
INSTANTIATE_TEST_SUITE_P(
    Boundaries, WaitGroupAdd,
    ::testing::Values(AddCase{0, 0, AddResult::Ok, 0}, AddCase{0, -1, AddResult::Underflow, 0},
                      AddCase{k2To63, INT64_MIN, AddResult::Ok, 0},
                      AddCase{k2To63 - 1, INT64_MIN, AddResult::Underflow, k2To63 - 1},
                      AddCase{UINT64_MAX - 1, 2, AddResult::Overflow, UINT64_MAX - 1},
                      AddCase{UINT64_MAX - 1, 1, AddResult::Ok, UINT64_MAX},
                      AddCase{k2To63 + 1, INT64_MAX, AddResult::Overflow, k2To63 + 1}));

TEST(WaitGroupPut, TakesTheCountersWholeRangeAndNoMore) {
  Group g;
  EXPECT_EQ(g.put(UINT64_MAX), AddResult::Ok);
  EXPECT_EQ(g.put(1), AddResult::Overflow);
  EXPECT_EQ(g.counter(), UINT64_MAX);
}

class WaitGroup : public CountingTest {};

// add() reaching zero hands nothing out and done() at zero is refused; the
// done() that reaches zero takes the whole list, in order, once.
TEST_F(WaitGroup, OnlyDoneToZeroHandsOutTheList) {
  Group g;
  List list;
  EXPECT_EQ(g.done(list), DoneResult::Underflow);
  EXPECT_TRUE(enlist(g, 9));
  ASSERT_EQ(g.add(1), AddResult::Ok);
  EXPECT_FALSE(enlist(g, 1));
  ASSERT_EQ(g.add(-1), AddResult::Ok);
  EXPECT_EQ(g.done(list), DoneResult::Underflow);
  ASSERT_EQ(g.add(2), AddResult::Ok);
  EXPECT_FALSE(enlist(g, 2));
  EXPECT_EQ(g.done(list), DoneResult::NotZero);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(g.done(list), DoneResult::ReachedZero);
  EXPECT_EQ(ids_of(list), ids(1, 2));
  ASSERT_EQ(g.add(1), AddResult::Ok);
  List again;
  EXPECT_EQ(g.done(again), DoneResult::ReachedZero);
  EXPECT_TRUE(again.empty());
}

// take(k) is done() k times in one step: all or nothing, and the step that
// reaches zero takes the list.
TEST_F(WaitGroup, TakeIsAllOrNothingAndHandsOutAtZero) {
  Group g;
  List list;
  ASSERT_EQ(g.add(3), AddResult::Ok);
  EXPECT_FALSE(enlist(g, 1));
  EXPECT_EQ(g.take(2, list), DoneResult::NotZero);
  EXPECT_EQ(g.take(2, list), DoneResult::Underflow);
  EXPECT_EQ(g.counter(), 1u);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(g.take(1, list), DoneResult::ReachedZero);
  EXPECT_EQ(ids_of(list), ids(1, 1));
}

TEST_F(WaitGroup, UnregisterRemovesEveryMatchKeepingOrder) {
  Group g;
  ASSERT_EQ(g.add(1), AddResult::Ok);
  for (std::uint64_t id = 1; id <= 5; ++id) EXPECT_FALSE(enlist(g, id, id % 2));
  List removed, list;
  EXPECT_TRUE(g.unregister_if([](const Waiter& w) { return w.fut == 1; }, removed));
  EXPECT_EQ(ids_of(removed), (std::vector<std::uint64_t>{1, 3, 5}));
  EXPECT_TRUE(g.unregister_if([](const Waiter& w) { return w.fut == 1; }, removed));
  EXPECT_EQ(removed.size(), 3u);
  EXPECT_EQ(g.done(list), DoneResult::ReachedZero);
  EXPECT_EQ(ids_of(list), (std::vector<std::uint64_t>{2, 4}));
}

// A waker that could not hand a list on puts it back, in front of anything
// queued since, in its old order.
using PutBack = CountingTestP<bool>;
TEST_P(PutBack, RestoresOrderAheadOfNewerEntries) {
  Group g;
  List taken, list;
  ASSERT_EQ(g.add(1), AddResult::Ok);
  EXPECT_FALSE(enlist(g, 1));
  EXPECT_FALSE(enlist(g, 2));
  ASSERT_EQ(g.done(taken), DoneResult::ReachedZero);
  ASSERT_EQ(g.add(1), AddResult::Ok);
  EXPECT_TRUE(!GetParam() || !enlist(g, 3));
  EXPECT_TRUE(g.put_back_front(taken));
  EXPECT_TRUE(taken.empty());
  EXPECT_EQ(g.done(list), DoneResult::ReachedZero);
  EXPECT_EQ(ids_of(list), ids(1, GetParam() ? 3 : 2));
}
INSTANTIATE_TEST_SUITE_P(NewerEntries, PutBack, ::testing::Bool());

// Counting threads cross zero over and over, sometimes putting a list back,
// for as long as registering threads queue entries and take some back. Each
// queued entry must come out exactly once, and since every put-back is
// followed by another cycle, the run's last done() to zero leaves nothing.
TEST_F(WaitGroup, StressEveryQueuedEntryHandedOutOnce) {
  constexpr std::uint64_t kRegistrars = 2, kPer = 20000, kIds = kRegistrars * kPer + 1;
  Group g;
  std::vector<std::atomic<int>> queued(kIds), out(kIds);
  std::atomic<std::uint64_t> registrars_done{0}, max_seen{0};
  auto count = [&] {
    List list;
    bool put_back = false;
    for (std::uint64_t i = 0; put_back || i < 5000 || registrars_done < kRegistrars; ++i) {
      const auto k = static_cast<std::int64_t>(1 + i % 3);
      put_back = false;
      EXPECT_EQ(g.add(k), AddResult::Ok);
      max_seen = std::max(max_seen.load(), g.counter());  // a wrap below zero shows as huge
      for (std::int64_t j = 0; j < k; ++j) {
        const DoneResult r = g.done(list);
        EXPECT_NE(r, DoneResult::Underflow);
        if (r != DoneResult::ReachedZero) continue;
        if (i % 4 == 0 && !list.empty() && g.put_back_front(list)) {
          put_back = true;
          continue;
        }
        for (std::uint64_t id : ids_of(list)) ++out[id];
        clear(list);
      }
    }
  };
  auto enlist_all = [&](std::uint64_t r) {
    List removed;
    for (std::uint64_t id = r * kPer + 1; id <= (r + 1) * kPer; ++id) {
      if (id % 64 == 0) std::this_thread::yield();  // interleave with the counters
      Waiter w{Item(id), id};
      if (g.register_waiter(w) == RegisterResult::Zero) continue;
      ++queued[id];
      if (id % 3 == 0) {
        EXPECT_TRUE(g.unregister_if([id](const Waiter& e) { return e.fut == id; }, removed));
      }
    }
    for (std::uint64_t id : ids_of(removed)) ++out[id];
    ++registrars_done;
  };
  std::vector<std::thread> threads;
  for (std::uint64_t r = 0; r < kRegistrars; ++r) {
    threads.emplace_back(count);
    threads.emplace_back(enlist_all, r);
  }
  for (auto& t : threads) t.join();
  EXPECT_LE(max_seen.load(), 6u);
  List rest;
  ASSERT_EQ(g.add(1), AddResult::Ok);
  ASSERT_EQ(g.done(rest), DoneResult::ReachedZero);
  EXPECT_TRUE(rest.empty()) << "entries outlived the last done() to zero";
  int total = 0;
  for (std::uint64_t id = 1; id < kIds; ++id) {
    ASSERT_EQ(out[id].load(), queued[id].load()) << "entry " << id;
    total += queued[id];
  }
  EXPECT_GT(total, 0) << "no entry was ever queued: the run tested nothing";
}

// An owner counts a job, queues a waiter, finishes the job and calls done();
// cyclers count and finish jobs of their own, crossing zero again and again.
// Whoever receives a list checks each entry's job: a waiter handed out while
// its own job was still counted was woken early, by a done() that reached
// zero before the entry's add().
TEST_F(WaitGroup, WaiterIsHandedOutOnlyAfterItsJob) {
  constexpr std::uint64_t kRounds = 100000, kOwners = 2;
  Group g;
  std::vector<std::atomic<bool>> job_done(kOwners * kRounds + 1);
  std::atomic<std::uint64_t> early{0}, queued{0}, handed{0};
  auto check = [&](List& list) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!job_done[list[i].fut].load()) ++early;
      ++handed;
    }
    clear(list);
  };
  auto owner = [&](std::uint64_t o) {
    List list;
    for (std::uint64_t k = 1; k <= kRounds; ++k) {
      const std::uint64_t id = o * kRounds + k;
      EXPECT_EQ(g.add(1), AddResult::Ok);
      Waiter w{Item(id), id};
      if (g.register_waiter(w) == RegisterResult::Queued) ++queued;
      job_done[id] = true;
      if (g.done(list) == DoneResult::ReachedZero) check(list);
    }
  };
  std::atomic<bool> stop{false};
  auto cycler = [&] {
    List list;
    while (!stop) {
      EXPECT_EQ(g.add(1), AddResult::Ok);
      if (g.done(list) == DoneResult::ReachedZero) check(list);
    }
  };
  std::vector<std::thread> owners;
  std::thread c1(cycler), c2(cycler);
  for (std::uint64_t o = 0; o < kOwners; ++o) owners.emplace_back(owner, o);
  for (auto& t : owners) t.join();
  stop = true;
  c1.join();
  c2.join();
  EXPECT_EQ(early.load(), 0u) << "waiters handed out while their own job was counted";
  EXPECT_EQ(handed.load(), queued.load());
}

}  // namespace
}  // namespace kestrum::test
