#include "socklib.hpp"

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX  // std::min, std::max and numeric_limits<>::max stay usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // no winsock.h, which would clash with winsock2.h
#endif
#include <winsock2.h>

namespace vestrel::platform {

int socklib_startup() noexcept {
  WSADATA data;  // nobody needs what it reports
  return WSAStartup(0x0202, &data);
}

void socklib_cleanup() noexcept {
  WSACleanup();
}

}  // namespace vestrel::platform

#else

#include <unistd.h>

#include <atomic>

extern "C" {
int vestrel_socklib_startups = 0;
int vestrel_socklib_cleanups = 0;
int vestrel_socklib_trace_fd = -1;
}

namespace vestrel::platform {

namespace {

template <std::size_t N>
void trace(const char (&line)[N]) noexcept {
  const int fd = std::atomic_ref<int>(vestrel_socklib_trace_fd).load();
  if (fd < 0) return;
  // A lost trace line cannot be reported anywhere better.
  [[maybe_unused]] ssize_t n = ::write(fd, line, N - 1);
}

}  // namespace

int socklib_startup() noexcept {
  std::atomic_ref<int>(vestrel_socklib_startups).fetch_add(1);
  trace("startup\n");
  return 0;
}

void socklib_cleanup() noexcept {
  std::atomic_ref<int>(vestrel_socklib_cleanups).fetch_add(1);
  trace("cleanup\n");
}

}  // namespace vestrel::platform

#endif
