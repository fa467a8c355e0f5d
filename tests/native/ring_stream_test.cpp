// Two threads push a long, numbered stream of messages through a small ring
// that wraps many times, in every way of putting and taking. The consumer
// checks each message's length and bytes against its sequence number, so a
// lost, repeated, reordered, torn or stale message fails at once.
//
// Usage: ring_stream_test [case-name]   (no name: every case)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ring/spsc_ring.hpp"
#include "testkit.hpp"

namespace {

using namespace vestrel::ring;
using testkit::fill;
using testkit::mix;
using testkit::seq_of;
using testkit::wait_until;

enum class Format { kFixed, kVar };
enum class Calls { kTry, kWaiting };  // try_* on both sides, or put*/take*

struct StreamCase {
  const char *name;
  Format format;
  Calls calls;
  bool block_on_full;
  bool overwrite;
};

// Overwrite cases: the fixed one polls with try_take and ends on a flag; the
// variable one waits in take_var and ends on stop(), so both endings run.
constexpr StreamCase kCases[] = {
    {"fixed-try", Format::kFixed, Calls::kTry, false, false},
    {"fixed-waiting", Format::kFixed, Calls::kWaiting, false, false},
    {"var-try", Format::kVar, Calls::kTry, false, false},
    {"var-waiting", Format::kVar, Calls::kWaiting, false, false},
    {"fixed-block-on-full", Format::kFixed, Calls::kWaiting, true, false},
    {"var-block-on-full", Format::kVar, Calls::kWaiting, true, false},
    {"fixed-overwrite", Format::kFixed, Calls::kTry, false, true},
    {"var-overwrite", Format::kVar, Calls::kWaiting, false, true},
};

// A slot size that is not a multiple of 8 and 16 slots: 1024 bytes, so a
// variable stream wraps every few messages and max_var_size() is 504.
constexpr std::size_t kSlot = 53;
constexpr std::size_t kCapacity = 16;
constexpr std::size_t kBytes = kCapacity * 64;  // slot header + 53 rounded up to 56
// Every this many messages one side stalls until the other has been forced
// onto its slow path (sleeping, or overflowing in overwrite mode).
constexpr std::uint64_t kStallEvery = 1 << 14;

class Lengths {
 public:
  explicit Lengths(const StreamCase &c, const Ring &ring) {
    if (c.format == Format::kFixed) {
      table_ = {0, 1, 7, 8, 9, 16, 31, kSlot - 1, kSlot};
    } else {
      const std::size_t max = ring.max_var_size();
      table_ = {0, 1, 7, 8, 9, 24, 63, 64, 65, 100, 255, max - 9, max - 1, max};
    }
    // In overwrite mode the consumer cannot know which message comes next,
    // so every message carries its sequence number: 8 bytes at least.
    first_ = c.overwrite ? 3 : 0;
    CHECK(table_[first_] >= (c.overwrite ? 8u : 0u));
  }
  std::size_t operator()(std::uint64_t seq) const {
    return table_[first_ + mix(seq) % (table_.size() - first_)];
  }

 private:
  std::vector<std::size_t> table_;
  std::size_t first_ = 0;
};

// How many wrap markers a variable stream of these lengths writes into a ring
// of `bytes`: guards the table against losing the lengths that force them.
std::uint64_t wrap_markers(const Lengths &lengths, std::uint64_t n, std::size_t bytes) {
  std::uint64_t markers = 0;
  std::size_t pos = 0;
  for (std::uint64_t seq = 0; seq < n; ++seq) {
    const std::size_t rec = 8 + ((lengths(seq) + 7) & ~std::size_t{7});
    if (pos + rec > bytes) {
      ++markers;
      pos = 0;
    }
    pos = (pos + rec) % bytes;
  }
  return markers;
}

struct Shared {
  Ring ring;
  const StreamCase &c;
  const Lengths lengths;
  const std::uint64_t n;
  // Most messages the ring can hold at once (0-length records in var mode).
  const std::uint64_t max_held;
  std::atomic<bool> producer_done{false};

  Shared(const Config &cfg, const StreamCase &sc, std::uint64_t count)
      : ring(cfg),
        c(sc),
        lengths(sc, ring),
        n(count),
        max_held(sc.format == Format::kFixed ? kCapacity : kBytes / 8) {}
};

int put_one(Shared &s, const char *data, std::size_t length) {
  const bool fixed = s.c.format == Format::kFixed;
  if (s.c.calls == Calls::kTry)
    return fixed ? s.ring.try_put(data, length) : s.ring.try_put_var(data, length);
  return fixed ? s.ring.put(data, length) : s.ring.put_var(data, length);
}

int take_one(Shared &s, const char **data, std::size_t *length) {
  const bool fixed = s.c.format == Format::kFixed;
  if (s.c.calls == Calls::kTry)
    return fixed ? s.ring.try_take(data, length) : s.ring.try_take_var(data, length);
  return fixed ? s.ring.take(data, length) : s.ring.take_var(data, length);
}

void produce(Shared &s) {
  std::vector<char> buf;
  // Only a put that neither waits nor overwrites may report a full ring.
  const bool may_be_full = !s.c.block_on_full && !s.c.overwrite;
  const bool stall_for_consumer_sleep = s.c.calls == Calls::kWaiting && may_be_full;
  for (std::uint64_t seq = 0; seq < s.n; ++seq) {
    const std::size_t len = s.lengths(seq);
    fill(buf, seq, len);
    // Taken before the put: the consumer's next sleep must come after it.
    const bool stall = stall_for_consumer_sleep && seq % kStallEvery == kStallEvery / 2;
    const std::uint64_t sleeps = stall ? s.ring.stats().consumer_sleeps : 0;
    for (;;) {
      const int r = put_one(s, buf.data(), len);
      if (r == kStored) break;
      CHECK_MSG(r == kFull && may_be_full, "put of message %llu (%zu bytes) returned %d",
                static_cast<unsigned long long>(seq), len, r);
      std::this_thread::yield();
    }
    // A producer that never pauses keeps moving the head of a full ring, and
    // the consumer's claims nearly all lose: give it windows between bursts.
    if (s.c.overwrite && seq % 16 == 0) std::this_thread::yield();
    // With the ring drained, take must go to sleep and the next put wake it.
    if (stall)
      wait_until("the consumer to sleep in take",
                 [&] { return s.ring.stats().consumer_sleeps > sleeps; });
  }
  if (s.c.overwrite && s.c.calls == Calls::kWaiting)
    s.ring.stop();
  else
    s.producer_done.store(true, std::memory_order_release);
}

// Returns the number of messages received.
std::uint64_t consume(Shared &s) {
  std::vector<char> expected;
  const bool waiting = s.c.calls == Calls::kWaiting;
  std::uint64_t received = 0, next = 0;  // next: the sequence number due
  bool finishing = false;
  for (;;) {
    if (!s.c.overwrite && received == s.n) break;
    const bool stall_producer = s.c.block_on_full && received % kStallEvery == kStallEvery / 2 &&
                                received + s.max_held + 2 < s.n;
    const std::uint64_t producer_sleeps = stall_producer ? s.ring.stats().producer_sleeps : 0;

    const char *data = nullptr;
    std::size_t len = 0;
    const int r = take_one(s, &data, &len);
    if (r == kEmpty) {
      CHECK_MSG(!waiting, "a waiting take returned kEmpty after %llu messages",
                static_cast<unsigned long long>(received));
      if (finishing) break;  // drained after the producer finished
      finishing = s.producer_done.load(std::memory_order_acquire);
      std::this_thread::yield();
      continue;
    }
    if (r == kStopped) {
      CHECK(s.c.overwrite && waiting);
      break;
    }
    CHECK_MSG(r == kTaken, "take returned %d after %llu messages", r,
              static_cast<unsigned long long>(received));

    std::uint64_t seq = next;
    if (s.c.overwrite) {
      CHECK_MSG(len >= 8, "overwrite message of %zu bytes after %llu", len,
                static_cast<unsigned long long>(received));
      seq = seq_of(data);
      CHECK_MSG(seq >= next && seq < s.n, "got message %llu, expected one in [%llu, %llu)",
                static_cast<unsigned long long>(seq), static_cast<unsigned long long>(next),
                static_cast<unsigned long long>(s.n));
    }
    CHECK_MSG(len == s.lengths(seq), "message %llu has %zu bytes, expected %zu",
              static_cast<unsigned long long>(seq), len, s.lengths(seq));
    fill(expected, seq, len);
    CHECK_MSG(len == 0 || std::memcmp(data, expected.data(), len) == 0,
              "message %llu (%zu bytes) is corrupt: first word %llu",
              static_cast<unsigned long long>(seq), len,
              static_cast<unsigned long long>(len >= 8 ? seq_of(data) : 0));
    next = seq + 1;
    ++received;

    // Waiting takes: release every other message explicitly; the others are
    // freed by the next take.
    if ((waiting && seq % 2 == 0) || stall_producer) s.ring.release();
    if (stall_producer)
      wait_until("the blocked producer to sleep",
                 [&] { return s.ring.stats().producer_sleeps > producer_sleeps; });
    if (s.c.overwrite && received % kStallEvery == kStallEvery / 2) {
      // Fall far enough behind that the producer must drop messages.
      const std::uint64_t target = std::min(s.n, next + 2 * s.max_held + 2);
      wait_until("the producer to overrun the consumer",
                 [&] { return s.ring.stats().stored >= target; });
    }
  }
  s.ring.release();
  if (!s.c.overwrite) {
    CHECK_MSG(next == s.n, "stream ended at %llu of %llu", static_cast<unsigned long long>(next),
              static_cast<unsigned long long>(s.n));
  } else {
    // Overwrite drops the oldest, never the newest.
    CHECK_MSG(next == s.n, "last message received was %llu of %llu",
              static_cast<unsigned long long>(next) - 1, static_cast<unsigned long long>(s.n));
  }
  return received;
}

void run(const StreamCase &c, std::uint64_t n) {
  testkit::Watchdog watchdog(c.name, testkit::kTsan ? 280 : 120);
  Config cfg;
  cfg.slot_size = kSlot;
  cfg.capacity = kCapacity;
  cfg.block_on_full = c.block_on_full;
  cfg.overwrite = c.overwrite;
  Shared s(cfg, c, n);
  CHECK(s.ring.max_var_size() == kBytes / 2 - 8);
  const std::uint64_t markers = c.format == Format::kVar ? wrap_markers(s.lengths, n, kBytes) : 0;
  if (c.format == Format::kVar && !c.overwrite) CHECK(markers > n / 100);

  const auto start = std::chrono::steady_clock::now();
  std::uint64_t received = 0;
  std::thread consumer([&] { received = consume(s); });
  std::thread producer([&] { produce(s); });
  producer.join();
  consumer.join();
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const char *data;
  std::size_t len;
  const int after =
      c.format == Format::kFixed ? s.ring.try_take(&data, &len) : s.ring.try_take_var(&data, &len);
  CHECK_MSG(after == kEmpty, "the drained ring still returned %d", after);
  const Stats st = s.ring.stats();
  CHECK(st.stored == n);
  CHECK(st.freed == received);
  CHECK(st.stored == st.freed + st.dropped);
  CHECK(s.ring.size() == 0);
  if (!c.overwrite) CHECK(st.dropped == 0);
  // The consumer's stalls made the producer overrun it.
  if (c.overwrite && n > kStallEvery) CHECK(st.dropped > 0);

  std::printf(
      "%-20s %9llu messages %9llu received %8llu dropped %7llu wrap markers, sleeps: consumer "
      "%llu producer %llu, %.1f s\n",
      c.name, static_cast<unsigned long long>(n), static_cast<unsigned long long>(received),
      static_cast<unsigned long long>(st.dropped), static_cast<unsigned long long>(markers),
      static_cast<unsigned long long>(st.consumer_sleeps),
      static_cast<unsigned long long>(st.producer_sleeps), secs);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  const std::uint64_t n = testkit::message_count(4u << 20, 2u << 20);
  bool ran = false;
  for (const StreamCase &c : kCases) {
    if (argc > 1 && std::string(argv[1]) != c.name) continue;
    run(c, n);
    ran = true;
  }
  if (!ran) {
    std::fprintf(stderr, "no case named %s\n", argv[1]);
    return 1;
  }
  return 0;
}
