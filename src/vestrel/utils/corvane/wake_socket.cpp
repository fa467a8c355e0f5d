#include "wake_socket.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>

#include "class_support.hpp"
#include "platform/wake.hpp"
#include "pyrt/traceback.hpp"
#include "wake_target.hpp"

namespace vestrel::corvane {

namespace {

using pyrt::attr;
using pyrt::call_method;
using pyrt::check;
using pyrt::Ref;

// `value` unpacked into exactly two items.
void unpack_two(PyObject *value, Ref &first, Ref &second) {
  Ref it = check(PyObject_GetIter(value));
  Ref *items[] = {&first, &second};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    *items[i] = Ref::steal(PyIter_Next(it.get()));
    if (*items[i]) continue;
    if (PyErr_Occurred()) pyrt::throw_set();
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
    pyrt::throw_set();
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    pyrt::throw_set();
  }
  if (PyErr_Occurred()) pyrt::throw_set();
}

// An int in [0, max]; `type_name` names the target in the overflow texts.
unsigned long long to_unsigned(PyObject *o, unsigned long long max, const char *type_name) {
  Ref v = PyLong_Check(o) ? Ref::borrow(o) : check(PyNumber_Index(o));
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
  if (x == -1 && PyErr_Occurred()) pyrt::throw_set();
  if (overflow < 0 || (overflow == 0 && x < 0)) {
    PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
    pyrt::throw_set();
  }
  unsigned long long u = static_cast<unsigned long long>(x);
  bool too_large = false;
  if (overflow > 0) {
    u = PyLong_AsUnsignedLongLong(v.get());
    if (u == ULLONG_MAX && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) pyrt::throw_set();
      PyErr_Clear();
      too_large = true;
    }
  }
  if (too_large || u > max) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
    pyrt::throw_set();
  }
  return u;
}

}  // namespace

PyObject *setup_host(const VestrelSetupOptArgs *opt) noexcept {
  return opt && opt->count > 0 ? opt->host : PyTuple_GET_ITEM(state.host_defaults, 0);
}

Ref open_wake_socket(PyObject *socket_module, bool blocking, PyObject *host) {
  Ref family = attr(socket_module, "AF_INET");
  Ref kind = attr(socket_module, "SOCK_DGRAM");
  Ref socket_type = attr(socket_module, "socket");
  Ref sock = pyrt::call(socket_type.get(), {family.get(), kind.get()});
  try {
    call_method(sock.get(), "setblocking", blocking ? Py_True : Py_False);
    Ref port0 = check(PyLong_FromLong(0));
    Ref where = check(PyTuple_Pack(2, host, port0.get()));
    call_method(sock.get(), "bind", where.get());
  } catch (...) {
    close_unkept(sock.get());
    throw;
  }
  return sock;
}

void publish_bound_socket(PyObject *sock, VestrelPlatformSocket &fd, VestrelSockAddrIn &addr,
                          const char *who) {
  Ref name = call_method(sock, "getsockname");
  Ref ip, port;
  unpack_two(name.get(), ip, port);
  const auto port16 = static_cast<std::uint16_t>(to_unsigned(port.get(), 0xFFFF, "uint16_t"));
  Ref ip_bytes = call_method(ip.get(), "encode");
  const char *ip_text = PyBytes_AsString(ip_bytes.get());
  if (!ip_text) pyrt::throw_set();
  platform::Ipv4Address bound;
  if (!platform::make_ipv4_address(ip_text, port16, bound)) {
    PyErr_Format(PyExc_ValueError, "%s: %R is not an IPv4 address", who, ip.get());
    pyrt::throw_set();
  }
  // Connected to itself, so producers can send without naming the address
  // (cheaper per datagram); it then also ignores datagrams from elsewhere.
  call_method(sock, "connect", name.get());
  Ref fileno = call_method(sock, "fileno");
  const platform::Socket handle = to_unsigned(fileno.get(), ~0ULL, "PLATFORM_SOCKET");
  publish_wake_target(fd, addr, handle, bound);
}

// A socket setup could not finish with is closed at once rather than left to
// its finalizer (which warns about unclosed sockets); the error stands.
void close_unkept(PyObject *sock) noexcept {
  pyrt::SavedError pending;
  Ref done =
      Ref::steal(pyrt::into_python([&] { return PyObject_CallMethod(sock, "close", nullptr); }));
  if (!done) PyErr_Clear();
}

}  // namespace vestrel::corvane
