// Native threads that run detached: started, recorded and let go at once.
#pragma once

#include <cstdint>

namespace vestrel::platform {

// The platform handle and thread id, each widened to 64 bits (the layout of
// VestrelNativeThread); all zero is empty.
struct NativeThread {
  std::uint64_t handle;
  std::uint64_t id;
};

// Starts `body(arg)` on a new thread with the default stack size and stores
// it in `out`. Returns 0, or the platform's error code when no thread could
// be made (then `out` stays empty and `body` never runs).
int start_thread(void (*body)(void *), void *arg, NativeThread &out) noexcept;

// Lets the thread run on its own and empties `out`.
void detach_thread(NativeThread &out) noexcept;

}  // namespace vestrel::platform
