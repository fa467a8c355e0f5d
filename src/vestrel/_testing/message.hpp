// The test producers' message format, shared by vestrel._testing and the
// benchmark's native peers so that both do the same work per message.
//
// bytes 0..7: sequence number, 8..15: steady-clock time in ns when the
// message was made (both native byte order); byte i >= 16: (seq * 7 + i) mod
// 256.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vestrel::testing {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kHeader = 16;

inline std::uint64_t now() noexcept {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count());
}

inline unsigned char pattern(std::uint64_t seq, std::size_t i) noexcept {
  return static_cast<unsigned char>(seq * 7 + i);
}

// Writes message `seq` of `length` bytes (at least kHeader) into `buf`.
inline void fill(char *buf, std::uint64_t seq, std::size_t length) noexcept {
  for (std::size_t i = kHeader; i < length; ++i) buf[i] = static_cast<char>(pattern(seq, i));
  std::memcpy(buf, &seq, 8);
  const std::uint64_t t = now();
  std::memcpy(buf + 8, &t, 8);
}

}  // namespace vestrel::testing
