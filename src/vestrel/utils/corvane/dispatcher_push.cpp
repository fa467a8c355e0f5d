#include "dispatcher_push.hpp"

#include <atomic>
#include <cstring>

#include "vestrel/spsc_queue.h"

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

// The ring result each entry counts as stored. Our ring reports 1 for a
// stored message, but the acceptance rules differ by class and are kept.
bool stored_any(int result) noexcept {
  return result > 0;
}
bool stored_exactly(int result) noexcept {
  return result == 1;
}

template <class Self>
int put(Self *self, VestrelSPSCQueue_PutFn VestrelSPSCQueue_VTable::*op, const char *data,
        std::size_t length) noexcept {
  auto *q = reinterpret_cast<VestrelSPSCQueue *>(self->_q);
  return (q->vtab->*op)(q, data, length);
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

void send_wake_to(platform::Socket fd, const VestrelSockAddrIn &addr) noexcept {
  if (fd == platform::kNoSocket) return;
  platform::Ipv4Address to;
  std::memcpy(&to, &addr, sizeof to);
  (void)platform::send_wake(fd, to);
}

void send_wake(VestrelPlatformSocket &fd, const VestrelSockAddrIn &addr) noexcept {
  send_wake_to(load_wake_fd(fd), addr);
}

void async_push(VestrelAsyncDispatcher *self, const char *data, std::size_t length) noexcept {
  if (stored_any(put(self, &VestrelSPSCQueue_VTable::try_put, data, length)))
    send_wake(self->_fd, self->_addr);
}

void async_push_var(VestrelAsyncDispatcher *self, const char *data, std::size_t length) noexcept {
  if (stored_exactly(put(self, &VestrelSPSCQueue_VTable::try_put_var, data, length)))
    send_wake(self->_fd, self->_addr);
}

void sync_push(VestrelSyncDispatcher *self, const char *data, std::size_t length) noexcept {
  if (stored_any(put(self, &VestrelSPSCQueue_VTable::try_put, data, length)))
    send_wake(self->_fd, self->_addr);
}

void sync_push_var(VestrelSyncDispatcher *self, const char *data, std::size_t length) noexcept {
  if (stored_any(put(self, &VestrelSPSCQueue_VTable::try_put_var, data, length)))
    send_wake(self->_fd, self->_addr);
}

}  // namespace vestrel::corvane
