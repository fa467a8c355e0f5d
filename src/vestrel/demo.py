"""Ring demo: ``python -m vestrel.demo``.

Moves messages between two Python threads through an SPSCQueue, in the
fixed-size and the variable-size format, and prints the rate with a live
progress line. Both threads release the GIL while they wait in the ring.
"""

import struct
import sys
import threading
import time

from vestrel.spsc_queue.spsc_queue import SPSCQueue

COUNT = 200_000


def run(var: bool, size: int) -> float:
    q = SPSCQueue(slot_size=size, capacity=1024, block_on_full=True)
    put = q.put_var if var else q.put
    take = q.take_var if var else q.take
    pad = b"\x00" * (size - 8)

    def produce() -> None:
        for i in range(COUNT):
            put(struct.pack("<Q", i) + (pad[: i % (size - 7)] if var else pad))

    producer = threading.Thread(target=produce, daemon=True)
    start = time.perf_counter()
    producer.start()
    label = f"{'variable' if var else 'fixed'} {size:>5} B"
    for i in range(COUNT):
        msg = take()
        if msg is None or struct.unpack_from("<Q", msg)[0] != i:
            raise SystemExit(f"{label}: message {i} lost or out of order")
        if i % 20_000 == 0:
            sys.stdout.write(f"\r{label}: {i:>8,}/{COUNT:,}")
            sys.stdout.flush()
    elapsed = time.perf_counter() - start
    producer.join(10)
    rate = COUNT / elapsed
    sys.stdout.write(f"\r{label}: {COUNT:>8,} messages, {rate:>12,.0f} msg/s, in order\n")
    return rate


def main() -> None:
    print("vestrel ring demo: one Python producer thread, one consumer thread")
    for var in (False, True):
        for size in (64, 1024):
            run(var, size)


if __name__ == "__main__":
    main()
