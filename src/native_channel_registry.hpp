#pragma once
// The channel family of kestrum._kestrum_native: its type specs, and the
// step of module execution that adds them.
#include <Python.h>

namespace kestrum {

extern PyType_Spec native_channel_spec;

// Creates the family's types for `module` and adds them to it. 0, or -1
// with an exception set.
int add_native_channel_types(PyObject* module) noexcept;

}  // namespace kestrum
