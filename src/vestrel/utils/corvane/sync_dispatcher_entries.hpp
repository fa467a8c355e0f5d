// SyncDispatcher's table entries.
#pragma once

#include "vestrel/corvane.h"
#include "wake_target.hpp"

namespace vestrel::corvane::sync {

using Self = VestrelSyncDispatcher;

void setup(Self *self, int override_flag, VestrelSetupOptArgs *opt) noexcept;
inline constexpr auto push = push_and_wake<Self, &VestrelSPSCQueue_VTable::try_put>;
inline constexpr auto push_var = push_and_wake<Self, &VestrelSPSCQueue_VTable::try_put_var>;
inline constexpr auto try_push = try_push_and_wake<Self, &VestrelSPSCQueue_VTable::try_put>;
inline constexpr auto try_push_var = try_push_and_wake<Self, &VestrelSPSCQueue_VTable::try_put_var>;
// `_try_pop` and `_try_pop_var`: the reader loops, the body of the reader
// thread that setup starts.
void reader(Self *self, int override_flag) noexcept;
void reader_var(Self *self, int override_flag) noexcept;
// `__try_pop` and `__try_pop_var`: one take.
PyObject *take_one(Self *self) noexcept;
PyObject *take_one_var(Self *self) noexcept;
void close(Self *self, int override_flag) noexcept;

// close's own body: retracts the wake target and wakes the reader, which
// ends once the ring is empty.
void stop_reader(Self *self) noexcept;

}  // namespace vestrel::corvane::sync
