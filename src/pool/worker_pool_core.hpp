#pragma once
// The scheduling core of a pool of n workers.
//
// Work enters through the shared global queue (unbounded) or through one
// worker's local queue (capacity 256; a full one overflows to the global
// queue). Worker i asks for work with pop_work(i) and is served from, in
// order: its private buffer, a batch pulled from the global queue into that
// buffer, and its own local queue. Workers never take from each other's
// queues or buffers; they share load only through the global queue.
//
// Callers may: call any method from any thread at any time, including
// several pop_work() with one index and pushes racing close().
// Guarantees: every accepted task is handed out exactly once, in FIFO order
// per source; close() is one-way and keeps queued work available; no method
// waits for anything but the short sections of the locks below.
//
// Parameters: `Task` is a move-only item with an empty (default) state;
// `MetricsRef` is a move-only, default-empty handle with `explicit operator
// bool` and `get()` returning the MetricsCore it keeps alive.
//
// Locks and what they guard:
//   global_sender_mu_   global_sender_        (never held with another pool lock)
//   local_senders_mu_   local_senders_
//   buffers_[i].mu      buffers_[i].tasks
//   metrics_mu_         metrics_
// Nesting, outer first: buffer lock -> metrics lock; local-senders lock ->
// metrics lock. A channel's own lock is always innermost. No task is released
// under any of them: refused tasks go back to the caller.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

#include "channel/channel_core.hpp"
#include "core/cache_line.hpp"
#include "core/nothrow_array.hpp"
#include "core/ring_buffer.hpp"
#include "core/short_mutex.hpp"
#include "metrics/metrics_core.hpp"

namespace kestrum {

enum class PushResult {
  Accepted,         // the pool owns the task now
  Closed,           // the pool is closed; the task stays with the caller
  IndexOutOfRange,  // no such worker; the task stays with the caller
  OutOfMemory,      // a queue could not grow; the task stays with the caller
};

enum class PopResult {
  Task,         // a task was moved out to the caller
  Idle,         // nothing for this worker now
  Closed,       // nothing for this worker, and the pool is closed
  OutOfMemory,  // the worker's buffer could not grow; nothing was taken
};

template <class Task, class MetricsRef>
class WorkerPoolCore {
 public:
  static constexpr std::uint64_t kMaxWorkers = std::uint64_t{1} << 60;  // exclusive
  static constexpr std::uint64_t kLocalCapacity = 256;
  static constexpr std::uint64_t kMaxBatch = 128;

  // Throws std::length_error("capacity overflow") for n >= 2^60, before any
  // per-worker storage. When storage can't be had, allocated() is false and
  // the pool must not be used: nothing throws for lack of memory.
  explicit WorkerPoolCore(std::uint64_t n) : num_threads_(n) {
    auto global = make_unbounded_channel<Task>();
    if (n >= kMaxWorkers) throw std::length_error("capacity overflow");
    local_senders_.reset(new_array_nothrow<ChannelSender<Task>>(n));
    local_receivers_.reset(new_array_nothrow<ChannelReceiver<Task>>(n));
    buffers_.reset(new_array_nothrow<WorkerBuffer>(n));
    if (!global.sender || !local_senders_ || !local_receivers_ || !buffers_) return;
    for (std::uint64_t i = 0; i < n; ++i) {
      auto local = make_bounded_channel<Task>(kLocalCapacity);
      if (!local.sender) return;
      local_senders_[i] = std::move(local.sender);
      local_receivers_[i] = std::move(local.receiver);
    }
    global_sender_ = std::move(global.sender);
    global_receiver_ = std::move(global.receiver);
  }

  // False when the constructor could not get its storage.
  bool allocated() const noexcept { return static_cast<bool>(global_receiver_); }

  WorkerPoolCore(const WorkerPoolCore&) = delete;
  WorkerPoolCore& operator=(const WorkerPoolCore&) = delete;

  // Releases in field order, with no pool lock held: the global queue (and
  // the tasks still in it), the local queues, the buffers, then the metrics.
  ~WorkerPoolCore() {
    global_sender_.reset();
    global_receiver_.reset();
    local_senders_.reset();
    local_receivers_.reset();
    buffers_.reset();
    metrics_ = MetricsRef{};
  }

  std::uint64_t num_threads() const noexcept { return num_threads_; }

  // Moves `task` into the global queue on Accepted.
  PushResult push_global(Task& task) noexcept {
    if (closed_.load(std::memory_order_acquire)) return PushResult::Closed;
    std::lock_guard guard(global_sender_mu_);
    if (!global_sender_) return PushResult::Closed;
    switch (global_sender_.send(task)) {
      case SendResult::Accepted: return PushResult::Accepted;
      case SendResult::OutOfMemory: return PushResult::OutOfMemory;
      case SendResult::Full:  // the global queue has no capacity
      case SendResult::Disconnected: break;
    }
    return PushResult::Closed;
  }

  // Moves `task` into worker `index`'s local queue, or into the global queue
  // when that one is full, on Accepted.
  PushResult push_local(std::uint64_t index, Task& task) noexcept {
    if (closed_.load(std::memory_order_acquire)) return PushResult::Closed;
    {
      std::lock_guard guard(local_senders_mu_);
      // Gone after close(), and none for a pool of zero workers.
      if (!local_senders_ || num_threads_ == 0) return PushResult::Closed;
      if (index >= num_threads_) return PushResult::IndexOutOfRange;
      switch (local_senders_[index].try_send(task)) {
        case SendResult::Accepted:
          with_metrics([index](MetricsCore& m) { m.remote_schedule.add(index, 1); });
          return PushResult::Accepted;
        case SendResult::Full: break;  // overflow below, without this lock
        case SendResult::Disconnected: return PushResult::Closed;
        case SendResult::OutOfMemory: return PushResult::OutOfMemory;
      }
    }
    return push_global(task);
  }

  // On Task, moves worker `index`'s next task into `out`, which must be empty.
  //
  // Closed is reported only after a look that began once close() had
  // finished: by then every task the pool accepted is in a queue, so that
  // empty look is final for this worker's buffer and local queue, and for
  // the shared queue unless the pull limit kept this call off it (then the
  // worker that is pulling drains it). A look that began on an open pool
  // and saw the pool close meanwhile is repeated, since a task pushed just
  // before the close may have landed behind it.
  PopResult pop_work(std::uint64_t index, Task& out) noexcept {
    // Acquire: pairs with close()'s release, after both sender locks.
    bool closed_before_look = closed_.load(std::memory_order_acquire);
    while (true) {
      if (index < num_threads_) {
        switch (pop_from_buffer(index, out)) {
          case PopResult::Task: return PopResult::Task;
          case PopResult::OutOfMemory: return PopResult::OutOfMemory;
          default: break;
        }
        if (local_receivers_[index].try_recv(out) == RecvResult::Item) return PopResult::Task;
      }
      if (closed_before_look) return PopResult::Closed;
      if (!closed_.load(std::memory_order_acquire)) break;
      closed_before_look = true;
    }
    {
      std::lock_guard guard(global_sender_mu_);
      // A close() under way: pushes may still land, so this is no final
      // "closed"; nothing is here now, and the caller will ask again.
      if (!global_sender_ || global_sender_.is_disconnected()) return PopResult::Idle;
    }
    with_metrics([this, index](MetricsCore& m) {
      m.park.add(index, 1);
      m.injection_queue_depth.store(index, global_receiver_.len());
    });
    return PopResult::Idle;
  }

  // Stops new work; queued work stays available to pop_work().
  void close() noexcept {
    {
      std::lock_guard guard(global_sender_mu_);
      global_sender_.reset();  // the receiver still owns the queued tasks
    }
    std::unique_ptr<ChannelSender<Task>[]> senders;
    {
      std::lock_guard guard(local_senders_mu_);
      senders.swap(local_senders_);
    }
    senders.reset();  // disconnects each local queue; their tasks stay
    closed_.store(true, std::memory_order_release);
  }

  bool is_closed() const noexcept {
    if (closed_.load(std::memory_order_acquire)) return true;
    std::lock_guard guard(global_sender_mu_);
    return !global_sender_ || global_sender_.is_disconnected();
  }

  // Installs `metrics`; the previous one is released after the lock.
  void set_metrics(MetricsRef metrics) noexcept {
    {
      std::lock_guard guard(metrics_mu_);
      std::swap(metrics_, metrics);
      has_metrics_.store(true, std::memory_order_release);
    }
  }

 private:
  struct alignas(kCacheLine) WorkerBuffer {
    ShortMutex mu;
    RingBuffer<Task> tasks;  // guarded by mu
  };

  // Runs `update` on the attached counters under the metrics lock, which
  // keeps them alive. A pool that never had metrics skips the lock: a stale
  // "none" only means this update raced with the set_metrics() that attached
  // them. The handle is still checked under the lock, since set_metrics()
  // may have been given an empty one.
  template <class Update>
  void with_metrics(Update update) noexcept {
    if (!has_metrics_.load(std::memory_order_acquire)) return;
    std::lock_guard guard(metrics_mu_);
    if (metrics_) update(*metrics_.get());
  }

  // Serves from worker `index`'s buffer, refilling it with a batch from the
  // global queue when it is empty. Returns Task, OutOfMemory or Idle.
  PopResult pop_from_buffer(std::uint64_t index, Task& out) noexcept {
    WorkerBuffer& buffer = buffers_[index];
    std::lock_guard guard(buffer.mu);
    if (!buffer.tasks.empty()) {
      out = buffer.tasks.pop_front();
      return PopResult::Task;
    }
    // Nothing to pull: skip the throttle's shared counter altogether.
    if (global_receiver_.len() == 0) return PopResult::Idle;
    // Count ourselves in for as long as we look, pull or not; the throttle
    // only compares the count before our own increment. Relaxed: the count
    // is a contention hint and orders nothing.
    const std::uint64_t pulling = pulling_workers_.fetch_add(1, std::memory_order_relaxed);
    PopResult result = PopResult::Idle;
    if (pulling < std::max<std::uint64_t>(num_threads_ / 2, 1)) {
      result = pull_batch(index, buffer, out);
    }
    pulling_workers_.fetch_sub(1, std::memory_order_relaxed);
    return result;
  }

  // Moves up to a fair share of the global queue into `buffer` (held).
  PopResult pull_batch(std::uint64_t index, WorkerBuffer& buffer, Task& out) noexcept {
    const std::uint64_t queued = global_receiver_.len();
    if (queued == 0) return PopResult::Idle;
    const std::uint64_t batch = std::min(queued / num_threads_ + 1, kMaxBatch);
    // Room first, so a task once taken from the queue always has a place.
    if (!buffer.tasks.reserve(batch)) return PopResult::OutOfMemory;
    // The whole batch moves under one acquisition of the queue's lock.
    const std::uint64_t pulled = global_receiver_.recv_up_to(batch, [&buffer](Task& task) {
      (void)buffer.tasks.push_back(task);  // cannot fail: room reserved above
    });
    if (pulled == 0) return PopResult::Idle;
    with_metrics([this, index, pulled](MetricsCore& m) {
      m.global_pull.add(index, pulled);  // one add for the whole batch
      m.injection_queue_depth.store(index, global_receiver_.len());
    });
    out = buffer.tasks.pop_front();
    return PopResult::Task;
  }

  const std::uint64_t num_threads_;
  mutable ShortMutex global_sender_mu_;
  ChannelSender<Task> global_sender_;  // guarded by global_sender_mu_; empty once closed
  ChannelReceiver<Task> global_receiver_;
  ShortMutex local_senders_mu_;
  // One per worker; the senders are moved out (and released) by close().
  std::unique_ptr<ChannelSender<Task>[]> local_senders_;  // guarded by local_senders_mu_
  std::unique_ptr<ChannelReceiver<Task>[]> local_receivers_;
  std::unique_ptr<WorkerBuffer[]> buffers_;
  // Set by close() after both sender lists are emptied: once it reads true,
  // every accepted task is queued. Pushes use it as a fast early check (the
  // sender locks decide for them); pop_work() decides "closed" on it.
  std::atomic<bool> closed_{false};
  std::atomic<std::uint64_t> pulling_workers_{0};
  ShortMutex metrics_mu_;
  MetricsRef metrics_;  // guarded by metrics_mu_
  std::atomic<bool> has_metrics_{false};  // false -> true once, under metrics_mu_
};

}  // namespace kestrum
