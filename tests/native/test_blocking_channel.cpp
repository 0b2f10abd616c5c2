// The blocking channel: waits that end when the other side makes progress,
// time-outs, close, signal interruption, and threads with exact totals.
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <memory>
#include <thread>
#include <vector>

#include "channel/blocking_channel.hpp"
#include "counting_item.hpp"

namespace kestrum::test {
namespace {

using Chan = BlockingChannel<Item>;
using namespace std::chrono_literals;

constexpr auto kNever = [] { return false; };

Deadline in(std::chrono::milliseconds ms) { return std::chrono::steady_clock::now() + ms; }

// Sends item `id`, waiting without limit; fails the test unless it went in.
void send(Chan& ch, std::uint64_t id) {
  Item item(id);
  ASSERT_EQ(ch.send(item, nullptr, kNever), WaitResult::Done);
  EXPECT_EQ(item.id(), 0u);
}

std::uint64_t recv(Chan& ch) {
  Item out;
  EXPECT_EQ(ch.recv(out, nullptr, kNever), WaitResult::Done);
  return out.id();
}

using BlockingChannelTest = CountingTest;

TEST_F(BlockingChannelTest, EachSideWaitsForTheOther) {
  Chan ch(1);
  std::thread receiver([&] { EXPECT_EQ(recv(ch), 1u); EXPECT_EQ(recv(ch), 2u); EXPECT_EQ(recv(ch), 3u); });
  send(ch, 1);
  send(ch, 2);  // waits while 1 is still queued, or the receiver is quick
  send(ch, 3);
  receiver.join();
  EXPECT_EQ(ch.len(), 0u);
}

TEST_F(BlockingChannelTest, TimeOutsMoveNothing) {
  Chan ch(1);
  Item out;
  const Deadline soon = in(20ms);
  EXPECT_EQ(ch.recv(out, &soon, kNever), WaitResult::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now(), soon);
  EXPECT_EQ(out.id(), 0u);
  send(ch, 1);
  Item refused(2);
  const Deadline past = in(-5ms);  // already over: one try, no wait
  EXPECT_EQ(ch.send(refused, &past, kNever), WaitResult::TimedOut);
  EXPECT_EQ(refused.id(), 2u) << "a refused item stays with the caller";
  EXPECT_EQ(recv(ch), 1u);
}

TEST_F(BlockingChannelTest, CloseWakesEveryWaiterAndReceiversDrainFirst) {
  Chan full(1), empty(0);
  send(full, 7);
  std::vector<std::thread> threads;
  std::atomic<int> closed{0};
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      Item item(100 + i);
      if (full.send(item, nullptr, kNever) == WaitResult::Closed && item.id() == 100u + i) ++closed;
    });
    threads.emplace_back([&] {
      Item out;
      if (empty.recv(out, nullptr, kNever) == WaitResult::Closed) ++closed;
    });
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(closed.load(), 0);
  full.close();
  empty.close();
  for (auto& t : threads) t.join();
  EXPECT_EQ(closed.load(), 6);
  EXPECT_EQ(recv(full), 7u);  // queued before the close: still received
  Item out;
  EXPECT_EQ(full.recv(out, nullptr, kNever), WaitResult::Closed);
  Item late(8);
  EXPECT_EQ(full.try_send(late), SendResult::Disconnected);
}

// Every item accepted before or during a close is received, and no receive
// reports the end while an accepted item is still on its way in.
TEST_F(BlockingChannelTest, NothingAcceptedIsStrandedByAConcurrentClose) {
  constexpr int kProducers = 3;
  for (int round = 0; round < 100; ++round) {
    Chan ch(0);
    std::atomic<std::uint64_t> accepted{0}, received{0};
    std::barrier start(kProducers + 2);
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        for (std::uint64_t id = 1;; ++id) {
          Item item(id);
          if (ch.try_send(item) != SendResult::Accepted) break;
          ++accepted;
        }
      });
    }
    threads.emplace_back([&] {
      start.arrive_and_wait();
      Item out;
      while (ch.recv(out, nullptr, kNever) == WaitResult::Done) {
        out.reset();
        ++received;
      }
    });
    start.arrive_and_wait();
    std::this_thread::yield();
    ch.close();
    for (auto& t : threads) t.join();
    ASSERT_EQ(received.load(), accepted.load()) << "round " << round << ": " << ch.len() << " stranded";
    Item out;
    while (ch.try_recv(out) == RecvResult::Item) out.reset();  // leave nothing for the leak check
  }
}

// The lock-free "empty and open" look a poller makes before try_recv: it
// never hides an accepted item, and never says "open" once close() has
// returned, so a poller always reaches the end with everything received.
TEST_F(BlockingChannelTest, EmptyAndOpenHidesNothingAndSeesTheClose) {
  {
    Chan ch(0);
    EXPECT_TRUE(ch.empty_and_open());
    send(ch, 1);
    EXPECT_FALSE(ch.empty_and_open()) << "an item is queued";
    ch.close();
    EXPECT_FALSE(ch.empty_and_open());
    EXPECT_EQ(recv(ch), 1u);
    EXPECT_FALSE(ch.empty_and_open()) << "closed and drained";
  }
  for (int round = 0; round < 100; ++round) {
    Chan ch(0);
    std::atomic<std::uint64_t> accepted{0}, received{0};
    std::atomic<bool> close_returned{false};
    std::barrier start(3);
    std::thread producer([&] {
      start.arrive_and_wait();
      for (std::uint64_t id = 1;; ++id) {
        Item item(id);
        if (ch.try_send(item) != SendResult::Accepted) break;
        ++accepted;
      }
    });
    std::thread poller([&] {
      start.arrive_and_wait();
      Item out;
      for (;;) {
        const bool after_close = close_returned.load();
        if (ch.empty_and_open()) {
          ASSERT_FALSE(after_close) << "round " << round << ": open after close() returned";
          continue;
        }
        const RecvResult r = ch.try_recv(out);
        if (r == RecvResult::Disconnected) break;
        if (r == RecvResult::Item) {
          out.reset();
          ++received;
        }
      }
    });
    start.arrive_and_wait();
    std::this_thread::yield();
    ch.close();
    close_returned.store(true);
    producer.join();
    poller.join();
    ASSERT_EQ(received.load(), accepted.load()) << "round " << round;
  }
}

struct Traffic {
  int producers, consumers;
  std::uint64_t capacity;
  bool impatient;  // consumers use short time-outs and retry
};

class BlockingTraffic : public CountingTest, public ::testing::WithParamInterface<Traffic> {};

TEST_P(BlockingTraffic, ExactlyOnceInPerProducerOrder) {
  const Traffic t = GetParam();
  constexpr std::uint64_t kPerProducer = 20000;
  Chan ch(t.capacity);
  std::vector<std::vector<std::uint64_t>> got(t.consumers);
  std::barrier start(t.producers + t.consumers);
  std::vector<std::thread> threads;
  for (int c = 0; c < t.consumers; ++c) {
    threads.emplace_back([&, c] {
      start.arrive_and_wait();
      for (;;) {
        Item out;
        const Deadline soon = in(1ms);
        const WaitResult r = ch.recv(out, t.impatient ? &soon : nullptr, kNever);
        if (r == WaitResult::Closed) return;
        if (r == WaitResult::Done) got[c].push_back(out.id());
      }
    });
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < t.producers; ++p) {
    producers.emplace_back([&, p] {
      start.arrive_and_wait();
      for (std::uint64_t i = 1; i <= kPerProducer; ++i) send(ch, p * kPerProducer + i);
    });
  }
  for (auto& th : producers) th.join();
  ch.close();
  for (auto& th : threads) th.join();
  std::vector<std::uint64_t> all;
  for (const auto& g : got) {
    std::vector<std::uint64_t> last(t.producers, 0);
    for (std::uint64_t id : g) {
      const std::uint64_t p = (id - 1) / kPerProducer;
      ASSERT_GT(id, last[p]) << "producer " << p << " out of order";
      last[p] = id;
    }
    all.insert(all.end(), g.begin(), g.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, ids(1, t.producers * kPerProducer));
}

INSTANTIATE_TEST_SUITE_P(Shapes, BlockingTraffic,
                         ::testing::Values(Traffic{1, 1, 1, false}, Traffic{3, 3, 2, false},
                                           Traffic{2, 4, 0, false}, Traffic{4, 2, 8, true}),
                         [](const auto& info) {
                           const Traffic& t = info.param;
                           return std::to_string(t.producers) + "P" + std::to_string(t.consumers) + "C_cap" +
                                  std::to_string(t.capacity) + (t.impatient ? "_impatient" : "");
                         });

// A signal interrupts the wait; the stop hook decides whether to give up.
void on_signal(int) {}

TEST_F(BlockingChannelTest, ASignalRunsTheStopHook) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;  // no SA_RESTART: the wait sees EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  Chan ch(1);
  send(ch, 1);
  std::atomic<int> hook_calls{0};
  std::atomic<bool> give_up{false}, finished{false};
  WaitResult result{};
  Item item(2);
  std::thread sender([&] {
    result = ch.send(item, nullptr, [&] {
      ++hook_calls;
      return give_up.load();
    });
    finished = true;
  });
  // A signal that lands while the sender is not parked interrupts nothing,
  // so keep signalling until the hook has run.
  const auto signal_until = [&](auto done) {
    while (!done()) {
      pthread_kill(sender.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(5ms);
    }
  };
  signal_until([&] { return hook_calls.load() >= 1; });  // the hook says: keep waiting
  EXPECT_EQ(ch.len(), 1u);
  give_up = true;
  signal_until([&] { return finished.load(); });
  sender.join();
  EXPECT_EQ(result, WaitResult::Stopped);
  EXPECT_EQ(item.id(), 2u);
  EXPECT_GE(hook_calls.load(), 2);
  EXPECT_EQ(recv(ch), 1u);
  sigaction(SIGUSR1, &old, nullptr);
}

// A waiter that a wake-up claimed, but that its stop hook ends, hands the
// wake-up to the next waiter: otherwise that one sleeps beside a queued item.
TEST_F(BlockingChannelTest, AStoppedWaiterPassesItsWakeUpOn) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  Chan ch(0);
  std::atomic<bool> in_hook{false}, item_sent{false};
  WaitResult a_result{}, b_result{};
  std::thread a([&] {
    Item out;
    a_result = ch.recv(out, nullptr, [&] {
      in_hook = true;
      while (!item_sent) std::this_thread::yield();  // the send claims A meanwhile
      return true;
    });
  });
  std::this_thread::sleep_for(20ms);  // A is the oldest waiter
  Item b_got;
  std::thread b([&] {
    const Deadline limit = in(5000ms);
    b_result = ch.recv(b_got, &limit, kNever);
  });
  std::this_thread::sleep_for(20ms);
  while (!in_hook) {
    pthread_kill(a.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(5ms);
  }
  Item item(1);
  ASSERT_EQ(ch.try_send(item), SendResult::Accepted);  // wakes A, which is leaving
  item_sent = true;
  a.join();
  b.join();
  EXPECT_EQ(a_result, WaitResult::Stopped);
  EXPECT_EQ(b_result, WaitResult::Done) << "the wake-up died with A";
  EXPECT_EQ(b_got.id(), 1u);
  sigaction(SIGUSR1, &old, nullptr);
}

// In the child of a fork the parent's waiting threads are gone, and their
// places on the lists, which lived on their stacks, may be another thread's
// memory by now: the child must neither wake nor unlink them.
TEST(WaiterQueueTest, TheChildOfAForkLeavesTheParentsWaitersAlone) {
  WaiterQueue queue;
  auto parents = std::make_unique<Waiter>();  // on the heap: the child frees it
  queue.push(*parents);
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    parents.reset();  // as the vanished thread's stack: any use is a use after free
    const bool nobody_to_wake = !queue.wake_one();
    Waiter mine;
    queue.push(mine);
    const bool mine_woken = queue.wake_one() && !queue.withdraw(mine);
    _exit(nobody_to_wake && mine_woken && queue.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child touched the parent's waiter";
  EXPECT_TRUE(queue.withdraw(*parents)) << "the parent's own list changed";
}

}  // namespace
}  // namespace kestrum::test
