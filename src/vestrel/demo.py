"""Bridge demo: ``python -m vestrel.demo``.

A native producer thread (``vestrel._testing``) pushes messages that carry a
sequence number and a timestamp into each dispatcher; the Python callback
checks every message and records its latency from push to callback. An
AsyncQueue gets the same messages from a Python producer task, and a consumer
task pops them. For each class the demo prints the rate of a burst and the
p50/p99 latency of a paced run (with a live progress line on a terminal), in
the default mode and, for the dispatchers, in the fastest one: batches of up
to 256 messages per call, and for the two socket-woken classes idle wakes
(a datagram only when the reader waits).
"""

import asyncio
import sys
import threading
import time
from typing import Any, Dict, List, Optional

from vestrel import _testing
from vestrel.utils.corvane.corvane import (
    AsyncDispatcher,
    AsyncQueue,
    SyncDispatcher,
    ThreadedDispatcher,
)

BURST = 200_000
PACED = 20_000
PACED_RATE = 20_000.0  # messages/s
SIZE = 64
TIMEOUT = 60.0
BATCH = 256
# The fastest mode of each dispatcher class; "default" is the described one.
FAST: Dict[str, Dict[str, Any]] = {
    "SyncDispatcher": {"idle_wakes": True, "batch": BATCH},
    "AsyncDispatcher": {"idle_wakes": True, "batch": BATCH},
    "ThreadedDispatcher": {"batch": BATCH},
}


def mode_name(options: Dict[str, Any]) -> str:
    return ", ".join(f"{k}={v}" for k, v in options.items()) or "default"


class Receiver:
    """The callback: checks order and intactness, keeps latencies."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.next_seq = 0
        self.latencies: List[int] = []
        self.failure: Optional[str] = None
        self.done = threading.Event()

    def __call__(self, msg: bytes) -> None:
        now = _testing.now_ns()
        seq, stamp = _testing.decode(msg)  # raises when the payload is damaged
        if seq != self.next_seq and self.failure is None:
            self.failure = f"expected message {self.next_seq}, got {seq}"
        self.next_seq = seq + 1
        self.latencies.append(now - stamp)
        if len(self.latencies) == self.count:
            self.done.set()

    def batch(self, msgs: List[bytes]) -> None:
        for msg in msgs:
            self(msg)


def make(kind: str, receiver: Receiver, count: int, options: Dict[str, Any]):
    # The producer retries while the ring is full (try_push): nothing is lost
    # whatever the ring's size; a ring that holds the burst never makes it
    # wait.
    callback: Any = receiver.batch if options.get("batch") else receiver
    if kind == "SyncDispatcher":
        return SyncDispatcher(callback, capacity=count, slot_size=SIZE, **options)
    if kind == "AsyncDispatcher":
        async def acallback(msg: Any) -> None:
            callback(msg)

        return AsyncDispatcher(acallback, capacity=count, slot_size=SIZE, **options)
    return ThreadedDispatcher(callback, capacity=4096, slot_size=SIZE, **options)


# The live line is for a person watching; a log gets only the results.
LIVE = sys.stdout.isatty()


def progress(kind: str, label: str, receiver: Receiver, count: int, start: float) -> None:
    got = len(receiver.latencies)
    if LIVE:
        sys.stdout.write(f"\r  {kind:<18} {label:<12} {got:>8,}/{count:,}")
        sys.stdout.flush()
    if time.perf_counter() > start + TIMEOUT:
        raise SystemExit(f"\n{kind}: only {got} of {count} messages arrived")


def finish(kind: str, receiver: Receiver, count: int, start: float):
    elapsed = time.perf_counter() - start
    if receiver.failure:
        raise SystemExit(f"\n{kind}: {receiver.failure}")
    return count / elapsed, sorted(receiver.latencies)


def run(kind: str, count: int, rate: float, label: str, options: Dict[str, Any]):
    if kind == "AsyncDispatcher":
        return asyncio.run(run_async_dispatcher(count, rate, label, options))
    if kind == "AsyncQueue":
        return asyncio.run(run_async_queue(count, rate, label))
    receiver = Receiver(count)
    dispatcher = make(kind, receiver, count, options)
    dispatcher.setup()
    start = time.perf_counter()
    producer = _testing.start(dispatcher, count, SIZE, rate=rate, retry=True)
    while not receiver.done.wait(0.1):
        progress(kind, label, receiver, count, start)
    producer.join(TIMEOUT)
    dispatcher.close()
    return finish(kind, receiver, count, start)


async def run_async_dispatcher(count: int, rate: float, label: str, options: Dict[str, Any]):
    kind = "AsyncDispatcher"
    receiver = Receiver(count)
    dispatcher = make(kind, receiver, count, options)
    dispatcher.setup()
    start = time.perf_counter()
    producer = _testing.start(dispatcher, count, SIZE, rate=rate, retry=True)
    while not receiver.done.is_set():
        progress(kind, label, receiver, count, start)
        await asyncio.sleep(0.1)
    dispatcher.close()
    await asyncio.get_running_loop().run_in_executor(None, producer.join, TIMEOUT)
    return finish(kind, receiver, count, start)


async def run_async_queue(count: int, rate: float, label: str):
    """A Python producer task and a consumer task around one AsyncQueue."""
    kind = "AsyncQueue"
    receiver = Receiver(count)
    queue = AsyncQueue(slot_size=SIZE)
    batch = 256  # below the ring's capacity: a push into a full ring is dropped

    async def produce() -> None:
        begin = time.perf_counter()
        for seq in range(count):
            await queue.push_buf(_testing.encode(seq, SIZE))
            if rate:
                due = begin + (seq + 1) / rate
                if due > time.perf_counter() + 0.001:
                    await asyncio.sleep(due - time.perf_counter())
            elif seq % batch == batch - 1:
                await asyncio.sleep(0)

    async def consume() -> None:
        for _ in range(count):
            receiver(await queue.pop())

    start = time.perf_counter()
    tasks = asyncio.gather(produce(), consume())
    while not receiver.done.is_set():
        progress(kind, label, receiver, count, start)
        await asyncio.wait({tasks}, timeout=0.1)
    await tasks
    return finish(kind, receiver, count, start)


def percentile(sorted_values, p: float) -> float:
    return sorted_values[min(len(sorted_values) - 1, int(p * len(sorted_values)))] / 1000.0


def main() -> None:
    print(f"vestrel bridge demo: a native producer thread ({SIZE}-byte messages) into each "
          "dispatcher, a Python producer task into an AsyncQueue")
    rows = []
    for kind in ("SyncDispatcher", "ThreadedDispatcher", "AsyncDispatcher", "AsyncQueue"):
        for options in ({}, FAST[kind]) if kind in FAST else ({},):
            rate, _ = run(kind, BURST, 0.0, "burst", options)
            _, lat = run(kind, PACED, PACED_RATE, "paced", options)
            rows.append((kind, mode_name(options), rate, percentile(lat, 0.5),
                         percentile(lat, 0.99)))
            if LIVE:
                sys.stdout.write("\r" + " " * 60 + "\r")
    width = max(len(mode) for _, mode, _, _, _ in rows) + 2
    print(f"{'class':<20}{'mode':<{width}}{'burst msg/s':>14}{'p50 µs':>10}{'p99 µs':>10}")
    for kind, mode, rate, p50, p99 in rows:
        print(f"{kind:<20}{mode:<{width}}{rate:>14,.0f}{p50:>10.1f}{p99:>10.1f}")
    print(f"(one run on this machine, not a benchmark: burst: {BURST:,} messages as fast as the "
          f"producer can push; latency: {PACED:,} messages paced at {PACED_RATE:,.0f}/s, push "
          "to callback; every message arrived, in order)")


if __name__ == "__main__":
    main()
