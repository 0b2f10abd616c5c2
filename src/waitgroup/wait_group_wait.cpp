// wait_group_wait(): a thread's wait on a RawAsyncWaitGroup, parked in the
// kernel with the interpreter detached.
//
// The waiter registers (None, token) like any thread waiter of the layer,
// where the token is a small native object whose release() posts the
// semaphore this thread sleeps on; the done() that reaches zero hands the
// entry to the layer, which calls release() as it does for every thread
// waiter. Register, wait and the take-back on a time-out are one native
// call, with no lock object per waiter and no Python frame while asleep.
#include <algorithm>
#include <chrono>
#include <new>
#include <optional>

#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/once.hpp"
#include "binding/thread_exit.hpp"
#include "core/parker.hpp"
#include "native_registry.hpp"
#include "waitgroup/wait_group_state.hpp"

namespace kestrum {
namespace {

using Token = Parker;

PyObject* token_release(PyObject* self, PyObject*) noexcept {
  Instance<Token>::of(self).unpark();
  Py_RETURN_NONE;
}

PyMethodDef token_methods[] = {
    {"release", token_release, METH_NOARGS,
     "release($self)\n--\n\nWake the thread that waits on this token."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot token_slots[] = {
    {Py_tp_doc, const_cast<char*>("A wait group waiter's wake-up, made by wait_group_wait().")},
    {Py_tp_methods, token_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Instance<Token>::dealloc)},
    {0, nullptr},
};

PyType_Spec token_spec = {
    "kestrum._kestrum_native.WaitGroupToken",
    Instance<Token>::kBasicSize,
    0,
    // Made here only: an instance made by the interpreter would have no
    // semaphore.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    token_slots,
};

ProcessOnce token_type_once;

// A new token (a new reference), or a failure.
Result<OwnedRef> new_token() {
  auto* type = reinterpret_cast<PyTypeObject*>(
      token_type_once.get([] { return PyType_FromSpec(&token_spec); }));
  if (type == nullptr) return Failure::pending();
  OwnedRef token = OwnedRef::steal(type->tp_alloc(type, 0));
  if (!token) return Failure::pending();
  new (Instance<Token>::storage(token.get())) Token();
  return token;
}

// Takes the entry whose target is `token` off the list. True if it was
// still queued; false if a done() handed it out (its release() is on the
// way, or done). The removed entry is released here, after the lock.
Result<bool> take_back(WaiterGroupCore& core, PyObject* token) {
  WaiterGroupCore::List removed;
  if (!core.unregister_if([token](const WaiterEntry& e) { return e.future.get() == token; }, removed)) {
    return Failure::out_of_memory();
  }
  return !removed.empty();
}

Result<OwnedRef> wait(PyObject* group, PyObject* timeout) {
  auto* group_type = reinterpret_cast<PyTypeObject*>(native_raw_wait_group_type());
  if (!PyObject_TypeCheck(group, group_type)) {
    return Failure(PyExc_TypeError, "wait_group_wait() expects a RawAsyncWaitGroup");
  }
  std::optional<Deadline> deadline;
  if (timeout != Py_None) {
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) return Failure::pending();
    if (!(seconds >= 0.0)) return Failure(PyExc_ValueError, "'timeout' must be a non-negative number");
    deadline = deadline_after(seconds);
  }
  WaiterGroupCore& core = *Instance<WaitGroupState>::of(group).core;
  // The group object is kept alive by the caller for the whole call.
  if (core.counter() == 0) return py_bool(true);
  Result<OwnedRef> made = new_token();
  if (!made.ok()) return made;
  OwnedRef token = std::move(made.value());
  WaiterEntry entry{py_none(), OwnedRef::borrow(token.get())};
  switch (core.register_waiter(entry)) {
    case RegisterResult::Zero: return py_bool(true);  // `entry` released after the lock
    case RegisterResult::OutOfMemory: return Failure::out_of_memory();
    case RegisterResult::Queued: break;
  }
  Token& parker = Instance<Token>::of(token.get());
  PyThreadState* detached = PyEval_SaveThread();
  for (;;) {
    const ParkResult p = parker.park(deadline ? &*deadline : nullptr);
    if (p == ParkResult::Unparked) break;
    reattach(detached);
    if (p == ParkResult::TimedOut) {
      // Timed out, unless a done() handed the entry out meanwhile: then the
      // counter did reach zero, and the wake-up is only late.
      Result<bool> still_queued = take_back(core, token.get());
      if (!still_queued.ok()) return std::move(still_queued.failure());
      return py_bool(!still_queued.value());
    }
    if (PyErr_CheckSignals() < 0) {
      // A handler raised (KeyboardInterrupt, say): take the entry back so
      // that no dead waiter stays on the list, and let the exception out.
      Failure raised = Failure::pending();
      (void)take_back(core, token.get());
      return raised;
    }
    detached = PyEval_SaveThread();
  }
  reattach(detached);
  return py_bool(true);
}

}  // namespace

PyObject* wait_group_wait(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "wait_group_wait() takes exactly 2 arguments (%zd given)", nargs);
      return Failure::pending();
    }
    return wait(args[0], args[1]);
  });
}

}  // namespace kestrum
