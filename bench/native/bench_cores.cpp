// Micro-benchmarks of the native cores, each next to the obvious standard
// library way of doing the same thing. Names come in pairs that differ only
// in their first part (BM_Channel_Pair / BM_MutexDeque_Pair, ...), so a
// script reading --benchmark_format=json can turn them into ratios.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "channel/channel_core.hpp"
#include "core/short_mutex.hpp"
#include "metrics/metrics_core.hpp"
#include "pool/worker_pool_core.hpp"

namespace {

using namespace kestrum;

// Stands in for an object reference: one word, moved, never allocated.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(std::uintptr_t v) noexcept : v_(v) {}
  Ref(Ref&& o) noexcept : v_(std::exchange(o.v_, 0)) {}
  Ref& operator=(Ref&& o) noexcept {
    v_ = std::exchange(o.v_, 0);
    return *this;
  }
  std::uintptr_t value() const noexcept { return v_; }

 private:
  std::uintptr_t v_ = 0;
};

// The baseline queue: a std::deque behind a std::mutex.
class MutexDeque {
 public:
  bool try_send(Ref& item) {
    std::lock_guard guard(mu_);
    queue_.push_back(std::move(item));
    return true;
  }
  bool try_recv(Ref& out) {
    std::lock_guard guard(mu_);
    if (queue_.empty()) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
  }

 private:
  std::mutex mu_;
  std::deque<Ref> queue_;
};

// Same interface over the channel core.
class ChannelQueue {
 public:
  bool try_send(Ref& item) { return pair_.sender.try_send(item) == SendResult::Accepted; }
  bool try_recv(Ref& out) { return pair_.receiver.try_recv(out) == RecvResult::Item; }

 private:
  ChannelPair<Ref> pair_ = make_unbounded_channel<Ref>();
};

// (a) one send and one receive on an idle queue, same thread.
template <class Queue>
void Pair(benchmark::State& state) {
  Queue q;
  std::uintptr_t n = 1;
  for (auto _ : state) {
    Ref item(n++);
    q.try_send(item);
    Ref out;
    q.try_recv(out);
    benchmark::DoNotOptimize(out.value());
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_Channel_Pair(benchmark::State& s) { Pair<ChannelQueue>(s); }
void BM_MutexDeque_Pair(benchmark::State& s) { Pair<MutexDeque>(s); }
BENCHMARK(BM_Channel_Pair);
BENCHMARK(BM_MutexDeque_Pair);

// (b) one producer thread and one consumer thread move a fixed number of
// items per iteration; a side that finds nothing to do yields.
constexpr std::uintptr_t kThroughputItems = 100000;

template <class Queue>
void Throughput(benchmark::State& state) {
  for (auto _ : state) {
    Queue q;
    std::thread consumer([&q] {
      Ref out;
      std::uintptr_t sum = 0;
      for (std::uintptr_t got = 0; got < kThroughputItems;) {
        if (q.try_recv(out)) {
          sum += out.value();
          ++got;
        } else {
          std::this_thread::yield();
        }
      }
      benchmark::DoNotOptimize(sum);
    });
    for (std::uintptr_t i = 1; i <= kThroughputItems; ++i) {
      Ref item(i);
      q.try_send(item);
    }
    consumer.join();
  }
  state.SetItemsProcessed(state.iterations() * kThroughputItems);
}
void BM_Channel_Throughput(benchmark::State& s) { Throughput<ChannelQueue>(s); }
void BM_MutexDeque_Throughput(benchmark::State& s) { Throughput<MutexDeque>(s); }
BENCHMARK(BM_Channel_Throughput)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MutexDeque_Throughput)->UseRealTime()->Unit(benchmark::kMillisecond);

// (b2) two threads share one queue, each sending and receiving in turn:
// the Python layer's "2 threads on one shared channel" case. Every operation
// takes the one lock, so what counts is how little else of the queue's
// memory the two cores fight over.
template <class Queue>
void Shared(benchmark::State& state) {
  static Queue* q = nullptr;
  if (state.thread_index() == 0) q = new Queue();
  std::uintptr_t n = 1;
  for (auto _ : state) {
    Ref item(n++);
    q->try_send(item);
    Ref out;
    q->try_recv(out);
    benchmark::DoNotOptimize(out.value());
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    // Google Benchmark's threads all finish the loop before any passes it.
    delete std::exchange(q, nullptr);
  }
}
void BM_Channel_Shared(benchmark::State& s) { Shared<ChannelQueue>(s); }
void BM_MutexDeque_Shared(benchmark::State& s) { Shared<MutexDeque>(s); }
BENCHMARK(BM_Channel_Shared)->Threads(2)->UseRealTime();
BENCHMARK(BM_MutexDeque_Shared)->Threads(2)->UseRealTime();

// (c) lock and unlock around a counter bump, alone and with two threads on
// one lock.
template <class Mutex>
void Lock(benchmark::State& state) {
  static Mutex mu;
  static std::uint64_t counter = 0;
  for (auto _ : state) {
    mu.lock();
    ++counter;
    mu.unlock();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations());
}
void BM_ShortMutex_Uncontended(benchmark::State& s) { Lock<ShortMutex>(s); }
void BM_StdMutex_Uncontended(benchmark::State& s) { Lock<std::mutex>(s); }
void BM_ShortMutex_Contended(benchmark::State& s) { Lock<ShortMutex>(s); }
void BM_StdMutex_Contended(benchmark::State& s) { Lock<std::mutex>(s); }
BENCHMARK(BM_ShortMutex_Uncontended);
BENCHMARK(BM_StdMutex_Uncontended);
BENCHMARK(BM_ShortMutex_Contended)->Threads(2)->UseRealTime();
BENCHMARK(BM_StdMutex_Contended)->Threads(2)->UseRealTime();

// (d) a counter increment: through the metrics core (bounds check, padded
// slot) and on a bare atomic. With two threads each bumping its own worker's
// counter, the padded slots are compared with two atomics sharing a line.
MetricsCore g_metrics(2);
struct alignas(kCacheLine) PackedCounters {
  std::atomic<std::uint64_t> value[2] = {};
};
PackedCounters g_packed;

void BM_Metrics_Increment(benchmark::State& state) {
  for (auto _ : state) g_metrics.park.add(0, 1);
  state.SetItemsProcessed(state.iterations());
}
void BM_Atomic_Increment(benchmark::State& state) {
  for (auto _ : state) g_packed.value[0].fetch_add(1, std::memory_order_relaxed);
  state.SetItemsProcessed(state.iterations());
}
void BM_Metrics_OwnSlot(benchmark::State& state) {
  const auto index = static_cast<std::uint64_t>(state.thread_index());
  for (auto _ : state) g_metrics.park.add(index, 1);
  state.SetItemsProcessed(state.iterations());
}
void BM_Atomic_OwnSlot(benchmark::State& state) {
  std::atomic<std::uint64_t>& mine = g_packed.value[state.thread_index()];
  for (auto _ : state) mine.fetch_add(1, std::memory_order_relaxed);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Metrics_Increment);
BENCHMARK(BM_Atomic_Increment);
BENCHMARK(BM_Metrics_OwnSlot)->Threads(2)->UseRealTime();
BENCHMARK(BM_Atomic_OwnSlot)->Threads(2)->UseRealTime();

// (e) the pool, one thread: push a task and pop it again as worker 0, with
// metrics attached as in production. A global push is pulled back through
// worker 0's buffer; a local push comes back from worker 0's local queue.
using Pool = WorkerPoolCore<Ref, std::shared_ptr<MetricsCore>>;

template <bool Local>
void PoolPushPop(benchmark::State& state) {
  Pool pool(4);
  pool.set_metrics(std::make_shared<MetricsCore>(4));
  std::uintptr_t n = 1;
  for (auto _ : state) {
    Ref task(n++);
    if constexpr (Local) {
      pool.push_local(0, task);
    } else {
      pool.push_global(task);
    }
    Ref out;
    pool.pop_work(0, out);
    benchmark::DoNotOptimize(out.value());
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_Pool_PushLocalPop(benchmark::State& s) { PoolPushPop<true>(s); }
void BM_Pool_PushGlobalPop(benchmark::State& s) { PoolPushPop<false>(s); }
BENCHMARK(BM_Pool_PushLocalPop);
BENCHMARK(BM_Pool_PushGlobalPop);

}  // namespace

int main(int argc, char** argv) {
  // The cores always run in a process with many threads. glibc takes cheaper
  // lock paths in a process that has never started a thread, which would
  // flatter the std::mutex baselines of whichever benchmarks run before the
  // first threaded one; start (and end) a thread before measuring anything.
  std::thread([] {}).join();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
