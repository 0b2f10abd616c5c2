#pragma once
// NativeFuture, the base of the future WorkerPool hands out, as the pool's
// native submit and run paths see it.
#include <Python.h>

#include "binding/failure.hpp"
#include "binding/owned_ref.hpp"

namespace kestrum {

extern PyType_Spec native_future_spec;

// Whether `type` is NativeFuture or a subclass of it.
bool is_native_future_type(PyTypeObject* type) noexcept;

// A new pending future of `type` (NativeFuture or a subclass) for the call
// fn(*args, **kwargs); `kwargs` is empty when there are no keyword
// arguments, never an empty dict.
Result<OwnedRef> new_native_future(PyTypeObject* type, PyObject* fn, OwnedRef args, OwnedRef kwargs);

// Runs the future's call on this thread and stores its outcome, unless the
// future was cancelled. Fails only when the future's own machinery raised
// (a done callback raising a BaseException, a future completed by hand
// while it ran): the call's exceptions go into the future.
Result<OwnedRef> run_native_future(PyObject* future);

}  // namespace kestrum
