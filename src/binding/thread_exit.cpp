#include "binding/thread_exit.hpp"

#include <unistd.h>

namespace kestrum {

void park_ended_thread() noexcept {
  // Leaving the handler that caught the unwinding would resume it (or abort
  // the process, had it not been rethrown): stay in it.
  for (;;) pause();
}

void reattach(PyThreadState* state) noexcept {
  parking_if_ended([state] { PyEval_RestoreThread(state); });
}

}  // namespace kestrum
