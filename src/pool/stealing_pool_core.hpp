#pragma once
// The scheduling core of a work-stealing pool of n workers.
//
// Work enters through the shared queue (unbounded) or through one worker's
// pinned queue (capacity 256; a full one overflows to the shared queue).
// Worker i asks for work with pop(i) and is served from, in order: its run
// queue, its pinned queue, a batch pulled from the shared queue into its run
// queue, and half of the oldest tasks of another worker's run queue. Run
// queues hold only tasks that came from the shared queue, and anyone may
// steal from them: a task that a worker took in a batch but has not started
// never waits for that worker. Pinned tasks stay with their worker.
//
// The core never blocks, and parking is the caller's: a worker that finds
// nothing may first spin for work a little (work_soon(i)), then calls
// park(i), which registers it as parked and re-checks; a push claims a
// spinning worker if there is one (it will take the task with no wake-up),
// else a parked one, whose index it returns: the caller then wakes that
// worker (one wake-up token per claim).
//
// Callers may: call any method from any thread at any time, with one
// exception: park(i) belongs to the one thread that serves worker i.
//
// Guarantees:
//  - Every accepted task is handed out exactly once; none is lost.
//  - No lost wake-up: park(i) returns Parked only if, at one instant after
//    the worker registered, no stealable task and no task pinned to i was
//    queued. Every later push sees the registration and claims a parked
//    worker (the pinned worker itself for a pinned push).
//  - Progress: a worker that takes a pinned task while stealable tasks wait
//    claims another worker for them, so a long pinned task does not hold up
//    shared work that a parked worker could run.
//  - pop(i) reports Closed only once the pool is closed and, at one instant
//    after that, nothing was queued that worker i could be handed: close()
//    strands nothing submitted before it.
//  - No method waits for anything but the short sections of the locks below,
//    except work_soon(), which spins for as long as it is told.
//
// Locks and what they guard:
//   shared_.mu              shared_.tasks
//   workers_[i].run.mu      workers_[i].run.tasks
//   workers_[i].pinned.mu   workers_[i].pinned.tasks
//   idle_mu_                idle_, workers_[i].parked (written only under it)
// Nesting, outer first: a run lock, then a second run lock of a higher
// index (stealing), or then the shared lock (a batch pull). Pinned locks
// and idle_mu_ are never held with another lock. No task is destroyed under
// any of them: refused tasks go back to the caller.
//
// Memory order: two counters carry the parking protocol, `stealable_` (tasks
// in the shared queue and every run queue) and each pinned queue's size,
// against `num_parked_` and each worker's `parked` flag. A push writes its
// counter, then reads the parking state; park() writes the parking state,
// then reads the counters; all four with sequentially consistent operations,
// so at least one side sees the other's write. Anything a thread did before
// pushing a task is visible to the thread that pops it (both go through the
// lock of the queue that held it).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/cache_line.hpp"
#include "core/ring_buffer.hpp"
#include "core/short_mutex.hpp"
#include "core/spin_wait.hpp"
#include "metrics/metrics_core.hpp"
#include "pool/worker_pool_core.hpp"  // PushResult, PopResult

namespace kestrum {

enum class ParkDecision {
  Parked,        // registered; block until a claim delivers the wake-up token
  Retry,         // work (or close) became visible: look again; no token is due
  RetryClaimed,  // the same, but a waker claimed this worker meanwhile: its
                 // token is on the way and must be consumed before parking again
};

template <class Task>
class StealingPoolCore {
 public:
  static constexpr std::uint64_t kMaxWorkers = std::uint64_t{1} << 32;  // exclusive
  static constexpr std::uint64_t kPinnedCapacity = 256;
  static constexpr std::uint64_t kMaxBatch = 128;
  static constexpr std::uint64_t kNoWorker = UINT64_MAX;
  static constexpr std::uint64_t kSpinner = UINT64_MAX - 1;  // see claim_for_work()

  // Throws std::length_error("capacity overflow") for n >= 2^32, before any
  // per-worker storage; std::bad_alloc if storage can't be had.
  explicit StealingPoolCore(std::uint64_t n)
      : num_threads_(checked(n)),
        workers_(std::make_unique<Worker[]>(n)),
        counters_(n),
        steals_(n) {
    // The counter arrays report a failed allocation instead of throwing.
    if (!counters_.allocated() || !steals_.allocated()) throw std::bad_alloc();
    idle_.reserve(n);  // each worker is registered at most once at a time
  }

  StealingPoolCore(const StealingPoolCore&) = delete;
  StealingPoolCore& operator=(const StealingPoolCore&) = delete;

  // Releases the queued tasks with no lock held.
  ~StealingPoolCore() = default;

  std::uint64_t num_threads() const noexcept { return num_threads_; }

  // Moves `task` into the shared queue on Accepted, and sets `wake` to the
  // parked worker claimed for it, or kNoWorker.
  PushResult push(Task& task, std::uint64_t& wake) noexcept {
    wake = kNoWorker;
    {
      std::lock_guard guard(shared_.mu);
      // Read under the lock that close() writes it under: a push either lands
      // before the close or is refused.
      if (!accepting_.load(std::memory_order_relaxed)) return PushResult::Closed;
      if (!shared_.tasks.push_back(task)) return PushResult::OutOfMemory;
      shared_.publish_size();
      stealable_.fetch_add(1, std::memory_order_seq_cst);  // see "Memory order"
    }
    wake = claim_for_work();
    if (wake == kSpinner) wake = kNoWorker;
    return PushResult::Accepted;
  }

  // Moves the `count` tasks at `tasks` (none empty) into the shared queue,
  // in order, on Accepted, leaving empty items behind; on refusal they are
  // left untouched. One lock round-trip for the batch. Claims no worker:
  // the caller then calls claim_for_work() up to `count` times, which after
  // this push is exactly what push() does for each task.
  PushResult push_many(Task* tasks, std::size_t count) noexcept {
    std::lock_guard guard(shared_.mu);
    if (!accepting_.load(std::memory_order_relaxed)) return PushResult::Closed;
    if (!shared_.tasks.reserve(shared_.tasks.size() + count)) return PushResult::OutOfMemory;
    for (std::size_t i = 0; i < count; ++i) (void)shared_.tasks.push_back(tasks[i]);  // room reserved
    shared_.publish_size();
    stealable_.fetch_add(count, std::memory_order_seq_cst);  // see "Memory order"
    return PushResult::Accepted;
  }

  // Moves `task` into worker `index`'s pinned queue, or into the shared queue
  // when that one is full, on Accepted; `wake` as for push().
  PushResult push_to(std::uint64_t index, Task& task, std::uint64_t& wake) noexcept {
    wake = kNoWorker;
    if (index >= num_threads_) return PushResult::IndexOutOfRange;
    Worker& worker = workers_[index];
    bool full = false;
    {
      std::lock_guard guard(worker.pinned.mu);
      // close() passes through this lock after it stops accepting: a push
      // that saw "accepting" here is queued before close() completes.
      if (!accepting_.load(std::memory_order_acquire)) return PushResult::Closed;
      if (worker.pinned.tasks.size() < kPinnedCapacity) {
        if (!worker.pinned.tasks.push_back(task)) return PushResult::OutOfMemory;
        worker.pinned.publish_size();  // seq_cst: see "Memory order"
        counters_.remote_schedule.add(index, 1);
      } else {
        full = true;
      }
    }
    if (full) return push(task, wake);  // overflow: any worker may take it now
    wake = claim(index);
    return PushResult::Accepted;
  }

  // On Task, moves worker `index`'s next task into `out`, which must be
  // empty, and sets `*wake` as push() does (see below), else to kNoWorker;
  // a caller with no way to wake a worker passes nullptr and claims none.
  // Idle may be momentary (tasks moved between queues while this call
  // looked); park() tells for sure. An index at or beyond n takes only from
  // the shared queue and by stealing.
  //
  // A worker may have been claimed (or its spin counted on) for a task in
  // the shared queue, while a task pinned to it, which found it claimed
  // already and woke nobody, came too. If it takes the pinned one first,
  // it passes the claim on: otherwise the shared task would wait for the
  // pinned one to finish while another worker stays parked.
  PopResult pop(std::uint64_t index, Task& out, std::uint64_t* wake) noexcept {
    if (wake != nullptr) *wake = kNoWorker;
    const bool worker = index < num_threads_;
    for (int scan = 0; scan < kScans; ++scan) {
      if (worker) {
        if (take_run(index, out)) return PopResult::Task;
        if (take_pinned(index, out)) {
          if (wake != nullptr && stealable_.load(std::memory_order_seq_cst) != 0) {
            *wake = claim_for_work();
            if (*wake == kSpinner) *wake = kNoWorker;
          }
          return PopResult::Task;
        }
      }
      switch (pull_shared(index, out)) {
        case PopResult::Task: return PopResult::Task;
        case PopResult::OutOfMemory: return PopResult::OutOfMemory;
        default: break;
      }
      if (steal(index, out)) return PopResult::Task;
      // Closed first, counts after: pushes accepted before the close are
      // counted by the time `closed_` reads true.
      const bool closed = closed_.load(std::memory_order_acquire);
      if (!work_visible(index)) return closed ? PopResult::Closed : PopResult::Idle;
      // A task is queued that this scan missed: it moved between two queues
      // while we looked. Look once more.
    }
    return PopResult::Idle;
  }

  // Registers worker `index` (< n) as parked, then re-checks for work it
  // could be handed. Only the thread serving `index` may call this.
  ParkDecision park(std::uint64_t index) noexcept {
    if (index >= num_threads_) return ParkDecision::Retry;
    Worker& worker = workers_[index];
    {
      std::lock_guard guard(idle_mu_);
      idle_.push_back(index);  // cannot allocate: room for n reserved
      worker.parked.store(true, std::memory_order_seq_cst);
      num_parked_.fetch_add(1, std::memory_order_seq_cst);
    }
    counters_.park.add(index, 1);
    if (!work_visible(index) && accepting_.load(std::memory_order_seq_cst)) {
      counters_.injection_queue_depth.store(index, shared_.size.load(std::memory_order_relaxed));
      return ParkDecision::Parked;
    }
    {
      std::lock_guard guard(idle_mu_);
      if (worker.parked.load(std::memory_order_relaxed)) {
        unregister_lock_held(index);
        return ParkDecision::Retry;
      }
    }
    return ParkDecision::RetryClaimed;
  }

  // Spins for up to `budget`, reading counters only, until work worker
  // `index` could be handed shows up or the pool closes. A worker calls it
  // before park(): a task submitted right after the last one finished (one
  // call at a time, say) is then taken at once, with no park, no wake-up
  // and no context switch on either side. True says "look again".
  //
  // At most half the workers (at least one) spin at a time; the others
  // park at once: spinners take cores, and the threads that submit the work
  // need some. A spinner holds a ticket, and a push takes a ticket instead
  // of waking a parked worker (claim_for_work()). Whoever moves `spinners_`
  // last decides: a spinner that finds its ticket taken when it stops was
  // counted on for a task pushed before, and looks again (acquire/release
  // on the ticket count: it then sees that task in the queues). A push that
  // finds no ticket wakes a parked worker, as before.
  bool work_soon(std::uint64_t index, std::chrono::nanoseconds budget) noexcept {
    std::uint64_t tickets = spinners_.load(std::memory_order_relaxed);
    do {
      if (tickets >= max_spinners_) return false;
    } while (!spinners_.compare_exchange_weak(tickets, tickets + 1, std::memory_order_acq_rel,
                                              std::memory_order_relaxed));
    const bool soon =
        spin_wait([&] { return work_visible(index) || !accepting_.load(std::memory_order_acquire); }, budget);
    const bool counted_on = !take_ticket();
    return soon || counted_on;
  }

  // For a task just pushed to the shared queue: takes a spinner's ticket
  // (returns kSpinner: that worker will look again), else claims a parked
  // worker (returns its index, to be woken), else kNoWorker.
  std::uint64_t claim_for_work() noexcept { return take_ticket() ? kSpinner : claim_any(); }

  // Claims one parked worker, or returns kNoWorker: for waking them all
  // after close().
  std::uint64_t claim_parked() noexcept { return claim_any(); }

  // Stops new work; queued work stays available to pop(). The caller then
  // wakes every parked worker (claim_parked()): each finds the pool closed.
  void close() noexcept {
    {
      std::lock_guard guard(shared_.mu);
      accepting_.store(false, std::memory_order_seq_cst);
    }
    // Pass through every pinned lock: a pinned push that still saw
    // "accepting" has queued its task by the time we get the lock.
    for (std::uint64_t i = 0; i < num_threads_; ++i) {
      std::lock_guard guard(workers_[i].pinned.mu);
    }
    closed_.store(true, std::memory_order_release);
  }

  bool is_closed() const noexcept { return !accepting_.load(std::memory_order_acquire); }

  const MetricsCore& counters() const noexcept { return counters_; }
  // The caller keeps `active` and `completed` as it runs the tasks.
  MetricsCore& counters() noexcept { return counters_; }
  // Tasks worker i took from other workers' run queues.
  std::uint64_t steals(std::uint64_t index) const noexcept { return steals_.load(index); }

 private:
  static constexpr int kScans = 4;

  static std::uint64_t checked(std::uint64_t n) {
    if (n >= kMaxWorkers) throw std::length_error("capacity overflow");
    return n;
  }

  struct alignas(kCacheLine) Lane {
    ShortMutex mu;
    RingBuffer<Task> tasks;  // guarded by mu
    // A copy of tasks.size(), written under mu and read without it.
    std::atomic<std::uint64_t> size{0};
    void publish_size() noexcept { size.store(tasks.size(), std::memory_order_seq_cst); }
  };

  struct Worker {
    Lane run;     // stealable: tasks pulled from the shared queue
    Lane pinned;  // this worker's alone
    std::atomic<bool> parked{false};  // written under idle_mu_
    std::atomic<std::uint64_t> next_victim{0};  // a hint, so relaxed
  };

  bool work_visible(std::uint64_t index) const noexcept {
    if (stealable_.load(std::memory_order_seq_cst) != 0) return true;
    return index < num_threads_ && workers_[index].pinned.size.load(std::memory_order_seq_cst) != 0;
  }

  // Hands out the front task of `lane` (locked) into `out`.
  static void take_front_lock_held(Lane& lane, Task& out) noexcept {
    out = lane.tasks.pop_front();
    lane.publish_size();
  }

  bool take_run(std::uint64_t index, Task& out) noexcept {
    Lane& run = workers_[index].run;
    if (run.size.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard guard(run.mu);
    if (run.tasks.empty()) return false;
    take_front_lock_held(run, out);
    stealable_.fetch_sub(1, std::memory_order_seq_cst);
    return true;
  }

  bool take_pinned(std::uint64_t index, Task& out) noexcept {
    Lane& pinned = workers_[index].pinned;
    if (pinned.size.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard guard(pinned.mu);
    if (pinned.tasks.empty()) return false;
    take_front_lock_held(pinned, out);
    return true;
  }

  // A worker moves its fair share of the shared queue into its run queue,
  // where others can still steal it, and takes the oldest; a non-worker
  // takes one task.
  PopResult pull_shared(std::uint64_t index, Task& out) noexcept {
    if (shared_.size.load(std::memory_order_relaxed) == 0) return PopResult::Idle;
    if (index >= num_threads_) {
      std::lock_guard guard(shared_.mu);
      if (shared_.tasks.empty()) return PopResult::Idle;
      take_front_lock_held(shared_, out);
      stealable_.fetch_sub(1, std::memory_order_seq_cst);
      return PopResult::Task;
    }
    Lane& run = workers_[index].run;
    std::lock_guard run_guard(run.mu);
    std::uint64_t pulled = 0, left = 0;
    {
      std::lock_guard shared_guard(shared_.mu);
      const std::uint64_t queued = shared_.tasks.size();
      if (queued == 0) return PopResult::Idle;
      const std::uint64_t batch = std::min({queued / num_threads_ + 1, kMaxBatch, queued});
      // Room first, so every task taken has a place to go. Without memory
      // for a batch, take just the one task handed out, which needs none.
      if (!run.tasks.reserve(run.tasks.size() + batch)) {
        take_front_lock_held(shared_, out);
        stealable_.fetch_sub(1, std::memory_order_seq_cst);
        counters_.global_pull.add(index, 1);
        return PopResult::Task;
      }
      for (; pulled < batch; ++pulled) {
        Task task = shared_.tasks.pop_front();
        (void)run.tasks.push_back(task);  // cannot fail: room reserved above
      }
      shared_.publish_size();
      left = shared_.tasks.size();
    }
    take_front_lock_held(run, out);
    stealable_.fetch_sub(1, std::memory_order_seq_cst);
    counters_.global_pull.add(index, pulled);
    counters_.injection_queue_depth.store(index, left);
    return PopResult::Task;
  }

  // Takes the older half of the first non-empty run queue of another
  // worker, starting at a rotating victim, and hands out its oldest task.
  // One pass over the workers; the caller decides whether to look again.
  bool steal(std::uint64_t index, Task& out) noexcept {
    const std::uint64_t n = num_threads_;
    if (n == 0) return false;
    const bool worker = index < n;
    const std::uint64_t start =
        worker ? workers_[index].next_victim.fetch_add(1, std::memory_order_relaxed) % n : 0;
    for (std::uint64_t k = 0; k < n; ++k) {
      const std::uint64_t victim = (start + k) % n;
      if (victim == index) continue;
      Lane& from = workers_[victim].run;
      if (from.size.load(std::memory_order_relaxed) == 0) continue;
      if (!worker) {
        std::lock_guard guard(from.mu);
        if (from.tasks.empty()) continue;
        take_front_lock_held(from, out);
        stealable_.fetch_sub(1, std::memory_order_seq_cst);
        return true;
      }
      Lane& into = workers_[index].run;
      // Two run locks, lower index first.
      std::unique_lock first(index < victim ? into.mu : from.mu);
      std::unique_lock second(index < victim ? from.mu : into.mu);
      const std::uint64_t available = from.tasks.size();
      if (available == 0) continue;
      std::uint64_t take = (available + 1) / 2;
      // Without room for the rest, take just the one to run.
      if (!into.tasks.reserve(into.tasks.size() + take - 1)) take = 1;
      take_front_lock_held(from, out);
      for (std::uint64_t moved = 1; moved < take; ++moved) {
        Task task = from.tasks.pop_front();
        (void)into.tasks.push_back(task);  // cannot fail: room reserved above
      }
      from.publish_size();
      into.publish_size();
      stealable_.fetch_sub(1, std::memory_order_seq_cst);
      steals_.add(index, take);
      return true;
    }
    return false;
  }

  // Takes one spinner's ticket, if any is left.
  bool take_ticket() noexcept {
    std::uint64_t tickets = spinners_.load(std::memory_order_relaxed);
    do {
      if (tickets == 0) return false;
    } while (!spinners_.compare_exchange_weak(tickets, tickets - 1, std::memory_order_acq_rel,
                                              std::memory_order_relaxed));
    return true;
  }

  // Claims worker `index` if it is parked.
  std::uint64_t claim(std::uint64_t index) noexcept {
    if (!workers_[index].parked.load(std::memory_order_seq_cst)) return kNoWorker;
    std::lock_guard guard(idle_mu_);
    if (!workers_[index].parked.load(std::memory_order_relaxed)) return kNoWorker;
    unregister_lock_held(index);
    return index;
  }

  // Claims the most recently parked worker (its cache is the warmest).
  std::uint64_t claim_any() noexcept {
    if (num_parked_.load(std::memory_order_seq_cst) == 0) return kNoWorker;
    std::lock_guard guard(idle_mu_);
    if (idle_.empty()) return kNoWorker;
    const std::uint64_t index = idle_.back();
    unregister_lock_held(index);
    return index;
  }

  void unregister_lock_held(std::uint64_t index) noexcept {
    idle_.erase(std::find(idle_.begin(), idle_.end(), index));
    workers_[index].parked.store(false, std::memory_order_relaxed);
    num_parked_.fetch_sub(1, std::memory_order_seq_cst);
  }

  const std::uint64_t num_threads_;
  Lane shared_;
  std::unique_ptr<Worker[]> workers_;
  alignas(kCacheLine) std::atomic<std::uint64_t> stealable_{0};
  alignas(kCacheLine) std::atomic<std::uint64_t> num_parked_{0};
  ShortMutex idle_mu_;
  std::vector<std::uint64_t> idle_;  // guarded by idle_mu_: parked workers, oldest first
  // Tickets of the workers spinning in work_soon() that no push took yet.
  alignas(kCacheLine) std::atomic<std::uint64_t> spinners_{0};
  const std::uint64_t max_spinners_ = num_threads_ / 2 > 0 ? num_threads_ / 2 : 1;
  alignas(kCacheLine) std::atomic<bool> accepting_{true};  // true -> false once, under shared_.mu
  std::atomic<bool> closed_{false};  // set after every accepted push has landed
  MetricsCore counters_;  // active and completed kept by the caller, which runs the tasks
  CounterArray steals_;
};

}  // namespace kestrum
