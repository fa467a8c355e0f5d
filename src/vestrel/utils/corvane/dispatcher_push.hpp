// The producer side of AsyncDispatcher and SyncDispatcher: the push entries
// and the wake target (`_fd` with `_addr`) they share with setup and close.
#pragma once

#include <cstddef>

#include "platform/wake.hpp"
#include "vestrel/corvane.h"

namespace vestrel::corvane {

// Producers read `_fd` without a lock while setup and close write it. setup
// fills `_addr` completely, then publishes `_fd` with a release store; a
// producer that acquires a `_fd` other than kNoSocket also sees that `_addr`.
platform::Socket load_wake_fd(VestrelPlatformSocket &fd) noexcept;
void publish_wake_target(VestrelPlatformSocket &fd, VestrelSockAddrIn &addr,
                         platform::Socket new_fd, const platform::Ipv4Address &new_addr) noexcept;
// Sets `_fd` to kNoSocket, so later pushes only store; returns what it was.
platform::Socket retract_wake_target(VestrelPlatformSocket &fd) noexcept;

// One wake datagram to `addr` from `fd`; nothing when `fd` is kNoSocket.
// The send result is ignored: the message is already in the ring.
void send_wake_to(platform::Socket fd, const VestrelSockAddrIn &addr) noexcept;
// The same for the wake target as producers see it.
void send_wake(VestrelPlatformSocket &fd, const VestrelSockAddrIn &addr) noexcept;

// Table entries: store with try_put / try_put_var on `_q`, wake when stored.
void async_push(VestrelAsyncDispatcher *self, const char *data, std::size_t length) noexcept;
void async_push_var(VestrelAsyncDispatcher *self, const char *data, std::size_t length) noexcept;
void sync_push(VestrelSyncDispatcher *self, const char *data, std::size_t length) noexcept;
void sync_push_var(VestrelSyncDispatcher *self, const char *data, std::size_t length) noexcept;

}  // namespace vestrel::corvane
