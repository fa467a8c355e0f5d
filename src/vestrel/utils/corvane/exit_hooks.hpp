// What the bridge does when the interpreter exits.
//
// Before non-daemon threads are joined (threading's own exit hooks), every
// running SyncDispatcher reader is closed: a non-daemon one delivers what
// the ring holds and ends, so exit never waits for a reader nobody closed.
// Then, as an atexit hook (before finalization begins), `exiting` is set:
// readers deliver nothing more and setup starts none; every reader is
// closed or its ring stopped, and exit waits up to kExitWait for readers to
// leave our code. A reader still inside a callback after that is parked when
// it takes the GIL back (exit_unwind.hpp).
#pragma once

#include <atomic>
#include <chrono>

#include "vestrel/corvane.h"

namespace vestrel::corvane::at_exit {

// How long exit waits for readers that are still delivering.
inline constexpr std::chrono::seconds kExitWait{1};

// Set by the atexit hook; read seq_cst where a reader pairs it with a flag of
// its own (ThreadedDispatcher's readers), relaxed elsewhere.
extern std::atomic<bool> exiting;

// Registers the hooks; the module's exec step calls it (GIL held).
void install();

// A SyncDispatcher reader from its first pass until it returns (GIL held):
// exit closes it and waits for it. False when the interpreter is already
// exiting: the reader must return at once.
bool sync_reader_started(VestrelSyncDispatcher *self);
void sync_reader_ended(VestrelSyncDispatcher *self) noexcept;

}  // namespace vestrel::corvane::at_exit
