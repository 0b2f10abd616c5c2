#pragma once
// Process-wide objects created at most once, on first need, and never
// released: exception types and interned names shared by every interpreter
// and module object.
//
// Reading a created object is one acquire load. A thread that finds the
// creation under way waits for it detached from the interpreter, so it never
// blocks a stop-the-world pause (or, with a GIL, the creator) while it waits.
#include <Python.h>

#include <atomic>
#include <mutex>

#include "binding/thread_exit.hpp"

namespace kestrum {

class ProcessOnce {
 public:
  // Returns the object, calling `create` (a new reference, or null with an
  // exception set) if no thread has created it yet. Null on failure.
  template <class Create>
  PyObject* get(Create create) noexcept {
    PyObject* value = value_.load(std::memory_order_acquire);
    if (value != nullptr) [[likely]] return value;
    // A thread ended inside create() lets go of the lock before it parks.
    return parking_if_ended([&] {
      lock_detached();
      std::lock_guard guard(mu_, std::adopt_lock);
      value = value_.load(std::memory_order_acquire);
      if (value == nullptr) {
        value = create();  // attached, as the interpreter requires
        if (value != nullptr) value_.store(value, std::memory_order_release);
      }
      return value;
    });
  }

  // The object if it was created, else null. Never creates.
  PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

 private:
  void lock_detached() noexcept;

  std::atomic<PyObject*> value_{nullptr};
  std::mutex mu_;  // held only while creating
};

// Interned names used with the attribute protocol.
PyObject* interned_add_note() noexcept;
PyObject* interned_all() noexcept;

}  // namespace kestrum
