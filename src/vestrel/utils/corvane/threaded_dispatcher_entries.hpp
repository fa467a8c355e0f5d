// ThreadedDispatcher's table entries.
#pragma once

#include <cstddef>

#include "vestrel/corvane.h"

namespace vestrel::corvane::threaded {

using Self = VestrelThreadedDispatcher;

int push(Self *self, const char *data, std::size_t length) noexcept;
int push_var(Self *self, const char *data, std::size_t length) noexcept;
int try_push(Self *self, const char *data, std::size_t length) noexcept;
int try_push_var(Self *self, const char *data, std::size_t length) noexcept;
// Run on the reader thread that setup starts; they return at once anywhere
// else. They never dereference `self`: the dispatcher may be gone.
void reader(Self *self) noexcept;
void reader_var(Self *self) noexcept;
void setup(Self *self, int override_flag) noexcept;
void close(Self *self, int override_flag) noexcept;

}  // namespace vestrel::corvane::threaded
