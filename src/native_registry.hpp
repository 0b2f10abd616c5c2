#pragma once
// What the second extension module, _kestrum_native, shares between its
// init file and its types.
#include <Python.h>

namespace kestrum {

// The specs, defined beside each class.
extern PyType_Spec native_stealing_pool_spec;
extern PyType_Spec channel_base_spec;

// _kestrum_core's ThreadPoolClosedError, looked up when this module is
// executed (before any of its objects exists), so both modules raise the
// one exception type.
PyObject* native_closed_error_type() noexcept;

// _kestrum_core's RawAsyncWaitGroup type, looked up likewise.
PyObject* native_raw_wait_group_type() noexcept;

// The module's functions.
extern PyMethodDef native_wait_group_functions[];

// wait_group_wait(group, timeout): a thread's wait on a wait group, parked
// natively (see waitgroup/wait_group_wait.cpp).
PyObject* wait_group_wait(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace kestrum
