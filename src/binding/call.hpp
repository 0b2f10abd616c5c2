#pragma once
// Calling back into Python objects the caller handed over earlier.
//
// C-API calls used here, and whether they can raise:
//   PyObject_CallNoArgs: runs Python code, which may raise; the exception is
//   reported as unraisable, never propagated.
#include <Python.h>

namespace kestrum {

// Calls `callable()` and drops the result. For notifications that must not
// fail the operation that already happened (a task was queued, a worker was
// claimed): an exception is reported through sys.unraisablehook instead.
// The call runs no signal handler of its own, so a KeyboardInterrupt can't
// land between the operation and its notification. Call with no lock held.
void call_reporting_errors(PyObject* callable) noexcept;

}  // namespace kestrum
