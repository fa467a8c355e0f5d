// Wake datagrams: one byte over loopback UDP from a socket to its own bound
// address. Producers call send_wake without the GIL, so nothing here touches
// Python or allocates.
#pragma once

#include <cstdint>

namespace vestrel::platform {

// A native socket handle; all ones means "no socket".
using Socket = std::uint64_t;
inline constexpr Socket kNoSocket = ~Socket{0};

// An IPv4 socket address in the platform's sockaddr_in layout (16 bytes):
// family in host order, port and address in network order, 8 zero bytes.
struct alignas(4) Ipv4Address {
  std::uint16_t family;
  std::uint16_t port;
  std::uint32_t addr;
  unsigned char zero[8];
};
static_assert(sizeof(Ipv4Address) == 16);

// Fills `out` for `ip` (dotted text) and `port` (host order); false when the
// text is not an IPv4 address.
bool make_ipv4_address(const char *ip, std::uint16_t port, Ipv4Address &out) noexcept;

// Sends the one-byte wake datagram (0x01); the result is deliberately ignored
// by callers: the message is already in the ring.
int send_wake(Socket fd, const Ipv4Address &to) noexcept;

// Blocks until one datagram arrives and consumes it (at most one byte read).
// Returns the byte count, or -1 on failure.
int receive_wake(Socket fd) noexcept;

// The error of the last failed socket call on this thread (errno, or
// WSAGetLastError on Windows).
int last_socket_error() noexcept;

// True when `error` only says a signal interrupted the call: retry it.
bool is_interrupted(int error) noexcept;

}  // namespace vestrel::platform
