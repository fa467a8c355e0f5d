// Idle wakes: wake datagrams only for a reader that waits.
//
// A reader that found the ring empty announces that it is about to wait,
// re-checks the ring and waits only if it is still empty; a producer, after
// storing, sends a wake only if the reader announced, and only one per
// announcement. A Dekker pattern on the flag and the ring's tail (the ring's
// own sleep handshake has the same shape): the reader stores its flag, then
// (heavy barrier) loads the tail; the producer stores the tail, then (light
// barrier) loads the flag. At least one of them sees the other's store:
// either the reader finds the message, or the producer sees the flag and
// wakes it. The heavy barrier makes every running thread of the process
// execute a full one, so the producer pays only a compiler barrier and a
// load of a line nobody writes while the reader is busy.
//
// No Python here: the native tests drive it with a ring of their own.
#pragma once

#include <atomic>

#include "ring/barrier.hpp"

namespace vestrel::corvane {

struct IdleWake {
  bool enabled = false;                   // read-only while producer and reader run
  std::atomic<bool> reader_waits{false};  // the announcement
};

// Reader, after a take found the ring empty: announce, then re-check.
inline void announce_wait(IdleWake &w) noexcept {
  w.reader_waits.store(true, std::memory_order_relaxed);  // ordered by the barrier
  ring::barrier::heavy();
}

// Reader, when the re-check found a message: the announcement is withdrawn.
// A push that took it first has sent (or sends) a wake the reader finds
// later: one spurious wake-up, never a lost message.
inline void withdraw_wait(IdleWake &w) noexcept {
  w.reader_waits.store(false, std::memory_order_relaxed);
}

// Producer, after a put stored: whether to send the wake.
inline bool wake_wanted(IdleWake &w) noexcept {
  if (!w.enabled) return true;
  ring::barrier::light();
  // Relaxed: the barrier pair orders the tail store before this load. The
  // load first: a busy reader's line stays shared, and only an announcement
  // costs the exchange, which lets one push take it.
  return w.reader_waits.load(std::memory_order_relaxed) &&
         w.reader_waits.exchange(false, std::memory_order_relaxed);
}

}  // namespace vestrel::corvane
