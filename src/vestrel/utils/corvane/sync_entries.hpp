// SyncDispatcher's table entries on the consumer side: setup, the reader
// loops, the single takes and close.
#pragma once

#include "vestrel/corvane.h"

namespace vestrel::corvane::sync {

void setup(VestrelSyncDispatcher *self, int override_flag, VestrelSetupOptArgs *opt) noexcept;
void try_pop(VestrelSyncDispatcher *self, int override_flag) noexcept;
void try_pop_var(VestrelSyncDispatcher *self, int override_flag) noexcept;
PyObject *take_one(VestrelSyncDispatcher *self) noexcept;
PyObject *take_one_var(VestrelSyncDispatcher *self) noexcept;
void close(VestrelSyncDispatcher *self, int override_flag) noexcept;

// close's own body: retracts the wake target and wakes the reader, which
// ends once the ring is empty.
void stop_reader(VestrelSyncDispatcher *self) noexcept;

}  // namespace vestrel::corvane::sync
