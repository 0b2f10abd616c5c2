#pragma once
// Matching call arguments to parameters.
//
// Every parameter may be passed by position or by keyword; all are required
// but a trailing few that a function declares optional (None when left out). Binding places each argument in its parameter's slot
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
  std::size_t optional_tail = 0;  // the last this many may be left out
};

// Vectorcall convention: `args[0 .. nargs)` positional, then one value per
// name in `kwnames` (may be null).
std::optional<Failure> bind_vector(const FunctionInfo& info, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// tp_new convention: a tuple and a dict (may be null).
std::optional<Failure> bind_tuple_dict(const FunctionInfo& info, PyObject* args,
                                       PyObject* kwargs, PyObject** slots);

}  // namespace kestrum
