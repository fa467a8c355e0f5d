// What a thread does when the interpreter ends it while our code is on its
// stack.
//
// On 3.9 to 3.13 a thread that takes the GIL back once finalization has
// begun is ended with pthread_exit, which glibc carries out as a forced
// unwind (abi::__forced_unwind) through every frame on the stack. A noexcept
// frame turns it into std::terminate, a catch (...) that does not rethrow
// into "exception not rethrown", and the thread no longer holds the GIL, so
// any destructor on the way that drops a reference corrupts memory. So the
// unwind is caught in our frame nearest to the call into Python (nothing of
// ours is destroyed before it) and the thread is parked for good: the
// process is exiting, and 3.14 parks such threads itself.
//
// Every call of ours that can take the GIL back goes through into_python:
// the GIL re-takes, and calls that run Python code (callbacks, awaitables,
// methods of Python classes).
#pragma once

#include <exception>

namespace vestrel::pyrt {

// Blocks the calling thread until the process ends.
[[noreturn]] void park_thread() noexcept;

// In a catch handler: whether what was caught is a forced unwind. It is the
// only foreign exception there is here, and current_exception() has none to
// give for a foreign one (binding a reference to it would bind to null).
inline bool caught_forced_unwind() noexcept {
  return !std::current_exception();
}

// Runs `f`, a call into the C API that may take the GIL back: it must
// create nothing with a destructor and throw no C++ exception (the C API
// throws none). A forced unwind out of it parks the thread.
template <class F>
inline auto into_python(F &&f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    if (caught_forced_unwind()) park_thread();
    std::terminate();  // nothing else can leave the C API
  }
}

}  // namespace vestrel::pyrt
