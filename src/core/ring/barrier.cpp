#include "ring/barrier.hpp"

#if defined(__linux__)
#include <linux/membarrier.h>
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

namespace vestrel::ring::barrier {

std::atomic<bool> asymmetric{false};

namespace {

#if defined(__linux__)
long membarrier(int cmd) noexcept {
  return syscall(__NR_membarrier, cmd, 0, 0);
}
#endif

bool choose() noexcept {
#if defined(__linux__)
  const long cmds = membarrier(MEMBARRIER_CMD_QUERY);
  return cmds >= 0 && (cmds & MEMBARRIER_CMD_PRIVATE_EXPEDITED) &&
         membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
#elif defined(_WIN32)
  // Wine's FlushProcessWriteBuffers does nothing (a stub in 8.0): there the
  // hot side's compiler barrier would leave the handshake unfenced, so Wine
  // gets full fences on both sides. Its ntdll names itself by this export.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return !(ntdll && GetProcAddress(ntdll, "wine_get_version"));
#else
  return false;
#endif
}

}  // namespace

void init() noexcept {
  static const bool chosen = [] {
    const bool a = choose();
    asymmetric.store(a, std::memory_order_seq_cst);
    return a;
  }();
  (void)chosen;
}

void heavy() noexcept {
  // Relaxed: see light().
  if (!asymmetric.load(std::memory_order_relaxed)) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return;
  }
#if defined(__linux__)
  // Registered in init(), so this cannot fail with EPERM; any other failure
  // would break the handshake, so fall back to the full fence on both sides.
  if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) {
    asymmetric.store(false, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
#elif defined(_WIN32)
  FlushProcessWriteBuffers();
#endif
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

}  // namespace vestrel::ring::barrier
