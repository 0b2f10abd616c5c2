#pragma once
// A growable FIFO ring of move-only items.
//
// It starts with no storage and, when full, grows to the largest of 4 slots,
// twice its size and its size plus one, keeping FIFO order across the wrap
// point. It never shrinks. Growth is the only operation that can fail; it
// reports failure instead of throwing, so callers holding a lock can hand the
// item back untouched.
//
// Not thread-safe: the owner guards it.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrum {

// Where ring storage comes from. Stateless so that a test can swap in an
// allocator that fails on demand.
struct HeapSlotAllocator {
  // Returns uninitialised storage for `bytes`, or nullptr when out of memory.
  static void* allocate(std::size_t bytes) noexcept { return ::operator new(bytes, std::nothrow); }
  static void deallocate(void* p) noexcept { ::operator delete(p); }
};

template <class T, class Alloc = HeapSlotAllocator>
class RingBuffer {
  static_assert(std::is_nothrow_move_constructible_v<T>, "items must move without throwing");
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "over-aligned items need another allocator");

 public:
  RingBuffer() = default;
  RingBuffer(const RingBuffer&) = delete;
  RingBuffer& operator=(const RingBuffer&) = delete;
  RingBuffer(RingBuffer&& other) noexcept
      : slots_(std::exchange(other.slots_, nullptr)),
        capacity_(std::exchange(other.capacity_, 0)),
        head_(std::exchange(other.head_, 0)),
        size_(std::exchange(other.size_, 0)) {}
  RingBuffer& operator=(RingBuffer&&) = delete;

  // Destroys the remaining items front to back, each once.
  ~RingBuffer() {
    while (size_ > 0) {
      T item = pop_front();
      (void)item;  // released here, oldest first
    }
    Alloc::deallocate(slots_);
  }

  // Exchanges contents with `other`; allocates nothing.
  void swap(RingBuffer& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(head_, other.head_);
    std::swap(size_, other.size_);
  }

  // The item `offset` places behind the front. Precondition: offset < size().
  const T& operator[](std::size_t offset) const noexcept { return *slot(offset); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Moves `item` to the back. Returns false, leaving `item` and the ring as
  // they were, only when growing the storage failed.
  [[nodiscard]] bool push_back(T& item) noexcept {
    if (size_ == capacity_ && !grow_to(next_capacity(capacity_))) {
      return false;
    }
    ::new (static_cast<void*>(slot(size_))) T(std::move(item));
    ++size_;
    return true;
  }

  // Removes and returns the oldest item. Precondition: !empty().
  T pop_front() noexcept {
    T* front = slots_ + head_;
    T item(std::move(*front));
    front->~T();  // a moved-from item owns nothing
    head_ = (head_ + 1 == capacity_) ? 0 : head_ + 1;
    --size_;
    return item;
  }

  // Makes room for at least `n` items in total, growing by the usual steps.
  // Returns false, leaving the ring as it was, when that storage can't be had.
  [[nodiscard]] bool reserve(std::size_t n) noexcept {
    if (n <= capacity_) return true;
    std::size_t target = capacity_;
    while (target < n) target = next_capacity(target);
    return grow_to(target);
  }

 private:
  static std::size_t next_capacity(std::size_t current) noexcept {
    std::size_t doubled = current > std::numeric_limits<std::size_t>::max() / 2
                              ? std::numeric_limits<std::size_t>::max()
                              : current * 2;
    std::size_t next = current + 1 > doubled ? current + 1 : doubled;
    return next < 4 ? 4 : next;
  }

  T* slot(std::size_t offset) const noexcept {
    std::size_t index = head_ + offset;
    if (index >= capacity_) index -= capacity_;
    return slots_ + index;
  }

  bool grow_to(std::size_t new_capacity) noexcept {
    if (new_capacity > std::numeric_limits<std::size_t>::max() / sizeof(T)) return false;
    auto* fresh = static_cast<T*>(Alloc::allocate(new_capacity * sizeof(T)));
    if (fresh == nullptr) return false;
    // Unwrap into the new storage so the oldest item lands in slot 0.
    for (std::size_t i = 0; i < size_; ++i) {
      T* from = slot(i);
      ::new (static_cast<void*>(fresh + i)) T(std::move(*from));
      from->~T();
    }
    Alloc::deallocate(slots_);
    slots_ = fresh;
    capacity_ = new_capacity;
    head_ = 0;
    return true;
  }

  T* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace kestrum
