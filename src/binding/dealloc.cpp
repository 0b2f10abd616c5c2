#include "binding/dealloc.hpp"

namespace kestrum {
namespace {

constexpr int kMaxDepth = 64;

// initial-exec: these live in the thread's static TLS block, which exists
// from the thread's start; the default model for a loaded module allocates
// its block on first use in each thread, and aborts if that allocation fails.
[[gnu::tls_model("initial-exec")]] thread_local int depth = 0;
// Deferred objects, newest first, chained through their link words.
[[gnu::tls_model("initial-exec")]] thread_local PyObject* deferred = nullptr;

PyObject*& link_of(PyObject* object) noexcept {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + kDeallocLinkOffset);
}

}  // namespace

void deallocate_bounded(PyObject* object, DestroyFunction destroy) noexcept {
  if (depth >= kMaxDepth) {
    link_of(object) = deferred;
    deferred = object;
    return;
  }
  ++depth;
  destroy(object);
  if (depth == 1) {
    // Outermost: destroy what deeper levels deferred. Each may defer more.
    while (deferred != nullptr) {
      PyObject* next = deferred;
      deferred = link_of(next);
      // The native type's own dealloc, not a Python subclass's: that one
      // has run already, and handed the object to the native one.
      PyTypeObject* type = Py_TYPE(next);
      while (type->tp_base != nullptr && type->tp_base != &PyBaseObject_Type) type = type->tp_base;
      type->tp_dealloc(next);
    }
  }
  --depth;
}

}  // namespace kestrum
