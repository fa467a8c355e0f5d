// Cross-thread throughput of the ring: one producer thread, one consumer
// thread, 64-byte and 1 KiB messages, fixed and variable format, a consumer
// that spins on try_take and one that waits in take. Beside it, a plain SPSC
// ring written here without cached indices (each side loads the other's
// index on every operation) doing the same copies, as the yardstick.
//
// Build and run from the repository root (the g++ command is one line):
//   mkdir -p build
//   g++ -O2 -std=c++20 -Isrc/core bench/ring_bench.cpp src/core/ring/spsc_ring.cpp
//       src/core/ring/barrier.cpp src/core/ring/sleep_handshake.cpp -pthread -o build/ring_bench
//   build/ring_bench
// Arguments: [messages per run for 64-byte messages] (1 KiB runs use a fifth).
//
// Each figure is the median of 5 runs. The two threads are pinned to
// different CPUs when two are available. "sleeps" is the consumer's trips
// into the kernel (Ring::stats().consumer_sleeps) in the median run; the
// waiting take should make none while messages keep coming.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

#include "ring/spsc_ring.hpp"

namespace {

using namespace vestrel::ring;

constexpr std::size_t kCapacity = 4096;  // slots, for every ring here
constexpr int kRuns = 5;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// The yardstick: fixed slots laid out like the ring's (8-byte length, then
// the payload), power-of-two capacity, no cached copy of the other index.
class PlainRing {
 public:
  PlainRing(std::size_t slot_size, std::size_t capacity)
      : mask_(capacity - 1),
        stride_(8 + ((slot_size + 7) & ~std::size_t{7})),
        buf_(static_cast<char *>(::operator new (capacity *stride_, std::align_val_t{64}))) {}
  ~PlainRing() { ::operator delete (buf_, std::align_val_t{64}); }

  // Each side loads its own index relaxed (it is the only writer) and the
  // other's with acquire.
  bool try_put(const char *data, std::size_t length) {
    const std::uint64_t t = tail_.load(std::memory_order_relaxed);
    if (t - head_.load(std::memory_order_acquire) > mask_) return false;
    char *s = buf_ + (t & mask_) * stride_;
    const std::uint64_t len = length;
    std::memcpy(s, &len, 8);
    std::memcpy(s + 8, data, length);
    tail_.store(t + 1, std::memory_order_release);
    return true;
  }
  // The front message, or nullptr when empty; pop() frees it.
  const char *front(std::size_t *length) {
    const std::uint64_t h = head_.load(std::memory_order_relaxed);
    if (h == tail_.load(std::memory_order_acquire)) return nullptr;
    const char *s = buf_ + (h & mask_) * stride_;
    std::uint64_t len;
    std::memcpy(&len, s, 8);
    *length = static_cast<std::size_t>(len);
    return s + 8;
  }
  void pop() { head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

 private:
  const std::size_t mask_;
  const std::size_t stride_;
  char *const buf_;
  alignas(64) std::atomic<std::uint64_t> tail_{0};
  alignas(64) std::atomic<std::uint64_t> head_{0};
};

enum class Kind { kPlain, kFixed, kVar };
enum class Consumer { kSpin, kWait };

struct Row {
  Kind kind;
  Consumer consumer;
  std::size_t size;
};

struct Result {
  double rate;  // messages per second
  std::uint64_t consumer_sleeps;
};

std::vector<int> allowed_cpus() {
  std::vector<int> cpus;
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    for (int i = 0; i < CPU_SETSIZE; ++i)
      if (CPU_ISSET(i, &set)) cpus.push_back(i);
#endif
  return cpus;
}

void pin(std::thread &t, int cpu) {
#if defined(__linux__)
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(t.native_handle(), sizeof set, &set);
#else
  (void)t;
  (void)cpu;
#endif
}

// Every message carries its sequence number in its first 8 bytes; the
// consumer copies each message out and checks the number, so a broken ring
// cannot post a good figure.
[[noreturn]] void out_of_order(std::uint64_t got, std::uint64_t want) {
  std::fprintf(stderr, "message %llu arrived where %llu was due\n",
               static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
  std::exit(1);
}

Result run_once(const Row &row, std::uint64_t n, int producer_cpu, int consumer_cpu) {
  Config cfg;
  cfg.slot_size = row.size;
  cfg.capacity = kCapacity;
  Ring ring(cfg);
  PlainRing plain(row.size, kCapacity);
  const bool var = row.kind == Kind::kVar;
  std::atomic<bool> go{false};

  std::thread producer([&] {
    std::vector<char> msg(row.size, 'x');
    while (!go.load(std::memory_order_acquire)) cpu_relax();
    for (std::uint64_t seq = 0; seq < n; ++seq) {
      std::memcpy(msg.data(), &seq, 8);
      if (row.kind == Kind::kPlain) {
        while (!plain.try_put(msg.data(), msg.size())) cpu_relax();
      } else if (var) {
        while (ring.try_put_var(msg.data(), msg.size()) != kStored) cpu_relax();
      } else {
        while (ring.try_put(msg.data(), msg.size()) != kStored) cpu_relax();
      }
    }
  });
  std::thread consumer([&] {
    std::vector<char> out(row.size);
    while (!go.load(std::memory_order_acquire)) cpu_relax();
    for (std::uint64_t seq = 0; seq < n; ++seq) {
      const char *data = nullptr;
      std::size_t len = 0;
      if (row.kind == Kind::kPlain) {
        while ((data = plain.front(&len)) == nullptr) cpu_relax();
      } else if (row.consumer == Consumer::kSpin) {
        while ((var ? ring.try_take_var(&data, &len) : ring.try_take(&data, &len)) != kTaken)
          cpu_relax();
      } else {
        const int r = var ? ring.take_var(&data, &len) : ring.take(&data, &len);
        if (r != kTaken) {
          std::fprintf(stderr, "take returned %d\n", r);
          std::exit(1);
        }
      }
      std::memcpy(out.data(), data, len);
      if (row.kind == Kind::kPlain) plain.pop();
      std::uint64_t got;
      std::memcpy(&got, out.data(), 8);
      if (got != seq || len != row.size) out_of_order(got, seq);
    }
    if (row.kind != Kind::kPlain) ring.release();
  });
  pin(producer, producer_cpu);
  pin(consumer, consumer_cpu);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // both threads parked on `go`

  const auto start = std::chrono::steady_clock::now();
  go.store(true, std::memory_order_release);
  producer.join();
  consumer.join();
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return Result{static_cast<double>(n) / secs, ring.stats().consumer_sleeps};
}

const char *kind_name(Kind k) {
  switch (k) {
    case Kind::kPlain:
      return "plain ring (no index caches)";
    case Kind::kFixed:
      return "ring, fixed slots";
    case Kind::kVar:
      return "ring, variable records";
  }
  return "";
}

}  // namespace

int main(int argc, char **argv) {
  std::uint64_t n64 = 10'000'000;
  if (argc > 1) n64 = std::strtoull(argv[1], nullptr, 10);
  if (n64 == 0) {
    std::fprintf(stderr, "usage: ring_bench [messages per 64-byte run]\n");
    return 2;
  }

  const std::vector<int> cpus = allowed_cpus();
  const int producer_cpu = cpus.size() >= 2 ? cpus[0] : -1;
  const int consumer_cpu = cpus.size() >= 2 ? cpus[1] : -1;
  if (producer_cpu >= 0)
    std::printf("producer on CPU %d, consumer on CPU %d; ", producer_cpu, consumer_cpu);
  else
    std::printf("fewer than 2 CPUs: threads not pinned; ");
  std::printf("%zu slots of the message size; median of %d runs\n\n", kCapacity, kRuns);

  const Row rows[] = {
      {Kind::kPlain, Consumer::kSpin, 64},   {Kind::kFixed, Consumer::kSpin, 64},
      {Kind::kFixed, Consumer::kWait, 64},   {Kind::kVar, Consumer::kSpin, 64},
      {Kind::kVar, Consumer::kWait, 64},     {Kind::kPlain, Consumer::kSpin, 1024},
      {Kind::kFixed, Consumer::kSpin, 1024}, {Kind::kFixed, Consumer::kWait, 1024},
      {Kind::kVar, Consumer::kSpin, 1024},   {Kind::kVar, Consumer::kWait, 1024},
  };
  // Round-robin over the rows, so a slow spell on a shared machine lands on
  // several rows instead of skewing one.
  constexpr std::size_t kRows = sizeof rows / sizeof rows[0];
  std::vector<Result> results[kRows];
  for (int run = 0; run < kRuns; ++run)
    for (std::size_t i = 0; i < kRows; ++i) {
      const std::uint64_t n = rows[i].size == 64 ? n64 : std::max<std::uint64_t>(n64 / 5, 1);
      results[i].push_back(run_once(rows[i], n, producer_cpu, consumer_cpu));
    }

  std::printf("%-30s %-21s %5s %9s %8s %13s %8s %7s\n", "ring", "consumer", "bytes", "messages",
              "Mmsg/s", "(min-max)", "vs plain", "sleeps");
  double plain_rate = 0;
  for (std::size_t i = 0; i < kRows; ++i) {
    const Row &row = rows[i];
    std::vector<Result> &r = results[i];
    std::sort(r.begin(), r.end(), [](const Result &a, const Result &b) { return a.rate < b.rate; });
    const Result &median = r[kRuns / 2];
    if (row.kind == Kind::kPlain) plain_rate = median.rate;
    const bool var = row.kind == Kind::kVar;
    const char *consumer = row.kind == Kind::kPlain ? "spin on front"
                           : row.consumer == Consumer::kSpin
                               ? (var ? "spin on try_take_var" : "spin on try_take")
                           : var ? "take_var (waits)"
                                 : "take (waits)";
    char range[32], sleeps[32] = "-";
    std::snprintf(range, sizeof range, "(%.1f-%.1f)", r.front().rate / 1e6, r.back().rate / 1e6);
    if (row.consumer == Consumer::kWait)
      std::snprintf(sleeps, sizeof sleeps, "%llu",
                    static_cast<unsigned long long>(median.consumer_sleeps));
    const std::uint64_t n = row.size == 64 ? n64 : std::max<std::uint64_t>(n64 / 5, 1);
    std::printf("%-30s %-21s %5zu %9llu %8.2f %13s %7.2fx %7s\n", kind_name(row.kind), consumer,
                row.size, static_cast<unsigned long long>(n), median.rate / 1e6, range,
                median.rate / plain_rate, sleeps);
  }
  return 0;
}
