// AsyncDispatcher's table entries and the bodies of its Python methods.
#pragma once

#include <Python.h>

#include "pyrt/args.hpp"
#include "pyrt/ref.hpp"
#include "vestrel/corvane.h"
#include "wake_target.hpp"

namespace vestrel::corvane::async {

using Self = VestrelAsyncDispatcher;

void setup(Self *self, int override_flag, VestrelSetupOptArgs *opt) noexcept;
inline constexpr auto push = push_and_wake<Self, &VestrelSPSCQueue_VTable::try_put>;
inline constexpr auto push_var = push_and_wake<Self, &VestrelSPSCQueue_VTable::try_put_var>;
inline constexpr auto try_push = try_push_and_wake<Self, &VestrelSPSCQueue_VTable::try_put>;
inline constexpr auto try_push_var = try_push_and_wake<Self, &VestrelSPSCQueue_VTable::try_put_var>;
PyObject *take_one(Self *self) noexcept;
PyObject *take_one_var(Self *self) noexcept;

// Python-visible bodies: `_reader(loop, sock)` makes the coroutine; `close()`.
pyrt::Ref reader(PyObject *self, pyrt::BoundArgs &args);
pyrt::Ref close(PyObject *self, pyrt::BoundArgs &args);

// Makes the functions close schedules on the loop; exec step only.
void make_close_functions();

}  // namespace vestrel::corvane::async
