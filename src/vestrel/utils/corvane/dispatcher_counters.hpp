// What a dispatcher counts for its stats(): the wake datagrams its pushes
// sent and the sends that failed (producer side), the messages handed to
// the callback (reader side). Each side's counters have a cache line of
// their own, apart from the object's fields: counting costs neither side a
// line the other one writes.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "pyrt/ref.hpp"

// The tag the public header declares.
struct VestrelDispatcherCounters {
  // Written by the producer only (one at a time, as for the ring).
  alignas(64) std::uint64_t wakes_sent = 0;
  std::uint64_t wake_failures = 0;
  // Written by the reader only.
  alignas(64) std::uint64_t delivered = 0;
};

namespace vestrel::corvane {

using Counters = VestrelDispatcherCounters;

// One writer per counter: a relaxed load and store are enough, and stats()
// may read them at any time.
inline void count(std::uint64_t &c) noexcept {
  std::atomic_ref<std::uint64_t> a(c);
  a.store(a.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Throws std::bad_alloc.
Counters *new_counters();
void free_counters(Counters *&c) noexcept;

// The dict stats() returns: the ring's own stats() (when `q` still holds a
// ring), then the dispatcher's counters; the wake counters when `wakes`.
pyrt::Ref stats_dict(PyObject *q, Counters *c, bool wakes);

}  // namespace vestrel::corvane
