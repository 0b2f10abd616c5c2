#include "binding/convert.hpp"

#include <climits>
#include <cstring>

#include "binding/once.hpp"

namespace kestrum {
namespace {

// Builds "while processing '{parameter}'". Null with an error set on failure.
PyObject* parameter_note(const char* parameter) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
  if (writer == nullptr) return nullptr;
  if (PyUnicodeWriter_WriteUTF8(writer, "while processing ", -1) < 0 ||
      PyUnicodeWriter_WriteChar(writer, '\'') < 0 ||
      PyUnicodeWriter_WriteUTF8(writer, parameter, -1) < 0 ||
      PyUnicodeWriter_WriteChar(writer, '\'') < 0) {
    PyUnicodeWriter_Discard(writer);
    return nullptr;
  }
  return PyUnicodeWriter_Finish(writer);
#else
  // The writer API is new in 3.14; older interpreters format the same text.
  return PyUnicode_FromFormat("while processing '%s'", parameter);
#endif
}

}  // namespace

Result<std::uint64_t> U64::convert(PyObject* object) {
  // Small non-negative ints, nearly every index and size, are read in place.
  if (PyLong_CheckExact(object) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
    const Py_ssize_t compact = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
    if (compact >= 0) return static_cast<std::uint64_t>(compact);
  }
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
    if (!index) return Failure::pending();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is also a valid value: only an exception makes it an error.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Failure::pending();
  return static_cast<std::uint64_t>(value);
}

Result<std::int64_t> I64::convert(PyObject* object) {
  long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) return Failure::pending();
  return static_cast<std::int64_t>(value);
}

Result<PyObject*> TupleObject::convert(PyObject* object) {
  if (PyTuple_Check(object)) return object;
  return type_mismatch(object, &PyTuple_Type);
}

Failure type_mismatch(PyObject* object, PyTypeObject* target) {
  OwnedRef target_name = OwnedRef::steal(PyType_GetQualName(target));
  if (!target_name) return Failure::pending();
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", target_name.get());
    return Failure::pending();
  }
  OwnedRef type_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) {
    PyErr_Clear();
    type_name = OwnedRef::steal(PyUnicode_FromString("<failed to extract type name>"));
    if (!type_name) return Failure::pending();
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", type_name.get(),
               target_name.get());
  return Failure::pending();
}

Failure with_parameter_note(Failure failure, const char* parameter) {
  OwnedRef exception = std::move(failure).take_exception();
  PyObject* add_note = interned_add_note();
  OwnedRef note = OwnedRef::steal(add_note ? parameter_note(parameter) : nullptr);
  if (note) {
    PyObject* args[] = {exception.get(), note.get()};
    OwnedRef done = OwnedRef::steal(PyObject_VectorcallMethod(
        add_note, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!done) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exception.release());
  return Failure::pending();
}

Result<OwnedRef> py_u64(std::uint64_t value) {
  // PyLong_FromLong has the shorter path (small-int cache first) for the
  // values counters and sizes nearly always hold.
  OwnedRef result = OwnedRef::steal(value <= static_cast<std::uint64_t>(LONG_MAX)
                                        ? PyLong_FromLong(static_cast<long>(value))
                                        : PyLong_FromUnsignedLongLong(value));
  if (!result) return Failure::pending();  // MemoryError
  return result;
}

bool exact_number_value(PyObject* object, double& value) noexcept {
  if (PyFloat_CheckExact(object)) {
    value = PyFloat_AS_DOUBLE(object);
    return true;
  }
  if (!PyLong_CheckExact(object)) return false;
  int overflow = 0;
  const long long whole = PyLong_AsLongLongAndOverflow(object, &overflow);  // an exact int can't fail
  value = static_cast<double>(whole);
  return overflow == 0;
}

Result<OwnedRef> new_pair() {
  OwnedRef pair = OwnedRef::steal(PyTuple_New(2));
  if (!pair) return Failure::pending();  // MemoryError
  return pair;
}

OwnedRef fill_pair(OwnedRef pair, OwnedRef first, OwnedRef second) noexcept {
  PyTuple_SET_ITEM(pair.get(), 0, first.release());
  PyTuple_SET_ITEM(pair.get(), 1, second.release());
  return pair;
}

namespace {
ProcessOnce no_item_pair_once;
}  // namespace

Result<OwnedRef> no_item_pair() {
  PyObject* pair = no_item_pair_once.get([] { return PyTuple_Pack(2, Py_False, Py_None); });
  if (pair == nullptr) return Failure::pending();
  return OwnedRef::borrow(pair);
}

}  // namespace kestrum
