#include "binding/dealloc.hpp"

#include <new>
#include <vector>

namespace kestrum {
namespace {

constexpr int kMaxDepth = 64;

struct Pending {
  PyObject* object;
  DestroyFunction destroy;
};

thread_local int depth = 0;
thread_local std::vector<Pending> pending;

}  // namespace

void deallocate_bounded(PyObject* object, DestroyFunction destroy) noexcept {
  if (depth >= kMaxDepth) {
    try {
      pending.push_back({object, destroy});
      return;
    } catch (const std::bad_alloc&) {
      // No room to queue it: recursing one level deeper is the lesser harm.
    }
  }
  ++depth;
  destroy(object);
  if (depth == 1) {
    // Outermost: run what deeper levels queued. Each may queue more.
    while (!pending.empty()) {
      Pending next = pending.back();
      pending.pop_back();
      next.destroy(next.object);
    }
  }
  --depth;
}

}  // namespace kestrum
