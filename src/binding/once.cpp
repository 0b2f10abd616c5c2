#include "binding/once.hpp"

namespace kestrum {

void ProcessOnce::lock_detached() noexcept {
  if (mu_.try_lock()) return;
  PyThreadState* state = PyEval_SaveThread();
  mu_.lock();
  PyEval_RestoreThread(state);
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
