// RawAsyncWaitGroup: the counter and waiter list of a wait group. The done()
// that reaches zero hands the waiters back to its caller, who wakes them.
#include <memory>
#include <new>

#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "type_registry.hpp"
#include "waitgroup/wait_group_state.hpp"

namespace kestrum {
namespace {

using State = WaitGroupState;
using Entries = WaiterEntries;

Result<OwnedRef> add(State& self, std::int64_t delta) {
  switch (self.core->add(delta)) {
    case AddResult::Ok: return py_none();
    case AddResult::Overflow:
      return Failure(PyExc_RuntimeError, "WaitGroup counter overflowed: add() with positive delta");
    case AddResult::Underflow: break;
  }
  return Failure(PyExc_RuntimeError, "WaitGroup counter went negative: add() with negative delta");
}

Result<OwnedRef> done(State& self) {
  Entries entries;
  switch (self.core->done(entries)) {
    case DoneResult::NotZero: return py_none();
    case DoneResult::Underflow:
      return Failure(PyExc_RuntimeError, "WaitGroup counter went negative: too many done() calls");
    case DoneResult::ReachedZero: break;
  }
  return hand_out(self, entries);
}

Result<OwnedRef> register_waiter(State& self, PyObject* waiter) {
  const Py_ssize_t length = PyTuple_GET_SIZE(waiter);
  if (length != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", length);
    return with_parameter_note(Failure::pending(), "waiter");
  }
  WaiterEntry entry{OwnedRef::borrow(PyTuple_GET_ITEM(waiter, 0)),
                    OwnedRef::borrow(PyTuple_GET_ITEM(waiter, 1))};
  // Not queued: `entry` is released here, after the lock.
  switch (self.core->register_waiter(entry)) {
    case RegisterResult::Zero: return py_bool(true);
    case RegisterResult::Queued: return py_bool(false);
    case RegisterResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> unregister_waiter(State& self, PyObject* future) {
  Entries removed;
  if (!self.core->unregister_if(
          [future](const WaiterEntry& e) { return e.future.get() == future; }, removed)) {
    return Failure::out_of_memory();
  }
  // `removed` is released here, after the lock.
  return py_bool(!removed.empty());
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"add", as_cfunction(Function<"RawAsyncWaitGroup", "add", Param<"delta", I64>>::method<State, add>),
     kFastKw,
     "add($self, delta)\n--\n\n"
     "Add `delta` to the counter (Go `sync.WaitGroup.Add` semantics).\n\n"
     "Negative deltas are legal, but the counter must never go below zero:\n"
     "an `add()` that would underflow raises `RuntimeError` (mirroring Go's\n"
     "panic on a negative counter). The update is a CAS loop so concurrent\n"
     "`add()`/`done()` calls are never lost and the underflow check is\n"
     "race-free."},
    {"done", as_cfunction(noargs_method<State, done>), METH_NOARGS, "done($self)\n--\n\n"},
    {"register_waiter",
     as_cfunction(Function<"RawAsyncWaitGroup", "register_waiter",
                           Param<"waiter", TupleObject>>::method<State, register_waiter>),
     kFastKw,
     "register_waiter($self, waiter)\n--\n\n"
     "Registers a waiter that will be notified when the counter reaches zero.\n\n"
     "Returns `true` if the counter is already zero (waiter is not registered\n"
     "and the caller should proceed immediately). Returns `false` if the waiter\n"
     "was registered and will be notified by a future `done()` call.\n\n"
     "# Ordering constraint (matches Go `sync.WaitGroup.Wait`)\n\n"
     "The unlocked fast-path in this method (checking `counter == 0` without\n"
     "holding the waiters lock) can lose against a concurrent `add()`:\n"
     "if `add()` increments from 0\u21921 *after* the counter check but *before*\n"
     "the waiter is pushed, the waiter will never be woken. Callers must\n"
     "ensure all `add()` calls with a positive delta happen-before\n"
     "`register_waiter()`."},
    {"unregister_waiter",
     as_cfunction(Function<"RawAsyncWaitGroup", "unregister_waiter",
                           Param<"fut", AnyObject>>::method<State, unregister_waiter>),
     kFastKw,
     "unregister_waiter($self, fut)\n--\n\n"
     "Removes a previously registered waiter by future identity.\n\n"
     "Returns `true` if the waiter was still queued and is now removed,\n"
     "`false` if it had already been handed over by a `done()`-to-zero\n"
     "(in which case the waker's done-check simply skips it).\n\n"
     "WHY: a cancelled `wait()` that never unregisters would leave its\n"
     "entry in the list until the counter next reaches zero \u2014 repeated\n"
     "cancelled waits grow the list without bound on long-lived groups\n"
     "(R5 FIX-D).  The identity check is a plain pointer comparison, so\n"
     "no Python code runs under the mutex."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncWaitGroup()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(Function<"RawAsyncWaitGroup", "__new__">::constructor<State>)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Instance<State>::dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec raw_async_wait_group_spec = {
    "kestrum._kestrum_core.RawAsyncWaitGroup",
    Instance<State>::kBasicSize,
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace kestrum
