// AtomicMetrics: per-worker counters. Every method is one relaxed atomic
// operation on one slot after argument conversion; no lock.
#include "metrics/metrics_type.hpp"

#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "type_registry.hpp"

namespace kestrum {
namespace {

using State = AtomicMetricsState;
using Counters = CounterArray MetricsCore::*;

template <FixedName Name>
using IndexFunction = Function<"AtomicMetrics", Name, Param<"index", U64>>;

template <Counters Array>
Result<OwnedRef> increment(State& self, std::uint64_t index) {
  (self.core.*Array).add(index, 1);
  return py_none();
}

template <Counters Array>
Result<OwnedRef> read(State& self, std::uint64_t index) {
  return py_u64((self.core.*Array).load(index));
}

Result<OwnedRef> inc_active(State& self, std::uint64_t index) {
  self.core.inc_active(index);
  return py_none();
}

Result<OwnedRef> dec_active(State& self, std::uint64_t index) {
  self.core.dec_active(index);
  return py_none();
}

Result<OwnedRef> set_injection_queue_depth(State& self, std::uint64_t index, std::uint64_t depth) {
  self.core.injection_queue_depth.store(index, depth);
  return py_none();
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

#define KESTRUM_INDEX_METHOD(name, body) \
  {#name, as_cfunction(IndexFunction<#name>::method<State, body>), kFastKw, \
   #name "($self, index)\n--\n\n"}

PyMethodDef methods[] = {
    KESTRUM_INDEX_METHOD(inc_active, inc_active),
    KESTRUM_INDEX_METHOD(dec_active, dec_active),
    KESTRUM_INDEX_METHOD(get_active, read<&MetricsCore::active>),
    KESTRUM_INDEX_METHOD(get_completed, read<&MetricsCore::completed>),
    KESTRUM_INDEX_METHOD(inc_global_pull, increment<&MetricsCore::global_pull>),
    KESTRUM_INDEX_METHOD(get_global_pull, read<&MetricsCore::global_pull>),
    KESTRUM_INDEX_METHOD(inc_park, increment<&MetricsCore::park>),
    KESTRUM_INDEX_METHOD(get_park, read<&MetricsCore::park>),
    {"set_injection_queue_depth",
     as_cfunction(Function<"AtomicMetrics", "set_injection_queue_depth", Param<"index", U64>,
                           Param<"depth", U64>>::method<State, set_injection_queue_depth>),
     kFastKw, "set_injection_queue_depth($self, index, depth)\n--\n\n"},
    KESTRUM_INDEX_METHOD(get_injection_queue_depth, read<&MetricsCore::injection_queue_depth>),
    KESTRUM_INDEX_METHOD(inc_remote_schedule, increment<&MetricsCore::remote_schedule>),
    KESTRUM_INDEX_METHOD(get_remote_schedule, read<&MetricsCore::remote_schedule>),
    {nullptr, nullptr, 0, nullptr},
};

#undef KESTRUM_INDEX_METHOD

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("AtomicMetrics(num_threads)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(
                    Function<"AtomicMetrics", "__new__", Param<"num_threads", U64>>::constructor<State>)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Instance<State>::dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec atomic_metrics_spec = {
    "kestrum._kestrum_core.AtomicMetrics",
    Instance<State>::kBasicSize,
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace kestrum
