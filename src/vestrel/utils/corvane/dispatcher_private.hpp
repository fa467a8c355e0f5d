// What a dispatcher keeps beside its public fields (`_private`): its options,
// the counters its stats() reports, and the idle-wake handshake between its
// producer and its reader (idle_wake.hpp). Each side's fields have a cache line of their own,
// apart from the object: counting costs neither side a line the other one
// writes.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "idle_wake.hpp"
#include "pyrt/ref.hpp"

// The tag the public header declares.
struct VestrelDispatcherPrivate {
  // The producer's line: written by the producer only (one at a time, as
  // for the ring).
  alignas(64) std::uint64_t wakes_sent = 0;
  std::uint64_t wake_failures = 0;

  // The reader's line: written by the reader only.
  alignas(64) std::uint64_t delivered = 0;
  std::uint64_t announced_waits = 0;  // idle wakes: waits the reader announced

  // Options, read by both sides and written by neither while they run.
  alignas(64) std::size_t batch = 0;  // 0: one message per call, else lists of up to this many
  bool want_idle_wakes = false;       // as constructed

  // Idle wakes: in force (set by setup, before it publishes the target),
  // and the reader's announcement. Written only around a wait.
  alignas(64) vestrel::corvane::IdleWake idle;
};

namespace vestrel::corvane {

using Private = VestrelDispatcherPrivate;

// One writer per counter: a relaxed load and store are enough, and stats()
// may read them at any time.
inline void count(std::uint64_t &c, std::uint64_t n = 1) noexcept {
  std::atomic_ref<std::uint64_t> a(c);
  a.store(a.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Throws std::bad_alloc.
Private *new_private();
void free_private(Private *&p) noexcept;

// The dict stats() returns: the ring's own stats() (when `q` still holds a
// ring), then the dispatcher's counters; the wake counters when `wakes`.
pyrt::Ref stats_dict(PyObject *q, Private *p, bool wakes);

}  // namespace vestrel::corvane
