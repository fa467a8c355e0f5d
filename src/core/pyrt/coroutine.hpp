// Coroutine bodies written as C++20 coroutines, driven from Python through one
// coroutine type that behaves as the interpreter's native coroutines do.
//
// A body returns `Co` and suspends only in `co_await Await(obj)` on a Python
// awaitable. That await delegates to the object's __await__ iterator exactly
// as `yield from` does: what the iterator yields goes up to whoever drives
// the coroutine (an asyncio task), send/throw/close go down to it, and its
// return value resumes the body. A delegate that finishes on its first step
// never suspends the body, so fast paths stay fast.
//
// Errors: inside a body they travel as PyErrSet with the Python error
// indicator set, as everywhere else in pyrt. A catch block that has to await
// something (C++ forbids co_await inside a handler) takes the error out with
// PendingError, awaits after the handler, then rethrows.
#pragma once

#include <Python.h>

#include <coroutine>
#include <cstddef>
#include <initializer_list>
#include <utility>

#include "await.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace vestrel::pyrt {

struct CoPromise;

// The arguments a body reads. The coroutine object owns them and outlives
// the body's frame, so the body may hold these pointers across awaits.
inline constexpr std::size_t kMaxCoArgs = 3;
struct CoArgs {
  PyObject *self = nullptr;
  PyObject *arg[kMaxCoArgs] = {};
};

class Co {
 public:
  using promise_type = CoPromise;
  explicit Co(std::coroutine_handle<CoPromise> h) noexcept : h_(h) {}
  Co(Co &&o) noexcept : h_(std::exchange(o.h_, {})) {}
  Co(const Co &) = delete;
  Co &operator=(const Co &) = delete;
  ~Co() {
    if (h_) h_.destroy();
  }
  std::coroutine_handle<CoPromise> release() noexcept { return std::exchange(h_, {}); }

 private:
  std::coroutine_handle<CoPromise> h_;
};

struct CoPromise {
  PyObject *owner = nullptr;       // the coroutine object driving this body
  std::coroutine_handle<> parent;  // the body awaiting this one, if any
  Ref result;
  bool failed = false;  // the body ended with the error indicator set

  Co get_return_object() noexcept {
    return Co(std::coroutine_handle<CoPromise>::from_promise(*this));
  }
  std::suspend_always initial_suspend() noexcept { return {}; }
  // A nested body hands control straight back to the one awaiting it.
  struct Final {
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<CoPromise> h) noexcept {
      std::coroutine_handle<> parent = h.promise().parent;
      return parent ? parent : std::noop_coroutine();
    }
    void await_resume() const noexcept {}
  };
  Final final_suspend() noexcept { return {}; }
  void return_value(Ref v) noexcept { result = std::move(v); }
  void unhandled_exception() noexcept {
    set_error_from_current_exception();
    failed = true;
  }
  // Frames are small and made and freed with the GIL held: pymalloc is the
  // fastest allocator there is for them.
  static void *operator new(std::size_t n);
  static void operator delete(void *p, std::size_t n) noexcept;
};

// `co_await body(...)` inside another body runs it as part of the same
// coroutine (no Python object in between); its result or error comes back.
struct CoAwait {
  Co co;
  std::coroutine_handle<CoPromise> h;
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<CoPromise> parent) noexcept {
    h.promise().owner = parent.promise().owner;
    h.promise().parent = parent;
    return h;
  }
  Ref await_resume() {
    if (h.promise().failed) throw_set();
    return std::move(h.promise().result);
  }
};
inline CoAwait operator co_await(Co &&co) noexcept {
  auto h = co.release();
  return CoAwait{Co(h), h};
}

// A new coroutine object of `function` (one of our function objects), which
// runs `body` on `args` (at most kMaxCoArgs) when driven. Takes new
// references to the arguments.
using CoBody = Co (*)(const CoArgs &);
Ref make_coroutine(PyObject *function, PyObject *self, std::initializer_list<PyObject *> args,
                   CoBody body);

// Readies the coroutine types and registers them with
// collections.abc.Coroutine; call from a module's exec step.
void ready_coroutine_type();

bool is_coroutine(PyObject *o) noexcept;

}  // namespace vestrel::pyrt
