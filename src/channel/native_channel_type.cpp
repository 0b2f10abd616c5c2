// NativeChannel: FastChannel's non-blocking surface plus send/recv that wait
// in native code, with the interpreter detached, until the other side makes
// progress, the time-out passes, or a signal handler raises.
#include <memory>
#include <optional>

#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "channel/channel_waits.hpp"
#include "native_registry.hpp"

namespace kestrum {
namespace {

// None, or a non-negative number of seconds (an int or a float).
struct OptionalSeconds {
  using type = std::optional<double>;
  static Result<std::optional<double>> convert(PyObject* object) {
    if (object == Py_None) return std::optional<double>{};
    const double seconds = PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_Occurred()) return Failure::pending();
    if (!(seconds >= 0.0)) return Failure(PyExc_ValueError, "'timeout' must be a non-negative number");
    return std::optional<double>{seconds};
  }
};

struct NativeChannelState {
  explicit NativeChannelState(std::uint64_t maxsize) : channel(std::make_unique<ObjectChannel>(maxsize)) {}
  // Destroying the channel releases what is still queued, oldest first,
  // with no lock held.
  std::unique_ptr<ObjectChannel> channel;
};

using State = NativeChannelState;

Failure channel_closed() { return Failure(PyExc_RuntimeError, "Channel is closed"); }

Result<OwnedRef> close(State& self) {
  self.channel->close();
  return py_none();
}

Result<OwnedRef> is_closed(State& self) { return py_bool(self.channel->is_closed()); }

Result<OwnedRef> qsize(State& self) { return py_u64(self.channel->len()); }

Result<OwnedRef> try_send(State& self, PyObject* item) {
  OwnedRef held = OwnedRef::borrow(item);  // a refused one is released after the lock
  switch (self.channel->try_send(held)) {
    case SendResult::Accepted: return py_bool(true);
    case SendResult::Full: return py_bool(false);
    case SendResult::Disconnected: return channel_closed();
    case SendResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> try_recv(State& self) {
  ObjectChannel& ch = *self.channel;
  if (ch.empty_and_open()) return nothing_yet();
  Result<OwnedRef> pair = new_pair();  // before an item is taken for it
  if (!pair.ok()) return pair;
  OwnedRef item;
  switch (ch.try_recv(item)) {
    case RecvResult::Item: return fill_pair(std::move(pair.value()), py_bool(true), std::move(item));
    case RecvResult::Empty: return nothing_yet();  // emptied since the look above
    case RecvResult::Disconnected: break;
  }
  return channel_closed();
}

Result<OwnedRef> send(State& self, PyObject* item, std::optional<double> timeout) {
  OwnedRef held = OwnedRef::borrow(item);  // a refused one is released attached, below
  switch (send_waiting(*self.channel, held, timeout)) {
    case WaitResult::Done: return py_bool(true);
    case WaitResult::TimedOut: return py_bool(false);
    case WaitResult::Closed: return channel_closed();
    case WaitResult::Stopped: return Failure::pending();
    case WaitResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

// The receive both recv() and recv_or() make: true with `item` filled, or
// false if the time ran out.
Result<bool> receive(State& self, std::optional<double> timeout, OwnedRef& item) {
  switch (receive_waiting(*self.channel, item, timeout)) {
    case WaitResult::Done: return true;
    case WaitResult::TimedOut: return false;
    case WaitResult::Closed: return channel_closed();
    case WaitResult::Stopped: return Failure::pending();
    case WaitResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();
}

Result<OwnedRef> recv(State& self, std::optional<double> timeout) {
  Result<OwnedRef> pair = new_pair();  // before an item is taken for it
  if (!pair.ok()) return pair;
  OwnedRef item;
  auto got = receive(self, timeout, item);
  if (!got.ok()) return std::move(got.failure());
  if (!got.value()) return fill_pair(std::move(pair.value()), py_bool(false), py_none());
  return fill_pair(std::move(pair.value()), py_bool(true), std::move(item));
}

// recv() without the pair: the item itself, or `fallback` if the time ran
// out (a caller picks a fallback no item can be).
Result<OwnedRef> recv_or(State& self, std::optional<double> timeout, PyObject* fallback) {
  OwnedRef item;
  auto got = receive(self, timeout, item);
  if (!got.ok()) return std::move(got.failure());
  return got.value() ? std::move(item) : OwnedRef::borrow(fallback);
}

constexpr const char* kRecvOrDoc =
    "recv_or($self, timeout, fallback)\n--\n\n"
    "Like recv(), but return the item itself, or fallback if the time ran out\n"
    "(timeout 0: if the channel is empty). No pair is built.";

constexpr const char* kSendDoc =
    "send($self, item, timeout)\n--\n\n"
    "Queue item, waiting with the interpreter detached while the channel is\n"
    "full. timeout is None (no limit) or seconds. True once sent, False if the\n"
    "time ran out; RuntimeError if the channel is or becomes closed.";

constexpr const char* kRecvDoc =
    "recv($self, timeout)\n--\n\n"
    "Take the oldest item, waiting with the interpreter detached while the\n"
    "channel is empty: (True, item), or (False, None) if the time ran out.\n"
    "RuntimeError once the channel is closed and drained.";

PyMethodDef methods[] = {
    {"close", as_cfunction(noargs_method<State, close>), METH_NOARGS, "close($self)\n--\n\n"},
    {"is_closed", as_cfunction(noargs_method<State, is_closed>), METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"try_send",
     as_cfunction(Function<"NativeChannel", "try_send", Param<"item", AnyObject>>::method<State, try_send>),
     METH_FASTCALL | METH_KEYWORDS, "try_send($self, item)\n--\n\n"},
    {"try_recv", as_cfunction(noargs_method<State, try_recv>), METH_NOARGS, "try_recv($self)\n--\n\n"},
    {"send",
     as_cfunction(Function<"NativeChannel", "send", Param<"item", AnyObject>,
                           Param<"timeout", OptionalSeconds>>::method<State, send>),
     METH_FASTCALL | METH_KEYWORDS, kSendDoc},
    {"recv",
     as_cfunction(Function<"NativeChannel", "recv", Param<"timeout", OptionalSeconds>>::method<State, recv>),
     METH_FASTCALL | METH_KEYWORDS, kRecvDoc},
    {"recv_or",
     as_cfunction(Function<"NativeChannel", "recv_or", Param<"timeout", OptionalSeconds>,
                           Param<"fallback", AnyObject>>::method<State, recv_or>),
     METH_FASTCALL | METH_KEYWORDS, kRecvOrDoc},
    {"qsize", as_cfunction(noargs_method<State, qsize>), METH_NOARGS, "qsize($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeChannel(maxsize)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(
                    Function<"NativeChannel", "__new__", Param<"maxsize", U64>>::constructor<State>)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Instance<State>::dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec native_channel_spec = {
    "kestrum._kestrum_native.NativeChannel",
    Instance<State>::kBasicSize,
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace kestrum
