#pragma once
// Threads that the interpreter ends while it finalizes.
//
// Interpreters before 3.14 end a thread that re-enters them during
// finalization (PyEval_RestoreThread, directly or inside any Python code we
// call) with pthread_exit, which unwinds the stack like an exception: through
// our noexcept frames, which terminate the process, and through destructors
// that would release references with no interpreter to release them to.
// Later interpreters park such a thread for good instead; so do we: the
// process exits around it.
#include <Python.h>

#include <cstddef>  // defines __GLIBCXX__ with libstdc++, in every translation unit alike
#include <exception>

#if defined(__GLIBCXX__) && PY_VERSION_HEX < 0x030E0000
#define KESTRUM_THREADS_END_BY_UNWINDING 1
#endif

namespace kestrum {

// PyEval_RestoreThread(state), parking the thread for good if the
// interpreter ends it instead.
void reattach(PyThreadState* state) noexcept;

// Parks the calling thread for good. For the handler that has caught the
// unwinding of a thread the interpreter ended.
[[noreturn]] void park_ended_thread() noexcept;

// Whether the exception being handled is the unwinding of an ended thread.
// That unwinding is no C++ exception and has no exception object, so it is
// told apart by that, not caught by its type (abi::__forced_unwind), which
// would bind a reference to null.
inline bool handling_thread_end() noexcept { return !std::current_exception(); }

// Runs `code` (which may run Python code) from a noexcept frame, whose
// boundary the unwinding of an ended thread would otherwise reach, which
// terminates the process: such a thread is parked here instead. Anything
// `code` holds in a scope of its own (a lock guard, say) is let go first.
template <class Code>
decltype(auto) parking_if_ended(Code&& code) noexcept {
#ifdef KESTRUM_THREADS_END_BY_UNWINDING
  try {
    return code();
  } catch (...) {
    // A C++ exception ends the process at this noexcept boundary, as before.
    if (!handling_thread_end()) std::terminate();
    park_ended_thread();
  }
#else
  return code();
#endif
}

// True on a thread with no interpreter attached, which is where an ended
// thread's unwinding runs: references are left to the exiting process.
inline bool detached_from_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() == nullptr;
#else
  return _PyThreadState_UncheckedGet() == nullptr;
#endif
}

}  // namespace kestrum
