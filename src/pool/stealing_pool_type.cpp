// NativeStealingPool: the work-stealing scheduling core behind
// kestrum.WorkerPool, holding tasks for the Python layer's worker threads.
// The Python layer parks and wakes its workers; see StealingPoolCore for the
// protocol this type exposes.
#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <optional>

#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/thread_exit.hpp"
#include "native_registry.hpp"
#include "pool/native_future.hpp"
#include "pool/stealing_pool_core.hpp"

namespace kestrum {
namespace {

using Core = StealingPoolCore<OwnedRef>;

struct StealingPoolState {
  explicit StealingPoolState(std::uint64_t num_threads)
      : core(std::make_unique<Core>(num_threads)) {}
  StealingPoolState(StealingPoolState&& other) noexcept
      : core(std::move(other.core)),
        wakers(other.wakers.exchange(nullptr, std::memory_order_relaxed)),
        submitter(other.submitter.exchange(nullptr, std::memory_order_relaxed)),
        abandoned(other.abandoned.load(std::memory_order_relaxed)) {}
  ~StealingPoolState() {
    core.reset();  // releases the queued tasks
    OwnedRef released = OwnedRef::steal(wakers.exchange(nullptr, std::memory_order_relaxed));
    OwnedRef released_submitter = OwnedRef::steal(submitter.exchange(nullptr, std::memory_order_relaxed));
  }
  // On the heap: the core's locks can't move, and the state is built before
  // the object that receives it.
  std::unique_ptr<Core> core;
  // A tuple of n callables, wakers[i]() waking worker i; set at most once,
  // then kept (and its items borrowed) for the pool's lifetime. A strong
  // reference, held in an atomic so that every method may read it while
  // set_wakers() runs.
  std::atomic<PyObject*> wakers{nullptr};
  // For submit(), submit_to() and submit_many(): a tuple (future type,
  // refusal), set at most once and then kept, like `wakers`. The future type
  // is NativeFuture or a subclass; refusal() returns the exception a refused
  // submit raises.
  std::atomic<PyObject*> submitter{nullptr};
  // Set by abandon(), in a forked child: every submit path refuses (see
  // submitter_of) before it touches the core, whose locks a vanished thread
  // may hold.
  std::atomic<bool> abandoned{false};
};

using State = StealingPoolState;

Failure pool_closed() { return Failure(native_closed_error_type(), "Pool is closed"); }

Failure task_is_none() { return Failure(PyExc_TypeError, "pool task cannot be None"); }

// Calls the waker of the parked worker that was claimed, if any and if the
// pool has wakers (no pool lock is held here).
void wake_claimed(const State& self, std::uint64_t worker) {
  if (worker == Core::kNoWorker) return;
  if (PyObject* wakers = self.wakers.load(std::memory_order_acquire)) {
    call_reporting_errors(PyTuple_GET_ITEM(wakers, static_cast<Py_ssize_t>(worker)));
  }
}

// Where pop() may put a worker it claims: nowhere if the pool has no
// wakers, since nobody would wake that worker.
std::uint64_t* claimable(const State& self, std::uint64_t& wake) {
  return self.wakers.load(std::memory_order_acquire) != nullptr ? &wake : nullptr;
}

// None, or the index of the parked worker that was claimed, after waking it.
Result<OwnedRef> woken(const State& self, std::uint64_t worker) {
  if (worker == Core::kNoWorker) return py_none();
  wake_claimed(self, worker);
  return py_u64(worker);
}

// Maps a push outcome to its result. A refused task's reference, still held
// by the caller's OwnedRef, is released after every pool lock is let go.
Result<OwnedRef> push_outcome(const State& self, PushResult result, std::uint64_t wake) {
  switch (result) {
    case PushResult::Accepted: return woken(self, wake);
    case PushResult::Closed: return pool_closed();
    case PushResult::IndexOutOfRange: return Failure(PyExc_RuntimeError, "Worker index out of range");
    case PushResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> push(State& self, PyObject* task) {
  if (task == Py_None) return task_is_none();
  OwnedRef held = OwnedRef::borrow(task);
  std::uint64_t wake;
  const PushResult result = self.core->push(held, wake);
  return push_outcome(self, result, wake);
}

Result<OwnedRef> push_to(State& self, std::uint64_t index, PyObject* task) {
  if (task == Py_None) return task_is_none();
  OwnedRef held = OwnedRef::borrow(task);
  std::uint64_t wake;
  const PushResult result = self.core->push_to(index, held, wake);
  return push_outcome(self, result, wake);
}

// A reference to each of `count` objects, for push_many(), which moves them
// into the pool. Allocated without throwing: no memory is a MemoryError.
using HeldBatch = std::unique_ptr<OwnedRef[]>;
Result<HeldBatch> hold_batch(PyObject* const* items, std::size_t count) {
  HeldBatch held(new (std::nothrow) OwnedRef[count]);
  if (!held) return Failure::out_of_memory();
  for (std::size_t i = 0; i < count; ++i) held[i] = OwnedRef::borrow(items[i]);
  return held;
}

Result<OwnedRef> push_many(State& self, PyObject* tasks) {
  const Py_ssize_t count = PyTuple_GET_SIZE(tasks);
  // The tuple is immutable, so its items stay put while we look at them.
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(tasks, i) == Py_None) return task_is_none();
  }
  Result<HeldBatch> held = hold_batch(&PyTuple_GET_ITEM(tasks, 0), static_cast<std::size_t>(count));
  if (!held.ok()) return std::move(held.failure());
  // A refused batch's references are released here, after the pool's lock.
  return push_outcome(self, self.core->push_many(held.value().get(), static_cast<std::size_t>(count)),
                      Core::kNoWorker);
}

Result<OwnedRef> pop(State& self, std::uint64_t index) {
  OwnedRef task;
  std::uint64_t wake = Core::kNoWorker;
  switch (self.core->pop(index, task, claimable(self, wake))) {
    case PopResult::Task:
      wake_claimed(self, wake);
      return task;  // the queue's reference, handed over
    case PopResult::Idle: return py_none();
    case PopResult::Closed: return pool_closed();
    case PopResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> park(State& self, std::uint64_t index) {
  return py_u64(static_cast<std::uint64_t>(self.core->park(index)));
}

// Detached: a worker waiting for work must not hold up the interpreter
// (its GIL, where there is one; a stop-the-world pause otherwise).
Result<OwnedRef> await_work(State& self, std::uint64_t index) {
  // Longer than a result() waits before sleeping: the submitting thread
  // needs its time to see the outcome and submit the next task.
  constexpr std::chrono::microseconds kSpinFor{50};
  PyThreadState* detached = PyEval_SaveThread();
  const bool soon = self.core->work_soon(index, kSpinFor);
  reattach(detached);
  return py_bool(soon);
}

Result<OwnedRef> claim_parked(State& self) { return woken(self, self.core->claim_parked()); }

Result<OwnedRef> set_wakers(State& self, PyObject* wakers) {
  if (static_cast<std::uint64_t>(PyTuple_GET_SIZE(wakers)) != self.core->num_threads()) {
    return Failure(PyExc_ValueError, "wakers must hold one callable per worker");
  }
  // An exact tuple: a subclass could change what its items are.
  OwnedRef held = OwnedRef::steal(PyTuple_GetSlice(wakers, 0, PyTuple_GET_SIZE(wakers)));
  if (!held) return Failure::pending();
  PyObject* expected = nullptr;
  if (!self.wakers.compare_exchange_strong(expected, held.get(), std::memory_order_acq_rel)) {
    return Failure(PyExc_RuntimeError, "wakers are already set");
  }
  (void)held.release();  // now owned by the state
  return py_none();
}

Result<OwnedRef> close(State& self) {
  self.core->close();
  return py_none();
}

Result<OwnedRef> is_closed(State& self) { return py_bool(self.core->is_closed()); }

template <CounterArray MetricsCore::*Array>
Result<OwnedRef> get_counter(State& self, std::uint64_t index) {
  return py_u64((self.core->counters().*Array).load(index));
}

Result<OwnedRef> get_steal(State& self, std::uint64_t index) {
  return py_u64(self.core->steals(index));
}

Result<OwnedRef> set_submitter(State& self, PyObject* future_type, PyObject* refusal) {
  if (!PyType_Check(future_type) ||
      !is_native_future_type(reinterpret_cast<PyTypeObject*>(future_type))) {
    return Failure(PyExc_TypeError, "future_type must be NativeFuture or a subclass");
  }
  if (!PyCallable_Check(refusal)) return Failure(PyExc_TypeError, "refusal must be callable");
  OwnedRef held = OwnedRef::steal(PyTuple_Pack(2, future_type, refusal));
  if (!held) return Failure::pending();
  PyObject* expected = nullptr;
  if (!self.submitter.compare_exchange_strong(expected, held.get(), std::memory_order_acq_rel)) {
    return Failure(PyExc_RuntimeError, "the submitter is already set");
  }
  (void)held.release();  // now owned by the state
  return py_none();
}

// The exception refusal() returns for a closed pool, raised.
Result<OwnedRef> refused(PyObject* submitter) {
  OwnedRef exception = OwnedRef::steal(PyObject_CallNoArgs(PyTuple_GET_ITEM(submitter, 1)));
  if (!exception) return Failure::pending();
  // Raising anything else would hand the interpreter an exception that is
  // none: a crash, or a class raised as if it were an instance.
  if (!PyExceptionInstance_Check(exception.get())) {
    return Failure(PyExc_TypeError, "refusal() must return an exception instance");
  }
  PyErr_SetRaisedException(exception.release());
  return Failure::pending();
}

// The submitter, for a submit that may go ahead; a refusal raised for an
// abandoned pool.
Result<PyObject*> submitter_of(const State& self) {
  PyObject* submitter = self.submitter.load(std::memory_order_acquire);
  if (submitter == nullptr) return Failure(PyExc_RuntimeError, "set_submitter() was not called");
  if (self.abandoned.load(std::memory_order_relaxed)) return std::move(refused(submitter).failure());
  return submitter;
}

Result<OwnedRef> abandon(State& self) {
  self.abandoned.store(true, std::memory_order_relaxed);
  return py_none();
}

// The future for fn(*args, **kwargs), made and queued in this one call, for
// any worker (`worker` empty) or for that worker's own queue. `call` holds
// fn, then the arguments, as vectorcall passes them. The argument tuple is
// built straight from them, and a dict only when there are keyword
// arguments.
Result<OwnedRef> submit_call(State& self, std::optional<std::uint64_t> worker, PyObject* const* call,
                             Py_ssize_t positional, PyObject* kwnames) {
  Result<PyObject*> submitter = submitter_of(self);
  if (!submitter.ok()) return std::move(submitter.failure());
  OwnedRef call_args = OwnedRef::steal(PyTuple_New(positional - 1));
  if (!call_args) return Failure::pending();
  for (Py_ssize_t i = 1; i < positional; ++i) {
    PyTuple_SET_ITEM(call_args.get(), i - 1, OwnedRef::borrow(call[i]).release());
  }
  OwnedRef call_kwargs;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    call_kwargs = OwnedRef::steal(PyDict_New());
    if (!call_kwargs) return Failure::pending();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(call_kwargs.get(), PyTuple_GET_ITEM(kwnames, i), call[positional + i]) < 0) {
        return Failure::pending();
      }
    }
  }
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(submitter.value(), 0));
  Result<OwnedRef> future = new_native_future(type, call[0], std::move(call_args), std::move(call_kwargs));
  if (!future.ok()) return future;
  OwnedRef held = OwnedRef::borrow(future.value().get());
  std::uint64_t wake;
  const PushResult pushed = worker ? self.core->push_to(*worker, held, wake) : self.core->push(held, wake);
  if (pushed == PushResult::Closed) return refused(submitter.value());
  Result<OwnedRef> outcome = push_outcome(self, pushed, wake);
  if (!outcome.ok()) return outcome;
  return std::move(future.value());
}

// submit(fn, /, *args, **kwargs)
PyObject* submit(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    if (positional < 1) {
      return Failure(PyExc_TypeError, "submit() missing 1 required positional argument: 'fn'");
    }
    return submit_call(Instance<State>::of(object), std::nullopt, args, positional, kwnames);
  });
}

// The worker index submit_to() was given, as a Python sequence index is
// checked: any object with __index__, and an IndexError naming it when it
// is out of range.
Result<std::uint64_t> worker_index(const State& self, PyObject* worker) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(worker));
  if (!index) return Failure::pending();
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return Failure::pending();
  const std::uint64_t workers = self.core->num_threads();
  if (overflow != 0 || value < 0 || static_cast<std::uint64_t>(value) >= workers) {
    PyErr_Format(PyExc_IndexError, "worker index %S out of range for %llu workers", index.get(),
                 static_cast<unsigned long long>(workers));
    return Failure::pending();
  }
  return static_cast<std::uint64_t>(value);
}

// submit_to(worker, fn, /, *args, **kwargs)
PyObject* submit_to(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    if (positional < 1) {
      return Failure(PyExc_TypeError, "submit_to() missing 2 required positional arguments: 'worker' and 'fn'");
    }
    if (positional < 2) {
      return Failure(PyExc_TypeError, "submit_to() missing 1 required positional argument: 'fn'");
    }
    State& self = Instance<State>::of(object);
    Result<std::uint64_t> worker = worker_index(self, args[0]);
    if (!worker.ok()) return std::move(worker.failure());
    return submit_call(self, worker.value(), args + 1, positional - 1, kwnames);
  });
}

// submit_many(fn, argument_tuples): a future for fn(*args) for every args
// in the iterable, queued together, all or none.
Result<OwnedRef> submit_many(State& self, PyObject* fn, PyObject* argument_tuples) {
  Result<PyObject*> submitter = submitter_of(self);
  if (!submitter.ok()) return std::move(submitter.failure());
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(submitter.value(), 0));
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(argument_tuples));
  if (!iterator) return Failure::pending();
  OwnedRef futures = OwnedRef::steal(PyList_New(0));
  if (!futures) return Failure::pending();
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    OwnedRef call_args = OwnedRef::steal(PySequence_Tuple(item.get()));
    if (!call_args) return Failure::pending();
    Result<OwnedRef> future = new_native_future(type, fn, std::move(call_args), OwnedRef());
    if (!future.ok()) return future;
    if (PyList_Append(futures.get(), future.value().get()) < 0) return Failure::pending();
  }
  if (PyErr_Occurred()) return Failure::pending();
  // The list is ours alone until it is returned: its items stay put.
  const std::size_t count = static_cast<std::size_t>(PyList_GET_SIZE(futures.get()));
  if (count == 0) return futures;
  Result<HeldBatch> held = hold_batch(&PyList_GET_ITEM(futures.get(), 0), count);
  if (!held.ok()) return std::move(held.failure());
  const PushResult pushed = self.core->push_many(held.value().get(), count);
  if (pushed == PushResult::Closed) return refused(submitter.value());
  if (pushed != PushResult::Accepted) return push_outcome(self, pushed, Core::kNoWorker);
  // Wake as many parked workers as the batch can use, each right after its
  // claim; a spinning worker takes its share with no wake-up.
  for (std::size_t i = 0; i < count && i < self.core->num_threads(); ++i) {
    const std::uint64_t worker = self.core->claim_for_work();
    if (worker == Core::kSpinner) continue;
    if (worker == Core::kNoWorker) break;
    Result<OwnedRef> woke = woken(self, worker);
    if (!woke.ok()) return woke;
  }
  return futures;
}

// Runs a popped task: natively if it is a NativeFuture, else by its _run().
Result<OwnedRef> run_task(PyObject* task) {
  if (is_native_future_type(Py_TYPE(task))) return run_native_future(task);
  OwnedRef done = OwnedRef::steal(PyObject_CallMethod(task, "_run", nullptr));
  if (!done) return Failure::pending();
  return done;
}

// run_next(index, track): worker `index` runs its next task on this thread.
// True: a task ran (or was found cancelled); None: nothing to run now;
// raises ThreadPoolClosedError once the pool is closed and drained. With
// `track`, the worker's active and completed counters follow the task.
Result<OwnedRef> run_next(State& self, std::uint64_t index, bool track) {
  OwnedRef task;
  std::uint64_t wake = Core::kNoWorker;
  switch (self.core->pop(index, task, claimable(self, wake))) {
    case PopResult::Task:
      wake_claimed(self, wake);
      break;
    case PopResult::Idle: return py_none();
    case PopResult::Closed: return pool_closed();
    case PopResult::OutOfMemory: return Failure::out_of_memory();
  }
  MetricsCore& counters = self.core->counters();
  if (track) counters.active.add(index, 1);
  Result<OwnedRef> ran = run_task(task.get());
  if (track) {
    counters.active.sub(index, 1);
    counters.completed.add(index, 1);
  }
  if (!ran.ok()) return ran;
  return py_bool(true);
}

struct Flag {
  using type = bool;
  static Result<bool> convert(PyObject* object) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return Failure::pending();
    return truth != 0;
  }
};

static_assert(static_cast<int>(ParkDecision::Parked) == 0 && static_cast<int>(ParkDecision::Retry) == 1 &&
                  static_cast<int>(ParkDecision::RetryClaimed) == 2,
              "park() results are documented as 0, 1 and 2");

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
template <FixedName Name, class... Params>
using PoolFunction = Function<"NativeStealingPool", Name, Params...>;
template <FixedName Name, auto Body>
constexpr PyCFunction index_method() {
  return as_cfunction(PoolFunction<Name, Param<"index", U64>>::template method<State, Body>);
}

PyMethodDef methods[] = {
    {"push", as_cfunction(PoolFunction<"push", Param<"task", AnyObject>>::method<State, push>), kFastKw,
     "push($self, task)\n--\n\n"
     "Queue `task` for any worker. Returns the index of a parked worker that\n"
     "the caller must wake, or None."},
    {"push_many",
     as_cfunction(PoolFunction<"push_many", Param<"tasks", TupleObject>>::method<State, push_many>),
     kFastKw,
     "push_many($self, tasks)\n--\n\n"
     "Queue every task of the tuple `tasks` for any worker, in order, or none\n"
     "of them. Wakes nobody: the caller wakes the workers it needs."},
    {"push_to",
     as_cfunction(PoolFunction<"push_to", Param<"index", U64>, Param<"task", AnyObject>>::
                      method<State, push_to>),
     kFastKw,
     "push_to($self, index, task)\n--\n\n"
     "Queue `task` for worker `index` alone; when its queue holds 256 tasks,\n"
     "for any worker instead. Returns the worker to wake, or None."},
    {"pop", index_method<"pop", pop>(), kFastKw,
     "pop($self, index)\n--\n\n"
     "Worker `index`'s next task, stolen from another worker if need be, or\n"
     "None. Raises ThreadPoolClosedError once the pool is closed and nothing\n"
     "is left for this worker. A worker handed a pinned task while shared\n"
     "tasks wait claims a parked worker for those and calls its waker (none\n"
     "without set_wakers())."},
    {"await_work", index_method<"await_work", await_work>(), kFastKw,
     "await_work($self, index)\n--\n\n"
     "Spin briefly, with the interpreter detached, until work for worker\n"
     "`index` is visible or the pool is closed: True, look again; False,\n"
     "nothing came, park."},
    {"park", index_method<"park", park>(), kFastKw,
     "park($self, index)\n--\n\n"
     "Register worker `index` as parked and re-check for work. 0: parked,\n"
     "block until woken; 1: look again; 2: a waker claimed this worker\n"
     "meanwhile, take its wake-up, then look again. Only worker `index`'s own\n"
     "thread may call this."},
    {"set_submitter",
     as_cfunction(PoolFunction<"set_submitter", Param<"future_type", AnyObject>, Param<"refusal", AnyObject>>::
                      method<State, set_submitter>),
     kFastKw,
     "set_submitter($self, future_type, refusal)\n--\n\n"
     "Make submit() and submit_many() build futures of `future_type`\n"
     "(NativeFuture or a subclass) and raise refusal() when the pool is closed.\n"
     "Can be set once."},
    {"submit", as_cfunction(submit), kFastKw,
     "submit($self, fn, /, *args, **kwargs)\n--\n\n"
     "Queue fn(*args, **kwargs) for any worker, wake a parked worker if there\n"
     "is one, and return its future."},
    {"submit_to", as_cfunction(submit_to), kFastKw,
     "submit_to($self, worker, fn, /, *args, **kwargs)\n--\n\n"
     "Queue fn(*args, **kwargs) for worker `worker` (an index below\n"
     "num_threads, else IndexError) as push_to() does, wake it if it is\n"
     "parked, and return its future."},
    {"submit_many",
     as_cfunction(PoolFunction<"submit_many", Param<"fn", AnyObject>, Param<"argument_tuples", AnyObject>>::
                      method<State, submit_many>),
     kFastKw,
     "submit_many($self, fn, argument_tuples)\n--\n\n"
     "Queue fn(*args) for every args in `argument_tuples`, together, and wake\n"
     "as many parked workers as they can use; returns the futures in order."},
    {"run_next",
     as_cfunction(PoolFunction<"run_next", Param<"index", U64>, Param<"track", Flag>>::method<State, run_next>),
     kFastKw,
     "run_next($self, index, track)\n--\n\n"
     "Run worker `index`'s next task on this thread: True if one ran, None if\n"
     "there is none now; ThreadPoolClosedError once closed and drained. With\n"
     "`track`, counts it in get_active()/get_completed()."},
    {"get_active", index_method<"get_active", get_counter<&MetricsCore::active>>(), kFastKw,
     "get_active($self, index)\n--\n\n"},
    {"get_completed", index_method<"get_completed", get_counter<&MetricsCore::completed>>(), kFastKw,
     "get_completed($self, index)\n--\n\n"},
    {"claim_parked", as_cfunction(noargs_method<State, claim_parked>), METH_NOARGS,
     "claim_parked($self)\n--\n\n"
     "Claim one parked worker and return its index for the caller to wake,\n"
     "or None when none is parked."},
    {"set_wakers",
     as_cfunction(PoolFunction<"set_wakers", Param<"wakers", TupleObject>>::method<State, set_wakers>),
     kFastKw,
     "set_wakers($self, wakers)\n--\n\n"
     "From now on, call wakers[i]() for every claim of worker i, right after\n"
     "the push or claim_parked() that made it (no Python code runs in\n"
     "between, so no KeyboardInterrupt can separate the two). `wakers` is a\n"
     "tuple of one callable per worker; it can be set once."},
    {"close", as_cfunction(noargs_method<State, close>), METH_NOARGS,
     "close($self)\n--\n\n"
     "Refuse new tasks; queued ones are still handed out."},
    {"abandon", as_cfunction(noargs_method<State, abandon>), METH_NOARGS,
     "abandon($self)\n--\n\n"
     "Make every later submit(), submit_to() and submit_many() raise refusal()\n"
     "without touching the pool: for a forked child, where the workers are\n"
     "gone and a lock may be held by a thread that no longer exists."},
    {"is_closed", as_cfunction(noargs_method<State, is_closed>), METH_NOARGS,
     "is_closed($self)\n--\n\n"},
    {"get_global_pull", index_method<"get_global_pull", get_counter<&MetricsCore::global_pull>>(),
     kFastKw, "get_global_pull($self, index)\n--\n\n"},
    {"get_steal", index_method<"get_steal", get_steal>(), kFastKw,
     "get_steal($self, index)\n--\n\n"},
    {"get_park", index_method<"get_park", get_counter<&MetricsCore::park>>(), kFastKw,
     "get_park($self, index)\n--\n\n"},
    {"get_remote_schedule",
     index_method<"get_remote_schedule", get_counter<&MetricsCore::remote_schedule>>(), kFastKw,
     "get_remote_schedule($self, index)\n--\n\n"},
    {"get_injection_queue_depth",
     index_method<"get_injection_queue_depth", get_counter<&MetricsCore::injection_queue_depth>>(),
     kFastKw, "get_injection_queue_depth($self, index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "NativeStealingPool(num_threads)\n--\n\n"
                    "Work-stealing scheduling core: a shared queue, a stealable run queue\n"
                    "and a pinned queue per worker, and the parking state of the workers.")},
    {Py_tp_new, reinterpret_cast<void*>(
                    PoolFunction<"__new__", Param<"num_threads", U64>>::constructor<State>)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Instance<State>::dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec native_stealing_pool_spec = {
    "kestrum._kestrum_native.NativeStealingPool",
    Instance<State>::kBasicSize,
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace kestrum
