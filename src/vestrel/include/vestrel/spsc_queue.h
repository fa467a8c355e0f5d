/* vestrel.spsc_queue.spsc_queue.SPSCQueue as native code sees it.
 *
 * Every instance starts with the object header and a pointer to the class's
 * method table; the rest is private. Producers call the put entries from any
 * thread, with or without the GIL; take, take_var and release are called by
 * the single consumer thread (they never need the GIL). One producer and one
 * consumer at a time.
 *
 * The table is also exported as the unnamed capsule `__pyx_vtable__` in the
 * class dict; calls go through the pointer stored in each instance.
 *
 * Results of the put entries:
 *   1 stored, 0 full (try_put; put without block_on_full),
 *   -1 longer than a slot (fixed) or than max_var_size (variable),
 *   -2 the ring is stopped, -3 the ring holds the other format.
 * Results of the take entries:
 *   1 taken (*data, *length describe the message), 0 nothing there (try_*),
 *   -2 stopped and drained (take, take_var), -3 the ring holds the other format.
 * A taken message stays valid until `release` or the consumer's next
 * operation, whichever comes first.
 */
#ifndef VESTREL_SPSC_QUEUE_H
#define VESTREL_SPSC_QUEUE_H

#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VESTREL_RING_STORED 1
#define VESTREL_RING_TAKEN 1
#define VESTREL_RING_FULL 0
#define VESTREL_RING_EMPTY 0
#define VESTREL_RING_TOO_LONG (-1)
#define VESTREL_RING_STOPPED (-2)
#define VESTREL_RING_WRONG_MODE (-3)

/* The size every SPSCQueue instance has; importers check it. */
#define VESTREL_SPSC_QUEUE_BASICSIZE 232

struct VestrelSPSCQueue;

typedef int (*VestrelSPSCQueue_PutFn)(struct VestrelSPSCQueue *self, const char *data,
                                      size_t length);
typedef int (*VestrelSPSCQueue_TakeFn)(struct VestrelSPSCQueue *self, const char **data,
                                       size_t *length);
typedef void (*VestrelSPSCQueue_VoidFn)(struct VestrelSPSCQueue *self);

/* Slot order is a binary interface. */
struct VestrelSPSCQueue_VTable {
  VestrelSPSCQueue_PutFn put;           /* 0: waits for room when block_on_full */
  VestrelSPSCQueue_PutFn try_put;       /* 1: never waits */
  VestrelSPSCQueue_PutFn put_var;       /* 2 */
  VestrelSPSCQueue_PutFn try_put_var;   /* 3 */
  void *reserved;                       /* 4: always NULL */
  VestrelSPSCQueue_TakeFn take;         /* 5: waits for a message or stop */
  VestrelSPSCQueue_VoidFn release;      /* 6 */
  VestrelSPSCQueue_TakeFn try_take;     /* 7 */
  VestrelSPSCQueue_TakeFn take_var;     /* 8: waits for a message or stop */
  VestrelSPSCQueue_TakeFn try_take_var; /* 9 */
  VestrelSPSCQueue_VoidFn stop;         /* 10: any thread */
};

typedef struct VestrelSPSCQueue {
  PyObject_HEAD struct VestrelSPSCQueue_VTable *vtab;
  /* Private: the ring and bookkeeping of the Python-level methods. */
  void *ring_;
  unsigned char private_[VESTREL_SPSC_QUEUE_BASICSIZE - sizeof(PyObject) - 2 * sizeof(void *)];
} VestrelSPSCQueue;

#ifdef __cplusplus
}
#endif

#endif /* VESTREL_SPSC_QUEUE_H */
