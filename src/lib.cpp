// The module: its init entry, definition, execution step and type registry.
#include <Python.h>

#include <array>
#include <atomic>
#include <string>

#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/failure.hpp"
#include "binding/once.hpp"
#include "binding/owned_ref.hpp"
#include "type_registry.hpp"

namespace kestrum {
namespace {

struct ClassEntry {
  const char* name;
  PyType_Spec* spec;
  std::atomic<PyTypeObject*> type{nullptr};
};

std::array<ClassEntry, 4> class_entries{{
    {"AtomicMetrics", &atomic_metrics_spec},
    {"NativeWorkerPool", &native_worker_pool_spec},
    {"FastChannel", &fast_channel_spec},
    {"RawAsyncWaitGroup", &raw_async_wait_group_spec},
}};

ProcessOnce closed_error_once;

// Appends `name` to the module's __all__ (creating the list if the module has
// none) and binds it to `value`.
Result<bool> module_add(PyObject* module, const char* name, PyObject* value) {
  OwnedRef key = OwnedRef::steal(PyUnicode_FromString(name));
  if (!key) unraisable_internal_failure("could not create an attribute name");
  OwnedRef held = OwnedRef::borrow(value);
  PyObject* all_name = interned_all();
  if (all_name == nullptr) return Failure::pending();
  OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Failure::pending();
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all) unraisable_internal_failure("could not create __all__");
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) return Failure::pending();
  }
  if (!PyList_Check(all.get())) return type_mismatch(all.get(), &PyList_Type);
  if (PyList_Append(all.get(), key.get()) < 0) {
    PyErr_WriteUnraisable(nullptr);
    throw InternalFailure(std::string("could not append __name__ to __all__: ") + name);
  }
  if (PyObject_SetAttr(module, key.get(), held.get()) < 0) return Failure::pending();
  return true;
}

int exec_module(PyObject* module) noexcept {
  PyObject* result = run_entry([&]() -> Result<OwnedRef> {
    // The types are process-wide, and a type object can't be shared between
    // interpreters safely: refuse to load anywhere but the main one.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      return Failure(PyExc_ImportError,
                     "kestrum._kestrum_core can't be imported in a subinterpreter");
    }
    if (!PyModule_Check(module)) return type_mismatch(module, &PyModule_Type);
    auto added = module_add(module, "ThreadPoolClosedError", thread_pool_closed_error_type());
    if (!added.ok()) return std::move(added.failure());
    for (ClassEntry& entry : class_entries) {
      auto type = class_type(static_cast<ClassId>(&entry - class_entries.data()));
      if (!type.ok()) return std::move(type.failure());
      auto bound = module_add(module, entry.name, reinterpret_cast<PyObject*>(type.value()));
      if (!bound.ok()) return std::move(bound.failure());
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
    "_kestrum_core",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

Result<PyTypeObject*> class_type(ClassId id) {
  ClassEntry& entry = class_entries[static_cast<std::size_t>(id)];
  PyTypeObject* type = entry.type.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyObject* made = PyType_FromSpec(entry.spec);
  if (made == nullptr) {
    OwnedRef cause = OwnedRef::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", entry.name);
    OwnedRef error = OwnedRef::steal(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    return Failure::pending();
  }
  // Publish; a thread that lost the race drops its own copy and uses the winner's.
  PyTypeObject* expected = nullptr;
  if (!entry.type.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(made),
                                          std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return reinterpret_cast<PyTypeObject*>(made);
}

PyTypeObject* class_type_object(ClassId id) {
  auto type = class_type(id);
  if (type.ok()) [[likely]] return type.value();
  std::move(type.failure()).raise();
  PyErr_WriteUnraisable(nullptr);
  throw InternalFailure(std::string("failed to create type object for `") +
                        class_entries[static_cast<std::size_t>(id)].name + "`");
}

PyObject* thread_pool_closed_error_type() {
  PyObject* type = closed_error_once.get([] {
    return PyErr_NewExceptionWithDoc("_kestrum_core.ThreadPoolClosedError", nullptr,
                                     PyExc_Exception, nullptr);
  });
  if (type != nullptr) [[likely]] return type;
  // Describe the underlying error in the panic's message.
  OwnedRef error = OwnedRef::steal(PyErr_GetRaisedException());
  OwnedRef text = OwnedRef::steal(error ? PyObject_Repr(error.get()) : nullptr);
  const char* detail = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  PyErr_Clear();
  throw InternalFailure(std::string("Failed to initialize new exception type. ") +
                        (detail ? detail : "unknown error"));
}

}  // namespace kestrum

PyMODINIT_FUNC PyInit__kestrum_core() {
  return PyModuleDef_Init(&kestrum::module_def);
}
