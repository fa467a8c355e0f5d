// The consumer side AsyncDispatcher and SyncDispatcher share: the wake socket
// their setup binds and publishes as the wake target, and the single take
// that copies one message out of the ring.
#pragma once

#include <Python.h>

#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/corvane.h"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane {

using pyrt::call_method;

inline pyrt::Ref attr(PyObject *obj, const char *name) {
  return pyrt::check(PyObject_GetAttrString(obj, name));
}

// The host setup binds to: the given one, else the default "127.0.0.1".
PyObject *setup_host(const VestrelSetupOptArgs *opt) noexcept;

// socket.socket(AF_INET, SOCK_DGRAM) of `socket_module`, set blocking or not
// and bound to (host, 0). A socket that fails on the way is closed before the
// error leaves.
pyrt::Ref open_wake_socket(PyObject *socket_module, bool blocking, PyObject *host);

// Reads back the address `sock` is bound to and publishes it, with the
// socket's handle, as the wake target (address first, then `fd`). `who`
// names setup in the error for an address that is not IPv4.
void publish_bound_socket(PyObject *sock, VestrelPlatformSocket &fd, VestrelSockAddrIn &addr,
                          const char *who);

// Closes a socket setup gives up on; a pending error stays set.
void close_unkept(PyObject *sock) noexcept;

// One take from the ring object `q` with `op`: a new bytes object holding a
// copy, None when the ring is empty, null with the error set when the copy
// cannot be made.
using RingTake = VestrelSPSCQueue_TakeFn VestrelSPSCQueue_VTable::*;
PyObject *take_copy(PyObject *q, RingTake op) noexcept;

}  // namespace vestrel::corvane
