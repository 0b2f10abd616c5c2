// Registers the channel family's types with kestrum._kestrum_native.
#include "native_channel_registry.hpp"

namespace kestrum {

int add_native_channel_types(PyObject* module) noexcept {
  // One type object per module object: nothing outside this module shares
  // them, so there is no process-wide registry to keep.
  PyObject* type = PyType_FromModuleAndSpec(module, &native_channel_spec, nullptr);
  if (type == nullptr) return -1;
  const int rc = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
  Py_DECREF(type);
  return rc;
}

}  // namespace kestrum
