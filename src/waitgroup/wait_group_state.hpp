#pragma once
// The native state of a RawAsyncWaitGroup object, shared by the module that
// defines the type and the one that reads its counter for the Python layer.
#include <memory>
#include <new>

#include "binding/failure.hpp"
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

using WaiterEntries = WaiterGroupCore::List;

// Builds [(first, future), ...] from `entries`, taking over their references.
// Every object is allocated before any reference moves, so on failure the
// entries are still whole and can go back to the list.
inline OwnedRef waiter_list(WaiterEntries& entries) noexcept {
  const auto count = static_cast<Py_ssize_t>(entries.size());
  OwnedRef list = OwnedRef::steal(PyList_New(count));
  if (!list) return list;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return OwnedRef();  // the list frees the empty tuples made so far
    PyList_SET_ITEM(list.get(), i, pair);
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyList_GET_ITEM(list.get(), i);
    WaiterEntry entry = entries.pop_front();
    PyTuple_SET_ITEM(pair, 0, entry.first.release());
    PyTuple_SET_ITEM(pair, 1, entry.future.release());
  }
  return list;
}

// The result of a call that brought the counter to zero: the list of
// waiters taken out with it, for the caller to wake.
inline Result<OwnedRef> hand_out(WaitGroupState& self, WaiterEntries& entries) {
  OwnedRef list = waiter_list(entries);
  if (!list) {
    // Releasing the entries would leave their waiters asleep for ever: put
    // them back, in order, for the next done() to zero or an unregister,
    // and report the MemoryError. (Should even the put-back fail, they are
    // released: their waiters time out or are cancelled.)
    Failure failure = Failure::pending();
    (void)self.core->put_back_front(entries);
    return failure;
  }
  return list;
}

}  // namespace kestrum
