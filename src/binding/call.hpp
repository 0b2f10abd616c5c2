#pragma once
// Calling back into Python objects the caller handed over earlier.
//
// C-API calls used here, and whether they can raise:
//   PyObject_CallNoArgs: runs Python code, which may raise; the exception is
//   reported as unraisable, never propagated.
//   PyObject_CallMethodNoArgs: runs Python code, which may raise; the
//   exception is handed to the caller, never left pending.
#include <Python.h>

#include "binding/owned_ref.hpp"

namespace kestrum {

// Calls `callable()` and drops the result. For notifications that must not
// fail the operation that already happened (a task was queued, a worker was
// claimed): an exception is reported through sys.unraisablehook instead.
// The call runs no signal handler of its own, so a KeyboardInterrupt can't
// land between the operation and its notification. Call with no lock held.
void call_reporting_errors(PyObject* callable) noexcept;

// Calls `object.name()` (`name` null: its interning failed, with the
// exception pending) for a wake-up owed after an operation that has already
// taken effect. Python code may be cut short by a signal handler's exception
// before it woke anyone, so a call that raises is made again, up to three
// calls in all (a second wake-up only costs the one woken a look). The first
// exception is kept in `first_error`, for the caller to raise once its own
// call has returned (see raise_after_return).
void call_owed_wakeup(PyObject* object, PyObject* name, OwnedRef& first_error) noexcept;

}  // namespace kestrum
