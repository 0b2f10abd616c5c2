#include "binding/thread_exit.hpp"

#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace kestrum {

void park_ended_thread() noexcept {
  // Leaving the handler that caught the unwinding would resume it (or abort
  // the process, had it not been rethrown): stay in it.
  for (;;) pause();
}

void reattach(PyThreadState* state) noexcept {
#if defined(__GLIBCXX__)
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    park_ended_thread();
  }
#else
  PyEval_RestoreThread(state);
#endif
}

}  // namespace kestrum
