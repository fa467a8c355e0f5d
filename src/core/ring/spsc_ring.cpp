#include "ring/spsc_ring.hpp"

#include "ring/barrier.hpp"
#include "ring/sleep_handshake.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#if defined(_MSC_VER)
#include <intrin.h>
#endif
#if defined(_WIN32)
#include <malloc.h>
#endif

namespace vestrel::ring {

namespace {

constexpr std::size_t round8(std::size_t n) noexcept {
  return (n + 7) & ~std::size_t{7};
}

// Spins before sleeping: long enough to cover the gap between messages of a
// busy producer, short against a system call's cost.
constexpr int kSpins = 256;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(_M_X64) || defined(_M_IX86)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Asks for the lines of the producer's next record ahead of time. A ring much
// larger than the cache hands every put cold lines, and the producer would
// otherwise wait for each of them inside memcpy; the time until its next put
// (a Python call, a system call) covers the fetch. Only a hint: reading
// lines the consumer still uses is harmless. The current message's length
// stands in for the next one's, bounded so a huge record costs little.
// Small records are left to the hardware: a line or two is cheap to miss,
// and in a nearly empty ring taking it early steals it from a consumer that
// is still reading its neighbour (measured: 64-byte puts lost half their
// rate).
constexpr std::size_t kLine = 64;
constexpr std::size_t kPrefetchMin = 256;
constexpr std::size_t kPrefetchMax = 4096;

inline void prefetch_for_write(const char *at, std::size_t length) noexcept {
  if (length < kPrefetchMin) return;
  const std::size_t n = std::min(length, kPrefetchMax);
  for (std::size_t i = 0; i < n; i += kLine) {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    // GCC 12 deletes a loop of __builtin_prefetch as dead code.
    asm volatile("prefetcht0 (%0)" : : "r"(at + i));
#elif defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(at + i, 1, 3);
#elif defined(_M_X64) || defined(_M_IX86)
    _mm_prefetch(at + i, _MM_HINT_T0);
#endif
  }
}

inline std::uint64_t load_header(const char *at) noexcept {
  std::uint64_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

inline void store_header(char *at, std::uint64_t v) noexcept {
  std::memcpy(at, &v, sizeof v);
}

// Word-wise relaxed atomic access for overwrite mode, where a consumer copy
// may overlap a producer write to the same slot (the copy is then discarded).
// Relaxed is enough: the words only need to be free of data races; the
// release/acquire pairs on tail_ and head_ order them, and a copy torn by a
// concurrent overwrite is thrown away when its claim on head_ fails.
inline std::atomic_ref<std::uint64_t> word(char *at) noexcept {
  return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t *>(at));
}

inline std::uint64_t atomic_header(char *at) noexcept {
  return word(at).load(std::memory_order_relaxed);
}

void store_words(char *dst, const char *src, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, src + i, 8);
    word(dst + i).store(w, std::memory_order_relaxed);
  }
  if (i < n) {
    std::uint64_t w = 0;
    std::memcpy(&w, src + i, n - i);
    word(dst + i).store(w, std::memory_order_relaxed);
  }
}

void load_words(char *dst, char *src, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; i += 8) {
    std::uint64_t w = word(src + i).load(std::memory_order_relaxed);
    std::memcpy(dst + i, &w, 8);  // dst is sized in whole words
  }
}

// Cache-aligned buffer from malloc: a refused allocation comes back as null
// (also under sanitizers, where a failing operator new aborts) and becomes
// bad_alloc here.
char *alloc_aligned(std::size_t n) {
  n = (n + 63) & ~std::size_t{63};
#if defined(_WIN32)
  void *p = _aligned_malloc(n, 64);
#else
  void *p = n ? std::aligned_alloc(64, n) : nullptr;
#endif
  if (!p) throw std::bad_alloc();
  return static_cast<char *>(p);
}

void free_aligned(char *p) noexcept {
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

}  // namespace

Ring::Ring(const Config &config) : cfg_(config) {
  // Each index on a line of its own, its side's working fields on another:
  // see the layout in the header.
  static_assert(offsetof(Ring, head_) - offsetof(Ring, tail_) >= kCacheLine,
                "the producer's and the consumer's index lines overlap");
  static_assert(offsetof(Ring, head_cache_) - offsetof(Ring, tail_) >= kCacheLine &&
                    offsetof(Ring, tail_cache_) - offsetof(Ring, head_) >= kCacheLine,
                "an index shares its line with its side's working fields");
  static_assert(offsetof(Ring, data_) - offsetof(Ring, tail_cache_) >= kCacheLine,
                "the consumer's working line overlaps the signalling line");
  barrier::init();
  if (cfg_.slot_size == 0 || cfg_.capacity == 0)
    throw std::invalid_argument("slot_size and capacity must be positive");
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (cfg_.slot_size > kMax - kHeader - 7) throw std::invalid_argument("slot_size is too large");
  stride_ = kHeader + round8(cfg_.slot_size);
  if (cfg_.capacity > kMax / stride_)
    throw std::invalid_argument("capacity * slot_size is too large");
  bytes_ = cfg_.capacity * stride_;
  if (bytes_ > kMax - 63) throw std::invalid_argument("capacity * slot_size is too large");
  buf_ = alloc_aligned(bytes_);
  if (cfg_.overwrite) {
    try {
      copy_ = alloc_aligned(std::max(stride_, max_var_size() + kHeader));
    } catch (...) {
      free_aligned(buf_);
      throw;
    }
  }
}

Ring::~Ring() {
  free_aligned(buf_);
  if (copy_) free_aligned(copy_);
}

std::size_t Ring::size() const noexcept {
  // Read the consumer's counters first so the result never goes negative.
  std::uint64_t freed = freed_.load(std::memory_order_acquire);
  std::uint64_t dropped = dropped_.load(std::memory_order_acquire);
  std::uint64_t stored = stored_.load(std::memory_order_acquire);
  std::uint64_t gone = freed + dropped;
  return stored > gone ? static_cast<std::size_t>(stored - gone) : 0;
}

Stats Ring::stats() const noexcept {
  // Relaxed: counters for reporting; nothing is read on the strength of them.
  return Stats{stored_.load(std::memory_order_relaxed),
               freed_.load(std::memory_order_relaxed),
               dropped_.load(std::memory_order_relaxed),
               consumer_sleeps_.load(std::memory_order_relaxed),
               producer_sleeps_.load(std::memory_order_relaxed),
               refused_[0].load(std::memory_order_relaxed),
               refused_[1].load(std::memory_order_relaxed),
               refused_[2].load(std::memory_order_relaxed),
               refused_[3].load(std::memory_order_relaxed)};
}

// Relaxed: only the producer sets the mode, before its first tail_ release,
// and the consumer reads it only after an acquire of that tail_.
bool Ring::claim_mode(std::uint8_t want) noexcept {
  std::uint8_t m = mode_.load(std::memory_order_relaxed);
  if (m == want) return true;
  if (m == kNoMode && mode_.compare_exchange_strong(m, want, std::memory_order_relaxed))
    return true;
  return m == want;
}

bool Ring::consumer_mode_ok(std::uint8_t want) const noexcept {
  // Only asked once a message is visible, so the mode is already set (and,
  // through the acquire of tail_, visible: relaxed is enough).
  return mode_.load(std::memory_order_relaxed) == want;
}

// ---------------------------------------------------------------- producer

void Ring::write_record(char *at, const char *data, std::size_t length) noexcept {
  if (!cfg_.overwrite) {
    store_header(at, length);
    if (length) std::memcpy(at + kHeader, data, length);
  } else {
    word(at).store(length, std::memory_order_relaxed);  // published by tail_, see word()
    store_words(at + kHeader, data, length);
  }
}

void Ring::publish_tail(std::uint64_t tail) noexcept {
  tail_.store(tail, std::memory_order_release);
  // Relaxed, and no read-modify-write: a statistic with a single writer.
  stored_.store(stored_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  data_.wake_sleeper();
}

bool Ring::wait_for_room(std::uint64_t seen_head) noexcept {
  // Relaxed loads here only watch for a change: the caller reloads head_
  // with acquire before it writes into the room, and a stop carries no data.
  for (int i = 0; i < kSpins; ++i) {
    if (head_.load(std::memory_order_relaxed) != seen_head ||
        stopped_.load(std::memory_order_relaxed))
      return true;
    cpu_relax();
  }
  room_.sleep_unless_woken(
      [&] {  // relaxed: ordered by the handshake's barrier; see the loop above
        return head_.load(std::memory_order_relaxed) == seen_head &&
               !stopped_.load(std::memory_order_relaxed);
      },
      producer_sleeps_);
  return true;
}

void Ring::drop_oldest(bool var, std::uint64_t end) noexcept {
  // `end` is where the new message would end; it fits once end - head <= limit.
  const std::uint64_t limit = var ? bytes_ : cfg_.capacity;
  std::uint64_t h = head_.load(std::memory_order_acquire);
  if (end - h <= limit) {  // the consumer made room meanwhile
    head_cache_ = h;
    return;
  }
  std::uint64_t adv = 1;
  bool record = true;
  if (var) {
    const std::size_t pos = static_cast<std::size_t>(h % bytes_);
    const std::uint64_t hdr = atomic_header(buf_ + pos);
    record = hdr != kWrapMarker;
    adv = record ? kHeader + round8(static_cast<std::size_t>(hdr)) : bytes_ - pos;
  }
  if (head_.compare_exchange_strong(h, h + adv, std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
    h += adv;
    if (record)  // a statistic with a single writer: relaxed, no read-modify-write
      dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  head_cache_ = h;
}

int Ring::put_fixed(const char *data, std::size_t length, bool wait) noexcept {
  if (length > cfg_.slot_size) return kTooLong;
  if (!claim_mode(kFixed)) return kWrongMode;
  for (;;) {
    // Relaxed: a stop carries no data, and tail_ is this thread's own store.
    if (stopped_.load(std::memory_order_relaxed)) return kStopped;
    const std::uint64_t t = tail_.load(std::memory_order_relaxed);
    if (t - head_cache_ >= cfg_.capacity) {
      head_cache_ = head_.load(std::memory_order_acquire);
      if (t - head_cache_ >= cfg_.capacity) {
        if (cfg_.overwrite) {
          drop_oldest(false, t + 1);
          continue;
        }
        if (!wait) return kFull;
        wait_for_room(head_cache_);
        continue;
      }
    }
    write_record(slot(tail_pos_), data, length);
    tail_pos_ = tail_pos_ + 1 == cfg_.capacity ? 0 : tail_pos_ + 1;
    publish_tail(t + 1);
    prefetch_for_write(slot(tail_pos_), kHeader + length);
    return kStored;
  }
}

int Ring::put_var_impl(const char *data, std::size_t length, bool wait) noexcept {
  if (length > max_var_size()) return kTooLong;
  if (!claim_mode(kVar)) return kWrongMode;
  const std::size_t rec = kHeader + round8(length);
  for (;;) {
    // Relaxed: a stop carries no data, and tail_ is this thread's own store.
    if (stopped_.load(std::memory_order_relaxed)) return kStopped;
    std::uint64_t t = tail_.load(std::memory_order_relaxed);
    std::size_t pos = tail_pos_;
    const bool wraps = pos + rec > bytes_;
    const std::uint64_t need = wraps ? (bytes_ - pos) + rec : rec;
    if (t + need - head_cache_ > bytes_) {
      head_cache_ = head_.load(std::memory_order_acquire);
      if (t + need - head_cache_ > bytes_) {
        if (cfg_.overwrite) {
          drop_oldest(true, t + need);
          continue;
        }
        if (!wait) return kFull;
        wait_for_room(head_cache_);
        continue;
      }
    }
    if (wraps) {
      if (cfg_.overwrite)
        word(buf_ + pos).store(kWrapMarker, std::memory_order_relaxed);  // see word()
      else
        store_header(buf_ + pos, kWrapMarker);
      t += bytes_ - pos;
      pos = 0;
    }
    write_record(buf_ + pos, data, length);
    t += rec;
    pos += rec;
    tail_pos_ = pos == bytes_ ? 0 : pos;
    publish_tail(t);
    prefetch_for_write(buf_ + tail_pos_, std::min(rec, bytes_ - tail_pos_));
    return kStored;
  }
}

int Ring::put(const char *data, std::size_t length) noexcept {
  return counted(put_fixed(data, length, cfg_.block_on_full));
}
int Ring::try_put(const char *data, std::size_t length) noexcept {
  return counted(put_fixed(data, length, false));
}
int Ring::put_var(const char *data, std::size_t length) noexcept {
  return counted(put_var_impl(data, length, cfg_.block_on_full));
}
int Ring::try_put_var(const char *data, std::size_t length) noexcept {
  return counted(put_var_impl(data, length, false));
}

void Ring::count_refusal(int result) noexcept {
  static_assert(kFull == 0 && kTooLong == -1 && kStopped == -2 && kWrongMode == -3);
  // Relaxed, and no read-modify-write: a statistic with a single writer.
  std::atomic<std::uint64_t> &c = refused_[-result];
  c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// ---------------------------------------------------------------- consumer

void Ring::free_head(std::uint64_t head) noexcept {
  head_.store(head, std::memory_order_release);
  // Relaxed, and no read-modify-write: a statistic with a single writer.
  freed_.store(freed_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  if (cfg_.block_on_full) room_.wake_sleeper();
}

void Ring::release() noexcept {
  if (held_) {
    free_head(held_);
    held_ = 0;
  }
}

int Ring::take_fixed(const char **data, std::size_t *length) noexcept {
  release();
  if (read_ == tail_cache_) {
    tail_cache_ = tail_.load(std::memory_order_acquire);
    if (read_ == tail_cache_) return kEmpty;
  }
  if (!consumer_mode_ok(kFixed)) return kWrongMode;
  const char *s = slot(read_pos_);
  *length = static_cast<std::size_t>(load_header(s));
  *data = s + kHeader;
  read_ += 1;
  read_pos_ = read_pos_ + 1 == cfg_.capacity ? 0 : read_pos_ + 1;
  held_ = read_;
  return kTaken;
}

int Ring::take_var_impl(const char **data, std::size_t *length) noexcept {
  release();
  if (read_ == tail_cache_) {
    tail_cache_ = tail_.load(std::memory_order_acquire);
    if (read_ == tail_cache_) return kEmpty;
  }
  if (!consumer_mode_ok(kVar)) return kWrongMode;
  std::uint64_t hdr = load_header(buf_ + read_pos_);
  if (hdr == kWrapMarker) {
    // The record after a marker was published together with it.
    read_ += bytes_ - read_pos_;
    read_pos_ = 0;
    hdr = load_header(buf_);
  }
  *length = static_cast<std::size_t>(hdr);
  *data = buf_ + read_pos_ + kHeader;
  const std::size_t rec = kHeader + round8(*length);
  read_ += rec;
  read_pos_ += rec;
  if (read_pos_ == bytes_) read_pos_ = 0;
  held_ = read_;
  return kTaken;
}

int Ring::take_overwrite(bool var, const char **data, std::size_t *length) noexcept {
  for (;;) {
    std::uint64_t h = head_.load(std::memory_order_acquire);
    if (h >= tail_cache_) {
      tail_cache_ = tail_.load(std::memory_order_acquire);
      if (h >= tail_cache_) return kEmpty;
    }
    if (!consumer_mode_ok(var ? kVar : kFixed)) return kWrongMode;
    std::uint64_t adv = 0, hdr;
    std::size_t pos, next;
    if (!var) {
      pos = h == read_ ? read_pos_ : static_cast<std::size_t>(h % cfg_.capacity);
      char *s = slot(pos);
      hdr = atomic_header(s);
      if (hdr > cfg_.slot_size) continue;  // torn by a concurrent overwrite
      load_words(copy_, s + kHeader, static_cast<std::size_t>(hdr));
      adv = 1;
      next = pos + 1 == cfg_.capacity ? 0 : pos + 1;
    } else {
      pos = h == read_ ? read_pos_ : static_cast<std::size_t>(h % bytes_);
      hdr = atomic_header(buf_ + pos);
      if (hdr == kWrapMarker) {
        adv = bytes_ - pos;
        pos = 0;
        hdr = atomic_header(buf_);
      }
      if (hdr > max_var_size()) continue;
      const std::size_t rec = kHeader + round8(static_cast<std::size_t>(hdr));
      if (pos + rec > bytes_) continue;
      load_words(copy_, buf_ + pos + kHeader, static_cast<std::size_t>(hdr));
      adv += rec;
      next = pos + rec == bytes_ ? 0 : pos + rec;
    }
    // Claim after copying: if the producer dropped this message meanwhile the
    // CAS fails and the copy is discarded. A failed CAS may be relaxed: the
    // loop starts over with an acquire load of head_.
    if (head_.compare_exchange_strong(h, h + adv, std::memory_order_acq_rel,
                                      std::memory_order_relaxed)) {
      read_ = h + adv;
      read_pos_ = next;
      // Only the consumer frees: a single-writer statistic, relaxed.
      freed_.store(freed_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      *data = copy_;
      *length = static_cast<std::size_t>(hdr);
      return kTaken;
    }
  }
}

int Ring::try_take(const char **data, std::size_t *length) noexcept {
  return cfg_.overwrite ? take_overwrite(false, data, length) : take_fixed(data, length);
}

int Ring::try_take_var(const char **data, std::size_t *length) noexcept {
  return cfg_.overwrite ? take_overwrite(true, data, length) : take_var_impl(data, length);
}

int Ring::wait_take(bool var, const char **data, std::size_t *length) noexcept {
  for (;;) {
    int r = var ? try_take_var(data, length) : try_take(data, length);
    if (r != kEmpty) return r;
    if (stopped_.load(std::memory_order_acquire)) {
      // Stopped: deliver what is still there, then report the stop.
      r = var ? try_take_var(data, length) : try_take(data, length);
      return r != kEmpty ? r : kStopped;
    }
    // tail_cache_ is the tail the failed take just loaded. The relaxed loads
    // (here and in the re-check) only watch for a change: the take that
    // follows loads tail_ with acquire before it reads a message.
    bool moved = false;
    for (int i = 0; i < kSpins && !moved; ++i) {
      cpu_relax();
      moved = tail_.load(std::memory_order_relaxed) != tail_cache_ ||
              stopped_.load(std::memory_order_relaxed);
    }
    if (moved) continue;
    data_.sleep_unless_woken(
        [&] {  // relaxed: ordered by the handshake's barrier
          return tail_.load(std::memory_order_relaxed) == tail_cache_ &&
                 !stopped_.load(std::memory_order_relaxed);
        },
        consumer_sleeps_);
  }
}

int Ring::take(const char **data, std::size_t *length) noexcept {
  return wait_take(false, data, length);
}

int Ring::take_var(const char **data, std::size_t *length) noexcept {
  return wait_take(true, data, length);
}

void Ring::stop() noexcept {
  stopped_.store(true, std::memory_order_seq_cst);
  data_.wake_all();
  room_.wake_all();
}

}  // namespace vestrel::ring
