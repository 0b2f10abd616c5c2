// The channel core: capacity, disconnection, refused items, FIFO order
// through the ring's wrap and growth, release at destruction, and threads.
#include <thread>
#include <tuple>

#include "channel/channel_core.hpp"
#include "counting_item.hpp"

namespace kestrum::test {
namespace {

// Ring storage that a test can make fail; counts the requests.
struct TestAlloc {
  static inline std::atomic<bool> fail{false};
  static inline std::atomic<int> calls{0};
  static void* allocate(std::size_t bytes) noexcept {
    ++calls;
    return fail ? nullptr : HeapSlotAllocator::allocate(bytes);
  }
  static void deallocate(void* p) noexcept { HeapSlotAllocator::deallocate(p); }
};
using Tx = ChannelSender<Item, TestAlloc>;
using Rx = ChannelReceiver<Item, TestAlloc>;

ChannelPair<Item, TestAlloc> channel(std::uint64_t capacity) {  // 0: unbounded
  TestAlloc::fail = false;
  TestAlloc::calls = 0;
  return capacity == 0 ? make_unbounded_channel<Item, TestAlloc>()
                       : make_bounded_channel<Item, TestAlloc>(capacity);
}

SendResult send(const Tx& tx, std::uint64_t id) {
  Item item(id);
  const SendResult r = tx.try_send(item);
  EXPECT_EQ(item.id(), r == SendResult::Accepted ? 0 : id) << "a refused item must stay untouched";
  return r;
}
void send_all(const Tx& tx, std::uint64_t first, std::uint64_t last) {
  for (std::uint64_t id = first; id <= last; ++id) ASSERT_EQ(send(tx, id), SendResult::Accepted);
}
std::vector<std::uint64_t> drain(const Rx& rx, RecvResult end = RecvResult::Empty) {
  std::vector<std::uint64_t> got;
  Item out;
  RecvResult r;
  while ((r = rx.try_recv(out)) == RecvResult::Item) got.push_back(std::exchange(out, Item{}).id());
  EXPECT_EQ(r, end);
  return got;
}

using Bounded = CountingTestP<std::uint64_t>;
TEST_P(Bounded, FullAtCapacityUntilOneIsReceived) {
  const std::uint64_t n = GetParam();
  auto ch = channel(n);
  send_all(ch.sender, 1, n);
  EXPECT_EQ(send(ch.sender, n + 1), SendResult::Full);
  EXPECT_EQ(ch.sender.len(), n);
  Item out;
  ASSERT_EQ(ch.receiver.try_recv(out), RecvResult::Item);
  EXPECT_EQ(out.id(), 1u);
  EXPECT_EQ(send(ch.sender, n + 1), SendResult::Accepted);
  EXPECT_EQ(send(ch.sender, n + 2), SendResult::Full);
  EXPECT_EQ(drain(ch.receiver), ids(2, n + 1));
}
INSTANTIATE_TEST_SUITE_P(Capacities, Bounded, ::testing::Values(1, 2, 5, 256));

// The largest capacity is no limit, and neither kind reserves storage.
using NoLimit = CountingTestP<std::uint64_t>;
TEST_P(NoLimit, NeverFull) {
  auto ch = channel(GetParam());
  EXPECT_EQ(TestAlloc::calls, 0);
  for (std::uint64_t id = 1; id <= 3000; ++id) {
    Item item(id);
    ASSERT_EQ(ch.sender.send(item), SendResult::Accepted);
  }
  EXPECT_EQ(drain(ch.receiver), ids(1, 3000));
}
INSTANTIATE_TEST_SUITE_P(Kinds, NoLimit, ::testing::Values(0, UINT64_MAX));

// After the sender goes the receiver drains in order, then sees Disconnected
// for good; after the receiver goes a send is refused even with room.
using Channel = CountingTest;
TEST_F(Channel, DisconnectionFromEitherSide) {
  auto a = channel(8), b = channel(8);
  EXPECT_TRUE(drain(a.receiver).empty());
  send_all(a.sender, 1, 3);
  send_all(b.sender, 4, 4);
  a.sender.reset();
  b.receiver.reset();
  EXPECT_EQ(a.receiver.len(), 3u);
  EXPECT_EQ(drain(a.receiver, RecvResult::Disconnected), ids(1, 3));
  EXPECT_TRUE(drain(a.receiver, RecvResult::Disconnected).empty());
  EXPECT_EQ(send(b.sender, 5), SendResult::Disconnected);
  EXPECT_EQ(b.sender.len(), 1u);
}

// Leaves 3 4 5 6 queued in a full ring of four slots whose head is slot 2.
void fill_wrapped(const ChannelPair<Item, TestAlloc>& ch) {
  send_all(ch.sender, 1, 4);
  for (int i = 0; i < 2; ++i) {
    Item out;  // must be empty: the core moves into it under its lock
    ASSERT_EQ(ch.receiver.try_recv(out), RecvResult::Item);
  }
  send_all(ch.sender, 5, 6);
}

// Failed growth leaves queue and item alone, with no storage yet and with a
// full, wrapped ring.
using OutOfMemory = CountingTestP<bool>;
TEST_P(OutOfMemory, HandsTheItemBack) {
  const bool wrapped = GetParam();
  auto ch = channel(0);
  if (wrapped) fill_wrapped(ch);
  TestAlloc::fail = true;
  EXPECT_EQ(send(ch.sender, 99), SendResult::OutOfMemory);
  EXPECT_EQ(ch.sender.len(), wrapped ? 4u : 0u);
  TestAlloc::fail = false;
  send_all(ch.sender, 7, 7);
  EXPECT_EQ(drain(ch.receiver), ids(wrapped ? 3 : 7, 7));
}
INSTANTIATE_TEST_SUITE_P(Rings, OutOfMemory, ::testing::Bool());

// Bursts of sends and receives of different lengths move the head around the
// ring and make it grow while wrapped.
using Fifo = CountingTestP<std::tuple<int, int>>;
TEST_P(Fifo, OrderSurvivesWrapAndGrowth) {
  const auto [sends, recvs] = GetParam();
  auto ch = channel(0);
  std::uint64_t sent = 0, next = 1;
  for (int round = 0; round < 60; ++round) {
    for (int i = 0; i < sends + round % 3; ++i) ASSERT_EQ(send(ch.sender, ++sent), SendResult::Accepted);
    Item out;
    for (int i = 0; i < recvs && ch.receiver.try_recv(out) == RecvResult::Item; ++i) {
      ASSERT_EQ(std::exchange(out, Item{}).id(), next++);
    }
  }
  EXPECT_EQ(drain(ch.receiver), ids(next, sent));
}
INSTANTIATE_TEST_SUITE_P(Bursts, Fifo,
                         ::testing::Values(std::tuple{1, 1}, std::tuple{3, 2}, std::tuple{7, 6}));

// Whichever handle goes last releases what is queued, front to back.
using Destruction = CountingTestP<bool>;
TEST_P(Destruction, ReleasesQueuedItemsFrontToBack) {
  auto ch = channel(0);
  fill_wrapped(ch);
  ReleaseLog log;
  GetParam() ? ch.sender.reset() : ch.receiver.reset();
  EXPECT_TRUE(log.ids.empty());
  GetParam() ? ch.receiver.reset() : ch.sender.reset();
  EXPECT_EQ(log.ids, ids(3, 6));
}
INSTANTIATE_TEST_SUITE_P(SenderFirst, Destruction, ::testing::Bool());

// Producers and consumers on real threads. Drain: the sender goes once the
// producers are done and the consumers run until Disconnected, so every item
// arrives exactly once. Abandon: the consumers quit early and the receiver
// goes while producers still send, so the core dies with items queued and
// the leak check proves each was released once.
using Stress = CountingTestP<std::tuple<std::uint64_t, bool>>;
TEST_P(Stress, ChannelLosesAndDuplicatesNothing) {
  constexpr std::uint64_t kProducers = 3, kPer = 20000, kTotal = kProducers * kPer;
  const auto [capacity, abandon] = GetParam();
  auto ch = channel(capacity);
  std::vector<std::atomic<int>> seen(kTotal + 1);
  std::atomic<std::uint64_t> received{0};
  auto produce = [&](std::uint64_t p) {
    for (std::uint64_t id = p * kPer + 1; id <= (p + 1) * kPer; ++id) {
      Item item(id);
      SendResult r;
      while ((r = ch.sender.try_send(item)) == SendResult::Full) std::this_thread::yield();
      if (r == SendResult::Accepted) continue;
      EXPECT_TRUE(abandon && r == SendResult::Disconnected && item.id() == id);
      return;
    }
  };
  auto consume = [&] {
    std::vector<std::uint64_t> last(kProducers);
    for (Item out; !abandon || received < kTotal / 3;) {
      const RecvResult r = ch.receiver.try_recv(out);
      if (r == RecvResult::Disconnected) return;
      if (r == RecvResult::Empty) {
        std::this_thread::yield();
        continue;
      }
      const std::uint64_t id = std::exchange(out, Item{}).id(), p = (id - 1) / kPer;
      EXPECT_GT(id, last[p]) << "one producer's items arrived out of order";
      last[p] = id;
      ++seen[id];
      ++received;
    }
  };
  std::vector<std::thread> producers, consumers;
  for (std::uint64_t p = 0; p < kProducers; ++p) producers.emplace_back(produce, p);
  for (int i = 0; i < 2; ++i) consumers.emplace_back(consume);
  auto join = [](std::vector<std::thread>& threads) {
    for (auto& t : threads) t.join();
  };
  join(abandon ? consumers : producers);
  abandon ? ch.receiver.reset() : ch.sender.reset();
  join(abandon ? producers : consumers);
  ch = {};
  EXPECT_TRUE(abandon || received == kTotal);
  for (const auto& n : seen) ASSERT_LE(n.load(), 1);
}
INSTANTIATE_TEST_SUITE_P(Modes, Stress,
                         ::testing::Combine(::testing::Values<std::uint64_t>(1, 64, 0),
                                            ::testing::Bool()),
                         [](const auto& info) {  // capacity 0: unbounded
                           return "Capacity" + std::to_string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "Abandon" : "Drain");
                         });

// disconnect() racing senders and receivers, many times over. A receiver
// told Disconnected leaves for good, so that answer is only right if the
// queue was empty at that instant and no send lands afterwards: once every
// receiver has left, nothing may be queued. A send that began after
// disconnect() returned must be refused.
using CloseRace = CountingTestP<std::uint64_t>;
TEST_P(CloseRace, DisconnectedMeansDrainedForGood) {
  constexpr int kTrials = 200, kSenders = 2, kReceivers = 2;
  constexpr std::uint64_t kPer = 400;
  for (int trial = 0; trial < kTrials; ++trial) {
    auto ch = channel(GetParam());
    std::atomic<bool> disconnected{false};
    std::atomic<std::uint64_t> accepted{0}, received{0}, late{0};
    auto produce = [&](std::uint64_t s) {
      for (std::uint64_t id = s * kPer + 1; id <= (s + 1) * kPer; ++id) {
        Item item(id);
        const bool after = disconnected.load();
        SendResult r;
        while ((r = ch.sender.try_send(item)) == SendResult::Full) std::this_thread::yield();
        if (r == SendResult::Disconnected) return;
        ++accepted;
        if (after) ++late;
      }
    };
    auto consume = [&] {
      for (Item out;;) {
        const RecvResult r = ch.receiver.try_recv(out);
        if (r == RecvResult::Disconnected) return;
        if (r == RecvResult::Item) {
          out.reset();
          ++received;
        }
      }
    };
    std::vector<std::thread> threads;
    for (std::uint64_t s = 0; s < kSenders; ++s) threads.emplace_back(produce, s);
    for (int r = 0; r < kReceivers; ++r) threads.emplace_back(consume);
    spin_for(trial * 397 % 20000);
    ch.sender.disconnect();
    disconnected = true;
    for (auto& t : threads) t.join();
    ASSERT_EQ(ch.sender.len(), 0u) << "items queued after every receiver was told Disconnected";
    ASSERT_EQ(received.load(), accepted.load());
    ASSERT_EQ(late.load(), 0u) << "sends accepted after disconnect() returned";
  }
}
INSTANTIATE_TEST_SUITE_P(Capacities, CloseRace, ::testing::Values<std::uint64_t>(0, 8));

}  // namespace
}  // namespace kestrum::test
