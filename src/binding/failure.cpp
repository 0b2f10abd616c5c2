#include "binding/failure.hpp"

#include <new>

#include "binding/once.hpp"
#include "binding/thread_exit.hpp"

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

// A pending call: raises the exception it is given (and owns).
int raise_pending(void* exception) noexcept {
  PyErr_SetRaisedException(static_cast<PyObject*>(exception));
  return -1;
}

// Whether this thread is the main thread. An exception while finding out
// can only be another signal handler's, and those run on the main thread.
bool on_main_thread() noexcept {
  OwnedRef threading = OwnedRef::steal(PyImport_ImportModule("threading"));
  OwnedRef main = threading ? OwnedRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                            : OwnedRef();
  OwnedRef ident = main ? OwnedRef::steal(PyObject_GetAttrString(main.get(), "ident")) : OwnedRef();
  if (!ident) {
    PyErr_Clear();
    return true;
  }
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  return value == PyThread_get_thread_ident();
}

}  // namespace

void raise_after_return(OwnedRef exception) noexcept {
  parking_if_ended([&] {
    if (on_main_thread() && Py_AddPendingCall(raise_pending, exception.get()) == 0) {
      (void)exception.release();  // raise_pending's now
      return;
    }
    PyErr_SetRaisedException(exception.release());
    PyErr_WriteUnraisable(nullptr);
  });
}

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
#ifdef KESTRUM_THREADS_END_BY_UNWINDING
    // The interpreter ended this thread (see thread_exit.hpp), from inside
    // Python code this call ran: no exception can be raised to it.
    if (handling_thread_end()) park_ended_thread();
#endif
    raise_panic(kGenericPanicMessage);
  }
}

void unraisable_internal_failure(const char* message) {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  throw InternalFailure(message);
}

}  // namespace kestrum
