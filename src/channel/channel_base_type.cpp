// ChannelBase: the native half of kestrum.Channel. Its methods are the
// layer's own thread-side methods, so that a send or a receive on a thread is
// one native call with no Python frame around it: they raise the layer's
// exceptions, check time-outs as the standard blocking calls do, and wake the
// coroutines the layer keeps waiting.
//
// A subclass supplies, as class attributes:
//   _closed_error, _full_error, _empty_error   the exception types to raise
//   _check_timeout(timeout)                    the float a timeout stands for
//                                              (raises for a bad one)
//   _wake_senders(), _wake_receivers()         wake one waiting coroutine
// and reports how many coroutines wait on each side through
// _set_coroutine_waiters(), under the lock that guards its lists, before a
// registered coroutine retries. Every operation that moves an item goes
// through the channel's lock and reads the other side's count after it: the
// retry either comes after the operation in the lock's order (and succeeds)
// or the registration happens before the read (and the coroutine is woken).
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/once.hpp"
#include "channel/channel_waits.hpp"
#include "core/cache_line.hpp"
#include "native_registry.hpp"

namespace kestrum {
namespace {

struct SharedChannel {
  explicit SharedChannel(std::uint64_t maxsize) : channel(maxsize) {}
  ObjectChannel channel;
  // Read after every operation by both sides, written only when a coroutine
  // starts or stops waiting: a line of their own.
  alignas(kCacheLine) std::atomic<std::uint32_t> coroutine_senders{0};
  std::atomic<std::uint32_t> coroutine_receivers{0};
};

struct ChannelBaseState {
  // Throws std::bad_alloc, reported as MemoryError by the constructor.
  explicit ChannelBaseState(std::uint64_t maxsize) : shared(std::make_unique<SharedChannel>(maxsize)) {}
  // Destroying the channel releases what is still queued, oldest first,
  // with no lock held.
  std::unique_ptr<SharedChannel> shared;
};

using State = ChannelBaseState;
using Self = Instance<State>;

ObjectChannel& channel_of(PyObject* self) noexcept { return Self::of(self).shared->channel; }

ProcessOnce closed_error_name, full_error_name, empty_error_name, check_timeout_name;
ProcessOnce wake_senders_name, wake_receivers_name;

template <std::size_t N>
PyObject* interned(ProcessOnce& once, const char (&text)[N]) noexcept {
  return once.get([&] { return PyUnicode_InternFromString(text); });
}

// Raises the subclass's exception type held in the attribute `name`, with
// `message` (or none).
Failure layer_error(PyObject* self, PyObject* name, const char* message) {
  if (name == nullptr) return Failure::pending();
  OwnedRef type = OwnedRef::steal(PyObject_GetAttr(self, name));
  if (!type) return Failure::pending();
  if (message != nullptr) {
    PyErr_SetString(type.get(), message);
  } else {
    PyErr_SetNone(type.get());
  }
  return Failure::pending();
}

Failure send_on_closed(PyObject* self) {
  return layer_error(self, interned(closed_error_name, "_closed_error"), "send on a closed channel");
}

Failure closed_and_drained(PyObject* self) {
  return layer_error(self, interned(closed_error_name, "_closed_error"), "channel closed and drained");
}

// The item has moved by now, so the call returns `answer` whatever the
// wake-up raises: that is raised once the call has returned, where raising
// it instead of the answer would lose a received item or make a sent one
// look unsent.
[[gnu::noinline]] Result<OwnedRef> wake_coroutine(PyObject* self, bool after_send, OwnedRef answer) {
  PyObject* name = after_send ? interned(wake_receivers_name, "_wake_receivers")
                              : interned(wake_senders_name, "_wake_senders");
  OwnedRef error;
  call_owed_wakeup(self, name, error);
  if (error) raise_after_return(std::move(error));
  return answer;
}

// After an operation that made room or brought an item: wake a coroutine of
// the other side if one waits.
// Inline: on every send and receive, and almost always nobody waits.
inline Result<OwnedRef> woke_other_side(PyObject* self, bool after_send, OwnedRef answer) {
  SharedChannel& shared = *Self::of(self).shared;
  std::atomic<std::uint32_t>& waiting = after_send ? shared.coroutine_receivers : shared.coroutine_senders;
  if (waiting.load(std::memory_order_acquire) == 0) [[likely]] return answer;
  return wake_coroutine(self, after_send, std::move(answer));
}

[[gnu::noinline]] Result<std::optional<double>> timeout_given(PyObject* self, PyObject* timeout) {
  double seconds;
  if (exact_number_value(timeout, seconds) && seconds >= 0.0 && seconds <= kLongestNativeWait) {
    return std::optional<double>{seconds};
  }
  PyObject* name = interned(check_timeout_name, "_check_timeout");
  if (name == nullptr) return Failure::pending();
  OwnedRef checked = OwnedRef::steal(PyObject_CallMethodOneArg(self, name, timeout));
  if (!checked) return Failure::pending();
  if (checked.get() == Py_None) return std::optional<double>{};
  seconds = PyFloat_AsDouble(checked.get());
  if (seconds == -1.0 && PyErr_Occurred()) return Failure::pending();
  return std::optional<double>{seconds};
}

// Time-outs a caller commonly passes are taken as they are; anything else
// goes through the subclass's own check, which raises what the standard
// blocking calls raise.
inline Result<std::optional<double>> timeout_of(PyObject* self, PyObject* timeout) {
  if (timeout == Py_None) [[likely]] return std::optional<double>{};
  return timeout_given(self, timeout);
}

Result<OwnedRef> send(PyObject* self, PyObject* item, PyObject* timeout_object) {
  Result<std::optional<double>> timeout = timeout_of(self, timeout_object);
  if (!timeout.ok()) return std::move(timeout.failure());
  OwnedRef held = OwnedRef::borrow(item);  // a refused one is released attached, here
  switch (send_waiting(channel_of(self), held, timeout.value())) {
    case WaitResult::Done: return woke_other_side(self, true, py_none());
    case WaitResult::TimedOut: return layer_error(self, interned(full_error_name, "_full_error"), nullptr);
    case WaitResult::Closed: return send_on_closed(self);
    case WaitResult::Stopped: return Failure::pending();
    case WaitResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> try_send(PyObject* self, PyObject* item) {
  OwnedRef held = OwnedRef::borrow(item);
  switch (channel_of(self).try_send(held)) {
    case SendResult::Accepted: return woke_other_side(self, true, py_bool(true));
    case SendResult::Full: return py_bool(false);
    case SendResult::Disconnected: return send_on_closed(self);
    case SendResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> recv(PyObject* self, PyObject* timeout_object) {
  Result<std::optional<double>> timeout = timeout_of(self, timeout_object);
  if (!timeout.ok()) return std::move(timeout.failure());
  OwnedRef item;
  switch (receive_waiting(channel_of(self), item, timeout.value())) {
    case WaitResult::Done: return woke_other_side(self, false, std::move(item));
    case WaitResult::TimedOut: return layer_error(self, interned(empty_error_name, "_empty_error"), nullptr);
    case WaitResult::Closed: return closed_and_drained(self);
    case WaitResult::Stopped: return Failure::pending();
    case WaitResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> try_recv(PyObject* self) {
  ObjectChannel& ch = channel_of(self);
  // An empty, open channel is answered without the lock and without a new
  // tuple, so that a poller does not slow down the senders.
  if (ch.empty_and_open()) return no_item_pair();
  Result<OwnedRef> pair = new_pair();  // before an item is taken for it
  if (!pair.ok()) return pair;
  OwnedRef item;
  switch (ch.try_recv(item)) {
    case RecvResult::Item:
      return woke_other_side(self, false, fill_pair(std::move(pair.value()), py_bool(true), std::move(item)));
    case RecvResult::Empty: return no_item_pair();  // emptied since the look above
    case RecvResult::Disconnected: break;
  }
  return closed_and_drained(self);
}

// The oldest item, or `fallback` if there is none. `look_first`: answer an
// empty, open channel without the lock, as try_recv() does. A coroutine's
// retry must not (see the top of the file).
Result<OwnedRef> item_or(PyObject* self, PyObject* fallback, bool look_first) {
  ObjectChannel& ch = channel_of(self);
  if (look_first && ch.empty_and_open()) return OwnedRef::borrow(fallback);
  OwnedRef item;
  switch (ch.try_recv(item)) {
    case RecvResult::Item: return woke_other_side(self, false, std::move(item));
    case RecvResult::Empty: return OwnedRef::borrow(fallback);
    case RecvResult::Disconnected: break;
  }
  return closed_and_drained(self);
}

Result<OwnedRef> try_recv_or(PyObject* self, PyObject* fallback) { return item_or(self, fallback, true); }

Result<OwnedRef> take_or(PyObject* self, PyObject* fallback) { return item_or(self, fallback, false); }

Result<OwnedRef> set_coroutine_waiters(State& self, std::uint64_t senders, std::uint64_t receivers) {
  constexpr std::uint64_t kMost = UINT32_MAX;
  if (senders > kMost || receivers > kMost) return Failure(PyExc_OverflowError, "too many waiting coroutines");
  // seq_cst, and before the caller's retry takes the channel's lock.
  self.shared->coroutine_senders.store(static_cast<std::uint32_t>(senders));
  self.shared->coroutine_receivers.store(static_cast<std::uint32_t>(receivers));
  return py_none();
}

Result<OwnedRef> close(State& self) {
  self.shared->channel.close();
  return py_none();
}

Result<OwnedRef> is_closed(State& self) { return py_bool(self.shared->channel.is_closed()); }

Result<OwnedRef> qsize(State& self) { return py_u64(self.shared->channel.len()); }

Py_ssize_t length(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(channel_of(self).len());  // bounded by memory
}

template <auto Body>
PyObject* noargs_object_method(PyObject* self, PyObject*) noexcept {
  return run_entry([&]() -> Result<OwnedRef> { return Body(self); });
}

using Send = Function<"Channel", "send", Param<"item", AnyObject>, OptionalParam<"timeout", AnyObject>>;
using TrySend = Function<"Channel", "try_send", Param<"item", AnyObject>>;
using Recv = Function<"Channel", "recv", OptionalParam<"timeout", AnyObject>>;
using TryRecvOr = Function<"Channel", "try_recv_or", Param<"default", AnyObject>>;
using TakeOr = Function<"Channel", "_take_or", Param<"fallback", AnyObject>>;
using SetWaiters = Function<"Channel", "_set_coroutine_waiters", Param<"senders", U64>, Param<"receivers", U64>>;

PyMethodDef methods[] = {
    {"send", as_cfunction(Send::object_method<send>), METH_FASTCALL | METH_KEYWORDS,
     "send($self, item, timeout=None)\n--\n\n"
     "Queue `item`, blocking the thread while the channel is full.\n"
     "Raises ``queue.Full`` after `timeout` seconds, ``ChannelClosed`` if\n"
     "the channel is or becomes closed."},
    {"try_send", as_cfunction(TrySend::object_method<try_send>), METH_FASTCALL | METH_KEYWORDS,
     "try_send($self, item)\n--\n\n"
     "Queue `item` if there is room, without waiting; False if the\n"
     "channel is full. Raises ``ChannelClosed`` on a closed channel."},
    {"recv", as_cfunction(Recv::object_method<recv>), METH_FASTCALL | METH_KEYWORDS,
     "recv($self, timeout=None)\n--\n\n"
     "Take the oldest item, blocking the thread while the channel is\n"
     "empty. Raises ``queue.Empty`` after `timeout` seconds,\n"
     "``ChannelClosed`` once the channel is closed and drained."},
    {"try_recv", as_cfunction(noargs_object_method<try_recv>), METH_NOARGS,
     "try_recv($self)\n--\n\n"
     "Take the oldest item without waiting: ``(True, item)``, or\n"
     "``(False, None)`` when the channel is empty. Raises\n"
     "``ChannelClosed`` once the channel is closed and drained."},
    {"try_recv_or", as_cfunction(TryRecvOr::object_method<try_recv_or>), METH_FASTCALL | METH_KEYWORDS,
     "try_recv_or($self, default)\n--\n\n"
     "Take the oldest item without waiting, or return `default` when the\n"
     "channel is empty: ``try_recv()`` without the pair, for a caller that\n"
     "has a sentinel no item can be. Raises ``ChannelClosed`` once the\n"
     "channel is closed and drained."},
    {"_take_or", as_cfunction(TakeOr::object_method<take_or>), METH_FASTCALL | METH_KEYWORDS,
     "_take_or($self, fallback)\n--\n\n"
     "The oldest item, or `fallback` if the channel is empty, through the\n"
     "channel's lock (a waiting coroutine's retry)."},
    {"_set_coroutine_waiters", as_cfunction(SetWaiters::method<State, set_coroutine_waiters>),
     METH_FASTCALL | METH_KEYWORDS,
     "_set_coroutine_waiters($self, senders, receivers)\n--\n\n"
     "How many coroutines wait to send and to receive now."},
    {"close", as_cfunction(noargs_method<State, close>), METH_NOARGS,
     "close($self)\n--\n\n"
     "Refuse further sends and wake every thread waiting on the channel."},
    {"is_closed", as_cfunction(noargs_method<State, is_closed>), METH_NOARGS,
     "is_closed($self)\n--\n\n"
     "Whether ``close()`` has been called. Items may still be queued:\n"
     "a receive tells \"closed and drained\" by raising ``ChannelClosed``."},
    {"qsize", as_cfunction(noargs_method<State, qsize>), METH_NOARGS,
     "qsize($self)\n--\n\nThe number of items queued right now (as ``len(channel)``)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ChannelBase(maxsize)\n--\n\nThe native half of kestrum.Channel.")},
    {Py_tp_new, reinterpret_cast<void*>(
                    Function<"ChannelBase", "__new__", Param<"maxsize", U64>>::constructor<State>)},
    {Py_tp_methods, methods},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Self::dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec channel_base_spec = {
    "kestrum._kestrum_native.ChannelBase",
    Self::kBasicSize,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slots,
};

}  // namespace kestrum
