// Sleeping on a 32-bit word until another thread changes it: the kernel's
// futex on Linux, WaitOnAddress on Windows, std::atomic::wait elsewhere.
// Only the ring's slow paths call these.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // std::min, std::max and numeric_limits<>::max stay usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // no winsock.h, which would clash with winsock2.h
#endif
#include <windows.h>
#endif

namespace vestrel::ring {

// Returns when *word != expected, on a wake, or spuriously.
inline void futex_wait(std::atomic<std::uint32_t> &word, std::uint32_t expected) noexcept {
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), FUTEX_WAIT_PRIVATE, expected,
          nullptr, nullptr, 0);
#elif defined(_WIN32)
  WaitOnAddress(&word, &expected, sizeof expected, INFINITE);
#else
  word.wait(expected, std::memory_order_acquire);
#endif
}

inline void futex_wake(std::atomic<std::uint32_t> &word, bool all) noexcept {
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), FUTEX_WAKE_PRIVATE,
          all ? 0x7fffffff : 1, nullptr, nullptr, 0);
#elif defined(_WIN32)
  if (all)
    WakeByAddressAll(&word);
  else
    WakeByAddressSingle(&word);
#else
  if (all)
    word.notify_all();
  else
    word.notify_one();
#endif
}

}  // namespace vestrel::ring
