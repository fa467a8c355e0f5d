#include "ring/sleep_handshake.hpp"

#include "ring/futex.hpp"

namespace vestrel::ring {

void SleepHandshake::sleep_on(std::uint32_t seen) noexcept {
  futex_wait(seq_, seen);
}

void SleepHandshake::wake(bool all) noexcept {
  futex_wake(seq_, all);
}

}  // namespace vestrel::ring
