// A lock-free single-producer/single-consumer ring of byte messages.
//
// One buffer of `capacity` slots, each an 8-byte length header followed by
// `slot_size` bytes rounded up to 8. The first put decides how the buffer is
// read for the rest of the ring's life:
//   fixed:    one message per slot; a message longer than `slot_size` is
//             refused, never truncated;
//   variable: the same bytes as one stream of records (8-byte header plus the
//             payload rounded up to 8); a record never wraps, a wrap marker
//             sends the reader back to offset 0. A message may be up to
//             max_var_size() (about bytes/2 - 8), which always fits an empty ring.
// Operations of the other format are refused (kWrongMode), so a mixed-up
// producer or consumer can never read a slot as a record or vice versa.
//
// Indices. `tail_` (written only by the producer) and `head_` (written by the
// consumer, and in overwrite mode also by the producer when it drops the
// oldest message) are monotonic 64-bit counters of slots (fixed) or bytes
// (variable); they never wrap in practice, so there is no full/empty
// ambiguity and no ABA. Each side keeps the other side's index cached and
// reloads it only when the cached value says full/empty. Each index has a
// cache line to itself, apart from its side's working fields: the other side
// polls it, and every write to a field sharing its line would have to take
// the line back first.
// The producer writes the message, then publishes it with a release store of
// `tail_`; the consumer's acquire load of `tail_` makes the bytes visible.
// The consumer frees a message with a release store of `head_`; the producer's
// acquire load of `head_` orders its next write to that slot after the read.
//
// Holding. `take`/`try_take`/`take_var`/`try_take_var` hand out a pointer into
// the ring and keep that message held: `release()` frees it, and so does the
// consumer's next operation. So the pointer from `try_take` is valid until the
// next operation, from `take` until `release`, from `take_var` until the next
// `take_var`; a `take` after a `take` without `release` simply moves on.
//
// Overwrite mode. A full ring drops its oldest message instead of refusing.
// The producer then races the consumer for `head_` with CAS, so the consumer
// copies each message into a private buffer before it claims it with CAS;
// slot bytes are read and written as relaxed atomic words, so a copy that
// loses the race is merely discarded. Pointers then point into that buffer
// (same validity rules).
//
// Waiting. `take`/`take_var` and a blocking `put` spin briefly, then sleep in
// a SleepHandshake (sleep_handshake.hpp): the other side, after publishing
// its index, wakes the sleeper only when it has announced itself. A consumer
// that keeps finding messages never makes a system call, and neither does a
// producer whose consumer keeps up.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ring/sleep_handshake.hpp"

namespace vestrel::ring {

// Results of the put operations.
inline constexpr int kStored = 1;      // the message is in the ring
inline constexpr int kFull = 0;        // no room now (try_put, or put without waiting)
inline constexpr int kTooLong = -1;    // can never fit: longer than a slot / max_var_size()
inline constexpr int kStopped = -2;    // stop() was called: refused (put) / drained (take)
inline constexpr int kWrongMode = -3;  // the ring holds the other format
// Results of the take operations: 1 = taken, kEmpty = nothing there (try_*),
// kStopped = stopped and drained (take/take_var), kWrongMode.
inline constexpr int kTaken = 1;
inline constexpr int kEmpty = 0;

struct Config {
  std::size_t slot_size = 1024;
  std::size_t capacity = 16384;
  // A full ring drops its oldest message to store the new one.
  bool overwrite = false;
  // Accepted for interface compatibility; has no effect: takes always hand
  // out a pointer (into the ring, or into the consumer's copy buffer in
  // overwrite mode) and the caller copies what it keeps.
  bool zerocopy = false;
  // `put` on a full ring waits for room (or stop()) instead of refusing.
  // `try_put` never waits; overwrite mode never needs to.
  bool block_on_full = false;
};

struct Stats {
  std::uint64_t stored;           // messages put
  std::uint64_t freed;            // messages taken and released
  std::uint64_t dropped;          // messages dropped by overwrite
  std::uint64_t consumer_sleeps;  // times take slept in the kernel
  std::uint64_t producer_sleeps;  // times put slept in the kernel
  // Puts refused, by result: kFull, kTooLong, kStopped, kWrongMode.
  std::uint64_t refused_full;
  std::uint64_t refused_too_long;
  std::uint64_t refused_stopped;
  std::uint64_t refused_other_format;
};

class Ring {
 public:
  // Throws std::invalid_argument (a zero size, or sizes that overflow) or
  // std::bad_alloc.
  explicit Ring(const Config &config);
  ~Ring();
  Ring(const Ring &) = delete;
  Ring &operator=(const Ring &) = delete;

  // Producer side: one thread at a time, no lock, no allocation.
  int put(const char *data, std::size_t length) noexcept;
  int try_put(const char *data, std::size_t length) noexcept;
  int put_var(const char *data, std::size_t length) noexcept;
  int try_put_var(const char *data, std::size_t length) noexcept;

  // Consumer side: one thread at a time.
  int take(const char **data, std::size_t *length) noexcept;
  int try_take(const char **data, std::size_t *length) noexcept;
  int take_var(const char **data, std::size_t *length) noexcept;
  int try_take_var(const char **data, std::size_t *length) noexcept;
  void release() noexcept;

  // Any thread. Wakes every waiter; puts are refused from now on; takes
  // deliver what the ring still holds, then report kStopped.
  void stop() noexcept;
  bool stopped() const noexcept { return stopped_.load(std::memory_order_acquire); }

  const Config &config() const noexcept { return cfg_; }
  // Largest record is half the buffer (rounded down to 8), so it always fits
  // an empty ring whatever the offset.
  std::size_t max_var_size() const noexcept { return ((bytes_ / 2) & ~std::size_t{7}) - kHeader; }
  // 0 = no message yet, 1 = fixed, 2 = variable.
  int mode() const noexcept { return mode_.load(std::memory_order_acquire); }
  // Messages stored and not yet freed (a held message counts); approximate
  // while both sides run.
  std::size_t size() const noexcept;
  Stats stats() const noexcept;

 private:
  static constexpr std::size_t kHeader = 8;
  static constexpr std::size_t kCacheLine = 64;
  static constexpr std::uint64_t kWrapMarker = ~std::uint64_t{0};
  static constexpr std::uint8_t kNoMode = 0, kFixed = 1, kVar = 2;

  bool claim_mode(std::uint8_t want) noexcept;
  // A put's result, counted when it is a refusal: the stored path pays one
  // predictable branch.
  int counted(int result) noexcept {
    if (result != kStored) [[unlikely]]
      count_refusal(result);
    return result;
  }
  void count_refusal(int result) noexcept;
  bool consumer_mode_ok(std::uint8_t want) const noexcept;
  int put_fixed(const char *data, std::size_t length, bool wait) noexcept;
  int put_var_impl(const char *data, std::size_t length, bool wait) noexcept;
  int take_fixed(const char **data, std::size_t *length) noexcept;
  int take_var_impl(const char **data, std::size_t *length) noexcept;
  int take_overwrite(bool var, const char **data, std::size_t *length) noexcept;
  int wait_take(bool var, const char **data, std::size_t *length) noexcept;
  void drop_oldest(bool var, std::uint64_t end) noexcept;
  void write_record(char *at, const char *data, std::size_t length) noexcept;
  void publish_tail(std::uint64_t tail) noexcept;
  void free_head(std::uint64_t head) noexcept;
  bool wait_for_room(std::uint64_t seen_head) noexcept;
  char *slot(std::size_t index) const noexcept { return buf_ + index * stride_; }

  // Read-mostly configuration.
  Config cfg_;
  std::size_t stride_ = 0;  // bytes per fixed slot, header included
  std::size_t bytes_ = 0;   // capacity * stride_
  char *buf_ = nullptr;
  char *copy_ = nullptr;  // consumer's copy buffer (overwrite mode)

  // The producer's index, alone on its line: the consumer polls it.
  alignas(kCacheLine) std::atomic<std::uint64_t> tail_{0};
  // Producer's working line: written on every put, read by no other thread
  // but through stats() and size().
  alignas(kCacheLine) std::uint64_t head_cache_ = 0;
  std::size_t tail_pos_ = 0;  // tail_ as a slot index / byte offset
  std::atomic<std::uint64_t> stored_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> producer_sleeps_{0};
  std::atomic<std::uint64_t> refused_[4] = {};  // indexed by -result

  // The consumer's index, alone on its line: a producer that finds the ring
  // full polls it.
  alignas(kCacheLine) std::atomic<std::uint64_t> head_{0};
  // Consumer's working line: written on every take.
  alignas(kCacheLine) std::uint64_t tail_cache_ = 0;
  std::uint64_t read_ = 0;    // where the consumer reads (past a skipped wrap marker)
  std::size_t read_pos_ = 0;  // read_ as a slot index / byte offset
  std::uint64_t held_ = 0;    // the held message ends here (0: none held)
  std::atomic<std::uint64_t> freed_{0};
  std::atomic<std::uint64_t> consumer_sleeps_{0};

  // Signalling line: written rarely (sleeps, stop, first put).
  alignas(kCacheLine) SleepHandshake data_;  // a consumer waits here for a message
  SleepHandshake room_;                      // a blocking producer waits here for room
  std::atomic<bool> stopped_{false};
  std::atomic<std::uint8_t> mode_{kNoMode};
};

}  // namespace vestrel::ring
