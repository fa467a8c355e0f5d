#include "native_thread.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // std::min, std::max and numeric_limits<>::max stay usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // no winsock.h, which would clash with winsock2.h
#endif
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <cerrno>
#include <new>

namespace vestrel::platform {

namespace {

struct Start {
  void (*body)(void *);
  void *arg;
};

#ifdef _WIN32
unsigned __stdcall trampoline(void *p) {
#else
void *trampoline(void *p) {
#endif
  Start s = *static_cast<Start *>(p);
  delete static_cast<Start *>(p);
  s.body(s.arg);
  return 0;
}

}  // namespace

int start_thread(void (*body)(void *), void *arg, NativeThread &out) noexcept {
  out = {};
  Start *s = new (std::nothrow) Start{body, arg};
#ifdef _WIN32
  if (!s) return ERROR_NOT_ENOUGH_MEMORY;
  unsigned id = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, trampoline, s, 0, &id);
  if (h == 0) {
    delete s;
    return static_cast<int>(GetLastError());
  }
  out = {static_cast<std::uint64_t>(h), id};
#else
  if (!s) return ENOMEM;
  pthread_t t;
  if (int err = pthread_create(&t, nullptr, trampoline, s)) {
    delete s;
    return err;
  }
  static_assert(sizeof(pthread_t) <= sizeof(std::uint64_t));
  out = {static_cast<std::uint64_t>(t), 0};
#endif
  return 0;
}

void detach_thread(NativeThread &out) noexcept {
  if (out.handle == 0) return;
#ifdef _WIN32
  CloseHandle(reinterpret_cast<HANDLE>(out.handle));
#else
  pthread_detach(static_cast<pthread_t>(out.handle));
#endif
  out = {};
}

}  // namespace vestrel::platform
