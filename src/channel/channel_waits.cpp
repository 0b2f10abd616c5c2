#include "channel/channel_waits.hpp"

#include "binding/thread_exit.hpp"

namespace kestrum {
namespace {

// Runs a blocking operation with the interpreter detached. When a signal
// interrupts the wait, the thread re-attaches to run the signal handlers;
// one that raises ends the wait (the exception stays pending).
template <class Op>
WaitResult wait_detached(Op&& op) noexcept {
  PyThreadState* detached = PyEval_SaveThread();
  const WaitResult result = op([&]() noexcept {
    reattach(detached);
    // Also runs a pending collection, whose finalizers may re-enter the
    // interpreter (see thread_exit.hpp).
    const bool raised = parking_if_ended([] { return PyErr_CheckSignals() < 0; });
    detached = PyEval_SaveThread();
    return raised;
  });
  reattach(detached);
  return result;
}

}  // namespace

WaitResult send_waiting(ObjectChannel& ch, OwnedRef& item, std::optional<double> timeout) noexcept {
  // Try attached first: detaching costs more than a send that needs no wait.
  switch (ch.try_send(item)) {
    case SendResult::Accepted: return WaitResult::Done;
    case SendResult::Disconnected: return WaitResult::Closed;
    case SendResult::OutOfMemory: return WaitResult::OutOfMemory;
    case SendResult::Full: break;
  }
  if (timeout && *timeout == 0.0) return WaitResult::TimedOut;
  const std::optional<Deadline> deadline =
      timeout ? std::optional<Deadline>(deadline_after(*timeout)) : std::nullopt;
  // Detached, the item only moves (no reference count changes); a refused
  // one stays with the caller, who releases it attached again.
  return wait_detached([&](auto stop) { return ch.send(item, deadline ? &*deadline : nullptr, stop); });
}

WaitResult receive_waiting(ObjectChannel& ch, OwnedRef& item, std::optional<double> timeout) noexcept {
  switch (ch.try_recv(item)) {
    case RecvResult::Item: return WaitResult::Done;
    case RecvResult::Disconnected: return WaitResult::Closed;
    case RecvResult::Empty: break;
  }
  if (timeout && *timeout == 0.0) return WaitResult::TimedOut;
  const std::optional<Deadline> deadline =
      timeout ? std::optional<Deadline>(deadline_after(*timeout)) : std::nullopt;
  return wait_detached([&](auto stop) { return ch.recv(item, deadline ? &*deadline : nullptr, stop); });
}

}  // namespace kestrum
