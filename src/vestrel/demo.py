"""Bridge demo: ``python -m vestrel.demo``.

A native producer thread (``vestrel._testing``) pushes messages that carry a
sequence number and a timestamp into each dispatcher; the Python callback
checks every message and records its latency from push to callback. For each
dispatcher the demo prints the rate of a burst and the p50/p99 latency of a
paced run, with a live progress line.
"""

import sys
import threading
import time

from vestrel import _testing
from vestrel.utils.corvane.corvane import SyncDispatcher, ThreadedDispatcher

BURST = 200_000
PACED = 20_000
PACED_RATE = 20_000.0  # messages/s
SIZE = 64
TIMEOUT = 60.0


class Receiver:
    """The callback: checks order and intactness, keeps latencies."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.next_seq = 0
        self.latencies = []
        self.failure = None
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


def make(kind: str, receiver: Receiver, count: int):
    if kind == "SyncDispatcher":
        # Its push cannot report a full ring: size the ring for the whole run.
        return SyncDispatcher(receiver, capacity=count, slot_size=SIZE)
    return ThreadedDispatcher(receiver, capacity=4096, slot_size=SIZE)


def run(kind: str, count: int, rate: float, label: str):
    receiver = Receiver(count)
    dispatcher = make(kind, receiver, count)
    dispatcher.setup()
    start = time.perf_counter()
    producer = _testing.start(
        dispatcher, count, SIZE, rate=rate, retry=kind == "ThreadedDispatcher"
    )
    deadline = start + TIMEOUT
    while not receiver.done.wait(0.1):
        got = len(receiver.latencies)
        sys.stdout.write(f"\r  {kind:<18} {label:<6} {got:>8,}/{count:,}")
        sys.stdout.flush()
        if time.perf_counter() > deadline:
            raise SystemExit(f"\n{kind}: only {got} of {count} messages arrived")
    elapsed = time.perf_counter() - start
    producer.join(TIMEOUT)
    dispatcher.close()
    if receiver.failure:
        raise SystemExit(f"\n{kind}: {receiver.failure}")
    return count / elapsed, sorted(receiver.latencies)


def percentile(sorted_values, p: float) -> float:
    return sorted_values[min(len(sorted_values) - 1, int(p * len(sorted_values)))] / 1000.0


def main() -> None:
    print(f"vestrel bridge demo: a native producer thread, {SIZE}-byte messages")
    rows = []
    for kind in ("SyncDispatcher", "ThreadedDispatcher"):
        rate, _ = run(kind, BURST, 0.0, "burst")
        _, lat = run(kind, PACED, PACED_RATE, "paced")
        rows.append((kind, rate, percentile(lat, 0.5), percentile(lat, 0.99)))
        sys.stdout.write("\r" + " " * 60 + "\r")
    print(f"{'dispatcher':<20}{'burst msg/s':>14}{'p50 µs':>10}{'p99 µs':>10}")
    for kind, rate, p50, p99 in rows:
        print(f"{kind:<20}{rate:>14,.0f}{p50:>10.1f}{p99:>10.1f}")
    print(f"(burst: {BURST:,} messages as fast as the producer can push; latency: "
          f"{PACED:,} messages paced at {PACED_RATE:,.0f}/s, push to callback; all in order)")


if __name__ == "__main__":
    main()
