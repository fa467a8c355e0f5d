"""Messages per second from a native producer thread into a Python callback,
through vestrel's dispatchers and through hand-written peers, side by side.

    python -m pip install . && python bench/dispatch_bench.py

Variants (64-byte and 1 KiB messages, the same callback everywhere):

  ThreadedDispatcher   vestrel._testing's producer pushes into a ring of 16384
                       slots, retrying while it is full; the dispatcher's
                       native reader calls the callback.
  ThreadedDispatcher, big ring
                       the same with a ring that holds every message, so the
                       producer never retries (as SyncDispatcher runs).
  native call          peer: a native thread that takes the GIL per message,
                       builds the bytes and calls the callback itself, with
                       one thread state for its whole life.
  SyncDispatcher       vestrel._testing's producer pushes into a ring that
                       holds every message; the dispatcher's reader thread
                       calls the callback.
  ring + datagram      peer: the same design written here: vestrel's ring
                       code, one loopback wake datagram per put, a Python
                       thread that drains with the GIL and waits in recvfrom
                       without it.
  SimpleQueue          peer: a native thread that takes the GIL per message
                       and puts the bytes into a queue.SimpleQueue; a Python
                       thread takes them and calls the callback.

The opt-in modes, in the same run:

  ThreadedDispatcher, batch 256
                       the ThreadedDispatcher row with batch=256: the
                       callback gets lists of up to 256 messages.
  SyncDispatcher, idle wakes (, batch 256)
                       the SyncDispatcher row with idle_wakes=True (and
                       batch=256): a push sends a datagram only when the
                       reader announced that it waits.
  SyncDispatcher (, idle wakes): push, reader busy
                       the producer's cost: it pushes every message into a
                       warm ring while the reader sits in the callback of
                       message 0; pushes per second around the producer
                       thread, shown as ns per push.

Then push-to-callback latency: each mode fed at a paced 20,000 messages/s
(--latency-rate), the callback's clock minus each message's time stamp, p50
and p99 over --latency-count messages.

A run is timed from the moment message 0 was made (its time stamp) to the
return of the clock call in the callback of the last message. The peers are
a small extension module (bench/peers/bench_peers.cpp) that this script builds
for the running interpreter under build/bench_peers/; it is never installed.
"""

import argparse
import gc
import importlib.util
import os
import queue
import statistics
from array import array
import subprocess
import sys
import sysconfig
import threading

from vestrel import _testing
from vestrel.utils.corvane.corvane import SyncDispatcher, ThreadedDispatcher

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEER_SOURCES = [
    os.path.join(REPO, "bench", "peers", "bench_peers.cpp"),
    os.path.join(REPO, "src", "core", "ring", "spsc_ring.cpp"),
    os.path.join(REPO, "src", "core", "ring", "barrier.cpp"),
    os.path.join(REPO, "src", "core", "ring", "sleep_handshake.cpp"),
]
PEER_HEADERS = [
    os.path.join(REPO, "src", "core", "ring", "spsc_ring.hpp"),
    os.path.join(REPO, "src", "core", "ring", "barrier.hpp"),
    os.path.join(REPO, "src", "core", "ring", "futex.hpp"),
    os.path.join(REPO, "src", "core", "ring", "sleep_handshake.hpp"),
    os.path.join(REPO, "src", "vestrel", "_testing", "message.hpp"),
    os.path.join(REPO, "src", "vestrel", "_testing", "producer_kit.hpp"),
    os.path.join(REPO, "src", "vestrel", "_testing", "ref.hpp"),
]
TIMEOUT = 120  # seconds for one run; a lost or failed message ends it here


# ------------------------------------------------------------ the peer module


def load_peers():
    """Builds bench_peers for this interpreter when missing or stale, and imports it."""
    tag = sys.implementation.cache_tag
    out_dir = os.path.join(REPO, "build", "bench_peers", tag)
    target = os.path.join(out_dir, "bench_peers" + sysconfig.get_config_var("EXT_SUFFIX"))
    # The package's own Release flags, so that the peers' ring and message
    # making compile exactly as vestrel's do.
    cmd = [os.environ.get("CXX", "g++"), "-std=c++20", "-O3", "-DNDEBUG", "-shared", "-fPIC",
           "-Wall", "-Wextra", "-pthread",
           "-I" + sysconfig.get_paths()["include"],
           "-I" + os.path.join(REPO, "src", "core"),
           "-I" + os.path.join(REPO, "src"),
           *PEER_SOURCES, "-o", target]
    stamp = target + ".cmd"  # the command that built it
    inputs = PEER_SOURCES + PEER_HEADERS
    fresh = os.path.exists(target) and os.path.exists(stamp)
    if fresh:
        with open(stamp) as f:
            fresh = (f.read() == " ".join(cmd)
                     and os.path.getmtime(target) >= max(map(os.path.getmtime, inputs)))
    if not fresh:
        os.makedirs(out_dir, exist_ok=True)
        print("building the peer module:", " ".join(cmd), file=sys.stderr)
        subprocess.run(cmd, check=True)
        with open(stamp, "w") as f:
            f.write(" ".join(cmd))
    spec = importlib.util.spec_from_file_location("bench_peers", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


peers = load_peers()


# ------------------------------------------------------------ the callback


class Sink:
    """The one callback of every variant: checks each sequence number and
    notes message 0 and the arrival time of the last one. `batched`: the
    callback takes a list of messages, with the same body per message."""

    def __init__(self, count, batched=False):
        self.count = count
        self.first = None
        self.end = None
        self.done = threading.Event()
        self.callback = self._batch_callback() if batched else self._make_callback()

    def _batch_callback(self):
        # The per-message body is written out again rather than called: a
        # call per message would charge the batch rows what batches save.
        count = self.count
        order = sys.byteorder
        now = peers.now_ns
        sink = self
        expected = 0

        def callback(msgs):
            nonlocal expected
            for msg in msgs:
                seq = int.from_bytes(msg[:8], order)
                if seq != expected:
                    raise AssertionError(f"message {seq} arrived, {expected} expected")
                if seq == 0:
                    sink.first = msg
                expected += 1
            if expected == count:
                sink.end = now()
                sink.done.set()

        return callback

    def _make_callback(self):
        count = self.count
        order = sys.byteorder
        now = peers.now_ns
        sink = self
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
                sink.end = now()
                sink.done.set()

        return callback

    def rate(self):
        """Messages per second, once the last message has arrived."""
        if not self.done.wait(TIMEOUT):
            raise RuntimeError("timed out: a message was lost or the callback failed")
        start = int.from_bytes(self.first[8:16], sys.byteorder)
        return self.count / ((self.end - start) / 1e9)


class Latency:
    """Callbacks that note each message's push-to-callback latency (ns): the
    clock in the callback minus the message's time stamp; they check the
    order too. `finish` runs once the last message has arrived."""

    def __init__(self, count, finish):
        self.count = count
        self.samples = array("q")
        now, order, note, expected = peers.now_ns, sys.byteorder, self.samples.append, 0

        def one(msg):
            nonlocal expected
            note(now() - int.from_bytes(msg[8:16], order))
            if int.from_bytes(msg[:8], order) != expected:
                raise AssertionError(f"message {expected} lost or out of order")
            expected += 1
            if expected == count:
                finish()

        def many(msgs):
            for msg in msgs:
                one(msg)

        async def aone(msg):
            one(msg)

        async def amany(msgs):
            for msg in msgs:
                one(msg)

        self.one, self.many, self.aone, self.amany = one, many, aone, amany

    def callback(self, batched, awaited=False):
        return ((self.amany if batched else self.aone) if awaited else
                (self.many if batched else self.one))

    def percentiles(self):
        """(p50, p99) in microseconds."""
        s = sorted(self.samples)
        return s[len(s) // 2] / 1e3, s[min(len(s) - 1, len(s) * 99 // 100)] / 1e3


def warm(ring, count, size):
    """Untimed: touches every slot once, so that a run into a ring that holds
    all its messages is not charged its first-touch page faults (50,000 at
    1 KiB); a long-lived ring is warm."""
    msg = bytes(size)
    for _ in range(count):
        ring.try_put(msg)
    for _ in range(count):
        ring.try_take()


# ------------------------------------------------------------ the variants


def reader_thread_of(setup):
    """Runs `setup` and returns the one Python thread it started."""
    before = set(threading.enumerate())
    setup()
    (reader,) = set(threading.enumerate()) - before
    return reader


def opted(**options):
    """The options that are set: a default-mode row passes none, so that it
    runs on builds that predate them (dispatch_compare.py)."""
    return {k: v for k, v in options.items() if v}


def threaded_dispatcher(count, size, capacity=16384, batch=0):
    sink = Sink(count, batched=batch > 0)
    d = ThreadedDispatcher(sink.callback, capacity=capacity, slot_size=size, **opted(batch=batch))
    warm(_testing.ring_of(d), capacity, size)
    d.setup()
    producer = _testing.start(d, count, size, retry=True)
    rate = sink.rate()
    producer.join()
    d.close()
    assert (producer.pushed, producer.refused) == (count, 0)
    return rate


def threaded_dispatcher_holding_all(count, size):
    # As SyncDispatcher and the ring peer run: the producer never waits.
    return threaded_dispatcher(count, size, capacity=count)


def threaded_dispatcher_batches(count, size):
    return threaded_dispatcher(count, size, batch=BATCH)


def native_call_peer(count, size):
    sink = Sink(count)
    peer = peers.GilPeer(sink.callback, count, size)
    peer.start()
    rate = sink.rate()
    peer.join()
    return rate


def sync_dispatcher(count, size, idle_wakes=False, batch=0):
    sink = Sink(count, batched=batch > 0)
    # Its push cannot report a full ring: the ring holds every message.
    d = SyncDispatcher(sink.callback, capacity=count, slot_size=size,
                       **opted(idle_wakes=idle_wakes, batch=batch))
    warm(_testing.ring_of(d), count, size)
    reader = reader_thread_of(d.setup)
    producer = _testing.start(d, count, size)
    rate = sink.rate()
    producer.join()
    d.close()
    reader.join()
    return rate


def sync_dispatcher_idle(count, size):
    return sync_dispatcher(count, size, idle_wakes=True)


def sync_dispatcher_idle_batches(count, size):
    return sync_dispatcher(count, size, idle_wakes=True, batch=BATCH)


def sync_push_while_busy(count, size, idle_wakes=False):
    """Pushes per second of a producer while the reader sits in the callback
    of message 0 (the push cost alone: no reader competes for the ring)."""
    release = threading.Event()
    seen = 0

    def callback(msg):
        nonlocal seen
        if seen == 0:
            release.wait(TIMEOUT)
        seen += 1

    d = SyncDispatcher(callback, capacity=count + 1, slot_size=size,
                       **opted(idle_wakes=idle_wakes))
    warm(_testing.ring_of(d), count + 1, size)
    reader = reader_thread_of(d.setup)
    # Message 0 is pushed untimed; once the reader holds it, the timed run
    # pushes into a ring nobody takes from.
    first = _testing.start(d, 1, size)
    first.join()
    while d.stats()["delivered"] == 0 and not seen:
        threading.Event().wait(0.001)
    start = peers.now_ns()
    producer = _testing.start(d, count, size)
    producer.join()
    rate = count / ((peers.now_ns() - start) / 1e9)
    release.set()
    d.close()
    reader.join()
    assert producer.pushed == count
    return rate


def sync_push_while_busy_idle(count, size):
    return sync_push_while_busy(count, size, idle_wakes=True)


def ring_datagram_peer(count, size):
    sink = Sink(count)
    peer = peers.RingPeer(count, size, count)
    peer.warm()
    reader = threading.Thread(target=peer.drain, args=(sink.callback,))
    reader.start()
    peer.start()
    rate = sink.rate()
    peer.join()
    reader.join()
    assert peer.refused == 0
    return rate


def simple_queue_peer(count, size):
    sink = Sink(count)
    q = queue.SimpleQueue()

    def drain(get=q.get, callback=sink.callback):
        for _ in range(count):
            callback(get())

    # A daemon: should the peer fail, a reader stuck in get() must not keep
    # the process alive.
    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    peer = peers.GilPeer(q.put, count, size)
    peer.start()
    rate = sink.rate()
    peer.join()
    reader.join()
    return rate


BATCH = 256  # the batch rows' batch=

# (label, --only key, run)
VARIANTS = [
    ("ThreadedDispatcher", "threaded", threaded_dispatcher),
    ("ThreadedDispatcher, big ring", "threaded-big", threaded_dispatcher_holding_all),
    ("ThreadedDispatcher, batch 256", "threaded-batch", threaded_dispatcher_batches),
    ("native call", "native-call", native_call_peer),
    ("SyncDispatcher", "sync", sync_dispatcher),
    ("SyncDispatcher, idle wakes", "sync-idle", sync_dispatcher_idle),
    ("SyncDispatcher, idle wakes, batch 256", "sync-idle-batch", sync_dispatcher_idle_batches),
    ("ring + datagram", "ring-datagram", ring_datagram_peer),
    ("SimpleQueue", "simple-queue", simple_queue_peer),
    ("SyncDispatcher: push, reader busy", "sync-push", sync_push_while_busy),
    ("SyncDispatcher, idle wakes: push, reader busy", "sync-idle-push", sync_push_while_busy_idle),
]

# (ours, peer, target ratio or None)
COMPARISONS = [
    ("ThreadedDispatcher", "native call", 0.9),
    ("ThreadedDispatcher, big ring", "native call", 0.9),
    ("ThreadedDispatcher, batch 256", "ThreadedDispatcher", 1.5),
    ("SyncDispatcher", "ring + datagram", 1.0),
    ("SyncDispatcher", "SimpleQueue", None),
    ("SyncDispatcher, idle wakes", "SimpleQueue", 1.5),
    ("SyncDispatcher, idle wakes", "SyncDispatcher", None),
]

# (row, target at 64 B): messages/s at least, or for a push row ns per push
# at most.
ABSOLUTE = [
    ("SyncDispatcher, idle wakes, batch 256", 3e6),
    ("SyncDispatcher: push, reader busy", None),
    ("SyncDispatcher, idle wakes: push, reader busy", 100),
]


# (label, make a running dispatcher for Latency callbacks, batched)
def _latency_threaded(cb, size, batch):
    return ThreadedDispatcher(cb, slot_size=size, batch=batch)


def _latency_sync(cb, size, batch, idle_wakes=False):
    return SyncDispatcher(cb, slot_size=size, batch=batch, idle_wakes=idle_wakes)


LATENCY_MODES = [
    ("ThreadedDispatcher", lambda cb, size: _latency_threaded(cb, size, 0), False),
    ("ThreadedDispatcher, batch 256", lambda cb, size: _latency_threaded(cb, size, BATCH), True),
    ("SyncDispatcher", lambda cb, size: _latency_sync(cb, size, 0), False),
    ("SyncDispatcher, idle wakes", lambda cb, size: _latency_sync(cb, size, 0, True), False),
    ("SyncDispatcher, idle wakes, batch 256",
     lambda cb, size: _latency_sync(cb, size, BATCH, True), True),
]


def latency_run(make, batched, count, size, rate):
    """(p50, p99) in µs of one paced run."""
    done = threading.Event()
    lat = Latency(count, done.set)
    d = make(lat.callback(batched), size)
    reader = reader_thread_of(d.setup) if isinstance(d, SyncDispatcher) else None
    if reader is None:
        d.setup()
    producer = _testing.start(d, count, size, rate=rate, retry=isinstance(d, ThreadedDispatcher))
    if not done.wait(TIMEOUT):
        raise RuntimeError("timed out: a message was lost or the callback failed")
    producer.join()
    d.close()
    if reader is not None:
        reader.join()
    return lat.percentiles()


def latency_line(lead, label, width, p50_p99):
    p50, p99 = p50_p99
    return f"{lead}  {label:<{width}}  {p50:>8.1f}  {p99:>8.1f}"


# ------------------------------------------------------------ driver


def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def spread(values, fmt):
    return "%s (%s-%s)" % (fmt(statistics.median(values)), fmt(min(values)), fmt(max(values)))


def ratio_text(ours, peer, target):
    """The ratio of the medians of two rows' rates (one per round), the range
    of the per-round ratios, and the verdict against `target` (None: the
    peer is a reference, with no target)."""
    per_round = [a / b for a, b in zip(ours, peer)]
    ratio = statistics.median(ours) / statistics.median(peer)
    verdict = ("reference" if target is None else
               f"target >= {target:.2f}: {'met' if ratio >= target else 'MISSED'}")
    return f"{ratio:.3f} (rounds {min(per_round):.2f}-{max(per_round):.2f})  {verdict}"


def absolute_text(values, target, per_push):
    """A row's median against an absolute target (None: report only): for a
    push row ns per push (at most), else messages/s (at least)."""
    if per_push:
        ns = [1e9 / v for v in values]
        text = spread(ns, lambda v: f"{v:,.0f}") + " ns/push"
        met = target is not None and statistics.median(ns) <= target
        goal = f"target <= {target} ns"
    else:
        text = spread(values, lambda v: f"{v / 1e6:.2f}") + " M/s"
        met = target is not None and statistics.median(values) >= target
        goal = f"target >= {target / 1e6:.1f}M/s" if target else ""
    if target is None:
        return f"{text}  reference"
    return f"{text}  {goal}: {'met' if met else 'MISSED'}"


def add_latency_options(parser):
    parser.add_argument("--latency-count", type=int, default=20_000,
                        help="messages per latency run (0: no latency runs)")
    parser.add_argument("--latency-rate", type=float, default=20_000.0,
                        help="messages/s the latency runs are paced at")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=200_000, help="messages per run")
    parser.add_argument("--runs", type=int, default=5, help="runs per figure (median)")
    parser.add_argument("--sizes", type=int, nargs="+", default=[64, 1024])
    parser.add_argument("--only", nargs="+", choices=[key for _, key, _ in VARIANTS],
                        metavar="VARIANT", help="run only these variants (e.g. to profile one)")
    add_latency_options(parser)
    args = parser.parse_args()
    variants = [(name, run) for name, key, run in VARIANTS if not args.only or key in args.only]

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, {args.count:,} messages "
          f"per run, median of {args.runs} (min-max)")
    print("before:", load())
    rates = {(size, name): [] for size in args.sizes for name, _ in variants}
    # Round-robin, so a disturbance spreads over every variant rather than
    # sinking one of them.
    for _ in range(args.runs):
        for size in args.sizes:
            for name, run in variants:
                gc.collect()
                rates[size, name].append(run(args.count, size))
    print("after: ", load())
    print()

    width = max(len(name) for name, _, _ in VARIANTS)
    print(f"{'size':>6}  {'variant':<{width}}  messages/s")
    for size in args.sizes:
        for name, _ in variants:
            print(f"{size:>5}B  {name:<{width}}  "
                  f"{spread(rates[size, name], lambda v: f'{v:,.0f}')}")
    print()

    # Each ratio is of the medians; the range is over the rounds, whose runs
    # ran back to back.
    pairs = [(ours, peer, target) for ours, peer, target in COMPARISONS
             if (args.sizes[0], ours) in rates and (args.sizes[0], peer) in rates]
    label = max((len(f"{ours} / {peer}") for ours, peer, _ in pairs), default=0)
    print(f"{'size':>6}  {'ratio':<{label}}  ours/peer")
    for size in args.sizes:
        for ours, peer, target in pairs:
            print(f"{size:>5}B  {ours + ' / ' + peer:<{label}}  "
                  f"{ratio_text(rates[size, ours], rates[size, peer], target)}")

    rows = [(name, target) for name, target in ABSOLUTE if (args.sizes[0], name) in rates]
    if rows:
        print()
        label = max(len(name) for name, _ in rows)
        print(f"{'size':>6}  {'row':<{label}}  alone (targets at 64 B)")
        for size in args.sizes:
            for name, target in rows:
                verdict = absolute_text(rates[size, name], target if size == 64 else None,
                                        "push" in name)
                print(f"{size:>5}B  {name:<{label}}  {verdict}")

    if args.latency_count and not args.only:
        print()
        print(f"push-to-callback latency at {args.latency_rate:,.0f} messages/s, "
              f"{args.latency_count:,} messages per mode")
        width = max(len(label) for label, _, _ in LATENCY_MODES)
        print(f"{'size':>6}  {'mode':<{width}}  {'p50 µs':>8}  {'p99 µs':>8}")
        for size in args.sizes:
            for label, make, batched in LATENCY_MODES:
                gc.collect()
                result = latency_run(make, batched, args.latency_count, size, args.latency_rate)
                print(latency_line(f"{size:>5}B", label, width, result), flush=True)


if __name__ == "__main__":
    main()
