#pragma once
// Entry points: the functions the interpreter calls, generated from a
// compile-time description of each function, so that a class states only
// its parameters and its body.
//
//   using PushLocal = Function<"NativeWorkerPool", "push_local",
//                              Param<"index", U64>, Param<"task", AnyObject>>;
//   Result<OwnedRef> push_local(PoolState& self, std::uint64_t index, PyObject* task);
//   ... PushLocal::method<PoolState, push_local> ...
//
// Every entry point binds the arguments, converts them in parameter order
// (the first failing conversion gets the note naming its parameter and ends
// the call), runs the body, and turns a Failure or a C++ exception into a
// Python exception. Unwinding releases everything the body held.
//
// Objects carry no borrow counter: no method ever needs exclusive access, so
// each class makes every method safe to run alongside every other, and a
// shared counter would only put one contended cache line in front of every call.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/dealloc.hpp"
#include "binding/failure.hpp"
#include "binding/owned_ref.hpp"

namespace kestrum {

// A string usable as a template argument.
template <std::size_t N>
struct FixedName {
  char text[N]{};
  constexpr FixedName(const char (&source)[N]) { std::copy_n(source, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

template <FixedName Name, class Converter>
struct Param {
  static constexpr std::string_view name = Name.view();
  static constexpr bool optional = false;
  using converter = Converter;
};

// A trailing parameter that may be left out: its converter then sees None.
template <FixedName Name, class Converter>
struct OptionalParam : Param<Name, Converter> {
  static constexpr bool optional = true;
};

// Where a class's native state lives inside its Python object: after the
// object header and the deallocation link word (see dealloc.hpp), suitably
// aligned.
template <class State>
struct Instance {
  static_assert(alignof(State) <= 16, "object memory is only 16-byte aligned");
  static constexpr std::size_t kOffset =
      (kDeallocLinkOffset + sizeof(PyObject*) + alignof(State) - 1) / alignof(State) *
      alignof(State);
  static constexpr int kBasicSize = static_cast<int>(kOffset + sizeof(State));

  static State& of(PyObject* object) noexcept {
    return *std::launder(reinterpret_cast<State*>(reinterpret_cast<char*>(object) + kOffset));
  }
  static void* storage(PyObject* object) noexcept {
    return reinterpret_cast<char*>(object) + kOffset;
  }

  // tp_dealloc: destroys the state (which may release Python objects and
  // run their finalizers), frees the memory, drops the heap type's reference.
  // The depth of nested deallocations is bounded (see deallocate_bounded).
  static void dealloc(PyObject* object) noexcept { deallocate_bounded(object, destroy); }

  static void destroy(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    of(object).~State();
    auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_slot == nullptr) {
      // Can't happen for a heap type; report it and leak rather than crash.
      PyErr_Clear();
      if (PyObject* panic = panic_exception_type()) {
        PyErr_SetString(panic, "type has no tp_free");
      }
      PyErr_WriteUnraisable(nullptr);
      return;
    }
    free_slot(object);
    release_reference(reinterpret_cast<PyObject*>(type));  // the last one may run weakref callbacks
  }
};

// Runs `body` (returning Result<OwnedRef>) and hands the interpreter a new
// reference, or null with the exception raised.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
  try {
    Result<OwnedRef> result = body();
    if (result.ok()) return result.value().release();
    std::move(result.failure()).raise();
  } catch (...) {
    raise_current_exception();
  }
  return nullptr;
}

// Casts an entry point to the type PyMethodDef stores; the flags tell the
// interpreter its real signature.
template <class F>
PyCFunction as_cfunction(F function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <FixedName Class, FixedName Name, class... Params>
struct Function {
  static constexpr std::size_t kCount = sizeof...(Params);
  static constexpr std::array<std::string_view, kCount> kNames{Params::name...};
  static constexpr std::size_t kOptional = (std::size_t{Params::optional} + ... + 0);
  static constexpr FunctionInfo info() {
    return {Class.text, Name.text, kNames.data(), kCount, kOptional};
  }
  static_assert([] {
    constexpr std::array<bool, kCount> optional{Params::optional...};
    for (std::size_t i = 0; i < kCount; ++i) {
      if (optional[i] != (i >= kCount - kOptional)) return false;
    }
    return true;
  }(), "optional parameters come last");

  // METH_FASTCALL | METH_KEYWORDS method calling
  // Result<OwnedRef> Body(PyObject* self, converted arguments...), for a
  // body that needs the object itself (its type, its Python-level methods).
  template <auto Body>
  static PyObject* object_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<OwnedRef> {
      return bind_and_call(args, nargs, kwnames, [&](auto&&... values) { return Body(self, values...); });
    });
  }

  // METH_FASTCALL | METH_KEYWORDS method calling
  // Result<OwnedRef> Body(State&, converted arguments...).
  template <class State, auto Body>
  static PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return run_entry([&]() -> Result<OwnedRef> {
      return bind_and_call(args, nargs, kwnames,
                           [&](auto&&... values) { return Body(Instance<State>::of(self), values...); });
    });
  }

  // tp_new: binds and converts, builds State from the converted arguments,
  // then allocates the object and moves the state in. A failure to build
  // leaves nothing to undo; a failed allocation drops the state built.
  template <class State>
  static PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static_assert(std::is_nothrow_move_constructible_v<State>, "the state moves into the object");
    return run_entry([&]() -> Result<OwnedRef> {
      std::array<PyObject*, kCount> slots{};
      if (auto failure = bind_tuple_dict(info(), args, kwargs, slots.data())) {
        return std::move(*failure);
      }
      for (PyObject*& slot : slots) {
        if (slot == nullptr) slot = Py_None;  // an optional one left out
      }
      return convert_and_call(slots.data(), [&](auto&&... values) -> Result<OwnedRef> {
        State state(values...);
        // A state that can come out empty (its storage could not be had)
        // says so by converting to false: MemoryError, nothing to undo.
        if constexpr (std::is_constructible_v<bool, const State&>) {
          if (!state) return Failure::out_of_memory();
        }
        PyObject* object = type->tp_alloc(type, 0);
        if (object == nullptr) return Failure::pending();
        ::new (Instance<State>::storage(object)) State(std::move(state));
        return OwnedRef::steal(object);
      });
    });
  }

 private:
  template <class Call>
  static Result<OwnedRef> bind_and_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                        Call&& call) {
    // Every parameter by position, the common case: the arguments are the slots.
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == kCount) [[likely]] {
      return convert_and_call(args, call);
    }
    // Only positional arguments, some optional ones left out (`recv()`,
    // `send(item)`): no name to match and nothing that can be missing.
    if constexpr (kOptional > 0) {
      const auto given = static_cast<std::size_t>(nargs);
      if (kwnames == nullptr && given >= kCount - kOptional && given < kCount) {
        std::array<PyObject*, kCount> slots;
        for (std::size_t i = 0; i < kCount; ++i) slots[i] = i < given ? args[i] : Py_None;
        return convert_and_call(slots.data(), call);
      }
    }
    std::array<PyObject*, kCount> slots{};
    if (auto failure = bind_vector(info(), args, nargs, kwnames, slots.data())) {
      return std::move(*failure);
    }
    for (PyObject*& slot : slots) {
      if (slot == nullptr) slot = Py_None;  // an optional one left out
    }
    return convert_and_call(slots.data(), call);
  }

  template <class Call, std::size_t I = 0, class... Done>
  static Result<OwnedRef> convert_and_call(PyObject* const* slots, Call&& call,
                                           Done&&... done) {
    if constexpr (I == kCount) {
      return call(done...);
    } else {
      using Converter = typename std::tuple_element_t<I, std::tuple<Params...>>::converter;
      auto converted = Converter::convert(slots[I]);
      if (!converted.ok()) {
        return with_parameter_note(std::move(converted.failure()), kNames[I].data());
      }
      return convert_and_call<Call, I + 1>(slots, std::forward<Call>(call),
                                           std::forward<Done>(done)..., converted.value());
    }
  }
};

// METH_NOARGS method calling Result<OwnedRef> Body(State&).
template <class State, auto Body>
PyObject* noargs_method(PyObject* self, PyObject*) noexcept {
  return run_entry([&]() -> Result<OwnedRef> { return Body(Instance<State>::of(self)); });
}

}  // namespace kestrum
