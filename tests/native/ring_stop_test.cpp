// stop(): it wakes a consumer asleep in take and a producer asleep in a
// blocking put, refuses later puts, and lets takes drain what is left.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "ring/spsc_ring.hpp"
#include "testkit.hpp"

namespace {

using namespace vestrel::ring;
using testkit::fill;
using testkit::wait_until;

enum class Format { kFixed, kVar };
constexpr Format kFormats[] = {Format::kFixed, Format::kVar};
const char *name(Format f) {
  return f == Format::kFixed ? "fixed" : "var";
}

// 16-byte messages: four fill either format exactly (24-byte slots or records).
constexpr std::size_t kLen = 16;
constexpr std::size_t kCapacity = 4;

Config make_config(bool block_on_full, bool overwrite) {
  Config cfg;
  cfg.slot_size = kLen;
  cfg.capacity = kCapacity;
  cfg.block_on_full = block_on_full;
  cfg.overwrite = overwrite;
  return cfg;
}

int put(Ring &r, Format f, const std::vector<char> &buf) {
  return f == Format::kFixed ? r.put(buf.data(), kLen) : r.put_var(buf.data(), kLen);
}
int try_put(Ring &r, Format f, const std::vector<char> &buf) {
  return f == Format::kFixed ? r.try_put(buf.data(), kLen) : r.try_put_var(buf.data(), kLen);
}
int take(Ring &r, Format f, const char **data, std::size_t *len) {
  return f == Format::kFixed ? r.take(data, len) : r.take_var(data, len);
}

// Stores messages 0..count-1.
void fill_ring(Ring &r, Format f, std::uint64_t count) {
  std::vector<char> buf;
  for (std::uint64_t seq = 0; seq < count; ++seq) {
    fill(buf, seq, kLen);
    CHECK_MSG(try_put(r, f, buf) == kStored, "%s message %llu", name(f),
              static_cast<unsigned long long>(seq));
  }
}

// After a stop, takes hand out messages 0..count-1 in order, then kStopped,
// and keep reporting kStopped.
void check_drains(Ring &r, Format f, std::uint64_t count) {
  std::vector<char> want;
  for (std::uint64_t seq = 0; seq < count; ++seq) {
    const char *data;
    std::size_t len;
    const int res = take(r, f, &data, &len);
    CHECK_MSG(res == kTaken, "%s: take of message %llu after stop returned %d", name(f),
              static_cast<unsigned long long>(seq), res);
    fill(want, seq, kLen);
    CHECK_MSG(len == kLen && std::memcmp(data, want.data(), kLen) == 0,
              "%s: message %llu is corrupt", name(f), static_cast<unsigned long long>(seq));
  }
  for (int i = 0; i < 2; ++i) {
    const char *data;
    std::size_t len;
    CHECK(take(r, f, &data, &len) == kStopped);
  }
}

// A consumer asleep in take/take_var returns kStopped once stop() is called.
void test_stop_wakes_consumer() {
  for (const Format f : kFormats) {
    testkit::Watchdog watchdog(std::string("stop wakes a waiting ") + name(f) + " take", 30);
    Ring r(make_config(false, false));
    std::atomic<int> result{kTaken};
    std::thread consumer([&] {
      const char *data;
      std::size_t len;
      result.store(take(r, f, &data, &len));
    });
    wait_until("the consumer to sleep in take", [&] { return r.stats().consumer_sleeps > 0; });
    r.stop();
    consumer.join();
    CHECK_MSG(result.load() == kStopped, "%s take returned %d", name(f), result.load());
    check_drains(r, f, 0);
  }
}

// A producer asleep in a blocking put on a full ring returns kStopped; what
// the ring held is still delivered, in order.
void test_stop_wakes_blocked_producer() {
  for (const Format f : kFormats) {
    testkit::Watchdog watchdog(std::string("stop wakes a blocked ") + name(f) + " put", 30);
    Ring r(make_config(true, false));
    fill_ring(r, f, kCapacity);
    std::vector<char> extra;
    fill(extra, kCapacity, kLen);
    CHECK(try_put(r, f, extra) == kFull);
    std::atomic<int> result{kStored};
    std::thread producer([&] { result.store(put(r, f, extra)); });
    wait_until("the producer to sleep in put", [&] { return r.stats().producer_sleeps > 0; });
    r.stop();
    producer.join();
    CHECK_MSG(result.load() == kStopped, "%s put returned %d", name(f), result.load());
    CHECK(r.stats().stored == kCapacity);
    check_drains(r, f, kCapacity);
  }
}

// Single thread: after stop() every put is refused, even on a ring that
// would otherwise wait (block_on_full) or drop (overwrite), and nothing it
// held is lost.
void test_stopped_ring_refuses_puts() {
  struct Case {
    bool block_on_full, overwrite;
  };
  constexpr Case kCases[] = {{false, false}, {true, false}, {false, true}};
  for (const Case &c : kCases) {
    for (const Format f : kFormats) {
      testkit::Watchdog watchdog(std::string("stopped ") + name(f) + " ring", 30);
      Ring r(make_config(c.block_on_full, c.overwrite));
      fill_ring(r, f, kCapacity);  // full: the next put would wait or drop
      r.stop();
      CHECK(r.stopped());
      std::vector<char> extra;
      fill(extra, kCapacity, kLen);
      CHECK(put(r, f, extra) == kStopped);
      CHECK(try_put(r, f, extra) == kStopped);
      const Stats st = r.stats();
      CHECK(st.stored == kCapacity && st.dropped == 0);
      check_drains(r, f, kCapacity);
      CHECK(put(r, f, extra) == kStopped);  // and still after draining
    }
  }
}

}  // namespace

int main() {
  test_stop_wakes_consumer();
  test_stop_wakes_blocked_producer();
  test_stopped_ring_refuses_puts();
  std::printf("ring_stop_test: all cases passed\n");
  return 0;
}
