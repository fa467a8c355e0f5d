// Start-up and clean-up of the platform socket library.
//
// Winsock must be started in a process before its first socket call and
// stopped once per start-up. POSIX has nothing to start: there the calls only
// count themselves, so tests can watch when they happen.
#pragma once

namespace vestrel::platform {

// Starts the socket library (Winsock 2.2); returns its status code, 0 on
// success.
int socklib_startup() noexcept;

// Stops the socket library again; the result is of no use to anyone.
void socklib_cleanup() noexcept;

}  // namespace vestrel::platform

#ifndef _WIN32
// What the POSIX stand-in exposes to tests (read through ctypes). Every module
// file that links this layer has its own copy.
extern "C" {
// Number of start-up and clean-up calls so far.
__attribute__((visibility("default"))) extern int vestrel_socklib_startups;
__attribute__((visibility("default"))) extern int vestrel_socklib_cleanups;
// When not -1, each call writes one line, "startup\n" or "cleanup\n", to this
// descriptor: the only way to see a clean-up that runs at process exit.
__attribute__((visibility("default"))) extern int vestrel_socklib_trace_fd;
}
#endif
