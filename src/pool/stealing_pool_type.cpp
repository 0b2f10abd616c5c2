// NativeStealingPool: the work-stealing scheduling core behind
// kestrum.WorkerPool, holding tasks for the Python layer's worker threads.
// The Python layer parks and wakes its workers; see StealingPoolCore for the
// protocol this type exposes.
#include <atomic>
#include <memory>
#include <vector>

#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "native_registry.hpp"
#include "pool/stealing_pool_core.hpp"

namespace kestrum {
namespace {

using Core = StealingPoolCore<OwnedRef>;

struct StealingPoolState {
  explicit StealingPoolState(std::uint64_t num_threads)
      : core(std::make_unique<Core>(num_threads)) {}
  StealingPoolState(StealingPoolState&& other) noexcept
      : core(std::move(other.core)), wakers(other.wakers.exchange(nullptr, std::memory_order_relaxed)) {}
  ~StealingPoolState() {
    core.reset();  // releases the queued tasks
    OwnedRef released = OwnedRef::steal(wakers.exchange(nullptr, std::memory_order_relaxed));
  }
  // On the heap: the core's locks can't move, and the state is built before
  // the object that receives it.
  std::unique_ptr<Core> core;
  // A tuple of n callables, wakers[i]() waking worker i; set at most once,
  // then kept (and its items borrowed) for the pool's lifetime. A strong
  // reference, held in an atomic so that every method may read it while
  // set_wakers() runs.
  std::atomic<PyObject*> wakers{nullptr};
};

using State = StealingPoolState;

Failure pool_closed() { return Failure(native_closed_error_type(), "Pool is closed"); }

Failure task_is_none() { return Failure(PyExc_TypeError, "pool task cannot be None"); }

// None, or the index of the parked worker that was claimed, after calling
// its waker if the pool has them (no pool lock is held here).
Result<OwnedRef> woken(const State& self, std::uint64_t worker) {
  if (worker == Core::kNoWorker) return py_none();
  if (PyObject* wakers = self.wakers.load(std::memory_order_acquire)) {
    call_reporting_errors(PyTuple_GET_ITEM(wakers, static_cast<Py_ssize_t>(worker)));
  }
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

Result<OwnedRef> push_many(State& self, PyObject* tasks) {
  const Py_ssize_t count = PyTuple_GET_SIZE(tasks);
  // The tuple is immutable, so its items stay put while we look at them.
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(tasks, i) == Py_None) return task_is_none();
  }
  std::vector<OwnedRef> held;
  held.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) held.push_back(OwnedRef::borrow(PyTuple_GET_ITEM(tasks, i)));
  // A refused batch's references are released here, after the pool's lock.
  return push_outcome(self, self.core->push_many(held), Core::kNoWorker);
}

Result<OwnedRef> pop(State& self, std::uint64_t index) {
  OwnedRef task;
  switch (self.core->pop(index, task)) {
    case PopResult::Task: return task;  // the queue's reference, handed over
    case PopResult::Idle: return py_none();
    case PopResult::Closed: return pool_closed();
    case PopResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> park(State& self, std::uint64_t index) {
  return py_u64(static_cast<std::uint64_t>(self.core->park(index)));
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

static_assert(static_cast<int>(ParkResult::Parked) == 0 && static_cast<int>(ParkResult::Retry) == 1 &&
                  static_cast<int>(ParkResult::RetryClaimed) == 2,
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
     "of them. Wakes nobody: call claim_parked() up to len(tasks) times after."},
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
     "is left for this worker."},
    {"park", index_method<"park", park>(), kFastKw,
     "park($self, index)\n--\n\n"
     "Register worker `index` as parked and re-check for work. 0: parked,\n"
     "block until woken; 1: look again; 2: a waker claimed this worker\n"
     "meanwhile, take its wake-up, then look again. Only worker `index`'s own\n"
     "thread may call this."},
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
