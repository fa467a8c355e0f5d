#include "exit_unwind.hpp"

#ifdef _WIN32
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
