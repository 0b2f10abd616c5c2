#pragma once
// The process-wide registry of the module's type objects. Each is created
// once, on first need, and lives until the process ends, so every module
// object (re-import, reload) shares the very same types.
#include <Python.h>

#include "binding/failure.hpp"

namespace kestrum {

enum class ClassId { AtomicMetrics, NativeWorkerPool, FastChannel, RawAsyncWaitGroup };

// The specs, defined beside each class.
extern PyType_Spec atomic_metrics_spec;
extern PyType_Spec native_worker_pool_spec;
extern PyType_Spec fast_channel_spec;
extern PyType_Spec raw_async_wait_group_spec;

// The class's type object, creating it if needed. On failure: RuntimeError
// "An error occurred while initializing class X" with the cause attached.
Result<PyTypeObject*> class_type(ClassId id);

// The same for use outside module execution: a failure is reported as
// unraisable and thrown as an internal failure.
PyTypeObject* class_type_object(ClassId id);

inline PyTypeObject* atomic_metrics_type() { return class_type_object(ClassId::AtomicMetrics); }

// ThreadPoolClosedError, creating it if needed; an internal failure if it
// can't be created.
PyObject* thread_pool_closed_error_type();

}  // namespace kestrum
