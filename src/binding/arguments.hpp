#pragma once
// Matching call arguments to parameters.
//
// Every parameter of this module is required and may be passed by position
// or by keyword. Binding places each argument in its parameter's slot
// (borrowed) without allocating; messages are formatted only on failure.
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string_view>

#include "binding/failure.hpp"

namespace kestrum {

struct FunctionInfo {
  const char* class_name;     // "FastChannel"
  const char* function_name;  // "try_send", "__new__"
  const std::string_view* parameters;
  std::size_t count;
};

// Vectorcall convention: `args[0 .. nargs)` positional, then one value per
// name in `kwnames` (may be null).
std::optional<Failure> bind_vector(const FunctionInfo& info, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// tp_new convention: a tuple and a dict (may be null).
std::optional<Failure> bind_tuple_dict(const FunctionInfo& info, PyObject* args,
                                       PyObject* kwargs, PyObject** slots);

}  // namespace kestrum
