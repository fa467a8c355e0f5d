#include "exit_unwind.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // std::min, std::max and numeric_limits<>::max stay usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // no winsock.h, which would clash with winsock2.h
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vestrel::pyrt {

void park_thread() noexcept {
  for (;;) {
#ifdef _WIN32
    Sleep(INFINITE);
#else
    pause();  // returns only after a signal handler ran on this thread
#endif
  }
}

}  // namespace vestrel::pyrt
