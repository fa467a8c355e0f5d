// The native reader threads of ThreadedDispatcher: their start, the record
// each owns apart from its dispatcher, their way into Python, and their stop
// before the interpreter finalizes.
#pragma once

#include <Python.h>

#include <chrono>

#include "vestrel/corvane.h"
#include "vestrel/spsc_queue.h"

namespace vestrel::corvane::threaded {

struct ReaderThread;

// Starts a detached reader for `self` that runs `entry` (GIL held). Throws
// pyrt::PyErrSet with RuntimeError when a reader of `self` still runs, when
// the interpreter is shutting down or when no thread can be started.
void start_reader(VestrelThreadedDispatcher *self, VestrelThreadedDispatcher_ReaderFn entry);

// The record of the reader thread calling this; null on any other thread
// (a reader entry called from elsewhere has nothing to read).
ReaderThread *current_reader() noexcept;

// The ring the reader drains; its record keeps the queue object alive.
VestrelSPSCQueue *ring_of(ReaderThread &r) noexcept;

// Takes the GIL for the reader with its own thread state; false once the
// interpreter is about to finalize (the reader must end without it).
bool enter_python(ReaderThread &r) noexcept;
void leave_python(ReaderThread &r) noexcept;

// The dispatcher the reader delivers for (GIL held); null once it is gone.
VestrelThreadedDispatcher *owner_of(ReaderThread &r) noexcept;

// At exit, once `at_exit::exiting` is set (GIL held): stops every reader's
// ring. Readers enter Python no more.
void stop_all_for_exit() noexcept;

// Waits, without the GIL, until no reader is inside Python or `deadline`.
void wait_all_for_exit(std::chrono::steady_clock::time_point deadline) noexcept;

// The dispatcher is going away (GIL held): its readers stop delivering.
void forget_dispatcher(VestrelThreadedDispatcher *self) noexcept;

}  // namespace vestrel::corvane::threaded
