// FastChannel: a multi-producer multi-consumer FIFO of Python objects with
// an optional bound and a one-way close. Every method returns at once.
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "channel/channel_core.hpp"
#include "type_registry.hpp"

namespace kestrum {
namespace {

struct FastChannelState {
  explicit FastChannelState(std::uint64_t maxsize)
      : FastChannelState(maxsize == 0 ? make_unbounded_channel<OwnedRef>()
                                      : make_bounded_channel<OwnedRef>(maxsize)) {}
  explicit FastChannelState(ChannelPair<OwnedRef> pair)
      : tx(std::move(pair.sender)), rx(std::move(pair.receiver)) {}
  FastChannelState(FastChannelState&& other) noexcept : tx(std::move(other.tx)), rx(std::move(other.rx)) {}
  ~FastChannelState() {
    tx.reset();
    rx.reset();
  }
  // False when the channel could not be allocated (MemoryError).
  explicit operator bool() const noexcept { return static_cast<bool>(tx); }

  // The object holds both handles for life, so close() is the only thing
  // that disconnects the core: "closed" is the core's own flag, set inside
  // its critical section, so no send lands after close() has returned and a
  // receiver is told "closed" only if the queue was empty at that instant.
  // On destruction the sender goes first, then the receiver, which releases
  // what is still queued, oldest first, with no lock held.
  ChannelSender<OwnedRef> tx;
  ChannelReceiver<OwnedRef> rx;
};

using State = FastChannelState;

Failure channel_closed() { return Failure(PyExc_RuntimeError, "Channel is closed"); }

Result<OwnedRef> close(State& self) {
  self.tx.disconnect();
  return py_none();
}

Result<OwnedRef> is_closed(State& self) { return py_bool(self.tx.is_disconnected()); }

Result<OwnedRef> try_send(State& self, PyObject* item) {
  // An early refusal that takes no lock; the core decides under its lock.
  if (self.tx.is_disconnected()) return channel_closed();
  OwnedRef held = OwnedRef::borrow(item);  // taken before the core's lock
  switch (self.tx.try_send(held)) {
    case SendResult::Accepted: return py_bool(true);
    case SendResult::Full: return py_bool(false);  // `held` is released after the lock
    case SendResult::Disconnected: return channel_closed();
    case SendResult::OutOfMemory: break;
  }
  return Failure::out_of_memory();  // `held` goes back to the caller's count
}

Result<OwnedRef> try_recv(State& self) {
  // Answered without the lock and without a new tuple, so that a poller
  // costs the senders nothing.
  if (self.rx.empty_and_connected()) return no_item_pair();
  Result<OwnedRef> pair = new_pair();  // before an item is taken for it
  if (!pair.ok()) return pair;
  OwnedRef item;
  switch (self.rx.try_recv(item)) {
    case RecvResult::Item: return fill_pair(std::move(pair.value()), py_bool(true), std::move(item));
    case RecvResult::Empty: return no_item_pair();  // emptied since the look above
    case RecvResult::Disconnected: break;
  }
  return channel_closed();
}

Result<OwnedRef> qsize(State& self) { return py_u64(self.rx.len()); }

constexpr const char* kTryRecvDoc =
    "try_recv($self)\n--\n\n"
    "Non-blocking receive.\n\n"
    "Returns the pair (has_item, item): (True, item) when an item was taken,\n"
    "(False, None) when the channel is empty. has_item tells \"channel empty\"\n"
    "apart from \"item is None\": a plain optional result would map both an\n"
    "empty channel and a received None to None and so lose None payloads.";

PyMethodDef methods[] = {
    {"close", as_cfunction(noargs_method<State, close>), METH_NOARGS, "close($self)\n--\n\n"},
    {"is_closed", as_cfunction(noargs_method<State, is_closed>), METH_NOARGS,
     "is_closed($self)\n--\n\n"},
    {"try_send",
     as_cfunction(Function<"FastChannel", "try_send", Param<"item", AnyObject>>::method<State, try_send>),
     METH_FASTCALL | METH_KEYWORDS, "try_send($self, item)\n--\n\n"},
    {"try_recv", as_cfunction(noargs_method<State, try_recv>), METH_NOARGS, kTryRecvDoc},
    {"qsize", as_cfunction(noargs_method<State, qsize>), METH_NOARGS, "qsize($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("FastChannel(maxsize)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(
                    Function<"FastChannel", "__new__", Param<"maxsize", U64>>::constructor<State>)},
    {Py_tp_methods, methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(Instance<State>::dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec fast_channel_spec = {
    "kestrum._kestrum_core.FastChannel",
    Instance<State>::kBasicSize,
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace kestrum
