// The idle-wake handshake of AsyncDispatcher and SyncDispatcher under load:
// a producer that sends a "datagram" only when wake_wanted() says so, and a
// reader that announces before it waits and waits only for a datagram. A
// message the reader could miss would leave it waiting with the ring full of
// work: the reader's wait has a deadline, and running into it is the fault.
//
// The datagrams are a counting semaphore here (a socket queues them the same
// way). The producer pushes in bursts with pauses, so the reader runs dry and
// waits thousands of times, and sometimes retries a full ring, so the other
// side of the race is covered too.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "../../src/vestrel/utils/corvane/idle_wake.hpp"
#include "ring/barrier.hpp"
#include "ring/spsc_ring.hpp"
#include "testkit.hpp"

namespace {

using vestrel::corvane::announce_wait;
using vestrel::corvane::IdleWake;
using vestrel::corvane::wake_wanted;
using vestrel::corvane::withdraw_wait;
using vestrel::ring::Config;
using vestrel::ring::Ring;

// What a queued wake datagram amounts to: a count and a wait with a deadline.
class Datagrams {
 public:
  void send() {
    {
      std::lock_guard lock(mu_);
      ++queued_;
      ++sent_;
    }
    cv_.notify_one();
  }
  // False when none came within `deadline`.
  bool receive(std::chrono::milliseconds deadline) {
    std::unique_lock lock(mu_);
    if (!cv_.wait_for(lock, deadline, [this] { return queued_ > 0; })) return false;
    --queued_;
    return true;
  }
  std::uint64_t sent() {
    std::lock_guard lock(mu_);
    return sent_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::uint64_t queued_ = 0, sent_ = 0;
};

struct Run {
  Ring ring{Config{.slot_size = 16, .capacity = 64}};
  IdleWake idle{.enabled = true};
  Datagrams datagrams;
  std::uint64_t announced = 0;
  std::atomic<std::uint64_t> taken{0};  // by the reader, watched by the producer
};

void produce(Run &r, std::uint64_t count) {
  std::vector<char> buf;
  for (std::uint64_t seq = 0; seq < count; ++seq) {
    testkit::fill(buf, seq, 16);
    while (r.ring.try_put(buf.data(), 16) != vestrel::ring::kStored) std::this_thread::yield();
    if (wake_wanted(r.idle)) r.datagrams.send();
    // Bursts: now and then the producer stops until the reader has taken
    // everything, with nothing more pushed: a message the reader could be
    // waiting beside (its wake never sent) shows here, not only at the end.
    if (seq % 97 == 96) {
      testkit::wait_until(
          "the reader to take a burst without another push",
          [&] { return r.taken.load(std::memory_order_acquire) == seq + 1; }, 20);
      std::this_thread::sleep_for(std::chrono::microseconds(20));  // let it go to wait
    }
  }
}

bool take_one(Run &r, std::uint64_t &next) {
  const char *data = nullptr;
  std::size_t length = 0;
  if (r.ring.try_take(&data, &length) != vestrel::ring::kTaken) return false;
  CHECK_MSG(length == 16 && testkit::seq_of(data) == next, "got %llu, expected %llu",
            static_cast<unsigned long long>(testkit::seq_of(data)),
            static_cast<unsigned long long>(next));
  r.ring.release();
  r.taken.store(++next, std::memory_order_release);
  return true;
}

void consume(Run &r, std::uint64_t count) {
  std::uint64_t next = 0;
  while (next < count) {
    if (take_one(r, next)) continue;
    ++r.announced;
    announce_wait(r.idle);
    if (take_one(r, next)) {
      withdraw_wait(r.idle);
      continue;
    }
    // Nothing there after the announcement: only a datagram may end the
    // wait. Messages still to come must each be preceded by one.
    CHECK_MSG(r.datagrams.receive(std::chrono::seconds(20)),
              "stranded: waiting for a wake with %llu of %llu messages taken",
              static_cast<unsigned long long>(next), static_cast<unsigned long long>(count));
  }
}

}  // namespace

int main() {
  vestrel::ring::barrier::init();
  const std::uint64_t count = testkit::message_count(2'000'000, 200'000);
  testkit::Watchdog watchdog("idle wakes", testkit::kTsan ? 280 : 120);
  Run r;
  const auto start = std::chrono::steady_clock::now();
  std::thread reader(consume, std::ref(r), count);
  std::thread producer(produce, std::ref(r), count);
  producer.join();
  reader.join();
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // At most one datagram per announcement, a withdrawn one included.
  CHECK_MSG(r.datagrams.sent() <= r.announced, "%llu datagrams for %llu announced waits",
            static_cast<unsigned long long>(r.datagrams.sent()),
            static_cast<unsigned long long>(r.announced));
  CHECK(r.announced > 0);
  std::printf("idle wakes: %llu messages, %llu announced waits, %llu datagrams, %.1f s\n",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(r.announced),
              static_cast<unsigned long long>(r.datagrams.sent()), secs);
  return 0;
}
