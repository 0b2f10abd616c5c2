// The wait-group operations the Python layer's WaitGroup needs beyond
// _kestrum_core's surface: reading the counter, and taking jobs off it in a
// call that also wakes the waiters when it reaches zero. This module is
// built from the same sources, so a RawAsyncWaitGroup's layout is the same
// here.
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/once.hpp"
#include "native_registry.hpp"
#include "waitgroup/wait_group_state.hpp"

namespace kestrum {
namespace {

// The state of `group`, or null if it is no RawAsyncWaitGroup.
WaitGroupState* state_of(PyObject* group) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(native_raw_wait_group_type());
  return PyObject_TypeCheck(group, type) ? &Instance<WaitGroupState>::of(group) : nullptr;
}

Failure not_a_wait_group() { return Failure(PyExc_TypeError, "expected a RawAsyncWaitGroup"); }

ProcessOnce release_name;

// Wakes every waiter taken out with the counter's last job, each by its
// release(), all of them even if one raises: the counter has changed and
// nobody else will wake them. Natively, with no Python frame between taking
// them out and waking them where an interrupt could land and drop them. The
// first exception is raised once the call has returned.
void wake_all(WaiterEntries& entries) noexcept {
  PyObject* name = release_name.get([] { return PyUnicode_InternFromString("release"); });
  OwnedRef first_error;
  while (!entries.empty()) {
    WaiterEntry entry = entries.pop_front();
    call_owed_wakeup(entry.future.get(), name, first_error);
  }
  if (first_error) raise_after_return(std::move(first_error));
}

// Takes `down` (>= 1) off the counter of `self`, waking the waiters if that
// brings it to zero; `underflow` is the message for a counter that holds less.
Result<OwnedRef> take_and_wake(WaitGroupState& self, std::uint64_t down, const char* underflow) {
  WaiterEntries entries;
  switch (self.core->take(down, entries)) {
    case DoneResult::NotZero: return py_none();
    case DoneResult::Underflow: return Failure(PyExc_RuntimeError, underflow);
    case DoneResult::ReachedZero: break;
  }
  wake_all(entries);
  return py_none();
}

constexpr const char* kAddUnderflow = "WaitGroup counter went negative: add() with negative delta";
constexpr const char* kAddOverflow = "WaitGroup counter overflowed: add() with positive delta";

// The group of a (group, count) call, with the count (at least 1, of any
// size) in `count`; `fits` false if it is more than any 64-bit counter holds.
Result<WaitGroupState*> group_and_count(PyObject* const* args, Py_ssize_t nargs, const char* arity,
                                        std::uint64_t& count, bool& fits) {
  if (nargs != 2) return Failure(PyExc_TypeError, arity);
  WaitGroupState* self = state_of(args[0]);
  if (self == nullptr) return not_a_wait_group();
  OwnedRef index = OwnedRef::steal(PyNumber_Index(args[1]));
  if (!index) return Failure::pending();
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (small == -1 && PyErr_Occurred()) return Failure::pending();
  if (overflow < 0 || (overflow == 0 && small < 1)) return Failure(PyExc_ValueError, "count must be at least 1");
  fits = true;
  if (overflow == 0) {
    count = static_cast<std::uint64_t>(small);
    return self;
  }
  const unsigned long long large = PyLong_AsUnsignedLongLong(index.get());
  if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    fits = false;
  }
  count = static_cast<std::uint64_t>(large);
  return self;
}

PyObject* wait_group_count(PyObject*, PyObject* group) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    WaitGroupState* self = state_of(group);
    if (self == nullptr) return not_a_wait_group();
    return py_u64(self->core->counter());
  });
}

// wait_group_take(group, count): count >= 1, of any size (more than any
// counter holds is an underflow like any other).
PyObject* wait_group_take(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    std::uint64_t count = 0;
    bool fits = false;
    Result<WaitGroupState*> self = group_and_count(args, nargs, "wait_group_take() takes 2 arguments", count, fits);
    if (!self.ok()) return std::move(self.failure());
    if (!fits) return Failure(PyExc_RuntimeError, kAddUnderflow);  // above any 64-bit counter
    return take_and_wake(*self.value(), count, kAddUnderflow);
  });
}

// wait_group_put(group, count): count >= 1, of any size; the raw add()
// takes a signed 64-bit delta, which leaves out half of the counter's range.
PyObject* wait_group_put(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    std::uint64_t count = 0;
    bool fits = false;
    Result<WaitGroupState*> self = group_and_count(args, nargs, "wait_group_put() takes 2 arguments", count, fits);
    if (!self.ok()) return std::move(self.failure());
    if (!fits || self.value()->core->put(count) == AddResult::Overflow) {
      return Failure(PyExc_RuntimeError, kAddOverflow);
    }
    return py_none();
  });
}

PyObject* wait_group_done(PyObject*, PyObject* group) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    WaitGroupState* self = state_of(group);
    if (self == nullptr) return not_a_wait_group();
    return take_and_wake(*self, 1, "WaitGroup counter went negative: too many done() calls");
  });
}

}  // namespace

PyMethodDef native_wait_group_functions[] = {
    {"wait_group_count", wait_group_count, METH_O,
     "wait_group_count(group, /)\n--\n\n"
     "The counter of the RawAsyncWaitGroup `group`, read at one instant."},
    {"wait_group_take", as_cfunction(wait_group_take), METH_FASTCALL,
     "wait_group_take(group, count, /)\n--\n\n"
     "Takes `count` (at least 1) off the counter of `group` in one step, or\n"
     "raises RuntimeError and changes nothing if it holds less. When this\n"
     "brings the counter to zero, every waiter's release() is called; an\n"
     "exception from one is raised once the call has returned."},
    {"wait_group_put", as_cfunction(wait_group_put), METH_FASTCALL,
     "wait_group_put(group, count, /)\n--\n\n"
     "Adds `count` (at least 1, up to what the counter holds) to the counter\n"
     "of `group` in one step, or raises RuntimeError and changes nothing if\n"
     "it would overflow."},
    {"wait_group_done", wait_group_done, METH_O,
     "wait_group_done(group, /)\n--\n\n"
     "wait_group_take(group, 1), with done()'s error for a counter at zero."},
    {"wait_group_wait", as_cfunction(wait_group_wait), METH_FASTCALL,
     "wait_group_wait(group, timeout, /)\n--\n\n"
     "Wait, with the interpreter detached, until the counter of the\n"
     "RawAsyncWaitGroup `group` is zero: True once it is, False if `timeout`\n"
     "seconds (None: no limit) passed first. A signal handler that raises\n"
     "ends the wait and takes the waiter back."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum
