// The fences of the ring's sleep/wake handshake (a Dekker pattern: the side
// that goes to sleep stores its flag then reads the other side's index; the
// side that publishes stores its index then reads the flag).
//
// A full fence on every publish costs the producer a drain of its store
// buffer per message. Where the platform offers a process-wide barrier, the
// rare side (the one about to sleep) pays for both: it runs heavy(), which
// makes every other running thread of the process execute a full barrier, and
// the hot side needs only light(), a compiler barrier. Elsewhere both are
// plain full fences.
#pragma once

#include <atomic>

namespace vestrel::ring::barrier {

// Set once, before the first ring exists; read-only afterwards.
extern std::atomic<bool> asymmetric;

// Decides, once per process, which flavour to use.
void init() noexcept;

// On the publishing (hot) side, between its store and its load.
inline void light() noexcept {
  // Relaxed: set before the first ring exists, which reaches other threads
  // only through a hand-over that synchronises. (heavy() clears it only on a
  // failure that registration rules out.)
  if (asymmetric.load(std::memory_order_relaxed))
    std::atomic_signal_fence(std::memory_order_seq_cst);
  else
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

// On the side about to sleep, between its store and its load.
void heavy() noexcept;

}  // namespace vestrel::ring::barrier
