// The wake target of AsyncDispatcher and SyncDispatcher (`_fd` with `_addr`)
// and their shared producer entry: store in the ring, then send the wake
// datagram.
#pragma once

#include <cstddef>

#include "dispatcher_private.hpp"
#include "platform/wake.hpp"
#include "vestrel/corvane.h"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane {

// Producers read `_fd` without a lock while setup and close write it. setup
// fills `_addr` completely, then publishes `_fd` with a release store; a
// producer that acquires a `_fd` other than kNoSocket also sees that `_addr`.
platform::Socket load_wake_fd(VestrelPlatformSocket &fd) noexcept;
void publish_wake_target(VestrelPlatformSocket &fd, VestrelSockAddrIn &addr,
                         platform::Socket new_fd, const platform::Ipv4Address &new_addr) noexcept;
// Sets `_fd` to kNoSocket, so later pushes only store; returns what it was.
platform::Socket retract_wake_target(VestrelPlatformSocket &fd) noexcept;

// What sending a wake came to.
enum class Wake { none, sent, failed };

// One wake datagram to `addr` from `fd`; none when `fd` is kNoSocket. A
// failed send loses nothing: the message is already in the ring, and the
// next wake or close makes the reader drain it.
Wake send_wake_to(platform::Socket fd, const VestrelSockAddrIn &addr) noexcept;
// The same for the wake target as producers see it.
Wake send_wake(VestrelPlatformSocket &fd, const VestrelSockAddrIn &addr) noexcept;

// Whether a put stored the message. The classes' rules read "any positive
// result" (AsyncDispatcher.push_var: "exactly 1"); our ring reports 1 for a
// stored message and nothing above it, so both are this one test.
inline bool stored(int put_result) noexcept {
  return put_result == VESTREL_RING_STORED;
}

using RingPut = VestrelSPSCQueue_PutFn VestrelSPSCQueue_VTable::*;

// The `try_push`/`try_push_var` entry of a dispatcher with a wake target:
// one ring call, and, when it stored the message, the datagram: after every
// stored message, or with idle wakes only for a reader that announced it is
// about to wait (dispatcher_private.hpp). Sends and failed sends are
// counted. Lock-free, touches no Python object, allocates nothing. A cleared
// dispatcher (no ring) refuses as a stopped ring would.
template <class Dispatcher, RingPut Op>
int try_push_and_wake(Dispatcher *self, const char *data, std::size_t length) noexcept {
  if (self->_q == Py_None) return VESTREL_RING_STOPPED;
  auto *q = reinterpret_cast<VestrelSPSCQueue *>(self->_q);
  const int result = (q->vtab->*Op)(q, data, length);
  if (!stored(result)) return result;
  // The wake target first: setup publishes it after the options it set.
  const platform::Socket fd = load_wake_fd(self->_fd);
  if (fd == platform::kNoSocket || !wake_wanted(self->_private->idle)) return result;
  if (send_wake_to(fd, self->_addr) == Wake::sent)
    count(self->_private->wakes_sent);
  else
    count(self->_private->wake_failures);
  return result;
}

// `push`/`push_var`: the same, with nothing told to the producer.
template <class Dispatcher, RingPut Op>
void push_and_wake(Dispatcher *self, const char *data, std::size_t length) noexcept {
  (void)try_push_and_wake<Dispatcher, Op>(self, data, length);
}

}  // namespace vestrel::corvane
