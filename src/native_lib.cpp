// The second extension module, _kestrum_native: native types beyond the
// surface of _kestrum_core, built from the same C++ cores and binding code.
#include <Python.h>

#include <array>
#include <atomic>

#include "binding/entry.hpp"
#include "binding/failure.hpp"
#include "binding/once.hpp"
#include "binding/owned_ref.hpp"
#include "native_registry.hpp"
#include "pool/native_future.hpp"

namespace kestrum {
namespace {

struct ClassEntry {
  const char* name;
  PyType_Spec* spec;
  std::atomic<PyTypeObject*> type{nullptr};
};

std::array<ClassEntry, 3> class_entries{{
    {"NativeStealingPool", &native_stealing_pool_spec},
    {"ChannelBase", &channel_base_spec},
    {"NativeFuture", &native_future_spec},
}};

ProcessOnce closed_error_once;
ProcessOnce raw_wait_group_once;

// An attribute of _kestrum_core (a new reference), or null with an exception.
PyObject* from_core(const char* name) noexcept {
  OwnedRef core = OwnedRef::steal(PyImport_ImportModule("kestrum._kestrum_core"));
  return core ? PyObject_GetAttrString(core.get(), name) : nullptr;
}

// The class's type object, created once per process; a thread that loses
// the race to create it drops its copy and uses the winner's.
PyTypeObject* class_type(ClassEntry& entry) noexcept {
  PyTypeObject* type = entry.type.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyObject* made = PyType_FromSpec(entry.spec);
  if (made == nullptr) return nullptr;
  PyTypeObject* expected = nullptr;
  if (!entry.type.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(made),
                                          std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return reinterpret_cast<PyTypeObject*>(made);
}

int exec_module(PyObject* module) noexcept {
  PyObject* result = run_entry([&]() -> Result<OwnedRef> {
    // Type objects are process-wide, like _kestrum_core's.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      return Failure(PyExc_ImportError,
                     "kestrum._kestrum_native can't be imported in a subinterpreter");
    }
    if (closed_error_once.get([] { return from_core("ThreadPoolClosedError"); }) == nullptr ||
        raw_wait_group_once.get([] { return from_core("RawAsyncWaitGroup"); }) == nullptr) {
      return Failure::pending();
    }
    for (ClassEntry& entry : class_entries) {
      PyTypeObject* type = class_type(entry);
      if (type == nullptr) return Failure::pending();
      // PyModule_AddObjectRef takes its own reference; the registry keeps ours.
      if (PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) {
        return Failure::pending();
      }
    }
    return py_none();
  });
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kestrum_native",
    "Native pieces beyond _kestrum_core for the Python layer: a work-stealing\n"
    "scheduling core, a channel whose send/recv may wait, and a wait group's\n"
    "counter for the layer's WaitGroup.",
    0,
    native_wait_group_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* native_closed_error_type() noexcept { return closed_error_once.peek(); }
PyObject* native_raw_wait_group_type() noexcept { return raw_wait_group_once.peek(); }

}  // namespace kestrum

PyMODINIT_FUNC PyInit__kestrum_native() {
  return PyModuleDef_Init(&kestrum::module_def);
}
