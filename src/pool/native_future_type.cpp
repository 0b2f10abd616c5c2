// NativeFuture: the hot half of the future WorkerPool hands out.
//
// kestrum.pool._TaskFuture derives from this type and from
// concurrent.futures.Future, so that every consumer of futures accepts it.
// What every task pays for lives here: the state word (see
// FutureStateWord), the call and its outcome, the methods a caller uses on
// a done future, and waiting in result()/exception(), which sleeps on the
// state word itself with the interpreter detached. What only a watched
// future needs (wait()/as_completed() hooks, done callbacks) stays in
// Python, in the subclass, reached through its `_notify_done` method, and
// the lock it uses, `_condition`, is created on first use. (`_wait` serves
// the odd time-out a native wait does not take, see native_timeout().) A
// task nobody waits for therefore costs one object, its argument tuple, and
// no lock; one that result() waits for, no lock either.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/once.hpp"
#include "binding/thread_exit.hpp"
#include "core/parker.hpp"
#include "native_registry.hpp"
#include "pool/future_state_core.hpp"
#include "pool/native_future.hpp"

namespace kestrum {
namespace {

// A task's call: the callable and its arguments.
struct Call {
  OwnedRef fn;
  OwnedRef args;
  OwnedRef kwargs;  // empty: no keyword arguments
};

struct FutureFields {
  FutureFields(PyObject* fn, OwnedRef args, OwnedRef kwargs) noexcept
      : call{OwnedRef::borrow(fn), std::move(args), std::move(kwargs)} {}
  FutureFields(FutureFields&& other) noexcept : call(std::move(other.call)) {}
  ~FutureFields() {
    OwnedRef held = OwnedRef::steal(lock.exchange(nullptr, std::memory_order_relaxed));
  }

  FutureStateWord word;
  // Moves the call out, leaving none. Taken by whichever thread moves the
  // state out of Pending (the worker running it, cancel(), a completion by
  // hand), and released when the value returned goes: a finalizer run by
  // that release sees the future already without it.
  Call take_call() noexcept { return std::move(call); }

  // Set when the future is made; see take_call().
  Call call;
  // The outcome: written by the thread holding the Completing claim, read
  // only once Finished is seen.
  OwnedRef result;
  OwnedRef exception;
  // `_condition`, a threading.RLock made on first use (a strong reference),
  // and the process that made it (written before the lock is published).
  std::atomic<PyObject*> lock{nullptr};
  std::atomic<pid_t> lock_pid{0};
};

using State = FutureFields;
using Self = Instance<State>;

ProcessOnce state_names_once;
ProcessOnce rlock_once;
ProcessOnce cancelled_error_once;
ProcessOnce invalid_state_once;

PyObject* futures_attr(const char* name) noexcept {
  OwnedRef module = OwnedRef::steal(PyImport_ImportModule("concurrent.futures"));
  return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

// The standard future's state names, by FutureState value; Completing reads
// as RUNNING.
PyObject* state_names() noexcept {
  return state_names_once.get([]() -> PyObject* {
    return Py_BuildValue("(ssssss)", "PENDING", "RUNNING", "CANCELLED", "CANCELLED_AND_NOTIFIED",
                         "FINISHED", "RUNNING");
  });
}

// Raises `type()`, as the standard future does (a Failure's message would
// become an argument).
Result<OwnedRef> raised_without_arguments(PyObject* type) {
  PyErr_SetNone(type);
  return Failure::pending();
}

Result<OwnedRef> cancelled_error() {
  PyObject* type = cancelled_error_once.get([] { return futures_attr("CancelledError"); });
  if (type == nullptr) return Failure::pending();
  return raised_without_arguments(type);
}

Result<OwnedRef> call_method(PyObject* self, const char* name, PyObject* arg) {
  OwnedRef result = OwnedRef::steal(arg == nullptr ? PyObject_CallMethod(self, name, nullptr)
                                                   : PyObject_CallMethod(self, name, "O", arg));
  if (!result) return Failure::pending();
  return result;
}

// Whether the future's lock was made by another process: this is a forked
// child, and the lock may be held by a thread that does not exist here.
bool made_in_another_process(const State& f) noexcept {
  if (f.lock.load(std::memory_order_acquire) == nullptr) return false;
  return f.lock_pid.load(std::memory_order_relaxed) != getpid();
}

// Publishes `result` or `exception` (the other one empty) as the outcome,
// then lets the Python half notify whoever watched.
Result<OwnedRef> complete(PyObject* self, OwnedRef result, OwnedRef exception) {
  State& f = Self::of(self);
  const std::uint32_t seen = f.word.begin_complete();
  const FutureState state = FutureStateWord::state_of(seen);
  if (state != FutureState::Pending && state != FutureState::Running) {
    PyObject* type = invalid_state_once.get([] { return futures_attr("InvalidStateError"); });
    if (type == nullptr) return Failure::pending();
    // As the standard future words it: the state, then the future. One being
    // completed by another call right now is as good as finished.
    const char* name = state == FutureState::Cancelled              ? "CANCELLED"
                       : state == FutureState::CancelledAndNotified ? "CANCELLED_AND_NOTIFIED"
                                                                    : "FINISHED";
    PyErr_Format(type, "%s: %R", name, self);
    return Failure::pending();
  }
  // A future completed before any worker took its call (by hand, or failed
  // by a broken pool) lets go of the call now, as running it would have:
  // no worker touches it once the state has left Pending. Released when
  // this returns.
  Call dropped;
  if (state == FutureState::Pending) dropped = f.take_call();
  f.result = std::move(result);
  f.exception = std::move(exception);
  // Watched: the Python half publishes under the future's lock, then notifies.
  if (!f.word.try_finish()) {
    if (made_in_another_process(f)) {
      // A task that forked finished in the child. The lock, its waiters and
      // the callbacks that watch this future belong to the parent, and a
      // parent thread may have held the lock when the fork happened: mark
      // the future done here without touching any of them.
      (void)f.word.publish_watched();
      return py_none();
    }
    return call_method(self, "_notify_done", nullptr);
  }
  return py_none();
}

// Raises what set_exception() stored, as `raise stored` would: an exception
// class is instantiated, an exception being handled becomes the context, and
// anything else that is no exception is a TypeError (exception() still
// returns the object as it was given).
Result<OwnedRef> raise_stored(PyObject* stored) {
  if (PyExceptionInstance_Check(stored)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(stored)), stored);
  } else if (PyExceptionClass_Check(stored)) {
    return raised_without_arguments(stored);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return Failure::pending();
}

// The outcome of a done future, as result() gives it (`raise_it`) or as
// exception() does.
Result<OwnedRef> outcome(State& f, FutureState state, bool raise_it) {
  if (state == FutureState::Finished) {
    if (!raise_it) return f.exception ? OwnedRef::borrow(f.exception.get()) : py_none();
    if (f.exception) return raise_stored(f.exception.get());
    return f.result ? OwnedRef::borrow(f.result.get()) : py_none();
  }
  return cancelled_error();
}

// What a time-out asks of a native wait: none at all (no deadline), or
// seconds to wait, or nothing the native wait takes as it is.
struct NativeTimeout {
  bool native = false;
  std::optional<double> seconds;
};

// None and exact ints and floats up to a limit far below the interpreter's
// largest lock time-out are waited for natively; anything else (a huge or
// odd number, a non-number) goes to the subclass's `_wait`, which gives the
// standard future's answer for it, down to its exception.
NativeTimeout native_timeout(PyObject* timeout) {
  if (timeout == Py_None) return {true, std::nullopt};
  double seconds;
  if (!exact_number_value(timeout, seconds) || !(seconds <= kLongestNativeWait)) return {};  // NaN too
  return {true, seconds > 0.0 ? seconds : 0.0};  // not positive: don't wait, as the standard future
}

// Waits with the interpreter detached until the future is done or the
// time-out passes. A signal wakes the wait to run the handlers; one that
// raises ends it with the exception pending.
Result<bool> wait_natively(State& f, std::optional<double> seconds) {
  if (seconds && *seconds == 0.0) return FutureStateWord::is_done(f.word.state());
  const std::optional<Deadline> deadline = seconds ? std::optional(deadline_after(*seconds)) : std::nullopt;
  PyThreadState* detached = PyEval_SaveThread();
  const bool done = f.word.spin_until_done();
  reattach(detached);
  if (done) return true;
  for (;;) {
    // Before every sleep: a signal that came while this thread spun, or
    // between its wake-ups, interrupts no sleep, and must not wait for the
    // future to finish.
    if (PyErr_CheckSignals() < 0) return Failure::pending();
    detached = PyEval_SaveThread();
    const ParkResult r = f.word.sleep_until_done(deadline ? &*deadline : nullptr);
    reattach(detached);
    if (r == ParkResult::Unparked) return true;
    if (r == ParkResult::TimedOut) return FutureStateWord::is_done(f.word.state());
  }
}

Result<OwnedRef> wait_for_outcome(PyObject* self, PyObject* timeout, bool raise_it) {
  State& f = Self::of(self);
  FutureState state = f.word.state();
  if (!FutureStateWord::is_done(state)) {
    const NativeTimeout native = native_timeout(timeout);
    if (native.native) {
      Result<bool> done = wait_natively(f, native.seconds);
      if (!done.ok()) return std::move(done.failure());
    } else {
      Result<OwnedRef> waited = call_method(self, "_wait", timeout);
      if (!waited.ok()) return waited;
    }
    state = f.word.state();
    if (!FutureStateWord::is_done(state)) return raised_without_arguments(PyExc_TimeoutError);
  }
  return outcome(f, state, raise_it);
}

// -- Python methods ------------------------------------------------------

struct OptionalDict {
  using type = PyObject*;
  static Result<PyObject*> convert(PyObject* object) {
    if (object == Py_None || PyDict_Check(object)) return object;
    return Failure(PyExc_TypeError, "kwargs must be a dict or None");
  }
};

PyObject* future_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  using New = Function<"NativeFuture", "__new__", Param<"fn", AnyObject>, Param<"args", TupleObject>,
                       Param<"kwargs", OptionalDict>>;
  return run_entry([&]() -> Result<OwnedRef> {
    std::array<PyObject*, 3> slots{};
    if (auto failure = bind_tuple_dict(New::info(), args, kwargs, slots.data())) return std::move(*failure);
    Result<PyObject*> tuple = TupleObject::convert(slots[1]);
    if (!tuple.ok()) return with_parameter_note(std::move(tuple.failure()), "args");
    Result<PyObject*> dict = OptionalDict::convert(slots[2]);
    if (!dict.ok()) return with_parameter_note(std::move(dict.failure()), "kwargs");
    // An exact tuple: a subclass could change what it holds.
    OwnedRef exact = OwnedRef::steal(PyTuple_GetSlice(tuple.value(), 0, PyTuple_GET_SIZE(tuple.value())));
    if (!exact) return Failure::pending();
    const bool no_keywords = dict.value() == Py_None || PyDict_GET_SIZE(dict.value()) == 0;
    return new_native_future(type, slots[0], std::move(exact),
                             no_keywords ? OwnedRef() : OwnedRef::borrow(dict.value()));
  });
}

// Accepts and ignores the constructor's arguments: __new__ did the work,
// and the standard Future.__init__ must not run (it would build the lock
// and lists this type exists to avoid).
int future_init(PyObject*, PyObject*, PyObject*) noexcept { return 0; }

int future_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  State& f = Self::of(self);
  Py_VISIT(f.call.fn.get());
  Py_VISIT(f.call.args.get());
  Py_VISIT(f.call.kwargs.get());
  Py_VISIT(f.result.get());
  Py_VISIT(f.exception.get());
  Py_VISIT(f.lock.load(std::memory_order_relaxed));
  return 0;
}

int future_clear(PyObject* self) noexcept {
  State& f = Self::of(self);
  // Moved out first, released when these go: a finalizer run by a release
  // sees the future already emptied.
  Call call = f.take_call();
  OwnedRef result = std::move(f.result), exception = std::move(f.exception);
  OwnedRef lock = OwnedRef::steal(f.lock.exchange(nullptr, std::memory_order_relaxed));
  return 0;
}

void future_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Self::dealloc(self);
}

Result<OwnedRef> state_getter(State& f) {
  PyObject* names = state_names();
  if (names == nullptr) return Failure::pending();
  return OwnedRef::borrow(PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(f.word.state())));
}

// `_condition`: marks the future watched, then hands out its lock, made on
// first use. Whoever takes this lock to look at the state is seen by the
// thread that makes the future done (see FutureStateWord).
Result<OwnedRef> condition_getter(State& f) {
  (void)f.word.watch();
  PyObject* lock = f.lock.load(std::memory_order_acquire);
  if (lock != nullptr) return OwnedRef::borrow(lock);
  PyObject* type = rlock_once.get([]() -> PyObject* {
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule("_thread"));
    return module ? PyObject_GetAttrString(module.get(), "RLock") : nullptr;
  });
  if (type == nullptr) return Failure::pending();
  OwnedRef made = OwnedRef::steal(PyObject_CallNoArgs(type));
  if (!made) return Failure::pending();
  f.lock_pid.store(getpid(), std::memory_order_relaxed);  // published by the exchange below
  PyObject* expected = nullptr;
  if (f.lock.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
    return OwnedRef::borrow(made.release());  // the future keeps the stolen reference
  }
  return OwnedRef::borrow(expected);  // another thread's lock won; ours is dropped
}

Result<OwnedRef> result_getter(State& f) {
  if (f.word.state() == FutureState::Finished && f.result) return OwnedRef::borrow(f.result.get());
  return py_none();
}

Result<OwnedRef> exception_getter(State& f) {
  if (f.word.state() == FutureState::Finished && f.exception) return OwnedRef::borrow(f.exception.get());
  return py_none();
}

template <auto Getter>
PyObject* getter(PyObject* self, void*) noexcept {
  return run_entry([&]() -> Result<OwnedRef> { return Getter(Self::of(self)); });
}

PyObject* done(PyObject* self, PyObject*) noexcept {
  return py_bool(FutureStateWord::is_done(Self::of(self).word.state())).release();
}

PyObject* cancelled(PyObject* self, PyObject*) noexcept {
  const FutureState state = Self::of(self).word.state();
  return py_bool(state == FutureState::Cancelled || state == FutureState::CancelledAndNotified).release();
}

PyObject* running(PyObject* self, PyObject*) noexcept {
  const FutureState state = Self::of(self).word.state();
  return py_bool(state == FutureState::Running || state == FutureState::Completing).release();
}

template <bool RaiseIt>
PyObject* wait_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using Timeout = Function<"NativeFuture", "result", Param<"timeout", AnyObject>>;
  return run_entry([&]() -> Result<OwnedRef> {
    State& f = Self::of(self);
    // No arguments, the common case, need no binding; given ones are bound
    // (and refused if wrong) even when the future is done.
    PyObject* timeout = Py_None;
    if (nargs != 0 || kwnames != nullptr) {
      std::array<PyObject*, 1> slots{};
      if (auto failure = bind_vector(Timeout::info(), args, nargs, kwnames, slots.data())) {
        return std::move(*failure);
      }
      if (slots[0] != nullptr) timeout = slots[0];
    }
    // A done future: no call out.
    const FutureState state = f.word.state();
    if (FutureStateWord::is_done(state)) return outcome(f, state, RaiseIt);
    return wait_for_outcome(self, timeout, RaiseIt);
  });
}

PyObject* run_method(PyObject* self, PyObject*) noexcept {
  return run_entry([&]() -> Result<OwnedRef> { return run_native_future(self); });
}

Result<OwnedRef> advance(PyObject* self, std::uint64_t from, std::uint64_t to) {
  // Only the moves the Python half makes: the outcome is stored once, by
  // the Completing claim, and never moves back.
  const auto is = [&](FutureState a, FutureState b) {
    return from == static_cast<std::uint64_t>(a) && to == static_cast<std::uint64_t>(b);
  };
  if (!is(FutureState::Pending, FutureState::Running) && !is(FutureState::Pending, FutureState::Cancelled) &&
      !is(FutureState::Cancelled, FutureState::CancelledAndNotified)) {
    return Failure(PyExc_ValueError, "not a state change a future makes this way");
  }
  State& f = Self::of(self);
  const std::uint32_t seen = f.word.advance(static_cast<FutureState>(from), static_cast<FutureState>(to));
  if (FutureStateWord::state_of(seen) == static_cast<FutureState>(from) &&
      static_cast<FutureState>(from) == FutureState::Pending) {
    // Out of Pending by this call, cancelled or started by hand (a task
    // failed unrun, say): the call will never run, since a worker runs it
    // only by moving the state out of Pending itself. Let go of it now.
    Call dropped = f.take_call();
  }
  return py_u64(seen);
}

PyObject* advance_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using Advance = Function<"NativeFuture", "_advance", Param<"from_state", U64>, Param<"to_state", U64>>;
  return run_entry([&]() -> Result<OwnedRef> {
    std::array<PyObject*, 2> slots{};
    if (auto failure = bind_vector(Advance::info(), args, nargs, kwnames, slots.data())) {
      return std::move(*failure);
    }
    Result<std::uint64_t> from = U64::convert(slots[0]);
    if (!from.ok()) return with_parameter_note(std::move(from.failure()), "from_state");
    Result<std::uint64_t> to = U64::convert(slots[1]);
    if (!to.ok()) return with_parameter_note(std::move(to.failure()), "to_state");
    return advance(self, from.value(), to.value());
  });
}

PyObject* publish(PyObject* self, PyObject*) noexcept {
  return py_bool(Self::of(self).word.publish_watched()).release();
}

Result<OwnedRef> set_result(PyObject* self, PyObject* value) {
  return complete(self, OwnedRef::borrow(value), OwnedRef());
}

Result<OwnedRef> set_exception(PyObject* self, PyObject* value) {
  // None is allowed, as for the standard future: result() then returns None.
  return complete(self, OwnedRef(), value == Py_None ? OwnedRef() : OwnedRef::borrow(value));
}

using SetResult = Function<"NativeFuture", "set_result", Param<"result", AnyObject>>;
using SetException = Function<"NativeFuture", "set_exception", Param<"exception", AnyObject>>;

PyMethodDef methods[] = {
    {"done", done, METH_NOARGS, "done($self)\n--\n\nWhether the call finished or was cancelled."},
    {"cancelled", cancelled, METH_NOARGS, "cancelled($self)\n--\n\nWhether the future was cancelled."},
    {"running", running, METH_NOARGS, "running($self)\n--\n\nWhether the call is running now."},
    {"result", as_cfunction(wait_method<true>), METH_FASTCALL | METH_KEYWORDS,
     "result($self, timeout=None)\n--\n\n"
     "The call's result, waiting up to `timeout` seconds (None: no limit);\n"
     "raises the call's exception, TimeoutError or CancelledError."},
    {"exception", as_cfunction(wait_method<false>), METH_FASTCALL | METH_KEYWORDS,
     "exception($self, timeout=None)\n--\n\n"
     "The call's exception (None if it returned), waiting like result()."},
    {"set_result", as_cfunction(SetResult::object_method<set_result>), METH_FASTCALL | METH_KEYWORDS,
     "set_result($self, result)\n--\n\nMark the future finished with `result`."},
    {"set_exception", as_cfunction(SetException::object_method<set_exception>), METH_FASTCALL | METH_KEYWORDS,
     "set_exception($self, exception)\n--\n\nMark the future finished with `exception`."},
    {"_run", run_method, METH_NOARGS,
     "_run($self)\n--\n\nRun the call on this thread unless it was cancelled."},
    {"_publish", publish, METH_NOARGS,
     "_publish($self)\n--\n\n"
     "With the future's lock held: make a watched future whose outcome is\n"
     "stored finished. Returns whether it did (False in any other state)."},
    {"_advance", as_cfunction(advance_method), METH_FASTCALL | METH_KEYWORDS,
     "_advance($self, from_state, to_state)\n--\n\n"
     "Move the state from `from_state` to `to_state` if it is `from_state`\n"
     "(0 pending -> 1 running, 0 pending -> 2 cancelled, 2 cancelled -> 3\n"
     "cancelled and notified; any other pair raises ValueError).\n"
     "Returns the state word seen: the low 3 bits its state, bit 3 whether the\n"
     "future was watched, bit 4 whether a thread slept waiting for it. Moving\n"
     "out of pending drops the call, which will then never run."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"_state", getter<state_getter>, nullptr, "The standard future's state name.", nullptr},
    {"_condition", getter<condition_getter>, nullptr,
     "The future's lock, made on first use; taking it marks the future watched.", nullptr},
    {"_result", getter<result_getter>, nullptr, "The result, once finished.", nullptr},
    {"_exception", getter<exception_getter>, nullptr, "The exception, once finished.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "NativeFuture(fn, args, kwargs)\n--\n\n"
                    "The state, call and outcome of one pool task, for a subclass that is\n"
                    "also a concurrent.futures.Future and supplies _wait(timeout) and\n"
                    "_notify_done().")},
    {Py_tp_new, reinterpret_cast<void*>(future_new)},
    {Py_tp_init, reinterpret_cast<void*>(future_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(future_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(future_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(future_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec native_future_spec = {
    "kestrum._kestrum_native.NativeFuture",
    Self::kBasicSize,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

bool is_native_future_type(PyTypeObject* type) noexcept {
  for (; type != nullptr; type = type->tp_base) {
    if (type->tp_traverse == future_traverse) return true;
  }
  return false;
}

Result<OwnedRef> new_native_future(PyTypeObject* type, PyObject* fn, OwnedRef args, OwnedRef kwargs) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return Failure::pending();
  ::new (Self::storage(object)) State(fn, std::move(args), std::move(kwargs));
  return OwnedRef::steal(object);
}

Result<OwnedRef> run_native_future(PyObject* self) {
  State& f = Self::of(self);
  const std::uint32_t seen = f.word.advance(FutureState::Pending, FutureState::Running);
  if (FutureStateWord::state_of(seen) != FutureState::Pending) {
    // Cancelled, or moved on by hand: the general method reports it.
    Result<OwnedRef> started = call_method(self, "set_running_or_notify_cancel", nullptr);
    if (!started.ok() || started.value().get() != Py_True) return started;
  }
  OwnedRef outcome_value;
  OwnedRef raised;
  {
    // The future outlives the call: it lets go of the callable and its
    // arguments as soon as the call returns.
    Call call = f.take_call();
    if (!call.fn || !call.args) return Failure(PyExc_RuntimeError, "the future has no call to run");
    outcome_value = OwnedRef::steal(PyObject_Call(call.fn.get(), call.args.get(), call.kwargs.get()));
    if (!outcome_value) raised = OwnedRef::steal(PyErr_GetRaisedException());
  }
  return complete(self, std::move(outcome_value), std::move(raised));
}

}  // namespace kestrum
