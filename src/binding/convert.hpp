#pragma once
// Argument conversions and result objects.
//
// Each converter turns one argument into a C++ value or a Failure carrying
// the interpreter's exception unchanged; the caller adds the note naming the
// parameter (see with_parameter_note). Result helpers build new references;
// building one is an interpreter call that cannot fail in normal operation,
// so a failure there is an internal failure (unraisable report, then
// PanicException).
//
// C-API calls used here, and whether they can raise:
//   PyLong_AsUnsignedLongLong, PyLong_AsLongLong, PyNumber_Index: raise on bad input
//   PyType_IsSubtype, PyLong_Check, PyTuple_Check: never raise
//   PyType_GetQualName, PyLong_FromUnsignedLongLong, PyTuple_New: raise only on no memory
//   PyObject_VectorcallMethod(add_note): may raise; the failure is dropped
#include <Python.h>

#include <cstdint>

#include "binding/failure.hpp"
#include "binding/owned_ref.hpp"

namespace kestrum {

// Unsigned 64-bit: an int (bool included) or any object with __index__,
// from 0 to 2^64 - 1.
struct U64 {
  using type = std::uint64_t;
  static Result<std::uint64_t> convert(PyObject* object);
};

// Signed 64-bit: from -2^63 to 2^63 - 1, ints and objects with __index__.
struct I64 {
  using type = std::int64_t;
  static Result<std::int64_t> convert(PyObject* object);
};

// Any object, borrowed for the call.
struct AnyObject {
  using type = PyObject*;
  static Result<PyObject*> convert(PyObject* object) noexcept { return object; }
};

// An instance of the type `Target()` returns, or of a subtype.
template <PyTypeObject* (*Target)()>
struct InstanceOf {
  using type = PyObject*;
  static Result<PyObject*> convert(PyObject* object);
};

// A tuple, or an instance of a tuple subclass.
struct TupleObject {
  using type = PyObject*;
  static Result<PyObject*> convert(PyObject* object);
};

// TypeError "'{type}' object is not an instance of '{target}'", or
// "'None' is not an instance of '{target}'" for None.
Failure type_mismatch(PyObject* object, PyTypeObject* target);

// Returns `failure` with the note "while processing '{parameter}'" added to
// its exception. If the note can't be built or added, that secondary error
// is dropped and the exception goes on without it.
Failure with_parameter_note(Failure failure, const char* parameter);

// The value of an exact float or int (no subclass, whose methods could
// answer otherwise): true and `value` set, or false for anything else and
// for an int beyond 64 bits. Never raises. For time-outs, which the callers
// take as they are in the common case and hand to a Python check otherwise.
bool exact_number_value(PyObject* object, double& value) noexcept;
// The longest time-out, in seconds, that the native waits take as it is:
// far below the interpreter's own limit (threading.TIMEOUT_MAX), so that a
// longer one gets the interpreter's answer (OverflowError, say).
inline constexpr double kLongestNativeWait = 1e9;

// Result objects (new references).
inline OwnedRef py_none() noexcept { return OwnedRef::borrow(Py_None); }
inline OwnedRef py_bool(bool value) noexcept { return OwnedRef::borrow(value ? Py_True : Py_False); }
// Running out of memory is a MemoryError failure, never thrown.
Result<OwnedRef> py_u64(std::uint64_t value);
// A 2-tuple to fill with fill_pair(), made before whatever goes into it is
// taken from a queue, so that running out of memory loses nothing.
Result<OwnedRef> new_pair();
// Puts both references into `pair` (from new_pair()) and returns it.
OwnedRef fill_pair(OwnedRef pair, OwnedRef first, OwnedRef second) noexcept;
// (False, None), made once: the answer of a receive that found nothing, so
// that polling an empty queue allocates nothing (tuples are immutable, and
// nobody can tell one (False, None) from another but by identity).
Result<OwnedRef> no_item_pair();

template <PyTypeObject* (*Target)()>
Result<PyObject*> InstanceOf<Target>::convert(PyObject* object) {
  PyTypeObject* target = Target();
  if (Py_TYPE(object) == target || PyType_IsSubtype(Py_TYPE(object), target)) return object;
  return type_mismatch(object, target);
}

}  // namespace kestrum
