// The wake socket of AsyncDispatcher and SyncDispatcher: what their setup
// binds, connects to itself and publishes as the wake target.
#pragma once

#include <Python.h>

#include "pyrt/call.hpp"
#include "pyrt/error.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane {

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

}  // namespace vestrel::corvane
