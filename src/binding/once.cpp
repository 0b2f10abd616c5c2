#include "binding/once.hpp"

#include "binding/thread_exit.hpp"

namespace kestrum {

void ProcessOnce::lock_detached() noexcept {
  // Waits detached until the lock is free, then takes it attached: a thread
  // that reattach() parks for good must not hold it.
  while (!mu_.try_lock()) {
    PyThreadState* state = PyEval_SaveThread();
    mu_.lock();
    mu_.unlock();
    reattach(state);
  }
}

namespace {

PyObject* intern(const char* text) noexcept {
  PyObject* name = PyUnicode_FromString(text);
  if (name != nullptr) PyUnicode_InternInPlace(&name);
  return name;
}

ProcessOnce add_note_once;
ProcessOnce all_once;

}  // namespace

PyObject* interned_add_note() noexcept {
  return add_note_once.get([] { return intern("add_note"); });
}

PyObject* interned_all() noexcept {
  return all_once.get([] { return intern("__all__"); });
}

}  // namespace kestrum
