#include "wake_target.hpp"

#include <atomic>
#include <cstring>

namespace vestrel::corvane {

namespace {

static_assert(sizeof(VestrelPlatformSocket) == sizeof(platform::Socket));
static_assert(sizeof(VestrelSockAddrIn) == sizeof(platform::Ipv4Address));
static_assert(offsetof(VestrelAsyncDispatcher, _fd) %
                  std::atomic_ref<platform::Socket>::required_alignment ==
              0);
static_assert(offsetof(VestrelSyncDispatcher, _fd) %
                  std::atomic_ref<platform::Socket>::required_alignment ==
              0);

std::atomic_ref<platform::Socket> wake_fd(VestrelPlatformSocket &fd) noexcept {
  return std::atomic_ref<platform::Socket>(fd);
}

}  // namespace

platform::Socket load_wake_fd(VestrelPlatformSocket &fd) noexcept {
  return wake_fd(fd).load(std::memory_order_acquire);
}

void publish_wake_target(VestrelPlatformSocket &fd, VestrelSockAddrIn &addr,
                         platform::Socket new_fd, const platform::Ipv4Address &new_addr) noexcept {
  std::memcpy(&addr, &new_addr, sizeof addr);
  wake_fd(fd).store(new_fd, std::memory_order_release);
}

platform::Socket retract_wake_target(VestrelPlatformSocket &fd) noexcept {
  return wake_fd(fd).exchange(platform::kNoSocket, std::memory_order_acq_rel);
}

Wake send_wake_to(platform::Socket fd, const VestrelSockAddrIn &addr) noexcept {
  if (fd == platform::kNoSocket) return Wake::none;
  platform::Ipv4Address to;
  std::memcpy(&to, &addr, sizeof to);
  return platform::send_wake(fd, to) == 1 ? Wake::sent : Wake::failed;
}

Wake send_wake(VestrelPlatformSocket &fd, const VestrelSockAddrIn &addr) noexcept {
  return send_wake_to(load_wake_fd(fd), addr);
}

}  // namespace vestrel::corvane
