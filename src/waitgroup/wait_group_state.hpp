#pragma once
// The native state of a RawAsyncWaitGroup object, shared by the module that
// defines the type and the one that reads its counter for the Python layer.
#include <memory>
#include <new>

#include "binding/owned_ref.hpp"
#include "waitgroup/wait_group_core.hpp"

namespace kestrum {

// One registration: the two items of the waiter tuple, by strong reference.
struct WaiterEntry {
  OwnedRef first;  // opaque to this class
  OwnedRef future;  // matched by identity in unregister_waiter
};

using WaiterGroupCore = WaitGroupCore<WaiterEntry>;

struct WaitGroupState {
  WaitGroupState() noexcept : core(new (std::nothrow) WaiterGroupCore()) {}
  // False when the core could not be allocated (MemoryError).
  explicit operator bool() const noexcept { return core != nullptr; }
  // Heap-allocated: the core keeps its counter and its lock on separate
  // cache lines, which needs more alignment than object memory has.
  std::unique_ptr<WaiterGroupCore> core;
};

}  // namespace kestrum
