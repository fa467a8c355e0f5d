// Small helpers shared by the ring's native tests: a CHECK that stops the
// process at the first fault, a watchdog so no wait can hang CI, and the
// message encoding that lets a consumer verify what it receives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define VESTREL_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VESTREL_TEST_TSAN 1
#endif
#endif
#ifndef VESTREL_TEST_TSAN
#define VESTREL_TEST_TSAN 0
#endif

namespace testkit {

inline constexpr bool kTsan = VESTREL_TEST_TSAN != 0;

// _Exit rather than exit: other threads may still be running, and their
// state must not be torn down under them.
[[noreturn]] inline void fail(const char *file, int line, const std::string &what) {
  std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", file, line, what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

#define CHECK(cond)                                          \
  do {                                                       \
    if (!(cond)) ::testkit::fail(__FILE__, __LINE__, #cond); \
  } while (0)

// CHECK_MSG(cond, fmt, ...): adds the values that explain the fault.
#define CHECK_MSG(cond, ...)                                                             \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      char check_msg_[512];                                                              \
      std::snprintf(check_msg_, sizeof check_msg_, __VA_ARGS__);                         \
      ::testkit::fail(__FILE__, __LINE__, std::string(#cond) + " (" + check_msg_ + ")"); \
    }                                                                                    \
  } while (0)

// Fails the whole program if the scope it guards is still running after
// `seconds`: a lost wake-up shows as a failure with a name, not a CI hang.
class Watchdog {
 public:
  Watchdog(std::string what, int seconds) : what_(std::move(what)) {
    thread_ = std::thread([this, seconds] {
      std::unique_lock<std::mutex> lock(mu_);
      if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
        std::fprintf(stderr, "watchdog: %s still running after %d s\n", what_.c_str(), seconds);
        std::fflush(stderr);
        std::_Exit(1);
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog &) = delete;
  Watchdog &operator=(const Watchdog &) = delete;

 private:
  std::string what_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// Polls `cond` until it holds; fails after `seconds`.
template <class Cond>
void wait_until(const char *what, Cond cond, int seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "timed out after %d s waiting for: %s\n", seconds, what);
      std::fflush(stderr);
      std::_Exit(1);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

inline std::uint64_t mix(std::uint64_t x) {  // splitmix64 finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Message `seq` is the first `length` bytes of the word stream
// seq, f(seq, 1), f(seq, 2), ...: a message of 8 bytes or more names its own
// sequence number, and any byte from the wrong message or a stale lap differs.
// Written word by word so the sanitizer sees few, wide accesses.
inline void fill(std::vector<char> &buf, std::uint64_t seq, std::size_t length) {
  const std::size_t words = (length + 7) / 8;
  if (buf.size() < words * 8) buf.resize(words * 8);
  for (std::size_t i = 0; i < words; ++i) {
    const std::uint64_t w = i == 0 ? seq : seq * 0x9E3779B97F4A7C15ull + i * 0xD1B54A32D192ED03ull;
    std::memcpy(buf.data() + i * 8, &w, 8);
  }
}

inline std::uint64_t seq_of(const char *data) {
  std::uint64_t seq;
  std::memcpy(&seq, data, 8);
  return seq;
}

// Message count for the stress runs: VESTREL_RING_MESSAGES overrides (for a
// long soak); the default keeps a sanitized run within minutes on 2 cores.
inline std::uint64_t message_count(std::uint64_t plain, std::uint64_t tsan) {
  if (const char *env = std::getenv("VESTREL_RING_MESSAGES")) {
    const std::uint64_t n = std::strtoull(env, nullptr, 10);
    if (n > 0) return n;
  }
  return kTsan ? tsan : plain;
}

}  // namespace testkit
