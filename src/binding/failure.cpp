#include "binding/failure.hpp"

#include <new>

#include "binding/once.hpp"

namespace kestrum {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that ordinary handlers do not swallow it: it usually propagates all the\n"
    "way up and makes the interpreter exit.";

constexpr const char* kGenericPanicMessage = "native code failed without a message";

ProcessOnce panic_type_once;

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation error stays raised
  OwnedRef text = OwnedRef::steal(PyUnicode_FromString(message[0] ? message : kGenericPanicMessage));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  return panic_type_once.get([] {
    return PyErr_NewExceptionWithDoc("vesk_runtime.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  });
}

Failure Failure::pending() {
  OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
  if (!exception) throw InternalFailure("an interpreter call failed without raising");
  // Only a created type can have been raised, so look without creating it.
  PyObject* panic = panic_type_once.peek();
  if (panic != nullptr && PyErr_GivenExceptionMatches(exception.get(), panic)) {
    PySys_WriteStderr("--- PanicException from Python code came back into native code ---\n");
    PyErr_DisplayException(exception.get());
    throw InternalFailure(std::move(exception));
  }
  return Failure(std::move(exception));
}

OwnedRef Failure::take_exception() && {
  if (!exception_ && message_ == nullptr) {
    PyErr_NoMemory();
    exception_ = OwnedRef::steal(PyErr_GetRaisedException());
  }
  if (!exception_) {
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(message_));
    if (!text) unraisable_internal_failure("could not create an exception message");
    PyErr_SetObject(type_, text.get());
    exception_ = OwnedRef::steal(PyErr_GetRaisedException());
  }
  return std::move(exception_);
}

void Failure::raise() && noexcept {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
    return;
  }
  if (message_ == nullptr) {
    PyErr_NoMemory();
    return;
  }
  OwnedRef text = OwnedRef::steal(PyUnicode_FromString(message_));
  if (text) PyErr_SetObject(type_, text.get());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (InternalFailure& failure) {
    if (failure.panic()) {
      PyErr_SetRaisedException(failure.panic().release());
    } else {
      raise_panic(failure.what());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic(kGenericPanicMessage);
  }
}

void unraisable_internal_failure(const char* message) {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  throw InternalFailure(message);
}

}  // namespace kestrum
