#pragma once
// The waiting half of the native channel: a blocking channel of Python
// objects, and its send and receive with the interpreter detached while they
// wait.
#include <Python.h>

#include <optional>

#include "binding/failure.hpp"
#include "binding/owned_ref.hpp"
#include "channel/blocking_channel.hpp"

namespace kestrum {

using ObjectChannel = BlockingChannel<OwnedRef>;

// Sends `item` (moved in when sent), waiting while the channel is full: no
// limit if `timeout` is empty, none at all if it is 0. Stopped: a signal
// handler raised, and its exception is pending.
WaitResult send_waiting(ObjectChannel& ch, OwnedRef& item, std::optional<double> timeout) noexcept;

// Receives into `item` (empty), waiting like send_waiting().
WaitResult receive_waiting(ObjectChannel& ch, OwnedRef& item, std::optional<double> timeout) noexcept;

}  // namespace kestrum
