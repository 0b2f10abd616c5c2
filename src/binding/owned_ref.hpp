#pragma once
// The one owning reference type of the module. Every strong reference the
// module holds lives in an OwnedRef, so each is released exactly once, also
// when a call unwinds.
//
// Ownership is chosen explicitly: steal() adopts a new reference, borrow()
// takes one more. A move leaves the source empty; release() hands the pointer
// out. Assignment installs the new pointer before it releases the old one,
// so a finalizer run by that release sees the object already updated.
//
// Releasing may run arbitrary Python code: never let an OwnedRef with a live
// object die while a lock is held.
#include <Python.h>

#include <utility>

#include "binding/thread_exit.hpp"

namespace kestrum {

// Py_DECREF(object), for a thread the interpreter may end (see
// thread_exit.hpp): the release may run a finalizer that re-enters the
// interpreter, and while such a thread unwinds, nothing may touch the
// interpreter, so the reference is left to the exiting process.
inline void release_reference(PyObject* object) noexcept {
#if PY_VERSION_HEX < 0x030E0000
  if (detached_from_interpreter()) return;
#endif
  parking_if_ended([object] { Py_DECREF(object); });
}

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    if (old != nullptr) release_reference(old);
    return *this;
  }
  ~OwnedRef() {
    if (object_ != nullptr) release_reference(object_);
  }

  // Adopts a new reference (may be null).
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Takes a new reference to a borrowed object (may be null).
  static OwnedRef borrow(PyObject* object) noexcept { return OwnedRef(Py_XNewRef(object)); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller and leaves this empty.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace kestrum
