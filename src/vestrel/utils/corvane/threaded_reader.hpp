// The native reader threads of ThreadedDispatcher: their start, their loop,
// their lifetime apart from the dispatcher, and their stop before the
// interpreter finalizes.
#pragma once

#include <chrono>

#include "vestrel/corvane.h"

namespace vestrel::corvane::threaded {

// Starts a detached reader for `self` that runs `entry` (GIL held). Throws
// pyrt::PyErrSet with RuntimeError when a reader of `self` still runs, when
// the interpreter is shutting down or when no thread can be started.
void start_reader(VestrelThreadedDispatcher *self, VestrelThreadedDispatcher_ReaderFn entry);

// The `_reader` and `_reader_var` table entries. They work on the reader
// thread that setup started (which owns what they use) and return at once
// anywhere else. They never dereference `self`: the dispatcher may be gone.
void reader(VestrelThreadedDispatcher *self) noexcept;
void reader_var(VestrelThreadedDispatcher *self) noexcept;

// At exit, once `at_exit::exiting` is set (GIL held): stops every reader's
// ring. Readers enter Python no more.
void stop_all_for_exit() noexcept;

// Waits, without the GIL, until no reader is inside Python or `deadline`.
void wait_all_for_exit(std::chrono::steady_clock::time_point deadline) noexcept;

// The dispatcher is going away (GIL held): its readers stop delivering.
void forget_dispatcher(VestrelThreadedDispatcher *self) noexcept;

}  // namespace vestrel::corvane::threaded
