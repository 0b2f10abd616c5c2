#pragma once
// BlockingChannel: the channel core plus waiting. A thread that finds the
// channel full (send) or empty (recv) parks in the kernel until the
// operation that makes progress possible wakes it, its deadline passes, or a
// signal interrupts it and its stop hook says to give up.
//
// Callers must: use one object from any number of threads; never destroy it
// while a call is in progress; release items (they are moved in and out, never
// released here except at destruction) on a thread that may do so.
//
// Guarantees:
//  - Every guarantee of ChannelCore (FIFO, ownership, nothing created or
//    destroyed under a lock).
//  - close() is one-way. No send is accepted after close() has returned; a
//    receive reports Disconnected only if at one instant the channel was
//    closed and empty, so every item accepted before the close is received.
//  - No lost wake-up: a waiter registers, then retries once, then parks; the
//    other side operates, then looks at the waiter list. Both operations take
//    the core's mutex, so either the retry sees the operation, or the
//    registration happens-before the look (see WaiterQueue::empty()).
//  - A waiter that leaves without using a wake-up that was meant for it
//    (stopped by its hook) passes the wake-up on to the next waiter.
//  - In the child of a fork, the parent's waiting threads, which do not
//    exist there, are forgotten without being touched: their places on the
//    lists lived on their stacks, which the child's new threads may reuse.
//
// Memory order: as ChannelCore for items and for "closed", which is the
// core's own disconnected flag, set under the core's lock: the core decides
// under that lock whether a send lands and whether a receive is told
// Disconnected, so both answers hold at one instant.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <thread>
#include <utility>

#include "channel/channel_core.hpp"
#include "core/cache_line.hpp"
#include "core/fork_epoch.hpp"
#include "core/parker.hpp"
#include "core/short_mutex.hpp"
#include "core/spin_wait.hpp"

namespace kestrum {

// One blocked thread's place in a WaiterQueue; lives on that thread's stack.
struct Waiter {
  Parker parker;
  Waiter* prev = nullptr;  // guarded by the queue's mutex
  Waiter* next = nullptr;  // guarded by the queue's mutex
  bool queued = false;     // guarded by the queue's mutex
  std::uint64_t epoch = 0;  // the fork_epoch() it was queued in; guarded by the queue's mutex
};

// The FIFO of threads waiting on one side of a channel. A waker claims the
// oldest waiter (unlinks it) and unparks it, both under the mutex: once a
// waiter has taken the mutex and found itself claimed, the unpark is done and
// its Parker may go.
class WaiterQueue {
 public:
  WaiterQueue() noexcept : epoch_(fork_epoch()) {}

  void push(Waiter& w) noexcept {
    std::lock_guard guard(mu_);
    forget_parent_waiters_lock_held();
    w.epoch = epoch_;
    w.prev = tail_;
    w.next = nullptr;
    (tail_ ? tail_->next : head_) = &w;
    tail_ = &w;
    w.queued = true;
    size_.store(size_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  // Takes `w` off the queue; false if a waker claimed it first (and has
  // unparked it by now).
  bool withdraw(Waiter& w) noexcept {
    std::lock_guard guard(mu_);
    if (!listed_lock_held(w)) return false;
    unlink_lock_held(w);
    return true;
  }

  // False once `w` is off the list: claimed by a waker, or forgotten in a
  // fork's child (the forking thread's own, if it forked from a signal
  // handler run during its wait), where no waker will find it again.
  bool listed(Waiter& w) noexcept {
    std::lock_guard guard(mu_);
    return listed_lock_held(w);
  }

  // Withdraws a waiter that will not use a wake-up; if one was meant for it,
  // hands it to the next waiter.
  void leave(Waiter& w) noexcept {
    if (!withdraw(w)) wake_one();
  }

  // Waits until a waker that claimed `w` has finished unparking it.
  void settle() noexcept { std::lock_guard guard(mu_); }

  bool wake_one() noexcept {
    std::lock_guard guard(mu_);
    forget_parent_waiters_lock_held();
    Waiter* w = head_;
    if (w == nullptr) return false;
    unlink_lock_held(*w);
    w->parker.unpark();
    return true;
  }

  void wake_all() noexcept {
    std::lock_guard guard(mu_);
    forget_parent_waiters_lock_held();
    while (Waiter* w = head_) {
      unlink_lock_held(*w);
      w->parker.unpark();
    }
  }

  // Read without the mutex by the side that has just operated on the core.
  // A waiter's push happens-before its retry on the core (the core's mutex
  // orders the two sides), so a waker whose operation came after that retry
  // sees the count above zero.
  bool empty() const noexcept { return size_.load(std::memory_order_acquire) == 0; }

 private:
  // In the child of a fork, every listed waiter is a thread of the parent:
  // drop them all, without touching them.
  void forget_parent_waiters_lock_held() noexcept {
    const std::uint64_t now = fork_epoch();
    if (epoch_ == now) [[likely]] return;
    epoch_ = now;
    head_ = tail_ = nullptr;
    size_.store(0, std::memory_order_relaxed);
  }

  bool listed_lock_held(const Waiter& w) noexcept {
    forget_parent_waiters_lock_held();
    return w.queued && w.epoch == epoch_;
  }

  void unlink_lock_held(Waiter& w) noexcept {
    (w.prev ? w.prev->next : head_) = w.next;
    (w.next ? w.next->prev : tail_) = w.prev;
    w.prev = w.next = nullptr;
    w.queued = false;
    size_.store(size_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }

  ShortMutex mu_;
  Waiter* head_ = nullptr;  // guarded by mu_
  Waiter* tail_ = nullptr;  // guarded by mu_
  std::uint64_t epoch_;     // the fork_epoch() the list belongs to; guarded by mu_
  std::atomic<std::uint64_t> size_{0};  // written under mu_, read without it
};

enum class WaitResult {
  Done,         // the item was sent / received
  Closed,       // send: the channel is closed; recv: closed and drained
  TimedOut,     // the deadline passed first; nothing moved
  Stopped,      // the stop hook asked to give up; nothing moved
  OutOfMemory,  // the queue storage could not grow; the item stays with the caller
};

template <class T, class Alloc = HeapSlotAllocator>
class BlockingChannel {
 public:
  // `capacity` 0 means unbounded. Throws std::bad_alloc.
  explicit BlockingChannel(std::uint64_t capacity)
      : pair_(capacity == 0 ? make_unbounded_channel<T, Alloc>() : make_bounded_channel<T, Alloc>(capacity)),
        capacity_(capacity == 0 ? kNoCapacity : capacity) {
    if (!pair_.sender) throw std::bad_alloc();
  }
  BlockingChannel(const BlockingChannel&) = delete;
  BlockingChannel& operator=(const BlockingChannel&) = delete;

  // Never waits. Accepted moves `item` in; otherwise it stays with the caller.
  SendResult try_send(T& item) noexcept {
    const SendResult r = pair_.sender.try_send(item);
    if (r == SendResult::Accepted && !receivers_.empty()) receivers_.wake_one();
    return r;
  }

  // Never waits. Item moves the oldest item into `out` (which must be empty).
  RecvResult try_recv(T& out) noexcept {
    const RecvResult r = pair_.receiver.try_recv(out);
    if (r == RecvResult::Item && !senders_.empty()) senders_.wake_one();
    return r;
  }

  // Sends `item`, waiting while the channel is full, until `deadline`
  // (nullptr: no limit). `stop()` runs when a signal interrupts the wait;
  // returning true ends the call with Stopped.
  template <class Stop>
  WaitResult send(T& item, const Deadline* deadline, Stop&& stop) noexcept {
    const auto room = [this]() noexcept { return len() < capacity_ || is_closed(); };
    return wait_for(senders_, deadline, stop, room, [&]() noexcept {
      switch (try_send(item)) {
        case SendResult::Accepted: return Attempt::Done;
        case SendResult::Full: return Attempt::Again;
        case SendResult::Disconnected: return Attempt::Closed;
        case SendResult::OutOfMemory: break;
      }
      return Attempt::OutOfMemory;
    });
  }

  // Receives into `out` (which must be empty), waiting while the channel is
  // empty; otherwise as send().
  template <class Stop>
  WaitResult recv(T& out, const Deadline* deadline, Stop&& stop) noexcept {
    const auto item = [this]() noexcept { return len() != 0 || is_closed(); };
    return wait_for(receivers_, deadline, stop, item, [&]() noexcept {
      switch (try_recv(out)) {
        case RecvResult::Item: return Attempt::Done;
        case RecvResult::Empty: return Attempt::Again;
        case RecvResult::Disconnected: break;
      }
      return Attempt::Closed;
    });
  }

  // Refuses every later send and wakes every waiter. A waiter registers
  // before its last retry under the core's lock: a retry after the close
  // sees it, and one before it was registered in time for the wake-up.
  void close() noexcept {
    pair_.sender.disconnect();
    senders_.wake_all();
    receivers_.wake_all();
  }

  bool is_closed() const noexcept { return pair_.sender.is_disconnected(); }

  // See ChannelCore::empty_and_connected(). Not for a retry after
  // registering as a waiter elsewhere: that retry must take the lock, which
  // is what orders it with the sender's look at the waiters.
  bool empty_and_open() const noexcept { return pair_.receiver.empty_and_connected(); }
  std::uint64_t len() const noexcept { return pair_.sender.len(); }

 private:
  enum class Attempt { Done, Again, Closed, OutOfMemory };
  static constexpr int kPolitePolls = 4;
  // Spin first, reading without the lock, until `ready()` says an attempt
  // could succeed: the other side usually runs on another core and brings
  // the item or the room within a few hundred nanoseconds, long before a
  // yield (which on a loaded machine hands the core to another process) or
  // a park and its wake-up would return. (6 us: what 512 rounds of the
  // spin, the count this was tuned with, take on the Intel machine we use.)
  static constexpr std::chrono::microseconds kSpinFor{6};

  static WaitResult finished(Attempt a) noexcept {
    switch (a) {
      case Attempt::Done: return WaitResult::Done;
      case Attempt::Closed: return WaitResult::Closed;
      case Attempt::OutOfMemory: return WaitResult::OutOfMemory;
      case Attempt::Again: break;
    }
    return WaitResult::TimedOut;
  }

  template <class Stop, class Ready, class Try>
  WaitResult wait_for(WaiterQueue& side, const Deadline* deadline, Stop& stop, Ready& ready,
                      Try&& attempt) noexcept {
    for (;;) {
      Attempt a = attempt();
      if (a == Attempt::Again && spin_wait(ready, kSpinFor)) a = attempt();
      // The other side is often running on another core right now: give it a
      // few turns before paying for a park and a wake-up.
      for (int i = 0; i < kPolitePolls && a == Attempt::Again; ++i) {
        std::this_thread::yield();
        a = attempt();
      }
      if (a != Attempt::Again) return finished(a);
      Waiter w;
      side.push(w);
      a = attempt();
      if (a != Attempt::Again) {
        side.leave(w);
        return finished(a);
      }
      for (;;) {
        const ParkResult p = w.parker.park(deadline);
        if (p == ParkResult::Unparked) {
          side.settle();  // the waker is done with `w`
          break;          // retry from the top
        }
        if (p == ParkResult::Interrupted) {
          if (stop()) {
            side.leave(w);
            return WaitResult::Stopped;
          }
          // Claimed meanwhile (the waker, done under the lock listed() takes,
          // has unparked it), or forgotten because the stop hook forked and
          // nobody will wake it: retry from the top. Else wait on.
          if (!side.listed(w)) break;
          continue;
        }
        if (side.withdraw(w)) return WaitResult::TimedOut;
        // Claimed just as the time ran out: one last look. If it finds
        // nothing, the item or room that wake-up announced is gone already.
        return finished(attempt());
      }
    }
  }

  // Each waiter queue on a line of its own: the receiving side reads the
  // senders' count after every receive and the sending side the receivers'
  // after every send, and neither should miss its cache because the other
  // queue was written.
  ChannelPair<T, Alloc> pair_;
  const std::uint64_t capacity_;  // kNoCapacity: unbounded
  alignas(kCacheLine) WaiterQueue senders_;    // blocked in send(): the channel was full
  alignas(kCacheLine) WaiterQueue receivers_;  // blocked in recv(): the channel was empty
};

}  // namespace kestrum
