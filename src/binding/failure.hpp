#pragma once
// How calls fail.
//
// A Failure is what a method body returns instead of a result: either an
// exception type with a fixed message, raised only when the call returns,
// or an exception the interpreter has already raised, handed back unchanged.
//
// An internal failure (a broken invariant, an interpreter call that cannot
// fail in normal operation failing, an overflowing size) is a C++ exception,
// InternalFailure: it unwinds the body, so every reference and lock it holds
// is released by its destructor, and the entry point raises PanicException.
#include <Python.h>

#include <exception>
#include <string>
#include <utility>
#include <variant>

#include "binding/owned_ref.hpp"

namespace kestrum {

class Failure {
 public:
  // `type` lives for the process; `message` is a static string.
  Failure(PyObject* type, const char* message) noexcept : type_(type), message_(message) {}

  // MemoryError, raised without allocating anything: running out of memory
  // is reported as a value, never thrown, since the first C++ throw on a
  // thread allocates the runtime's thread-local state and aborts the
  // process when there is no memory for it.
  static Failure out_of_memory() noexcept { return Failure(PyExc_MemoryError, nullptr); }

  // Takes the exception the interpreter has raised. A PanicException raised
  // by Python code is treated as our own internal failure: it is reported on
  // stderr and thrown as InternalFailure, so no note or handler swallows it.
  static Failure pending();

  // The exception object, created now if it was only a type and a message.
  // Throws InternalFailure if it cannot be created.
  OwnedRef take_exception() &&;

  // Raises it in the interpreter (sets the error indicator).
  void raise() && noexcept;

 private:
  explicit Failure(OwnedRef exception) noexcept : exception_(std::move(exception)) {}

  PyObject* type_ = nullptr;
  const char* message_ = nullptr;
  OwnedRef exception_;
};

// A value or a Failure.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) noexcept : state_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() noexcept { return *std::get_if<0>(&state_); }
  Failure& failure() noexcept { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, Failure> state_;
};

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  // Passes a PanicException raised in Python code back up unchanged.
  explicit InternalFailure(OwnedRef panic) : panic_(std::move(panic)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  OwnedRef& panic() noexcept { return panic_; }

 private:
  std::string message_;
  OwnedRef panic_;
};

// The process-wide PanicException type, created on first use. Returns null
// with an exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Raises whatever the C++ exception being handled stands for: MemoryError for
// std::bad_alloc, PanicException for everything else. Call inside catch(...).
void raise_current_exception() noexcept;

// For an exception that came up (a signal handler's, typically) while an
// operation that has already taken effect finished its work, such as waking
// a waiter after an item moved: the operation returns its result, and the
// exception is raised again as soon as control is back in Python, as a
// signal that arrived a moment later would be. That happens on the main
// thread, the only one that runs signal handlers; on any other thread the
// exception is reported as unraisable.
void raise_after_return(OwnedRef exception) noexcept;

// Reports the pending Python error as unraisable and throws InternalFailure
// with `message`: for interpreter calls that cannot fail in normal operation.
[[noreturn]] void unraisable_internal_failure(const char* message);

}  // namespace kestrum
