#include "binding/arguments.hpp"

#include <cstdarg>

namespace kestrum {
namespace {

// TypeError "{Class}.{function}() {detail}", detail in PyUnicode_FromFormat style.
Failure binding_error(const FunctionInfo& info, const char* detail_format, ...) {
  va_list args;
  va_start(args, detail_format);
  OwnedRef detail = OwnedRef::steal(PyUnicode_FromFormatV(detail_format, args));
  va_end(args);
  if (detail) {
    PyErr_Format(PyExc_TypeError, "%s.%s() %U", info.class_name, info.function_name, detail.get());
  }
  return Failure::pending();
}

std::optional<Failure> bind_positional(const FunctionInfo& info, Py_ssize_t nargs,
                                       PyObject* const* values, PyObject** slots) {
  if (static_cast<std::size_t>(nargs) > info.count) {
    // The message keeps "arguments" even for one parameter.
    return binding_error(info, "takes %zu positional arguments but %zd %s given", info.count,
                         nargs, nargs == 1 ? "was" : "were");
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = values[i];
  return std::nullopt;
}

std::optional<Failure> bind_keyword(const FunctionInfo& info, PyObject* name, PyObject* value,
                                    PyObject** slots) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
  if (text == nullptr) {
    // A name that can't be read as UTF-8 can't match: report it like any
    // stranger, dropping the UTF-8 error.
    PyErr_Clear();
    return binding_error(info, "got an unexpected keyword argument '%S'", name);
  }
  std::string_view key(text, static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < info.count; ++i) {
    if (info.parameters[i] != key) continue;
    if (slots[i] != nullptr) {
      return binding_error(info, "got multiple values for argument '%U'", name);
    }
    slots[i] = value;
    return std::nullopt;
  }
  return binding_error(info, "got an unexpected keyword argument '%U'", name);
}

std::optional<Failure> check_missing(const FunctionInfo& info, PyObject** slots) {
  const std::size_t required = info.count - info.optional_tail;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < required; ++i) missing += slots[i] == nullptr ? 1 : 0;
  if (missing == 0) return std::nullopt;
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
  OwnedRef names = OwnedRef::steal(PyUnicode_FromString(""));
  std::size_t listed = 0;
  for (std::size_t i = 0; i < required && names; ++i) {
    if (slots[i] != nullptr) continue;
    const char* separator = listed == 0               ? ""
                            : listed + 1 < missing    ? ", "
                            : missing > 2             ? ", and "
                                                      : " and ";
    names = OwnedRef::steal(PyUnicode_FromFormat("%U%s'%s'", names.get(), separator,
                                                 info.parameters[i].data()));
    ++listed;
  }
  if (!names) return Failure::pending();
  return binding_error(info, "missing %zu required positional %s: %U", missing,
                       missing == 1 ? "argument" : "arguments", names.get());
}

}  // namespace

std::optional<Failure> bind_vector(const FunctionInfo& info, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  if (auto failure = bind_positional(info, nargs, args, slots)) return failure;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (auto failure = bind_keyword(info, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
        return failure;
      }
    }
  }
  return check_missing(info, slots);
}

std::optional<Failure> bind_tuple_dict(const FunctionInfo& info, PyObject* args,
                                       PyObject* kwargs, PyObject** slots) {
  if (auto failure = bind_positional(info, PyTuple_GET_SIZE(args),
                                     &PyTuple_GET_ITEM(args, 0), slots)) {
    return failure;
  }
  if (kwargs != nullptr) {
    // The dict belongs to this call alone, so iterating it is safe without
    // a critical section.
    Py_ssize_t position = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (auto failure = bind_keyword(info, name, value, slots)) return failure;
    }
  }
  return check_missing(info, slots);
}

}  // namespace kestrum
