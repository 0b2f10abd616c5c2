// Two wait-group operations the Python layer's WaitGroup needs and
// _kestrum_core's surface lacks: reading the counter, and a negative add
// that hands out the waiters when it reaches zero. This module is built from
// the same sources, so a RawAsyncWaitGroup's layout is the same here.
#include "binding/convert.hpp"
#include "binding/entry.hpp"
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

PyObject* wait_group_count(PyObject*, PyObject* group) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    WaitGroupState* self = state_of(group);
    if (self == nullptr) return not_a_wait_group();
    return py_u64(self->core->counter());
  });
}

PyObject* wait_group_take(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    if (nargs != 2) return Failure(PyExc_TypeError, "wait_group_take() takes 2 arguments");
    WaitGroupState* self = state_of(args[0]);
    if (self == nullptr) return not_a_wait_group();
    Result<std::uint64_t> down = U64::convert(args[1]);
    if (!down.ok()) return with_parameter_note(std::move(down.failure()), "count");
    if (down.value() == 0) return py_none();
    WaiterEntries entries;
    switch (self->core->take(down.value(), entries)) {
      case DoneResult::NotZero: return py_none();
      case DoneResult::Underflow:
        return Failure(PyExc_RuntimeError, "WaitGroup counter went negative: add() with negative delta");
      case DoneResult::ReachedZero: break;
    }
    return hand_out(*self, entries);
  });
}

}  // namespace

PyMethodDef native_wait_group_functions[] = {
    {"wait_group_count", wait_group_count, METH_O,
     "wait_group_count(group, /)\n--\n\n"
     "The counter of the RawAsyncWaitGroup `group`, read at one instant."},
    {"wait_group_take", as_cfunction(wait_group_take), METH_FASTCALL,
     "wait_group_take(group, count, /)\n--\n\n"
     "Takes `count` off the counter of `group` in one step, or raises\n"
     "RuntimeError and changes nothing if it holds less. None, or, when this\n"
     "brought the counter to zero, the list of waiters to wake (as done())."},
    {"wait_group_wait", as_cfunction(wait_group_wait), METH_FASTCALL,
     "wait_group_wait(group, timeout, /)\n--\n\n"
     "Wait, with the interpreter detached, until the counter of the\n"
     "RawAsyncWaitGroup `group` is zero: True once it is, False if `timeout`\n"
     "seconds (None: no limit) passed first. A signal handler that raises\n"
     "ends the wait and takes the waiter back."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum
