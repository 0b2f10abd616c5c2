// NativeWorkerPool: the scheduling core of a worker pool, holding tasks for
// the Python layer's worker threads and an optional AtomicMetrics.
#include <memory>
#include <new>

#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "metrics/metrics_type.hpp"
#include "pool/worker_pool_core.hpp"
#include "type_registry.hpp"

namespace kestrum {
namespace {

// The attached AtomicMetrics: a strong reference that keeps the counters
// alive, and the counters themselves. The pool updates them under its
// metrics lock, which also guards replacement, so no extra reference is
// needed per update.
class MetricsHandle {
 public:
  MetricsHandle() noexcept = default;
  explicit MetricsHandle(PyObject* metrics) noexcept
      : object_(OwnedRef::borrow(metrics)), core_(&Instance<AtomicMetricsState>::of(metrics).core) {}
  explicit operator bool() const noexcept { return core_ != nullptr; }
  MetricsCore* get() const noexcept { return core_; }

 private:
  OwnedRef object_;
  MetricsCore* core_ = nullptr;
};

using Core = WorkerPoolCore<OwnedRef, MetricsHandle>;

struct WorkerPoolState {
  explicit WorkerPoolState(std::uint64_t num_threads) : core(new (std::nothrow) Core(num_threads)) {}
  // False when the pool's storage could not be had (MemoryError).
  explicit operator bool() const noexcept { return core && core->allocated(); }
  // On the heap: the core's locks can't move, and the state is built before
  // the object that receives it.
  std::unique_ptr<Core> core;
};

using State = WorkerPoolState;

Failure pool_closed() { return Failure(thread_pool_closed_error_type(), "Pool is closed"); }

Failure task_is_none() { return Failure(PyExc_TypeError, "pool task cannot be None"); }

// Maps a refused push to its error. The task reference the caller still
// holds is released after every pool lock is let go.
Result<OwnedRef> push_outcome(PushResult result) {
  switch (result) {
    case PushResult::Accepted: return py_none();
    case PushResult::Closed: return pool_closed();
    case PushResult::IndexOutOfRange: return Failure(PyExc_RuntimeError, "Worker index out of range");
    case PushResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> close(State& self) {
  self.core->close();
  return py_none();
}

Result<OwnedRef> set_metrics(State& self, PyObject* metrics) {
  self.core->set_metrics(MetricsHandle(metrics));
  return py_none();
}

Result<OwnedRef> is_closed(State& self) { return py_bool(self.core->is_closed()); }

Result<OwnedRef> push_global(State& self, PyObject* task) {
  if (task == Py_None) return task_is_none();
  OwnedRef held = OwnedRef::borrow(task);
  return push_outcome(self.core->push_global(held));
}

Result<OwnedRef> push_local(State& self, std::uint64_t index, PyObject* task) {
  if (task == Py_None) return task_is_none();
  OwnedRef held = OwnedRef::borrow(task);
  return push_outcome(self.core->push_local(index, held));
}

Result<OwnedRef> pop_work(State& self, std::uint64_t index) {
  OwnedRef task;
  switch (self.core->pop_work(index, task)) {
    case PopResult::Task: return task;  // the queue's reference, handed over
    case PopResult::Idle: return py_none();
    case PopResult::Closed: return pool_closed();
    case PopResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;
template <FixedName Name, class... Params>
using PoolFunction = Function<"NativeWorkerPool", Name, Params...>;

PyMethodDef methods[] = {
    {"close", as_cfunction(noargs_method<State, close>), METH_NOARGS, "close($self)\n--\n\n"},
    {"set_metrics",
     as_cfunction(PoolFunction<"set_metrics", Param<"metrics", InstanceOf<atomic_metrics_type>>>::
                      method<State, set_metrics>),
     kFastKw, "set_metrics($self, metrics)\n--\n\n"},
    {"is_closed", as_cfunction(noargs_method<State, is_closed>), METH_NOARGS,
     "is_closed($self)\n--\n\n"},
    {"push_global",
     as_cfunction(PoolFunction<"push_global", Param<"task", AnyObject>>::method<State, push_global>),
     kFastKw, "push_global($self, task)\n--\n\n"},
    {"push_local",
     as_cfunction(PoolFunction<"push_local", Param<"index", U64>, Param<"task", AnyObject>>::
                      method<State, push_local>),
     kFastKw, "push_local($self, index, task)\n--\n\n"},
    {"pop_work",
     as_cfunction(PoolFunction<"pop_work", Param<"index", U64>>::method<State, pop_work>), kFastKw,
     "pop_work($self, index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "NativeWorkerPool(num_threads)\n--\n\n"
                    "Native worker pool core for zero-overhead task queueing and work stealing.")},
    {Py_tp_new, reinterpret_cast<void*>(
                    PoolFunction<"__new__", Param<"num_threads", U64>>::constructor<State>)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Instance<State>::dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec native_worker_pool_spec = {
    "kestrum._kestrum_core.NativeWorkerPool",
    Instance<State>::kBasicSize,
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace kestrum
