#pragma once
// The channel core: a lock-guarded FIFO of owned items with an optional
// capacity and a one-way "disconnected" state, reached through exactly one
// ChannelSender and one ChannelReceiver.
//
// Callers must: use each handle from any number of threads (handles are
// thread-safe) but never copy one (they are move-only); release the last
// handle on a thread that may destroy items (for Python references: a thread
// attached to the interpreter).
//
// Guarantees:
//  - Every operation returns at once; nothing waits for room or for an item.
//  - FIFO: items leave in the order their sends took the lock, so one
//    thread's items arrive in the order it sent them.
//  - Ownership: an accepted item belongs to the queue until a receive hands
//    it out (moved, no copy); a refused item is left with the caller untouched.
//    No item is created, copied or destroyed while the lock is held, and the
//    lock guards constant work plus an occasional storage growth.
//  - The receiver gets every queued item before it sees Disconnected.
//    Disconnection happens under the lock, so once disconnect() (or the
//    release of the last handle of a side) has returned, no send is accepted,
//    and a receiver told Disconnected found the queue empty at that moment.
//  - When the second handle goes, the core releases what is still queued,
//    front to back, each once, with no lock held.
//
// Memory order: anything a thread did before a successful send is visible to
// the thread that receives that item (both go through the lock). A receiver
// that sees Disconnected also sees every item sent before the disconnection
// (release store of the flag, acquire load).
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

#include "core/cache_line.hpp"
#include "core/ring_buffer.hpp"
#include "core/short_mutex.hpp"

namespace kestrum {

enum class SendResult {
  Accepted,      // the queue took the item
  Full,          // at capacity; the item stays with the caller
  Disconnected,  // the other side is gone; the item stays with the caller
  OutOfMemory,   // the storage could not grow; the item stays with the caller
};

enum class RecvResult {
  Item,          // the oldest item was moved out to the caller
  Empty,         // nothing queued, still connected
  Disconnected,  // nothing queued and no sender will ever come back
};

inline constexpr std::uint64_t kNoCapacity = std::numeric_limits<std::uint64_t>::max();

// Cache-line aligned: cores are allocated one after another (a pool makes
// one per worker), and two channels used by different threads must not share
// a line, or every lock of one would stall the other.
template <class T, class Alloc = HeapSlotAllocator>
class alignas(kCacheLine) ChannelCore {
 public:
  explicit ChannelCore(std::uint64_t capacity) noexcept : capacity_(capacity) {}
  ChannelCore(const ChannelCore&) = delete;
  ChannelCore& operator=(const ChannelCore&) = delete;
  // The ring's destructor releases the remaining items front to back. No
  // other owner exists by now, so the lock is not taken.
  ~ChannelCore() = default;

  SendResult try_send(T& item) noexcept {
    std::lock_guard guard(mu_);
    // Tested first: a disconnected channel refuses even when it has room.
    if (disconnected_.load(std::memory_order_acquire)) return SendResult::Disconnected;
    if (queue_.size() >= capacity_) return SendResult::Full;
    if (!queue_.push_back(item)) return SendResult::OutOfMemory;
    length_.store(queue_.size(), std::memory_order_relaxed);
    return SendResult::Accepted;
  }

  RecvResult try_recv(T& out) noexcept {
    std::lock_guard guard(mu_);
    if (!queue_.empty()) {
      out = queue_.pop_front();  // `out` is empty by contract: nothing is released
      length_.store(queue_.size(), std::memory_order_relaxed);
      return RecvResult::Item;
    }
    return disconnected_.load(std::memory_order_acquire) ? RecvResult::Disconnected
                                                         : RecvResult::Empty;
  }

  // Disconnects the channel now, inside its critical section: every send
  // that takes the lock after this refuses with Disconnected, and a receive
  // that then finds the queue empty reports Disconnected, so "disconnected
  // and drained" is true at the instant it is reported. Items already queued
  // stay receivable. Idempotent.
  void disconnect() noexcept {
    std::lock_guard guard(mu_);
    disconnected_.store(true, std::memory_order_release);
  }

  // Moves up to `max` of the oldest items, in order, into `sink` (called as
  // sink(T&) under the lock: it must move the item away without allocating
  // or releasing anything). One lock round-trip for a whole batch. Returns
  // how many items were moved.
  template <class Sink>
  std::uint64_t recv_up_to(std::uint64_t max, Sink&& sink) noexcept {
    std::lock_guard guard(mu_);
    std::uint64_t moved = 0;
    for (; moved < max && !queue_.empty(); ++moved) {
      T item = queue_.pop_front();
      sink(item);
    }
    length_.store(queue_.size(), std::memory_order_relaxed);
    return moved;
  }

  // The number of queued items at some moment during the call. Read without
  // the lock: pollers and the pool's batch sizing call it often, and a copy
  // kept under the lock is as exact as reading the queue under it would be.
  // A thread always sees the effect of its own sends and receives. Acquire:
  // a load the caller makes after this one (of a closed flag, say) is not
  // moved before it, so "empty, then still open" describes one instant.
  std::uint64_t len() const noexcept { return length_.load(std::memory_order_acquire); }

  bool is_disconnected() const noexcept { return disconnected_.load(std::memory_order_acquire); }

  // True if at one instant during the call the queue was empty and still
  // connected, so that a try_recv() then would have reported Empty. Takes
  // no lock: a receiver polling an empty channel does not pull the lock's
  // line away from the senders. The length, then the flag (acquire: read in
  // that order); the flag only ever goes from connected to disconnected, so
  // both held when the length was read. False says nothing: the caller does
  // the real try_recv().
  bool empty_and_connected() const noexcept { return len() == 0 && !is_disconnected(); }

  // Handle bookkeeping. Each returns true when the caller dropped the last
  // share and must delete the core.
  bool release_sender() noexcept { return release_side(senders_); }
  bool release_receiver() noexcept { return release_side(receivers_); }

 private:
  bool release_side(std::atomic<std::uint64_t>& side) noexcept {
    if (side.fetch_sub(1, std::memory_order_acq_rel) == 1) disconnect();
    // acq_rel: the thread that deletes the core sees every write the other
    // handle's owner made to it.
    return shares_.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }

  // Two lines. The first is written by every send and receive and moves
  // between the cores of the threads that share the channel. The second
  // holds what those operations only read (the capacity, the disconnected
  // flag, tested by every send and by lock-free closed checks) and what
  // changes once per handle: kept apart, a reader of the flag does not pull
  // the lock's line away from the thread that holds it, and a lock holder
  // reads the capacity from a line that stays in its cache.
  mutable ShortMutex mu_;
  RingBuffer<T, Alloc> queue_;  // guarded by mu_
  std::atomic<std::uint64_t> length_{0};  // written under mu_, read without it
  alignas(kCacheLine) const std::uint64_t capacity_;  // fixed at creation; kNoCapacity = unbounded
  std::atomic<bool> disconnected_{false};  // false -> true once
  std::atomic<std::uint64_t> senders_{1};
  std::atomic<std::uint64_t> receivers_{1};
  std::atomic<std::uint32_t> shares_{2};  // handles that still own the core
};

// Common part of the two handles: one share of a core, moved, never copied.
template <class T, class Alloc, bool IsSender>
class ChannelHandle {
 public:
  using Core = ChannelCore<T, Alloc>;

  ChannelHandle() noexcept = default;
  explicit ChannelHandle(Core* core) noexcept : core_(core) {}
  ChannelHandle(ChannelHandle&& other) noexcept : core_(std::exchange(other.core_, nullptr)) {}
  ChannelHandle& operator=(ChannelHandle&& other) noexcept {
    ChannelHandle old(std::move(*this));  // released after the new core is installed
    core_ = std::exchange(other.core_, nullptr);
    return *this;
  }
  ChannelHandle(const ChannelHandle&) = delete;
  ChannelHandle& operator=(const ChannelHandle&) = delete;
  ~ChannelHandle() { reset(); }

  // Gives up this handle's share; the last share destroys the core and the
  // items still queued in it.
  void reset() noexcept {
    Core* core = std::exchange(core_, nullptr);
    if (core == nullptr) return;
    if (IsSender ? core->release_sender() : core->release_receiver()) delete core;
  }

  explicit operator bool() const noexcept { return core_ != nullptr; }
  std::uint64_t len() const noexcept { return core_->len(); }
  bool is_disconnected() const noexcept { return core_->is_disconnected(); }
  bool empty_and_connected() const noexcept { return core_->empty_and_connected(); }

 protected:
  Core* core_ = nullptr;
};

template <class T, class Alloc = HeapSlotAllocator>
class ChannelSender : public ChannelHandle<T, Alloc, true> {
 public:
  using ChannelHandle<T, Alloc, true>::ChannelHandle;

  // Moves `item` into the queue on Accepted; otherwise leaves it untouched.
  SendResult try_send(T& item) const noexcept { return this->core_->try_send(item); }

  // Refuses every later send while keeping queued items receivable; see
  // ChannelCore::disconnect.
  void disconnect() const noexcept { this->core_->disconnect(); }

  // The same as try_send. It never waits: on a channel with a capacity it
  // reports Full like try_send; on an unbounded one it cannot be Full.
  SendResult send(T& item) const noexcept { return this->core_->try_send(item); }
};

template <class T, class Alloc = HeapSlotAllocator>
class ChannelReceiver : public ChannelHandle<T, Alloc, false> {
 public:
  using ChannelHandle<T, Alloc, false>::ChannelHandle;

  // On Item, moves the oldest item into `out`, which must be empty.
  RecvResult try_recv(T& out) const noexcept { return this->core_->try_recv(out); }

  // Moves up to `max` oldest items into `sink`; see ChannelCore::recv_up_to.
  template <class Sink>
  std::uint64_t recv_up_to(std::uint64_t max, Sink&& sink) const noexcept {
    return this->core_->recv_up_to(max, std::forward<Sink>(sink));
  }
};

template <class T, class Alloc = HeapSlotAllocator>
struct ChannelPair {
  ChannelSender<T, Alloc> sender;
  ChannelReceiver<T, Alloc> receiver;
};

// Creates a channel that holds at most `capacity` (>= 1) items. Reserves no
// queue storage, whatever the capacity. Out of memory: both handles empty.
template <class T, class Alloc = HeapSlotAllocator>
ChannelPair<T, Alloc> make_bounded_channel(std::uint64_t capacity) noexcept {
  auto* core = new (std::nothrow) ChannelCore<T, Alloc>(capacity);
  if (core == nullptr) return {};
  return {ChannelSender<T, Alloc>(core), ChannelReceiver<T, Alloc>(core)};
}

// Creates a channel without capacity. Out of memory: both handles empty.
template <class T, class Alloc = HeapSlotAllocator>
ChannelPair<T, Alloc> make_unbounded_channel() noexcept {
  return make_bounded_channel<T, Alloc>(kNoCapacity);
}

}  // namespace kestrum
