#include "wake.hpp"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // std::min, std::max and numeric_limits<>::max stay usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // no winsock.h, which would clash with winsock2.h
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace vestrel::platform {

static_assert(sizeof(sockaddr_in) == sizeof(Ipv4Address));

bool make_ipv4_address(const char *ip, std::uint16_t port, Ipv4Address &out) noexcept {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, ip, &sa.sin_addr) != 1) return false;
  std::memcpy(&out, &sa, sizeof out);
  return true;
}

int send_wake(Socket fd, const Ipv4Address &to) noexcept {
  if (fd == kNoSocket) return -1;
  const auto s = static_cast<decltype(::socket(0, 0, 0))>(fd);
  const char byte = 0x01;
  // Setup connects the socket to its own address: a send on a connected
  // socket skips the route lookup that each sendto pays (about 15% of the
  // call). A socket that is not connected still gets its datagram.
  const auto sent = ::send(s, &byte, 1, 0);
  if (sent >= 0) return static_cast<int>(sent);
#ifdef _WIN32
  // Windows reports WSAENOTCONN for a socket that is not connected; Wine
  // reports WSAEINVAL. Any of them only means "name the address".
  const int error = WSAGetLastError();
  if (error != WSAENOTCONN && error != WSAEDESTADDRREQ && error != WSAEINVAL) return -1;
#else
  if (errno != ENOTCONN && errno != EDESTADDRREQ) return -1;
#endif
  return static_cast<int>(
      ::sendto(s, &byte, 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof(sockaddr_in)));
}

int receive_wake(Socket fd) noexcept {
  if (fd == kNoSocket) return -1;
  char byte;
  return static_cast<int>(
      ::recvfrom(static_cast<decltype(::socket(0, 0, 0))>(fd), &byte, 1, 0, nullptr, nullptr));
}

int last_socket_error() noexcept {
#ifdef _WIN32
  return WSAGetLastError();
#else
  return errno;
#endif
}

bool is_interrupted(int error) noexcept {
#ifdef _WIN32
  return error == WSAEINTR;
#else
  return error == EINTR;
#endif
}

}  // namespace vestrel::platform
