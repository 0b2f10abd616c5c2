// kestrum._kestrum_native: the native pieces beyond _kestrum_core's surface,
// built from the same cores. Unlike _kestrum_core, its objects may wait.
// Each family registers its types from a file of its own.
#include <Python.h>

#include "native_channel_registry.hpp"

namespace kestrum {
namespace {

int exec_module(PyObject* module) noexcept {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "kestrum._kestrum_native can't be imported in a subinterpreter");
    return -1;
  }
  return add_native_channel_types(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_kestrum_native", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kestrum

PyMODINIT_FUNC PyInit__kestrum_native() { return PyModuleDef_Init(&kestrum::module_def); }
