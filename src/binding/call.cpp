#include "binding/call.hpp"

#include "binding/owned_ref.hpp"

namespace kestrum {

void call_reporting_errors(PyObject* callable) noexcept {
  OwnedRef result = OwnedRef::steal(PyObject_CallNoArgs(callable));
  if (!result) PyErr_WriteUnraisable(callable);
}

}  // namespace kestrum
