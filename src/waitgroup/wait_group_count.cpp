// wait_group_count(): the counter of a RawAsyncWaitGroup, for the Python
// layer's WaitGroup.count. _kestrum_core's surface has no reader for it;
// this module is built from the same sources, so the object's layout is
// the same here.
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "native_registry.hpp"
#include "waitgroup/wait_group_state.hpp"

namespace kestrum {
namespace {

PyObject* wait_group_count(PyObject*, PyObject* group) noexcept {
  return run_entry([&]() -> Result<OwnedRef> {
    auto* type = reinterpret_cast<PyTypeObject*>(native_raw_wait_group_type());
    if (!PyObject_TypeCheck(group, type)) {
      return Failure(PyExc_TypeError, "wait_group_count() expects a RawAsyncWaitGroup");
    }
    return py_u64(Instance<WaitGroupState>::of(group).core->counter());
  });
}

}  // namespace

PyMethodDef native_wait_group_functions[] = {
    {"wait_group_count", wait_group_count, METH_O,
     "wait_group_count(group, /)\n--\n\n"
     "The counter of the RawAsyncWaitGroup `group`, read at one instant."},
    {"wait_group_wait", as_cfunction(wait_group_wait), METH_FASTCALL,
     "wait_group_wait(group, timeout, /)\n--\n\n"
     "Wait, with the interpreter detached, until the counter of the\n"
     "RawAsyncWaitGroup `group` is zero: True once it is, False if `timeout`\n"
     "seconds (None: no limit) passed first. A signal handler that raises\n"
     "ends the wait and takes the waiter back."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum
