"""Messages per second through vestrel's asyncio classes and through what an
asyncio program would otherwise use, side by side.

    python -m pip install . && python bench/async_bench.py

Variants (64-byte and 1 KiB messages, on the stdlib loop and on uvloop):

  AsyncDispatcher      vestrel._testing's native producer pushes into a ring
                       that holds every message (its push cannot report a
                       full ring, so the producer cannot retry); the
                       dispatcher's reader task awaits an async callback.
  call_soon_threadsafe peer: a native thread that takes the GIL per message,
                       builds the bytes and calls
                       loop.call_soon_threadsafe(callback, msg), with one
                       thread state for its whole life; the loop runs the
                       plain callback.
  ring + sock_recv     the design's yardstick, written by hand: a native
                       thread puts into a ring (vestrel's ring code, warmed
                       as the dispatcher's is) and sends one wake datagram
                       per put; a Python coroutine takes one message at a
                       time, awaits the async callback, and awaits
                       loop.sock_recv when the ring is empty. AsyncDispatcher
                       runs the same protocol, so this row shows what its
                       reader saves; it has no target.
  producer alone       the ceiling of that protocol: AsyncDispatcher's
                       producer with its reader not yet run, every datagram
                       going to a socket nobody reads; pushes per second,
                       timed around the producer thread.
  AsyncQueue pop       a producer task awaits push_buf of one prebuilt bytes
                       object, a consumer task awaits pop().
  asyncio.Queue get    the same with put() and get().
  AsyncQueue dispatch  the same producer; start_dispatcher's task awaits an
                       async callback per message.
  asyncio.Queue task   the same producer; a consumer task awaits get(), then
                       the async callback.

The opt-in modes, in the same run:

  AsyncDispatcher, idle wakes (, batch 256)
                       the AsyncDispatcher row with idle_wakes=True (and
                       batch=256): a push sends a datagram only when the
                       reader announced that it waits.
  producer alone, idle wakes
                       the producer alone row with idle_wakes=True: the
                       reader, not yet run, never announced, so no push
                       sends; shown as ns per push too.

Then push-to-callback latency: each AsyncDispatcher mode fed at a paced
20,000 messages/s (--latency-rate), the callback's clock minus each
message's time stamp, p50 and p99 over --latency-count messages.

The dispatcher rows are timed from the moment message 0 was made (its time
stamp) to the last callback; the queue rows from just before the tasks start
to the last message taken. Producer tasks push in batches of --batch messages
and yield to the loop between batches, so that they never outrun a ring (a
push into a full AsyncQueue is dropped). The peer is GilPeer of
bench/peers/bench_peers.cpp, built as dispatch_bench.py builds it.
"""

import argparse
import asyncio
import gc
import os
import socket
import sys

# The script's own directory comes first on sys.path: the peers and the
# reporting helpers are dispatch_bench's.
from dispatch_bench import (BATCH, TIMEOUT, Latency, absolute_text, add_latency_options,
                            latency_line, load, peers, ratio_text, spread, warm)
from vestrel import _testing
from vestrel.utils.corvane.corvane import AsyncDispatcher, AsyncQueue

try:
    import uvloop
except ImportError:
    uvloop = None

LOOPS = {"asyncio": asyncio.new_event_loop}
if uvloop is not None:
    LOOPS["uvloop"] = uvloop.new_event_loop


# ------------------------------------------------------------ the callbacks


class Sink:
    """The callbacks of every variant, a plain one and an async one with the
    same body: each checks the sequence number (dispatcher rows) or only
    counts (queue rows, whose messages are one prebuilt object), and notes
    the arrival time of the last message."""

    def __init__(self, count, checked, batched=False):
        self.count = count
        self.first = None
        self.end = None
        self.done = asyncio.get_running_loop().create_future()
        self.callback, self.acallback = (self._checking() if checked else self._counting())
        if batched:
            self.acallback = self._batches()

    def _finish(self):
        self.end = peers.now_ns()
        self.done.set_result(None)

    def _checking(self):
        count, order, sink = self.count, sys.byteorder, self
        expected = 0

        def callback(msg):
            nonlocal expected
            seq = int.from_bytes(msg[:8], order)
            if seq != expected:
                raise AssertionError(f"message {seq} arrived, {expected} expected")
            if seq == 0:
                sink.first = msg
            expected += 1
            if expected == count:
                sink._finish()

        async def acallback(msg):
            nonlocal expected
            seq = int.from_bytes(msg[:8], order)
            if seq != expected:
                raise AssertionError(f"message {seq} arrived, {expected} expected")
            if seq == 0:
                sink.first = msg
            expected += 1
            if expected == count:
                sink._finish()

        return callback, acallback

    def _batches(self):
        """An async callback that takes lists, with the checking body
        written out again rather than called (a call per message would
        charge the batch rows what batches save)."""
        count, order, sink = self.count, sys.byteorder, self
        expected = 0

        async def acallback(msgs):
            nonlocal expected
            for msg in msgs:
                seq = int.from_bytes(msg[:8], order)
                if seq != expected:
                    raise AssertionError(f"message {seq} arrived, {expected} expected")
                if seq == 0:
                    sink.first = msg
                expected += 1
            if expected == count:
                sink._finish()

        return acallback

    def _counting(self):
        count, sink = self.count, self
        seen = 0

        def callback(msg):
            nonlocal seen
            seen += 1
            if seen == count:
                sink._finish()

        async def acallback(msg):
            nonlocal seen
            seen += 1
            if seen == count:
                sink._finish()

        return callback, acallback

    async def rate(self, start=None):
        """Messages per second, once the last message has arrived; from
        `start` (ns), or else from message 0's time stamp."""
        try:
            await asyncio.wait_for(asyncio.shield(self.done), TIMEOUT)
        except asyncio.TimeoutError:
            raise RuntimeError("timed out: a message was lost or a callback failed") from None
        if start is None:
            start = int.from_bytes(self.first[8:16], sys.byteorder)
        return self.count / ((self.end - start) / 1e9)


# ------------------------------------------------------------ native producers


def warm_dispatcher(acallback, count, size, **options):
    """An AsyncDispatcher whose warmed ring holds `count` messages, set up
    on the running loop."""
    d = AsyncDispatcher(acallback, capacity=count, slot_size=size, **options)
    warm(_testing.ring_of(d), count, size)
    d.setup()
    return d


async def async_dispatcher(args, size, **options):
    count = args.count
    sink = Sink(count, checked=True, batched=options.get("batch", 0) > 0)
    d = warm_dispatcher(sink.acallback, count, size, **options)
    producer = _testing.start(d, count, size)
    rate = await sink.rate()
    producer.join()
    # Untimed: the reader drains the last wake datagrams and parks before the
    # socket closes, and the cancellation close hands to the loop runs here.
    await asyncio.sleep(0.01)
    d.close()
    await asyncio.sleep(0)
    assert producer.pushed == count, (producer.pushed, count)
    return rate


async def async_dispatcher_idle(args, size):
    return await async_dispatcher(args, size, idle_wakes=True)


async def async_dispatcher_idle_batches(args, size):
    return await async_dispatcher(args, size, idle_wakes=True, batch=BATCH)


async def producer_alone(args, size, **options):
    count = args.count

    async def acallback(msg):
        pass

    # The reader task is created here but cannot run before this coroutine
    # next yields: join() blocks the loop's thread until the producer ends.
    d = warm_dispatcher(acallback, count, size, **options)
    start = peers.now_ns()
    producer = _testing.start(d, count, size)
    producer.join()
    rate = count / ((peers.now_ns() - start) / 1e9)
    d.close()
    await asyncio.sleep(0)
    assert producer.pushed == count, (producer.pushed, count)
    return rate


async def producer_alone_idle(args, size):
    return await producer_alone(args, size, idle_wakes=True)


async def call_soon_peer(args, size):
    loop = asyncio.get_running_loop()
    sink = Sink(args.count, checked=True)
    peer = peers.GilPeer(loop.call_soon_threadsafe, args.count, size, sink.callback)
    peer.start()
    rate = await sink.rate()
    peer.join()
    return rate


async def ring_reader(loop, sock, take, acallback):
    while True:
        msg = take()
        if msg is None:
            await loop.sock_recv(sock, 1)
            continue
        await acallback(msg)


async def ring_sock_recv(args, size):
    loop = asyncio.get_running_loop()
    sink = Sink(args.count, checked=True)
    peer = peers.RingPeer(args.count, size, args.count)
    peer.warm()
    # A second handle on the peer's socket; non-blocking, as sock_recv needs.
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, fileno=os.dup(peer.fileno()))
    sock.setblocking(False)
    reader = asyncio.ensure_future(ring_reader(loop, sock, peer.try_take, sink.acallback))
    try:
        peer.start()
        rate = await sink.rate()
        peer.join()
        return rate
    finally:
        peer.cancel()
        peer.join()
        reader.cancel()
        await asyncio.gather(reader, return_exceptions=True)
        sock.close()


# ------------------------------------------------------------ queues between tasks


def message(size):
    return bytes(i % 256 for i in range(size))


async def produce(push, msg, count, batch):
    sleep = asyncio.sleep
    for first in range(0, count, batch):
        for _ in range(min(batch, count - first)):
            await push(msg)
        await sleep(0)


async def consume(take, callback, count):
    for _ in range(count):
        callback(await take())


async def consume_awaiting(take, acallback, count):
    for _ in range(count):
        await acallback(await take())


async def between_tasks(args, size, sink, push, consumer):
    """Times a producer task awaiting `push` against the `consumer`
    coroutine run as a task (None: the queue runs its own)."""
    msg = message(size)
    start = peers.now_ns()
    tasks = [asyncio.ensure_future(produce(push, msg, args.count, args.batch))]
    if consumer is not None:
        tasks.append(asyncio.ensure_future(consumer))
    try:
        return await sink.rate(start)
    finally:
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


async def async_queue_pop(args, size):
    sink = Sink(args.count, checked=False)
    q = AsyncQueue(slot_size=size, capacity=args.capacity)
    return await between_tasks(args, size, sink, q.push_buf,
                               consume(q.pop, sink.callback, args.count))


async def stdlib_queue_get(args, size):
    sink = Sink(args.count, checked=False)
    q = asyncio.Queue()
    return await between_tasks(args, size, sink, q.put, consume(q.get, sink.callback, args.count))


async def async_queue_dispatch(args, size):
    sink = Sink(args.count, checked=False)
    q = AsyncQueue(slot_size=size, capacity=args.capacity)
    q.start_dispatcher(sink.acallback)
    rate = await between_tasks(args, size, sink, q.push_buf, None)
    await q.shutdown()
    return rate


async def stdlib_queue_task(args, size):
    sink = Sink(args.count, checked=False)
    q = asyncio.Queue()
    return await between_tasks(args, size, sink, q.put,
                               consume_awaiting(q.get, sink.acallback, args.count))


# (label, --only key, run)
VARIANTS = [
    ("AsyncDispatcher", "dispatcher", async_dispatcher),
    ("AsyncDispatcher, idle wakes", "dispatcher-idle", async_dispatcher_idle),
    ("AsyncDispatcher, idle wakes, batch 256", "dispatcher-idle-batch",
     async_dispatcher_idle_batches),
    ("call_soon_threadsafe", "call-soon", call_soon_peer),
    ("ring + sock_recv", "ring-sock-recv", ring_sock_recv),
    ("producer alone", "producer-alone", producer_alone),
    ("producer alone, idle wakes", "producer-alone-idle", producer_alone_idle),
    ("AsyncQueue pop", "queue-pop", async_queue_pop),
    ("asyncio.Queue get", "asyncio-get", stdlib_queue_get),
    ("AsyncQueue dispatch", "queue-dispatch", async_queue_dispatch),
    ("asyncio.Queue task", "asyncio-task", stdlib_queue_task),
]

# (ours, peer, target ratio or None, or a target per loop)
COMPARISONS = [
    ("AsyncDispatcher", "call_soon_threadsafe", 5.0),
    ("AsyncDispatcher", "ring + sock_recv", None),
    ("AsyncDispatcher, idle wakes", "call_soon_threadsafe", {"asyncio": 10.0, "uvloop": 3.0}),
    ("AsyncDispatcher, idle wakes", "AsyncDispatcher", None),
    ("AsyncQueue pop", "asyncio.Queue get", 1.0),
    ("AsyncQueue dispatch", "asyncio.Queue task", 1.0),
]

# (row, target at 64 B): messages/s at least, or for a producer row ns per
# push at most.
ABSOLUTE = [
    ("AsyncDispatcher, idle wakes, batch 256", 3e6),
    ("producer alone", None),
    ("producer alone, idle wakes", 100),
]

# (label, AsyncDispatcher options)
LATENCY_MODES = [
    ("AsyncDispatcher", {}),
    ("AsyncDispatcher, idle wakes", {"idle_wakes": True}),
    ("AsyncDispatcher, idle wakes, batch 256", {"idle_wakes": True, "batch": BATCH}),
]


async def latency_run(args, size, options):
    """(p50, p99) in µs of one paced run."""
    done = asyncio.get_running_loop().create_future()
    lat = Latency(args.latency_count, lambda: done.set_result(None))
    d = AsyncDispatcher(lat.callback(options.get("batch", 0) > 0, awaited=True), slot_size=size,
                        **options)
    d.setup()
    producer = _testing.start(d, args.latency_count, size, rate=args.latency_rate)
    try:
        await asyncio.wait_for(asyncio.shield(done), TIMEOUT)
    except asyncio.TimeoutError:
        raise RuntimeError("timed out: a message was lost or the callback failed") from None
    producer.join()
    d.close()
    await asyncio.sleep(0)
    return lat.percentiles()


# ------------------------------------------------------------ driver


def run_on(new_loop, coro_fn, args, size):
    """One run on a fresh loop of the given kind."""
    loop = new_loop()
    try:
        return loop.run_until_complete(coro_fn(args, size))
    finally:
        loop.run_until_complete(loop.shutdown_asyncgens())
        loop.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=200_000, help="messages per run")
    parser.add_argument("--runs", type=int, default=5, help="runs per figure (median)")
    parser.add_argument("--sizes", type=int, nargs="+", default=[64, 1024])
    parser.add_argument("--loop", choices=["asyncio", "uvloop", "both"],
                        default="both" if uvloop is not None else "asyncio")
    parser.add_argument("--batch", type=int, default=1024,
                        help="pushes between two yields of a producer task")
    parser.add_argument("--capacity", type=int, default=16384, help="AsyncQueue's ring slots")
    parser.add_argument("--only", nargs="+", choices=[key for _, key, _ in VARIANTS],
                        metavar="VARIANT", help="run only these variants (e.g. to profile one)")
    add_latency_options(parser)
    args = parser.parse_args()
    if args.loop != "asyncio" and uvloop is None:
        parser.error("uvloop is not installed (python -m pip install uvloop)")
    if not 0 < args.batch < args.capacity:
        parser.error("--batch must be below --capacity: a full ring drops pushes")
    loops = list(LOOPS) if args.loop == "both" else [args.loop]
    variants = [(name, run) for name, key, run in VARIANTS if not args.only or key in args.only]

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, {args.count:,} messages "
          f"per run, median of {args.runs} (min-max)"
          + (f", uvloop {uvloop.__version__}" if uvloop is not None and "uvloop" in loops else ""))
    print("before:", load())
    rates = {(lp, size, name): [] for lp in loops for size in args.sizes for name, _ in variants}
    # Round-robin, so a disturbance spreads over every variant rather than
    # sinking one of them.
    for _ in range(args.runs):
        for lp in loops:
            for size in args.sizes:
                for name, run in variants:
                    gc.collect()
                    rates[lp, size, name].append(run_on(LOOPS[lp], run, args, size))
    print("after: ", load())
    print()

    width = max(len(name) for name, _, _ in VARIANTS)
    print(f"{'loop':<8} {'size':>6}  {'variant':<{width}}  messages/s")
    for lp in loops:
        for size in args.sizes:
            for name, _ in variants:
                print(f"{lp:<8} {size:>5}B  {name:<{width}}  "
                      f"{spread(rates[lp, size, name], lambda v: f'{v:,.0f}')}")
    print()

    # Each ratio is of the medians; the range is over the rounds, whose runs
    # ran back to back.
    names = [name for name, _ in variants]
    pairs = [c for c in COMPARISONS if c[0] in names and c[1] in names]
    label = max((len(f"{ours} / {peer}") for ours, peer, _ in pairs), default=0)
    print(f"{'loop':<8} {'size':>6}  {'ratio':<{label}}  ours/peer")
    for lp in loops:
        for size in args.sizes:
            for ours, peer, target in pairs:
                if isinstance(target, dict):
                    target = target[lp]
                print(f"{lp:<8} {size:>5}B  {ours + ' / ' + peer:<{label}}  "
                      f"{ratio_text(rates[lp, size, ours], rates[lp, size, peer], target)}")

    rows = [(name, target) for name, target in ABSOLUTE if name in names]
    if rows:
        print()
        label = max(len(name) for name, _ in rows)
        print(f"{'loop':<8} {'size':>6}  {'row':<{label}}  alone (targets at 64 B)")
        for lp in loops:
            for size in args.sizes:
                for name, target in rows:
                    verdict = absolute_text(rates[lp, size, name], target if size == 64 else None,
                                            "producer" in name)
                    print(f"{lp:<8} {size:>5}B  {name:<{label}}  {verdict}")

    if args.latency_count and not args.only:
        print()
        print(f"push-to-callback latency at {args.latency_rate:,.0f} messages/s, "
              f"{args.latency_count:,} messages per mode")
        width = max(len(label) for label, _ in LATENCY_MODES)
        print(f"{'loop':<8} {'size':>6}  {'mode':<{width}}  {'p50 µs':>8}  {'p99 µs':>8}")
        for lp in loops:
            for size in args.sizes:
                for label, options in LATENCY_MODES:
                    gc.collect()
                    loop = LOOPS[lp]()
                    try:
                        result = loop.run_until_complete(latency_run(args, size, options))
                    finally:
                        loop.close()
                    print(latency_line(f"{lp:<8} {size:>5}B", label, width, result), flush=True)


if __name__ == "__main__":
    main()
