#include "binding/call.hpp"

#include <utility>

#include "binding/owned_ref.hpp"
#include "binding/thread_exit.hpp"

namespace kestrum {

void call_reporting_errors(PyObject* callable) noexcept {
  parking_if_ended([callable] {
    OwnedRef result = OwnedRef::steal(PyObject_CallNoArgs(callable));
    if (!result) PyErr_WriteUnraisable(callable);
  });
}

void call_owed_wakeup(PyObject* object, PyObject* name, OwnedRef& first_error) noexcept {
  parking_if_ended([&] {
    constexpr int kCalls = 3;
    for (int call = 0; call < kCalls; ++call) {
      if (name != nullptr && OwnedRef::steal(PyObject_CallMethodNoArgs(object, name))) return;
      OwnedRef error = OwnedRef::steal(PyErr_GetRaisedException());
      if (!first_error) first_error = std::move(error);
    }
  });
}

}  // namespace kestrum
