// One direction of the ring's sleep/wake handshake: the side that found
// nothing to do (a consumer on an empty ring, a blocking producer on a full
// one) sleeps here, and the other side wakes it once it has published.
//
// The protocol, a Dekker pattern on the sleeper's flag and the waker's index:
//   sleeper: read seq_; set waiting_; heavy barrier; re-check the other
//            side's index; sleep on seq_ only if it has not moved; clear
//            waiting_.
//   waker:   store its index; light barrier; if waiting_ is set, bump seq_
//            and wake.
// No wake-up is lost. Each side stores, then its barrier, then loads what the
// other side stored, so at least one of them sees the other's store. If the
// sleeper sees the new index it does not sleep. If the waker sees waiting_,
// it bumps seq_ after the sleeper read it (the read comes before the flag
// store), so the futex either finds a changed word and returns at once, or
// is asleep already and is woken. A spurious return costs one more check.
//
// The barriers are asymmetric (barrier.hpp). The waker publishes on every
// message, so its barrier is only a compiler barrier, which keeps its index
// store before its flag load in program order. The sleeper, about to make a
// system call anyway, pays the heavy one: it makes every running thread of
// the process, the waker included, execute a full barrier before it returns.
// A waker store from before that point is visible to the sleeper's re-check;
// a waker load from after it sees the flag, stored before the call. Where no
// such barrier exists, both are plain full fences.
#pragma once

#include <atomic>
#include <cstdint>

#include "ring/barrier.hpp"

namespace vestrel::ring {

class SleepHandshake {
 public:
  // Sleeper: announces itself, then sleeps unless `still_idle()` (the
  // re-check of the other side's index, and of a stop) says there is work.
  // `sleeps` counts the trips into the kernel; it is bumped before the
  // sleep, so a thread watching it knows the sleeper is at the door.
  template <class StillIdle>
  void sleep_unless_woken(StillIdle still_idle, std::atomic<std::uint64_t> &sleeps) noexcept {
    const std::uint32_t seq = seq_.load(std::memory_order_acquire);
    // Relaxed: the heavy barrier orders this store before the re-check.
    waiting_.store(true, std::memory_order_relaxed);
    barrier::heavy();
    if (still_idle()) {
      // Relaxed: a statistic; nothing is read through it.
      sleeps.fetch_add(1, std::memory_order_relaxed);
      sleep_on(seq);
    }
    // Relaxed: a flag seen set late costs the waker one needless wake.
    waiting_.store(false, std::memory_order_relaxed);
  }

  // Waker: call after the store that publishes the index.
  void wake_sleeper() noexcept {
    barrier::light();
    // Relaxed: the barrier pair orders this load against the index store.
    if (waiting_.load(std::memory_order_relaxed)) {
      seq_.fetch_add(1, std::memory_order_release);
      wake(false);
    }
  }

  // stop(): after the stop flag is stored. Needs no flag check: a sleeper
  // that read seq_ before this bump is woken or never sleeps, and one that
  // read it after sees the stop flag in its re-check.
  void wake_all() noexcept {
    seq_.fetch_add(1, std::memory_order_seq_cst);
    wake(true);
  }

 private:
  // The system calls, out of line (sleep_handshake.cpp) so that the ring's
  // header does not pull in the platform's headers; they follow a
  // decision to sleep or to wake, never the hot path.
  void sleep_on(std::uint32_t seen) noexcept;
  void wake(bool all) noexcept;

  std::atomic<std::uint32_t> seq_{0};  // the futex word: bumped by every wake
  std::atomic<bool> waiting_{false};
};

}  // namespace vestrel::ring
