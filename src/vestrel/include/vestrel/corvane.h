/* vestrel.utils.corvane.corvane: the message bridge classes as native code
 * sees them.
 *
 * Every instance starts with the object header and a pointer to its class's
 * method table, followed by the fields below in this order. Object fields
 * (PyObject *) hold strong references and are None, never NULL, on a live
 * object. The tables are also exported as the unnamed capsule
 * `__pyx_vtable__` in each class dict; call through the pointer stored in the
 * instance. Slot order and field order are a binary interface.
 *
 * Producers call `push`/`push_var` (or `_push_fn`) from any thread, with or
 * without the GIL, one producer per dispatcher at a time; `try_push` and
 * `try_push_var` (the last two slots of each dispatcher's table) are the same
 * for producers that want the ring's answer. Every other entry needs the GIL;
 * entries returning void report failure as a set Python exception (check
 * PyErr_Occurred), those returning PyObject * as NULL.
 *
 * Backpressure. `push` of AsyncDispatcher and SyncDispatcher reports nothing:
 * a message the ring refuses is only counted (the dispatcher's stats()).
 * `try_push`/`try_push_var` store with the ring's try_put/try_put_var and
 * return its result: VESTREL_RING_STORED (1), VESTREL_RING_FULL (0), or a
 * negative refusal (see vestrel/spsc_queue.h). A stored message is followed
 * by the wake exactly as `push` sends it; a full ring lets the producer
 * retry, back off or count. They never wait, ThreadedDispatcher's included.
 *
 * The `override_flag` argument: 0 lets a Python subclass's method of the same
 * name run instead of the entry's own body, 1 always runs the body.
 */
#ifndef VESTREL_CORVANE_H
#define VESTREL_CORVANE_H

#include <Python.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A native socket handle (SOCKET on Windows, a descriptor elsewhere), widened
 * to 64 bits. All ones means "no socket": nothing is sent. */
typedef uint64_t VestrelPlatformSocket;
#define VESTREL_NO_SOCKET (~(VestrelPlatformSocket)0)

/* The platform's sockaddr_in (16 bytes): family in host order (2 = AF_INET),
 * port and address in network byte order, 8 zero bytes. Declared here so
 * that this header needs no socket headers. */
typedef struct VestrelSockAddrIn {
  uint16_t family;
  uint16_t port;
  uint32_t addr;
  unsigned char zero[8];
} VestrelSockAddrIn;

/* A native thread record: the platform handle (a pthread_t, or a Windows
 * HANDLE) and the thread id (0 where the platform has none apart from the
 * handle), each widened to 64 bits. All zero means empty, which it is except
 * inside ThreadedDispatcher.setup (the reader is detached at once). */
typedef struct VestrelNativeThread {
  uint64_t handle;
  uint64_t id;
} VestrelNativeThread;

struct VestrelAsyncDispatcher;
struct VestrelSyncDispatcher;
struct VestrelDispatcherPrivate;
struct VestrelThreadedDispatcher;
struct VestrelAsyncQueue;

/* Optional arguments of the two `setup(host)` entries: with count 0 the
 * host is "127.0.0.1". */
typedef struct VestrelSetupOptArgs {
  int count;
  PyObject *host;
} VestrelSetupOptArgs;

/* ---------------------------------------------------------- AsyncDispatcher */

typedef void (*VestrelAsyncDispatcher_SetupFn)(struct VestrelAsyncDispatcher *self,
                                               int override_flag, VestrelSetupOptArgs *opt);
typedef void (*VestrelAsyncDispatcher_PushFn)(struct VestrelAsyncDispatcher *self, const char *data,
                                              size_t length);
/* A new reference to a bytes copy of one message, None when the ring is
 * empty, NULL with an exception set. */
typedef PyObject *(*VestrelAsyncDispatcher_PopFn)(struct VestrelAsyncDispatcher *self);

/* The ring's put result (see Backpressure above). */
typedef int (*VestrelAsyncDispatcher_TryPushFn)(struct VestrelAsyncDispatcher *self,
                                                const char *data, size_t length);

struct VestrelAsyncDispatcher_VTable {
  VestrelAsyncDispatcher_SetupFn setup;          /* 0 */
  VestrelAsyncDispatcher_PushFn push;            /* 1 */
  VestrelAsyncDispatcher_PushFn push_var;        /* 2 */
  VestrelAsyncDispatcher_PopFn _try_pop;         /* 3 */
  VestrelAsyncDispatcher_PopFn _try_pop_var;     /* 4 */
  VestrelAsyncDispatcher_TryPushFn try_push;     /* 5 */
  VestrelAsyncDispatcher_TryPushFn try_push_var; /* 6 */
};

typedef struct VestrelAsyncDispatcher {
  PyObject_HEAD struct VestrelAsyncDispatcher_VTable *vtab;
  PyObject *_q; /* SPSCQueue */
  VestrelPlatformSocket _fd;
  VestrelSockAddrIn _addr;
  VestrelAsyncDispatcher_PushFn _push_fn; /* push_var if variable_size, else push */
  VestrelAsyncDispatcher_PopFn _pop_fn;   /* _try_pop_var if variable_size, else _try_pop */
  PyObject *_callback;
  PyObject *_sock;
  PyObject *_task;
  struct VestrelDispatcherPrivate *_private; /* private: what stats() reports */
} VestrelAsyncDispatcher;

/* ----------------------------------------------------------- SyncDispatcher */

typedef void (*VestrelSyncDispatcher_SetupFn)(struct VestrelSyncDispatcher *self, int override_flag,
                                              VestrelSetupOptArgs *opt);
typedef void (*VestrelSyncDispatcher_PushFn)(struct VestrelSyncDispatcher *self, const char *data,
                                             size_t length);
typedef void (*VestrelSyncDispatcher_FlagFn)(struct VestrelSyncDispatcher *self, int override_flag);
typedef PyObject *(*VestrelSyncDispatcher_PopFn)(struct VestrelSyncDispatcher *self);
typedef int (*VestrelSyncDispatcher_TryPushFn)(struct VestrelSyncDispatcher *self, const char *data,
                                               size_t length);

struct VestrelSyncDispatcher_VTable {
  VestrelSyncDispatcher_SetupFn setup;             /* 0 */
  VestrelSyncDispatcher_PushFn push;               /* 1 */
  VestrelSyncDispatcher_PushFn push_var;           /* 2 */
  VestrelSyncDispatcher_FlagFn _try_pop;           /* 3: the reader loop */
  VestrelSyncDispatcher_FlagFn _try_pop_var;       /* 4: the reader loop, variable size */
  VestrelSyncDispatcher_PopFn private_try_pop;     /* 5: `__try_pop`, one take */
  VestrelSyncDispatcher_PopFn private_try_pop_var; /* 6: `__try_pop_var` */
  VestrelSyncDispatcher_FlagFn close;              /* 7 */
  VestrelSyncDispatcher_TryPushFn try_push;        /* 8 */
  VestrelSyncDispatcher_TryPushFn try_push_var;    /* 9 */
};

typedef struct VestrelSyncDispatcher {
  PyObject_HEAD struct VestrelSyncDispatcher_VTable *vtab;
  PyObject *_q;
  VestrelPlatformSocket _fd;
  VestrelSockAddrIn _addr;
  int _daemon;
  int _variable_size;
  VestrelSyncDispatcher_PushFn _push_fn;
  PyObject *_callback;
  PyObject *_sock;
  struct VestrelDispatcherPrivate *_private; /* private: what stats() reports */
} VestrelSyncDispatcher;

/* ------------------------------------------------------- ThreadedDispatcher */

/* Returns the ring's put/put_var result unchanged. */
typedef int (*VestrelThreadedDispatcher_PushFn)(struct VestrelThreadedDispatcher *self,
                                                const char *data, size_t length);
typedef void (*VestrelThreadedDispatcher_ReaderFn)(struct VestrelThreadedDispatcher *self);
typedef void (*VestrelThreadedDispatcher_FlagFn)(struct VestrelThreadedDispatcher *self,
                                                 int override_flag);

struct VestrelThreadedDispatcher_VTable {
  VestrelThreadedDispatcher_PushFn push;     /* 0 */
  VestrelThreadedDispatcher_PushFn push_var; /* 1 */
  /* 2, 3: run on the reader thread that setup starts. The dispatcher may be
   * freed while its reader still runs (the reader owns a reference to the
   * queue, not to the dispatcher), so a replacement entry must not use `self`
   * once it has waited without the GIL. */
  VestrelThreadedDispatcher_ReaderFn _reader;     /* 2: entered without the GIL */
  VestrelThreadedDispatcher_ReaderFn _reader_var; /* 3: entered without the GIL */
  VestrelThreadedDispatcher_FlagFn setup;         /* 4 */
  VestrelThreadedDispatcher_FlagFn close;         /* 5 */
  /* 6, 7: try_put/try_put_var: never wait, even with block_on_full. */
  VestrelThreadedDispatcher_PushFn try_push;     /* 6 */
  VestrelThreadedDispatcher_PushFn try_push_var; /* 7 */
};

typedef struct VestrelThreadedDispatcher {
  PyObject_HEAD struct VestrelThreadedDispatcher_VTable *vtab;
  PyObject *_q;
  VestrelNativeThread _thread;
  PyObject *_callback;
  int _variable_size;
  VestrelThreadedDispatcher_PushFn _push_fn;
  struct VestrelDispatcherPrivate *_private; /* private: what stats() reports */
} VestrelThreadedDispatcher;

/* --------------------------------------------------------------- AsyncQueue */

/* A new reference to the result (None), or NULL with an exception set. */
typedef PyObject *(*VestrelAsyncQueue_StartDispatcherFn)(struct VestrelAsyncQueue *self,
                                                         PyObject *callback, int override_flag);

struct VestrelAsyncQueue_VTable {
  VestrelAsyncQueue_StartDispatcherFn start_dispatcher; /* 0 */
};

typedef struct VestrelAsyncQueue {
  PyObject_HEAD struct VestrelAsyncQueue_VTable *vtab;
  PyObject *_q;
  PyObject *_loop;
  PyObject *_callback;
  PyObject *_lock;
  PyObject *_notify_cond;
  PyObject *_task;
} VestrelAsyncQueue;

#ifdef __cplusplus
}
#endif

#endif /* VESTREL_CORVANE_H */
